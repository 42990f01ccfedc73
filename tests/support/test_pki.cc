#include "tests/support/test_pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <vector>

#include <glog/logging.h>

namespace tvx::testing {
namespace {

struct Issued {
  EVP_PKEY* key = nullptr;
  X509* x509 = nullptr;
};

// An EC P-256 certificate for `name`, signed by `issuer` (self-signed when
// null); `extensions` as in openssl.cnf, e.g. "basicConstraints=CA:TRUE".
Issued Issue(const char* name, const Issued* issuer, const std::vector<const char*>& extensions) {
  Issued made;
  made.key = EVP_EC_gen("P-256");
  CHECK(made.key);
  made.x509 = X509_new();
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(made.x509), serial++);
  X509_set_version(made.x509, 2);
  X509_gmtime_adj(X509_getm_notBefore(made.x509), -3600);
  X509_gmtime_adj(X509_getm_notAfter(made.x509), 86400);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(made.x509), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509* signer = issuer ? issuer->x509 : made.x509;
  X509_set_issuer_name(made.x509, X509_get_subject_name(signer));
  X509_set_pubkey(made.x509, made.key);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, signer, made.x509, nullptr, nullptr, 0);
  for (const char* text : extensions) {
    const std::string line(text);
    const size_t eq = line.find('=');
    X509_EXTENSION* ext = X509V3_EXT_nconf(nullptr, &ctx, line.substr(0, eq).c_str(),
                                           line.substr(eq + 1).c_str());
    CHECK(ext) << text;
    X509_add_ext(made.x509, ext, -1);
    X509_EXTENSION_free(ext);
  }
  CHECK(X509_sign(made.x509, issuer ? issuer->key : made.key, EVP_sha256()) > 0);
  return made;
}

void Write(const Issued& issued, const std::string& cert_path, const std::string& key_path) {
  FILE* out = std::fopen(cert_path.c_str(), "w");
  CHECK(out && PEM_write_X509(out, issued.x509));
  std::fclose(out);
  if (key_path.empty()) return;
  out = std::fopen(key_path.c_str(), "w");
  CHECK(out && PEM_write_PrivateKey(out, issued.key, nullptr, nullptr, 0, nullptr, nullptr));
  std::fclose(out);
}

void Free(Issued& issued) {
  X509_free(issued.x509);
  EVP_PKEY_free(issued.key);
}

}  // namespace

TestPki MakeTestPki(const std::string& dir) {
  const std::vector<const char*> kCa = {"basicConstraints=critical,CA:TRUE",
                                        "keyUsage=critical,keyCertSign"};
  Issued ca = Issue("test CA", nullptr, kCa);
  Issued other_ca = Issue("other CA", nullptr, kCa);
  Issued server = Issue("localhost", &ca, {"subjectAltName=IP:127.0.0.1,DNS:localhost",
                                           "extendedKeyUsage=serverAuth"});
  Issued client = Issue("client", &ca, {"extendedKeyUsage=clientAuth"});
  Issued other_client = Issue("client", &other_ca, {"extendedKeyUsage=clientAuth"});
  TestPki pki{.ca = dir + "/ca.pem",
              .server_cert = dir + "/server.pem",
              .server_key = dir + "/server.key",
              .client_cert = dir + "/client.pem",
              .client_key = dir + "/client.key",
              .other_client_cert = dir + "/other_client.pem",
              .other_client_key = dir + "/other_client.key"};
  Write(ca, pki.ca, "");
  Write(server, pki.server_cert, pki.server_key);
  Write(client, pki.client_cert, pki.client_key);
  Write(other_client, pki.other_client_cert, pki.other_client_key);
  for (Issued* issued : {&ca, &other_ca, &server, &client, &other_client}) Free(*issued);
  return pki;
}

}  // namespace tvx::testing
