// A blocking client of the biller's TCP protocol (length-prefixed frames, TLS
// when asked), for command-line tools. Every step has a deadline.
#ifndef FRAMEWORK_TCP_CLIENT_H_
#define FRAMEWORK_TCP_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace tvx {

class FramedTcpClient {
 public:
  FramedTcpClient();
  ~FramedTcpClient();
  FramedTcpClient(const FramedTcpClient&) = delete;
  FramedTcpClient& operator=(const FramedTcpClient&) = delete;

  // A client certificate (PEM chain and key) to present when a TLS server
  // asks for one; call before Connect. False with the reason.
  bool UseClientCertificate(const std::string& cert_file, const std::string& key_file,
                            std::string* error);
  // Connects to host:port; with a CA file, speaks TLS and verifies the
  // server's certificate and name against it. False with the reason.
  bool Connect(const std::string& host, uint16_t port, const std::string& ca_file,
               std::chrono::milliseconds timeout, std::string* error);
  // Sends one frame holding `body`.
  bool Send(const std::string& body, std::chrono::milliseconds timeout, std::string* error);
  // Receives one frame; false on time-out, close or a frame above
  // `max_bytes`.
  bool Receive(std::string* body, uint32_t max_bytes, std::chrono::milliseconds timeout,
               std::string* error);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tvx

#endif  // FRAMEWORK_TCP_CLIENT_H_
