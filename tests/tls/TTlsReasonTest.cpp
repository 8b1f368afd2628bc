// The plain-words reason of a failed handshake or check: by hand-built outcomes and chains for
// the exact words, then over the test PKI's certificates as OpenSSL's own check judges them.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <memory>

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

TTlsCertificate Cert(const std::string& Cn, const std::string& IssuerCn, bool Ca) {
  TTlsCertificate C;
  C.Subject = "CN=" + Cn;
  C.Issuer = "CN=" + IssuerCn;
  C.CommonName = Cn;
  C.IssuerCommonName = IssuerCn;
  C.IsCa = Ca;
  C.SelfIssued = Cn == IssuerCn;
  return C;
}

enum TShape { csSent, csLeafOnly, csWithRoot };

// One chain with a fault of every kind; the outcome says which one OpenSSL stopped at.
std::vector<TTlsCertificate> Chain(TShape Shape) {
  TTlsCertificate Leaf = Cert("good.test", "Orrery CA 2", false);
  Leaf.DnsNames = {"good.test", "www.good.test"};
  Leaf.IpAddresses = {"10.0.0.1"};
  Leaf.NotBefore = Now + 2 * Hour + 59;
  Leaf.NotAfter = Now - 3 * Day - Hour;
  TTlsCertificate Ca = Cert("Orrery CA 2", "Orrery Root", true);
  Ca.NotAfter = Now - Day - 5 * Hour;
  Ca.SignatureAlgorithm = "md5WithRSAEncryption";
  if (Shape == csLeafOnly) return {Leaf};
  if (Shape == csWithRoot) return {Leaf, Ca, Cert("Orrery Root", "Orrery Root", true)};
  return {Leaf, Ca};
}

TTlsOutcome Checked(long Result, int Depth) {
  return {.HandshakeDone = true, .VerifyResult = Result, .VerifyDepth = Depth, .Checked = true};
}
unsigned long Ssl(int Reason) { return ERR_PACK(ERR_LIB_SSL, 0, Reason); }

struct TReasonCase {
  const char* Name;
  TTlsOutcome Outcome;
  TShape Shape;
  TTlsProblem Problem;
  std::string English;
};
void PrintTo(const TReasonCase& Case, std::ostream* Out) { *Out << Case.Name; }

const TReasonCase ReasonCases[] = {
    {"Expired", Checked(X509_V_ERR_CERT_HAS_EXPIRED, 0), csSent, tpExpired,
     "certificate has expired: good.test's certificate was valid until 2026-12-06 09:00:00 UTC "
     "(3 days ago)"},
    {"ExpiredAboveWhatWasSent", Checked(X509_V_ERR_CERT_HAS_EXPIRED, 2), csSent, tpExpired,
     "certificate has expired: Orrery CA 2's certificate was valid until 2026-12-08 05:00:00 UTC "
     "(1 day ago)"},
    {"NotYetValid", Checked(X509_V_ERR_CERT_NOT_YET_VALID, 0), csSent, tpNotYetValid,
     "certificate is not yet valid: good.test's certificate is valid from 2026-12-09 12:00:59 UTC "
     "(in 2 hours)"},
    {"NameMismatch", Checked(X509_V_ERR_HOSTNAME_MISMATCH, 0), csSent, tpNameMismatch,
     "certificate does not match the name asked: the certificate covers good.test, www.good.test "
     "and 10.0.0.1, not asked.test"},
    {"IssuerOfTheLastAuthoritySentUnknown", Checked(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 1),
     csSent, tpUntrustedAuthority,
     "certificate issued by an untrusted authority: good.test's certificate comes from \"Orrery "
     "Root\", an authority this system does not trust"},
    {"IssuerOfTheLeafSentAloneUnknown", Checked(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 0),
     csLeafOnly, tpMissingIntermediate,
     "incomplete certificate chain: the server did not send the intermediate certificate \"Orrery "
     "CA 2\" that issued good.test's certificate"},
    {"RootSentButNotTrusted", Checked(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, 2), csWithRoot,
     tpUntrustedAuthority,
     "certificate issued by an untrusted authority: good.test's certificate comes from \"Orrery "
     "Root\", an authority this system does not trust"},
    {"WeakSignatureOfTheIntermediate", Checked(X509_V_ERR_CA_MD_TOO_WEAK, 1), csSent,
     tpWeakSignature,
     "weak certificate signature: Orrery CA 2's certificate is signed with MD5 "
     "(md5WithRSAEncryption), which is no longer trusted"},
    {"OtherCheck", Checked(X509_V_ERR_INVALID_PURPOSE, 0), csSent, tpOther,
     "certificate check failed: unsuitable certificate purpose"},
    {"CheckWaived", {.HandshakeDone = true, .VerifyResult = X509_V_ERR_CERT_HAS_EXPIRED}, csSent,
     tpNone, ""},
    {"CheckThatEndedTheHandshake",
     {.HandshakeError = Ssl(SSL_R_CERTIFICATE_VERIFY_FAILED), .VerifyResult = 10, .VerifyDepth = 0},
     csSent, tpExpired,
     "certificate has expired: good.test's certificate was valid until 2026-12-06 09:00:00 UTC "
     "(3 days ago)"},
    {"VersionRefused", {.HandshakeError = Ssl(SSL_R_TLSV1_ALERT_PROTOCOL_VERSION)}, csSent,
     tpNoCommonVersion,
     "no common TLS version: the server refused every TLS version offered (tlsv1 alert protocol "
     "version)"},
    {"VersionAlertAlone", {.Alert = SSL_AD_PROTOCOL_VERSION}, csSent, tpNoCommonVersion,
     "no common TLS version: the server refused every TLS version offered (protocol version)"},
    {"NoVersionLeftToOffer", {.HandshakeError = Ssl(SSL_R_NO_PROTOCOLS_AVAILABLE)}, csSent,
     tpNoCommonVersion,
     "no common TLS version: the lowest version asked for is above the highest, so none was "
     "offered"},
    // TLS 1.3's alert comes after the client's side of the handshake is done.
    {"CertificateRequired",
     {.HandshakeDone = true, .HandshakeError = Ssl(SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED)}, csSent,
     tpClientCertificateWanted,
     "client certificate required: the server asked for a client certificate and ended the "
     "connection without one"},
    {"HandshakeFailureAfterRequestWithoutCertificate",
     {.HandshakeError = Ssl(SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE), .CertificateRequested = true},
     csSent, tpClientCertificateWanted,
     "client certificate required: the server asked for a client certificate and ended the "
     "connection without one"},
    {"HandshakeFailureWithoutRequest", {.HandshakeError = Ssl(SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE)},
     csSent, tpHandshakeFailed, "TLS handshake failed: sslv3 alert handshake failure"},
    {"HandshakeFailureWithCertificateOffered",
     {.HandshakeError = Ssl(SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE), .CertificateRequested = true,
      .CertificateOffered = true},
     csSent, tpHandshakeFailed, "TLS handshake failed: sslv3 alert handshake failure"},
    {"ClosedMidHandshake", {}, csSent, tpHandshakeFailed, "TLS handshake failed"},
};

class ExplainTlsTest : public testing::TestWithParam<TReasonCase> {};

TEST_P(ExplainTlsTest, NamesTheProblemInPlainWords) {
  const TReasonCase& Case = GetParam();
  const ScopedTimeZone Zone("Pacific/Auckland");
  const TTlsReason Reason = ExplainTls(Case.Outcome, Chain(Case.Shape), "asked.test", Now);
  EXPECT_EQ(Reason.Problem, Case.Problem);
  EXPECT_EQ(ReasonInEnglish(Reason), Case.English);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ExplainTlsTest, testing::ValuesIn(ReasonCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// OpenSSL's own check of a chain as a server sends it, at the PKI's time, at Debian's level 2.
TTlsOutcome Verify(const TPkiCert& Leaf, const std::string& Trust, const std::string& Asked,
                   std::vector<TTlsCertificate>& Sent) {
  std::unique_ptr<BIO, decltype(&BIO_free)> Bio(BIO_new_file(Leaf.Chain.c_str(), "r"), BIO_free);
  STACK_OF(X509)* Chain = sk_X509_new_null();
  while (X509* C = PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr)) sk_X509_push(Chain, C);
  Sent = ChainFacts(Chain);
  X509_STORE* Store = X509_STORE_new();
  X509_STORE_load_file(Store, Trust.c_str());
  X509_STORE_CTX* Ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(Ctx, Store, sk_X509_value(Chain, 0), Chain);
  X509_VERIFY_PARAM* Param = X509_STORE_CTX_get0_param(Ctx);
  X509_VERIFY_PARAM_set_time(Param, static_cast<time_t>(TTestPki::Get().Made));
  X509_VERIFY_PARAM_set_auth_level(Param, 2);
  if (!X509_VERIFY_PARAM_set1_ip_asc(Param, Asked.c_str()))
    X509_VERIFY_PARAM_set1_host(Param, Asked.c_str(), 0);
  TTlsOutcome Outcome = Checked(X509_V_OK, -1);
  if (X509_verify_cert(Ctx) != 1) {
    Outcome.VerifyResult = X509_STORE_CTX_get_error(Ctx);
    Outcome.VerifyDepth = X509_STORE_CTX_get_error_depth(Ctx);
  }
  X509_STORE_CTX_free(Ctx);
  X509_STORE_free(Store);
  sk_X509_pop_free(Chain, X509_free);
  ERR_clear_error();
  return Outcome;
}

struct TPkiCase {
  const char* Name;
  const TPkiCert& (*Leaf)(const TTestPki&);
  std::string Asked;  // "" asks for the leaf's own host
  bool TrustStranger;
  TTlsProblem Problem;
  std::string Words;  // a part of the English that only the right facts give
};
void PrintTo(const TPkiCase& Case, std::ostream* Out) { *Out << Case.Name; }

#define LEAF(Field) [](const TTestPki& P) -> const TPkiCert& { return P.Field; }
const TPkiCase PkiCases[] = {
    {"Good", LEAF(Good), "", false, tpNone, ""},
    {"Wildcard", LEAF(Wildcard), "", false, tpNone, ""},
    {"IpV6", LEAF(Ip), "::1", false, tpNone, ""},
    {"Expired", LEAF(Expired), "", false, tpExpired, " (3 days ago)"},
    {"NotYetValid", LEAF(NotYetValid), "", false, tpNotYetValid, " (in 2 days)"},
    {"WrongHost", LEAF(WrongHost), "", false, tpNameMismatch,
     "covers other.test and www.other.test, not wrong.test"},
    {"WrongIp", LEAF(Ip), "127.0.0.2", false, tpNameMismatch, "127.0.0.1 and ::1, not 127.0.0.2"},
    {"SelfSigned", LEAF(SelfSigned), "", false, tpSelfSigned, "self.test's certificate is signed"},
    {"Untrusted", LEAF(Untrusted), "", false, tpUntrustedAuthority, "\"Orrery Untrusted Root\""},
    {"RootNotTrusted", LEAF(Good), "", true, tpUntrustedAuthority, "\"Orrery Test Root\""},
    {"LeafOnly", LEAF(LeafOnly), "", false, tpMissingIntermediate, "\"Orrery Test Intermediate\""},
    {"Sha1", LEAF(Sha1), "", false, tpWeakSignature, "SHA-1 (ecdsa-with-SHA1)"},
    {"Rsa1024", LEAF(Rsa1024), "", false, tpWeakKey, "an RSA key of 1024 bits"},
};
#undef LEAF

class ExplainPkiTest : public testing::TestWithParam<TPkiCase> {};

TEST_P(ExplainPkiTest, TellsWhatOpenSslFound) {
  const TPkiCase& Case = GetParam();
  const TTestPki& Pki = TTestPki::Get();
  const TPkiCert& Leaf = Case.Leaf(Pki);
  const std::string Asked = Case.Asked.empty() ? Leaf.Host : Case.Asked;
  std::vector<TTlsCertificate> Sent;
  const TTlsOutcome Outcome =
      Verify(Leaf, Case.TrustStranger ? Pki.UntrustedRootFile : Pki.RootFile, Asked, Sent);
  const TTlsReason Reason = ExplainTls(Outcome, Sent, Asked, Pki.Made);
  EXPECT_EQ(Reason.Problem, Case.Problem) << "OpenSSL said " << Outcome.VerifyResult;
  const std::string English = ReasonInEnglish(Reason);
  EXPECT_NE(English.find(Case.Words), std::string::npos) << English;
  EXPECT_EQ(English.empty(), Case.Problem == tpNone) << English;
}

INSTANTIATE_TEST_SUITE_P(Pki, ExplainPkiTest, testing::ValuesIn(PkiCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
