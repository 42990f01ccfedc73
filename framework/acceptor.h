// The listening side shared by the TCP and HTTP servers. An Acceptor listens
// on an address and port, accepts on a strand of its own, refuses connections
// beyond a cap, pauses after a failed accept (out of descriptors, say) instead
// of spinning, and hands every accepted socket to its server, which moves it
// onto the io context where the connection will run (MoveSocket).
#ifndef FRAMEWORK_ACCEPTOR_H_
#define FRAMEWORK_ACCEPTOR_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "framework/io_service.h"

namespace tvx {

// Whether the module's client listeners are open and taking requests: set
// once its servers listen, cleared the moment shut-down begins. Thread-safe.
void SetListenersReady(bool ready);
bool ListenersReady();

// Moves an accepted socket's descriptor into `target`, a socket of the io
// context where the connection will run. False (and `accepted` closed) when
// the descriptor could not be moved.
bool MoveSocket(boost::asio::ip::tcp::socket& accepted, boost::asio::ip::tcp::socket& target);

class Acceptor : public std::enable_shared_from_this<Acceptor> {
 public:
  // Takes an accepted socket, still on the listener's context.
  using Handler = std::function<void(boost::asio::ip::tcp::socket accepted)>;
  // Connections of the server open now, held against the cap.
  using Counter = std::function<size_t()>;

  struct Options {
    std::string name;          // the server's name, for log lines
    size_t max_connections = 0;  // 0: no cap
  };

  // The acceptor does not own `io`: a pending accept holds the acceptor, so
  // owning the context would make a cycle that outlives the io group. The
  // server keeps the context alive for as long as it keeps the acceptor.
  Acceptor(IoContext& io, Options options, Handler handler, Counter counter);

  // Binds and listens; `error` says why not. Call once, before Start.
  bool Listen(const std::string& address, uint16_t port, std::string* error);
  // Begins accepting.
  void Start();
  // Stops accepting and frees the port. From outside the io group the call
  // waits until the socket is closed; from inside it, closing happens on the
  // acceptor's strand soon after. Safe more than once.
  void Close();

  // The bound port; 0 before Listen.
  uint16_t port() const { return port_; }
  // Accepts that failed so far (for tests and diagnostics).
  uint64_t failed_accepts() const { return failed_accepts_.load(std::memory_order_relaxed); }

  // The pause after the first failed accept in a row; each further failure
  // doubles it up to kMaxAcceptRetryDelay.
  static constexpr std::chrono::milliseconds kAcceptRetryDelay{50};
  static constexpr std::chrono::milliseconds kMaxAcceptRetryDelay{1000};

 private:
  void Accept();
  void OnAccept(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);
  void CloseNow();

  IoContext& io_;
  const Options options_;
  const Handler handler_;
  const Counter counter_;
  boost::asio::strand<IoContext::executor_type> strand_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_timer_;
  std::chrono::milliseconds retry_delay_{0};  // of the current run of failures
  std::atomic<uint16_t> port_{0};
  std::atomic<uint64_t> failed_accepts_{0};
  std::atomic<bool> closed_{false};
};

}  // namespace tvx

#endif  // FRAMEWORK_ACCEPTOR_H_
