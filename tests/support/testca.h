// A certificate authority made at test time, with a good server certificate for
// "localhost" and 127.0.0.1 and the broken variants that TLS failure tests need.
#pragma once
#include <string>

namespace zentu::testing {

// One certificate and its private key, both PEM.
struct TestCert {
  std::string certPem;
  std::string keyPem;
};

enum class TestCertKind {
  Good,        // localhost and 127.0.0.1, signed by the test CA
  SelfSigned,  // right names, but signed by itself instead of the CA
  WrongHost,   // signed by the CA, but only for "wrong.invalid" and 10.255.255.1
  Expired,     // signed by the CA, right names, validity ended yesterday
};

struct TestCa {
  TestCert ca;
  TestCert good, selfSigned, wrongHost, expired;
  // The CA certificate as a PEM file: native path and the program ("Z:\...") form.
  std::string caFileNative;
  std::string caFile;

  const TestCert& Cert(TestCertKind kind) const;
};

// The CA of this test program, made on first use (key generation is slow-ish);
// its temporary directory is removed at exit. Aborts the program when OpenSSL fails,
// since no TLS test could run anyway.
const TestCa& GetTestCa();

}  // namespace zentu::testing
