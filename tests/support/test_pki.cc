#include "tests/support/test_pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fstream>

#include <glog/logging.h>

namespace tvx::testing {

std::string PemText(const std::function<int(BIO*)>& write) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  CHECK(write(bio.get()) == 1);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

TestCertificate MakeTestCertificate(const std::string& name, const TestCertificate* issuer,
                                     const std::vector<std::string>& extensions,
                                     time_t not_before, time_t not_after) {
  static long serial = 1;
  TestCertificate made{std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), EVP_PKEY_free),
                       std::shared_ptr<X509>(X509_new(), X509_free)};
  X509* x = made.x509.get();
  CHECK(made.key && X509_set_version(x, X509_VERSION_3) == 1);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
  ASN1_TIME_set(X509_getm_notBefore(x), not_before);
  ASN1_TIME_set(X509_getm_notAfter(x), not_after);
  for (const auto& [field, value] : {std::pair<const char*, std::string>{"O", "Biller Test"},
                                     {"CN", name}}) {
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), field, MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  }
  X509* signer = issuer ? issuer->x509.get() : x;
  CHECK(X509_set_issuer_name(x, X509_get_subject_name(signer)) == 1);
  CHECK(X509_set_pubkey(x, made.key.get()) == 1);
  X509V3_CTX context;
  X509V3_set_ctx(&context, signer, x, nullptr, nullptr, 0);
  for (const std::string& line : extensions) {
    const size_t eq = line.find('=');
    X509_EXTENSION* extension = X509V3_EXT_nconf(nullptr, &context, line.substr(0, eq).c_str(),
                                                 line.substr(eq + 1).c_str());
    CHECK(extension && X509_add_ext(x, extension, -1) == 1) << line;
    X509_EXTENSION_free(extension);
  }
  CHECK(X509_sign(x, (issuer ? issuer : &made)->key.get(), EVP_sha256()) > 0);
  return made;
}

TestPki MakeTestPki(const std::string& dir) {
  const time_t now = std::time(nullptr);
  auto make = [now](const char* name, const TestCertificate* issuer,
                     const std::vector<std::string>& extensions) {
    return MakeTestCertificate(name, issuer, extensions, now - 3600, now + 86400);
  };
  const std::vector<std::string> kCa = {"basicConstraints=critical,CA:TRUE",
                                        "keyUsage=critical,keyCertSign"};
  const TestCertificate ca = make("test CA", nullptr, kCa);
  const TestCertificate other_ca = make("other CA", nullptr, kCa);
  const TestPki pki{.ca = dir + "/ca.pem",
                    .server_cert = dir + "/server.pem",
                    .server_key = dir + "/server.key",
                    .client_cert = dir + "/client.pem",
                    .client_key = dir + "/client.key",
                    .other_client_cert = dir + "/other_client.pem",
                    .other_client_key = dir + "/other_client.key"};
  auto write = [](const TestCertificate& issued, const std::string& cert_path,
                  const std::string& key_path) {
    std::ofstream(cert_path) << PemText([&](BIO* bio) {
      return PEM_write_bio_X509(bio, issued.x509.get());
    });
    if (key_path.empty()) return;
    std::ofstream(key_path) << PemText([&](BIO* bio) {
      return PEM_write_bio_PrivateKey(bio, issued.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
  };
  write(ca, pki.ca, "");
  write(make("localhost", &ca,
              {"subjectAltName=IP:127.0.0.1,DNS:localhost", "extendedKeyUsage=serverAuth"}),
        pki.server_cert, pki.server_key);
  write(make("client", &ca, {"extendedKeyUsage=clientAuth"}), pki.client_cert, pki.client_key);
  write(make("client", &other_ca, {"extendedKeyUsage=clientAuth"}), pki.other_client_cert,
        pki.other_client_key);
  return pki;
}

}  // namespace tvx::testing
