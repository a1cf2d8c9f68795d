#include "tests/e2e/tls_certificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace tmb::test {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what);
}

Key NewKey() {
  Key key(EVP_RSA_gen(2048));
  Check(key != nullptr, "RSA key");
  return key;
}

std::string PemOf(X509* cert) {
  std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_X509(bio.get(), cert) == 1, "certificate PEM");
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string PemOf(EVP_PKEY* key) {
  std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "key PEM");
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `name` with `key`, signed by `issuer_key` (itself when
// `issuer` is null).
Cert MakeCertificate(const char* name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key,
                     long serial, bool authority) {
  Cert cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* subject = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  if (authority) {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  } else {
    AddExtension(cert.get(), signer, NID_basic_constraints, "CA:FALSE");
    AddExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
  }
  Check(X509_sign(cert.get(), issuer_key, EVP_sha256()) > 0, "X509_sign");
  return cert;
}

TestCertificates Make() {
  TestCertificates made;
  Key ca_key = NewKey();
  Cert ca = MakeCertificate("tmbsqlsvr test CA", ca_key.get(), nullptr, ca_key.get(), 1, true);
  Key server_key = NewKey();
  Cert server = MakeCertificate("localhost", server_key.get(), ca.get(), ca_key.get(), 2, false);
  made.ca = {PemOf(ca.get()), PemOf(ca_key.get())};
  made.server = {PemOf(server.get()), PemOf(server_key.get())};
  Key other_key = NewKey();
  Cert other_ca =
      MakeCertificate("unrelated test CA", other_key.get(), nullptr, other_key.get(), 3, true);
  made.other_key = PemOf(other_key.get());
  made.other_ca = {PemOf(other_ca.get()), made.other_key};
  return made;
}

}  // namespace

const TestCertificates& Certificates() {
  static const TestCertificates made = Make();
  return made;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace tmb::test
