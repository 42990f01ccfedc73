#include "framework/tcp_client.h"

#include <openssl/ssl.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include "framework/tcp.h"

namespace tvx {

namespace asio = boost::asio;
using asio::ip::tcp;

struct FramedTcpClient::Impl {
  asio::io_context io;
  asio::ssl::context tls{asio::ssl::context::tls_client};
  asio::ssl::stream<tcp::socket> stream{io, tls};
  bool use_tls = false;

  // Runs the io context until `done` or the time is up; a late operation is
  // cancelled by closing the socket.
  bool Run(const bool& done, std::chrono::milliseconds timeout, std::string* error) {
    io.restart();
    io.run_for(timeout);
    if (done) return true;
    boost::system::error_code ignored;
    stream.next_layer().close(ignored);
    io.restart();
    io.run();
    *error = "timed out";
    return false;
  }

  template <typename Buffers, typename Operation>
  bool Transfer(Operation operation, const Buffers& buffers, std::chrono::milliseconds timeout,
                std::string* error) {
    bool done = false;
    boost::system::error_code result;
    auto handler = [&](const boost::system::error_code& ec, size_t) {
      result = ec;
      done = true;
    };
    if (use_tls) {
      operation(stream, buffers, handler);
    } else {
      operation(stream.next_layer(), buffers, handler);
    }
    if (!Run(done, timeout, error)) return false;
    if (result) *error = result.message();
    return !result;
  }
};

FramedTcpClient::FramedTcpClient() : impl_(std::make_unique<Impl>()) {}
FramedTcpClient::~FramedTcpClient() = default;

bool FramedTcpClient::UseClientCertificate(const std::string& cert_file,
                                           const std::string& key_file, std::string* error) {
  // The stream's SSL object exists already, so the files go to it rather
  // than to the context it was made from.
  SSL* ssl = impl_->stream.native_handle();
  if (SSL_use_certificate_chain_file(ssl, cert_file.c_str()) != 1) {
    *error = "cannot load the PEM certificate chain " + cert_file;
    return false;
  }
  if (SSL_use_PrivateKey_file(ssl, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_check_private_key(ssl) != 1) {
    *error = "cannot load the PEM private key " + key_file + " of " + cert_file;
    return false;
  }
  return true;
}

bool FramedTcpClient::Connect(const std::string& host, uint16_t port, const std::string& ca_file,
                              std::chrono::milliseconds timeout, std::string* error) {
  boost::system::error_code ec;
  tcp::resolver resolver(impl_->io);
  const auto endpoints = resolver.resolve(host, std::to_string(port), ec);
  if (ec) {
    *error = "cannot resolve " + host + ": " + ec.message();
    return false;
  }
  bool done = false;
  asio::async_connect(impl_->stream.next_layer(), endpoints,
                      [&](const boost::system::error_code& result, const tcp::endpoint&) {
                        ec = result;
                        done = true;
                      });
  if (!impl_->Run(done, timeout, error)) return false;
  if (ec) {
    *error = ec.message();
    return false;
  }
  if (ca_file.empty()) return true;

  impl_->use_tls = true;
  impl_->tls.set_verify_mode(asio::ssl::verify_peer);
  impl_->tls.load_verify_file(ca_file, ec);
  if (ec) {
    *error = "cannot load " + ca_file + ": " + ec.message();
    return false;
  }
  impl_->stream.set_verify_callback(asio::ssl::host_name_verification(host));
  SSL_set_tlsext_host_name(impl_->stream.native_handle(), host.c_str());
  done = false;
  impl_->stream.async_handshake(asio::ssl::stream_base::client,
                                [&](const boost::system::error_code& result) {
                                  ec = result;
                                  done = true;
                                });
  if (!impl_->Run(done, timeout, error)) return false;
  if (ec) *error = "TLS handshake: " + ec.message();
  return !ec;
}

bool FramedTcpClient::Send(const std::string& body, std::chrono::milliseconds timeout,
                           std::string* error) {
  const std::string frame = framing::EncodeFrame(body);
  return impl_->Transfer(
      [](auto& stream, const auto& buffers, auto handler) {
        asio::async_write(stream, buffers, handler);
      },
      asio::buffer(frame), timeout, error);
}

bool FramedTcpClient::Receive(std::string* body, uint32_t max_bytes,
                              std::chrono::milliseconds timeout, std::string* error) {
  auto read = [](auto& stream, const auto& buffers, auto handler) {
    asio::async_read(stream, buffers, handler);
  };
  unsigned char header[framing::kHeaderBytes];
  if (!impl_->Transfer(read, asio::buffer(header), timeout, error)) return false;
  const uint32_t size = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                        (uint32_t{header[2]} << 8) | uint32_t{header[3]};
  if (size > max_bytes) {
    *error = "answer of " + std::to_string(size) + " bytes is too long";
    return false;
  }
  body->assign(size, '\0');
  return size == 0 || impl_->Transfer(read, asio::buffer(body->data(), size), timeout, error);
}

}  // namespace tvx
