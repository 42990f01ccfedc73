// Server-side TLS contexts of the listeners.
#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>

#include "framework/tcp.h"

namespace tvx {

const std::shared_ptr<TcpSSLOption> TcpSSLOption::kNullPtr;

TcpSSLOption::~TcpSSLOption() = default;

std::shared_ptr<TcpSSLOption> TcpSSLOption::Create(const std::string& cert_file,
                                                   const std::string& key_file,
                                                   const std::string& client_ca_file,
                                                   std::string* error) {
  namespace ssl = boost::asio::ssl;
  auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
  SSL_CTX* native = context->native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_compression |
                       ssl::context::single_dh_use);
  boost::system::error_code ec;
  auto fail = [&](const std::string& file, const std::string& what) {
    *error = file + ": " + what + (ec ? ": " + ec.message() : std::string());
    return nullptr;
  };
  context->use_certificate_chain_file(cert_file, ec);
  if (ec) return fail(cert_file, "cannot load the PEM certificate chain");
  context->use_private_key_file(key_file, ssl::context::pem, ec);
  if (ec) return fail(key_file, "cannot load the PEM private key");
  if (SSL_CTX_check_private_key(native) != 1) {
    return fail(key_file, "the key does not belong to the certificate of " + cert_file);
  }
  if (!client_ca_file.empty()) {
    context->load_verify_file(client_ca_file, ec);
    if (ec) return fail(client_ca_file, "cannot load the client CA certificates");
    // Tells clients which CAs to pick a certificate for.
    SSL_CTX_set_client_CA_list(native, SSL_load_client_CA_file(client_ca_file.c_str()));
    context->set_verify_mode(ssl::verify_peer | ssl::verify_fail_if_no_peer_cert);
  }
  std::shared_ptr<TcpSSLOption> option(new TcpSSLOption());
  option->context_ = std::move(context);
  return option;
}

}  // namespace tvx
