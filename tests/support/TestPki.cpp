// The throw-away PKI of the TLS tests, made with OpenSSL's API: dates are set to the second
// so that expired and not-yet-valid certificates are exactly as old or as early as the tests say.
#include "tests/support/TestPki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

namespace testsupport {
namespace {

constexpr std::int64_t Day = 86400;

using TKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using TCert = std::unique_ptr<X509, decltype(&X509_free)>;

void Require(bool Ok, const char* What) {
  if (!Ok) throw std::runtime_error(std::string("test PKI: ") + What);
}

TKey EcKey() { return TKey(EVP_EC_gen("P-256"), EVP_PKEY_free); }
TKey RsaKey(unsigned Bits) { return TKey(EVP_RSA_gen(Bits), EVP_PKEY_free); }

// What one certificate says; Issuer/IssuerKey null make it self-signed.
struct TCertPlan {
  std::string CommonName{};
  std::string Organization = "Orrery Tests";
  std::int64_t NotBefore = 0;
  std::int64_t NotAfter = 0;
  bool Ca = false;
  std::string KeyUsage{};  // "" leaves the extension out
  std::string ExtKeyUsage{};
  std::string AltNames{};  // "DNS:a.test,IP:127.0.0.1"
  const EVP_MD* Digest = EVP_sha256();
};

void AddExtension(X509* Cert, X509V3_CTX* Ctx, int Nid, const std::string& Value) {
  if (Value.empty()) return;
  X509_EXTENSION* Ext = X509V3_EXT_conf_nid(nullptr, Ctx, Nid, Value.c_str());
  Require(Ext && X509_add_ext(Cert, Ext, -1), "an extension");
  X509_EXTENSION_free(Ext);
}

TCert Issue(const TCertPlan& Plan, EVP_PKEY* Key, X509* Issuer, EVP_PKEY* IssuerKey) {
  static long NextSerial = 0x5EED01;
  TCert Cert(X509_new(), X509_free);
  Require(Cert && X509_set_version(Cert.get(), 2), "a certificate");
  ASN1_INTEGER_set(X509_get_serialNumber(Cert.get()), NextSerial++);
  X509_NAME* Name = X509_get_subject_name(Cert.get());
  auto AddEntry = [Name](const char* Field, const std::string& Value) {
    X509_NAME_add_entry_by_txt(Name, Field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(Value.c_str()), -1, -1, 0);
  };
  AddEntry("O", Plan.Organization);
  AddEntry("CN", Plan.CommonName);
  X509_set_issuer_name(Cert.get(), Issuer ? X509_get_subject_name(Issuer) : Name);
  ASN1_TIME_set(X509_getm_notBefore(Cert.get()), static_cast<time_t>(Plan.NotBefore));
  ASN1_TIME_set(X509_getm_notAfter(Cert.get()), static_cast<time_t>(Plan.NotAfter));
  X509_set_pubkey(Cert.get(), Key);

  X509V3_CTX Ctx;
  X509V3_set_ctx(&Ctx, Issuer ? Issuer : Cert.get(), Cert.get(), nullptr, nullptr, 0);
  AddExtension(Cert.get(), &Ctx, NID_basic_constraints, Plan.Ca ? "critical,CA:TRUE" : "CA:FALSE");
  AddExtension(Cert.get(), &Ctx, NID_key_usage, Plan.KeyUsage);
  AddExtension(Cert.get(), &Ctx, NID_ext_key_usage, Plan.ExtKeyUsage);
  AddExtension(Cert.get(), &Ctx, NID_subject_alt_name, Plan.AltNames);
  AddExtension(Cert.get(), &Ctx, NID_subject_key_identifier, "hash");
  if (Issuer) AddExtension(Cert.get(), &Ctx, NID_authority_key_identifier, "keyid:always");
  Require(X509_sign(Cert.get(), IssuerKey ? IssuerKey : Key, Plan.Digest) > 0, "a signature");
  return Cert;
}

class TPemFile {
 public:
  explicit TPemFile(const std::string& Path) : FBio(BIO_new_file(Path.c_str(), "w")) {
    Require(FBio != nullptr, "a file");
  }
  ~TPemFile() { BIO_free(FBio); }
  TPemFile& Cert(X509* C) {
    Require(PEM_write_bio_X509(FBio, C), "a certificate file");
    return *this;
  }
  TPemFile& Key(EVP_PKEY* K, const std::string& Passphrase = "") {
    const EVP_CIPHER* Cipher = Passphrase.empty() ? nullptr : EVP_aes_256_cbc();
    auto* Pass = reinterpret_cast<unsigned char*>(const_cast<char*>(Passphrase.c_str()));
    Require(PEM_write_bio_PrivateKey(FBio, K, Cipher, Passphrase.empty() ? nullptr : Pass,
                                     static_cast<int>(Passphrase.size()), nullptr, nullptr),
            "a key file");
    return *this;
  }

 private:
  BIO* FBio;
};

// A CA kept in memory while the leaves are issued.
struct TAuthority {
  TKey Key = TKey(nullptr, EVP_PKEY_free);
  TCert Cert = TCert(nullptr, X509_free);
};

}  // namespace

const TTestPki& TTestPki::Get() {
  static const TTestPki Pki;
  return Pki;
}

TTestPki::~TTestPki() {
  std::error_code Ignored;
  std::filesystem::remove_all(Dir, Ignored);
}

TTestPki::TTestPki() {
  const char* Temp = std::getenv("TMPDIR");
  std::string Pattern = std::string(Temp && *Temp ? Temp : "/tmp") + "/orrery-pki-XXXXXX";
  Require(::mkdtemp(Pattern.data()) != nullptr, "a directory");
  Dir = Pattern;
  Made = static_cast<std::int64_t>(std::time(nullptr));
  const std::string CaUsage = "critical,keyCertSign,cRLSign";

  auto MakeCa = [&](const std::string& Cn, const std::string& File, TAuthority* Parent) {
    TAuthority Ca;
    Ca.Key = EcKey();
    TCertPlan Plan{.CommonName = Cn,
                   .NotBefore = Made - 30 * Day,
                   .NotAfter = Made + 3650 * Day,
                   .Ca = true,
                   .KeyUsage = CaUsage};
    Ca.Cert = Issue(Plan, Ca.Key.get(), Parent ? Parent->Cert.get() : nullptr,
                    Parent ? Parent->Key.get() : nullptr);
    TPemFile(File).Cert(Ca.Cert.get());
    return Ca;
  };
  RootFile = Dir + "/root.pem";
  IntermediateFile = Dir + "/intermediate.pem";
  UntrustedRootFile = Dir + "/untrusted-root.pem";
  TAuthority Root = MakeCa("Orrery Test Root", RootFile, nullptr);
  TAuthority Intermediate = MakeCa("Orrery Test Intermediate", IntermediateFile, &Root);
  TAuthority Stranger = MakeCa("Orrery Untrusted Root", UntrustedRootFile, nullptr);

  // Writes one certificate's files; Issuer null: self-signed. Sent: the CA sent after it.
  auto Make = [&](TPkiCert& Out, const std::string& Host, TCertPlan Plan, TKey Key,
                  TAuthority* Issuer, TAuthority* Sent) {
    if (Plan.NotAfter == 0) {
      Plan.NotBefore = Made - Day;
      Plan.NotAfter = Made + 365 * Day;
    }
    if (Plan.KeyUsage.empty() && Issuer) Plan.KeyUsage = "critical,digitalSignature";
    if (Plan.ExtKeyUsage.empty()) Plan.ExtKeyUsage = "serverAuth";
    if (Plan.AltNames.empty()) Plan.AltNames = "DNS:" + Plan.CommonName;
    TCert Cert = Issue(Plan, Key.get(), Issuer ? Issuer->Cert.get() : nullptr,
                       Issuer ? Issuer->Key.get() : nullptr);
    const std::string Base = Dir + "/" + Host;
    Out = {Host, Base + ".crt", Base + ".chain.pem", Base + ".key", Plan.NotBefore, Plan.NotAfter};
    TPemFile(Out.Cert).Cert(Cert.get());
    TPemFile Chain(Out.Chain);
    Chain.Cert(Cert.get());
    if (Sent) Chain.Cert(Sent->Cert.get());
    TPemFile(Out.Key).Key(Key.get());
    return Cert;
  };
  auto Leaf = [](const std::string& Cn) { return TCertPlan{.CommonName = Cn}; };

  Make(Good, "good.test", Leaf("good.test"), EcKey(), &Intermediate, &Intermediate);
  TCertPlan Old = Leaf("expired.test");
  Old.NotBefore = Made - 30 * Day;
  Old.NotAfter = Made - 3 * Day;
  Make(Expired, "expired.test", Old, EcKey(), &Intermediate, &Intermediate);
  TCertPlan Early = Leaf("future.test");
  Early.NotBefore = Made + 2 * Day;
  Early.NotAfter = Made + 30 * Day;
  Make(NotYetValid, "future.test", Early, EcKey(), &Intermediate, &Intermediate);
  TCertPlan Other = Leaf("other.test");
  Other.AltNames = "DNS:other.test,DNS:www.other.test";
  Make(WrongHost, "wrong.test", Other, EcKey(), &Intermediate, &Intermediate);
  Make(Wildcard, "a.wild.test", Leaf("*.wild.test"), EcKey(), &Intermediate, &Intermediate);
  TCertPlan Qualified = Leaf("dotted.test");
  Qualified.AltNames = "DNS:dotted.test.";
  Make(Dotted, "dotted.test", Qualified, EcKey(), &Intermediate, &Intermediate);
  TCertPlan Address = Leaf("127.0.0.1");
  Address.AltNames = "IP:127.0.0.1,IP:::1";
  Make(Ip, "127.0.0.1", Address, EcKey(), &Intermediate, &Intermediate);
  TCertPlan Loopback6 = Leaf("::1");
  Loopback6.AltNames = "IP:::1";
  Make(Ip6, "::1", Loopback6, EcKey(), &Intermediate, &Intermediate);
  TCertPlan Label = Leaf("xn--bcher-kva.test");
  Label.AltNames = "DNS:xn--bcher-kva.test";
  Make(ALabel, "xn--bcher-kva.test", Label, EcKey(), &Intermediate, &Intermediate);
  // No key usage: with one that lacks keyCertSign, OpenSSL would not take it as self-signed.
  Make(SelfSigned, "self.test", Leaf("self.test"), EcKey(), nullptr, nullptr);
  Make(Untrusted, "untrusted.test", Leaf("untrusted.test"), EcKey(), &Stranger, &Stranger);
  Make(LeafOnly, "leafonly.test", Leaf("leafonly.test"), EcKey(), &Intermediate, nullptr);
  TCertPlan Sha1Plan = Leaf("sha1.test");
  Sha1Plan.Digest = EVP_sha1();
  Make(Sha1, "sha1.test", Sha1Plan, EcKey(), &Intermediate, &Intermediate);
  TCertPlan Weak = Leaf("rsa1024.test");
  Weak.KeyUsage = "critical,digitalSignature,keyEncipherment";
  Make(Rsa1024, "rsa1024.test", Weak, RsaKey(1024), &Intermediate, &Intermediate);

  TCertPlan ClientPlan{.CommonName = "Orrery Test Client",
                       .Organization = "Zürich Tests",
                       .ExtKeyUsage = "clientAuth",
                       .AltNames = "email:client@orrery.test"};
  TKey ClientKey = EcKey();
  TCert ClientCert = Make(Client, "client", ClientPlan,
                          TKey(EVP_PKEY_dup(ClientKey.get()), EVP_PKEY_free), &Root, nullptr);
  ClientPassphrase = "orrery passphrase";
  ClientKeyEncrypted = Dir + "/client.encrypted.key";
  TPemFile(ClientKeyEncrypted).Key(ClientKey.get(), ClientPassphrase);
  ClientCombined = Dir + "/client.combined.pem";
  TPemFile(ClientCombined).Cert(ClientCert.get()).Key(ClientKey.get());
}

}  // namespace testsupport
