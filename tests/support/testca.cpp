#include "tests/support/testca.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "os/path.h"

namespace zentu::testing {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;
using Bio = std::unique_ptr<BIO, BioFree>;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "test CA: %s failed\n", what);
  std::abort();
}

Pkey NewKey() {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) Fail("EC key generation");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) Fail("certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

struct CertSpec {
  const char* commonName;
  const char* subjectAltName;  // nullptr for the CA
  bool isCa = false;
  long notBeforeSeconds = -3600;  // relative to now
  long notAfterSeconds = 10L * 365 * 24 * 3600;
};

// Issues a certificate for key; issuer == nullptr makes it self-signed.
Cert Issue(const CertSpec& req, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
  Cert cert(X509_new());
  if (!cert) Fail("X509_new");
  X509_set_version(cert.get(), 2);  // v3
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) Fail("RAND_bytes");
  serial[0] &= 0x7F;  // keep it positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), req.notBeforeSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), req.notAfterSeconds);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Zentu tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(req.commonName), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  if (req.isCa) {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  } else {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
    AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    AddExtension(cert.get(), signer, NID_subject_alt_name, req.subjectAltName);
  }
  if (X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0)
    Fail("X509_sign");
  return cert;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(size));
}

TestCert ToPem(X509* cert, EVP_PKEY* key) {
  TestCert out;
  Bio certBio(BIO_new(BIO_s_mem()));
  Bio keyBio(BIO_new(BIO_s_mem()));
  if (!certBio || !keyBio || PEM_write_bio_X509(certBio.get(), cert) != 1 ||
      PEM_write_bio_PrivateKey(keyBio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    Fail("PEM output");
  out.certPem = BioText(certBio.get());
  out.keyPem = BioText(keyBio.get());
  return out;
}

struct OwnedCa;
void Make(OwnedCa& out);

// Owns the temporary directory so that it goes away at exit.
struct OwnedCa : TestCa {
  std::string dir;
  OwnedCa() { Make(*this); }
  OwnedCa(const OwnedCa&) = delete;
  OwnedCa& operator=(const OwnedCa&) = delete;
  ~OwnedCa() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

void Make(OwnedCa& out) {
  constexpr const char* kGoodNames = "DNS:localhost,IP:127.0.0.1";
  constexpr long kDay = 24 * 3600;
  Pkey caKey = NewKey();
  Cert ca = Issue({"Zentu Test CA", nullptr, true}, caKey.get(), nullptr, nullptr);
  out.ca = ToPem(ca.get(), caKey.get());

  Pkey key = NewKey();
  Cert good = Issue({"localhost", kGoodNames}, key.get(), ca.get(), caKey.get());
  out.good = ToPem(good.get(), key.get());

  Pkey selfKey = NewKey();
  Cert self = Issue({"localhost", kGoodNames}, selfKey.get(), nullptr, nullptr);
  out.selfSigned = ToPem(self.get(), selfKey.get());

  Cert wrong = Issue({"wrong.invalid", "DNS:wrong.invalid,IP:10.255.255.1"}, key.get(), ca.get(),
                     caKey.get());
  out.wrongHost = ToPem(wrong.get(), key.get());

  Cert expired =
      Issue({"localhost", kGoodNames, false, -30 * kDay, -kDay}, key.get(), ca.get(), caKey.get());
  out.expired = ToPem(expired.get(), key.get());

  std::string tmpl = (std::filesystem::temp_directory_path() / "zentu-ca-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) Fail("mkdtemp");
  out.dir = tmpl;
  out.caFileNative = (std::filesystem::path(tmpl) / "zentu-test-ca.pem").string();
  std::ofstream(out.caFileNative, std::ios::binary) << out.ca.certPem;
  out.caFile = os::FromNativePath(out.caFileNative);
}

}  // namespace

const TestCert& TestCa::Cert(TestCertKind kind) const {
  switch (kind) {
    case TestCertKind::SelfSigned:
      return selfSigned;
    case TestCertKind::WrongHost:
      return wrongHost;
    case TestCertKind::Expired:
      return expired;
    case TestCertKind::Good:
      break;
  }
  return good;
}

const TestCa& GetTestCa() {
  static const OwnedCa ca;
  return ca;
}

}  // namespace zentu::testing
