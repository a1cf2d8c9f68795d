// Test support: certificates made at test time with the real OpenSSL, and
// the PEM files a TLS server is configured with. Nothing is read from disk
// that the test did not write.
#pragma once

#include <string>

namespace tmb::test {

// One key pair and its certificate, both in PEM.
struct PemPair {
  std::string certificate;
  std::string key;
};

// A certificate authority and a server certificate it signed for
// "localhost" and 127.0.0.1 (subject alternative names), valid from a day
// ago for a year; and a second, unrelated key with a CA certificate of its
// own that signed nothing the server holds.
struct TestCertificates {
  PemPair ca;
  PemPair server;
  std::string other_key;
  PemPair other_ca;

  // The one file the server's certificate setting names: the server
  // certificate, its key and the CA certificate.
  std::string ServerPem() const { return server.certificate + server.key + ca.certificate; }
};

// Made once per test program (an RSA key takes a moment), then shared.
const TestCertificates& Certificates();

// Writes `text` to `path`; false when it cannot.
bool WriteTextFile(const std::string& path, const std::string& text);

}  // namespace tmb::test
