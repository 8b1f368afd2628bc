// The plain-words reason of a failed handshake or check: by hand-built outcomes and chains, and
// over the test PKI's chains as OpenSSL's own check judges them.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tls/TTlsCertificate.h"
#include "tls/TTlsReason.h"

namespace {

using testsupport::TPkiCert;
using testsupport::TTestPki;
using enum TTlsProblem;

constexpr std::int64_t Now = 1796810400;  // 2026-12-09 10:00:00 UTC
constexpr std::int64_t Hour = 3600, Day = 86400;

// A leaf and its intermediate as a server sent them, with a fault of every kind; the outcome
// says which one OpenSSL stopped at. (The chain's shapes are the PKI's, below.)
std::vector<TTlsCertificate> Chain() {
  auto Cert = [](const std::string& Cn, const std::string& By, bool Ca) {
    TTlsCertificate C;
    C.CommonName = Cn, C.IssuerCommonName = By, C.IsCa = Ca, C.SelfIssued = Cn == By;
    return C;
  };
  TTlsCertificate Leaf = Cert("good.test", "Orrery CA 2", false);
  TTlsCertificate Ca = Cert("Orrery CA 2", "Orrery Root", true);
  Leaf.DnsNames = {"good.test", "www.good.test"}, Leaf.IpAddresses = {"10.0.0.1"};
  Leaf.NotBefore = Now + 2 * Hour + 59;
  Ca.NotAfter = Now - Day - 5 * Hour, Ca.SignatureAlgorithm = "md5WithRSAEncryption";
  return {Leaf, Ca};
}

TTlsOutcome Checked(long Result, int Depth) {
  return {.HandshakeDone = true, .VerifyResult = Result, .VerifyDepth = Depth, .Checked = true};
}
unsigned long Ssl(int Reason) { return ERR_PACK(ERR_LIB_SSL, 0, Reason); }
const unsigned long Failure = Ssl(SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE);

// Words: a part of the English that only the right facts give; "" for no reason at all.
void ExpectReason(const TTlsReason& Reason, TTlsProblem Problem, const std::string& Words) {
  const std::string English = ReasonInEnglish(Reason);
  EXPECT_EQ(Reason.Problem, Problem) << English;
  EXPECT_TRUE(English.find(Words) != English.npos && English.empty() == Words.empty()) << English;
}

struct TReasonCase {
  const char* Name;
  TTlsOutcome Outcome;
  TTlsProblem Problem;
  std::string Words;
};

// clang-format off
const TReasonCase ReasonCases[] = {
    {"ExpiredAboveWhatWasSent", Checked(X509_V_ERR_CERT_HAS_EXPIRED, 2), tpExpired,
     "has expired: Orrery CA 2's certificate was valid until 2026-12-08 05:00:00 UTC (1 day ago)"},
    {"NotYetValid", Checked(X509_V_ERR_CERT_NOT_YET_VALID, 0), tpNotYetValid,
     "good.test's certificate is valid from 2026-12-09 12:00:59 UTC (in 2 hours)"},
    {"NameMismatch", Checked(X509_V_ERR_HOSTNAME_MISMATCH, 0), tpNameMismatch,
     "the certificate covers good.test, www.good.test and 10.0.0.1, not asked.test"},
    {"WeakSignatureOfTheIntermediate", Checked(X509_V_ERR_CA_MD_TOO_WEAK, 1), tpWeakSignature,
     "Orrery CA 2's certificate is signed with MD5 (md5WithRSAEncryption)"},
    {"OtherCheck", Checked(X509_V_ERR_INVALID_PURPOSE, 0), tpOther,
     "check failed: unsuitable certificate purpose"},
    {"CheckWaived", {.HandshakeDone = true, .VerifyResult = 10}, tpNone, ""},
    {"CheckThatEndedTheHandshake",
     {.HandshakeError = Ssl(SSL_R_CERTIFICATE_VERIFY_FAILED), .VerifyResult = 10, .VerifyDepth = 1},
     tpExpired, "(1 day ago)"},
    {"VersionRefused", {.HandshakeError = Ssl(SSL_R_TLSV1_ALERT_PROTOCOL_VERSION)},
     tpNoCommonVersion, "refused every TLS version offered (tlsv1 alert protocol version)"},
    {"VersionAlertAlone", {.Alert = SSL_AD_PROTOCOL_VERSION}, tpNoCommonVersion,
     "(protocol version)"},
    {"NoVersionLeftToOffer", {.HandshakeError = Ssl(SSL_R_NO_PROTOCOLS_AVAILABLE)},
     tpNoCommonVersion, "the lowest version asked for is above the highest"},
    // TLS 1.3's alert comes after the client's side of the handshake is done.
    {"CertificateRequired",
     {.HandshakeDone = true, .HandshakeError = Ssl(SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED)},
     tpClientCertificateWanted, "the server asked for a client certificate"},
    {"FailureAfterRequest", {.HandshakeError = Failure, .CertificateRequested = true},
     tpClientCertificateWanted, "the server asked for a client certificate"},
    {"FailureWithoutRequest", {.HandshakeError = Failure}, tpHandshakeFailed,
     "TLS handshake failed: sslv3 alert handshake failure"},
    {"FailureWithCertificateOffered",
     {.HandshakeError = Failure, .CertificateRequested = true, .CertificateOffered = true},
     tpHandshakeFailed, "sslv3 alert handshake failure"},
    {"ClosedMidHandshake", {}, tpHandshakeFailed, "TLS handshake failed"},
};
// clang-format on

TEST(ExplainTlsTest, NamesTheProblemAndItsFacts) {
  const ScopedTimeZone Zone("Pacific/Auckland");
  for (const TReasonCase& Case : ReasonCases) {
    SCOPED_TRACE(Case.Name);
    ExpectReason(ExplainTls(Case.Outcome, Chain(), "asked.test", Now), Case.Problem, Case.Words);
  }
}

// OpenSSL's own check of a chain as a server sends it, at the PKI's time, at Debian's level 2.
TTlsOutcome Verify(const TPkiCert& Leaf, const std::string& Trust, const std::string& Asked,
                   std::vector<TTlsCertificate>& Sent) {
  BIO* Bio = BIO_new_file(Leaf.Chain.c_str(), "r");
  STACK_OF(X509)* Chain = sk_X509_new_null();
  while (X509* C = PEM_read_bio_X509(Bio, nullptr, nullptr, nullptr)) sk_X509_push(Chain, C);
  Sent = ChainFacts(Chain);
  X509_STORE* Store = X509_STORE_new();
  X509_STORE_CTX* Ctx = X509_STORE_CTX_new();
  X509_STORE_load_file(Store, Trust.c_str());
  X509_STORE_CTX_init(Ctx, Store, sk_X509_value(Chain, 0), Chain);
  X509_VERIFY_PARAM* Param = X509_STORE_CTX_get0_param(Ctx);
  X509_VERIFY_PARAM_set_time(Param, static_cast<time_t>(TTestPki::Get().Made));
  X509_VERIFY_PARAM_set_auth_level(Param, 2);
  if (!X509_VERIFY_PARAM_set1_ip_asc(Param, Asked.c_str()))
    X509_VERIFY_PARAM_set1_host(Param, Asked.c_str(), 0);
  TTlsOutcome Outcome = Checked(X509_V_OK, -1);
  if (X509_verify_cert(Ctx) != 1)
    Outcome = Checked(X509_STORE_CTX_get_error(Ctx), X509_STORE_CTX_get_error_depth(Ctx));
  X509_STORE_CTX_free(Ctx);
  X509_STORE_free(Store);
  sk_X509_pop_free(Chain, X509_free);
  BIO_free(Bio);
  ERR_clear_error();
  return Outcome;
}

struct TPkiCase {
  TPkiCert TTestPki::*Leaf;
  std::string Asked;  // "" asks for the leaf's own host
  bool TrustStranger;
  TTlsProblem Problem;
  std::string Words;
};

// clang-format off
const TPkiCase PkiCases[] = {
    {&TTestPki::Good, "", false, tpNone, ""},
    {&TTestPki::Expired, "", false, tpExpired, " (3 days ago)"},
    {&TTestPki::NotYetValid, "", false, tpNotYetValid, " (in 2 days)"},
    {&TTestPki::WrongHost, "", false, tpNameMismatch, "www.other.test, not wrong.test"},
    {&TTestPki::Ip, "127.0.0.2", false, tpNameMismatch, "127.0.0.1 and ::1, not 127.0.0.2"},
    {&TTestPki::SelfSigned, "", false, tpSelfSigned, "self.test's certificate is signed by itself"},
    {&TTestPki::Untrusted, "", false, tpUntrustedAuthority, "\"Orrery Untrusted Root\""},
    {&TTestPki::Good, "", true, tpUntrustedAuthority, "\"Orrery Test Root\""},
    {&TTestPki::LeafOnly, "", false, tpMissingIntermediate,
     "leafonly.test's certificate comes from \"Orrery Test Intermediate\", either an authority "
     "this system was not told to trust (name its certificate with --cacert) or an intermediate "
     "certificate the server did not send"},
    {&TTestPki::Sha1, "", false, tpWeakSignature, "SHA-1 (ecdsa-with-SHA1)"},
    {&TTestPki::Rsa1024, "", false, tpWeakKey, "an RSA key of 1024 bits"},
};
// clang-format on

TEST(ExplainTlsTest, TellsWhatOpenSslFoundInThePkisChains) {
  const TTestPki& Pki = TTestPki::Get();
  for (const TPkiCase& Case : PkiCases) {
    const TPkiCert& Leaf = Pki.*Case.Leaf;
    const std::string Asked = Case.Asked.empty() ? Leaf.Host : Case.Asked;
    SCOPED_TRACE(Asked + (Case.TrustStranger ? " trusting the other root" : ""));
    std::vector<TTlsCertificate> Sent;
    const TTlsOutcome Outcome =
        Verify(Leaf, Case.TrustStranger ? Pki.UntrustedRootFile : Pki.RootFile, Asked, Sent);
    ExpectReason(ExplainTls(Outcome, Sent, Asked, Pki.Made), Case.Problem, Case.Words);
  }
}

}  // namespace
