// The facts read from the test PKI's certificates against what each was made with and what the
// openssl command prints; names, SANs, keys and signatures are read again by the reason tests.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdio>

#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tls/CertificateTime.h"
#include "tls/TTlsCertificate.h"

namespace {

using testsupport::TPkiCert;
using testsupport::TTestPki;

std::vector<TTlsCertificate> ReadChain(const std::string& File) {
  BIO* Bio = BIO_new_file(File.c_str(), "r");
  STACK_OF(X509)* Chain = sk_X509_new_null();
  while (X509* Cert = PEM_read_bio_X509(Bio, nullptr, nullptr, nullptr)) sk_X509_push(Chain, Cert);
  auto Facts = ChainFacts(Chain);
  sk_X509_pop_free(Chain, X509_free);
  BIO_free(Bio);
  return Facts;
}

std::string OpensslSays(const std::string& File) {
  std::string Out;
  const std::string Line =
      "openssl x509 -noout -serial -fingerprint -sha256 -issuer -nameopt "
      "RFC2253 -in '" +
      File + "'";
  FILE* Pipe = ::popen(Line.c_str(), "r");
  char Block[512];
  for (std::size_t N; Pipe && (N = std::fread(Block, 1, sizeof Block, Pipe)) > 0;)
    Out.append(Block, N);
  if (Pipe) ::pclose(Pipe);
  return Out;
}

TEST(CertificateFactsTest, ReadWhatTheCertificateSays) {
  const ScopedTimeZone Zone("Pacific/Auckland");
  const std::pair<TPkiCert TTestPki::*, std::string> Cases[] = {
      {&TTestPki::Good, "CN=good.test,O=Orrery Tests"},
      {&TTestPki::Expired, "CN=expired.test,O=Orrery Tests"},
      {&TTestPki::NotYetValid, "CN=future.test,O=Orrery Tests"},
      {&TTestPki::Client, "CN=Orrery Test Client,O=Zürich Tests"},  // UTF-8 stays text
  };
  for (const auto& [Leaf, Subject] : Cases) {
    const TPkiCert& Pem = TTestPki::Get().*Leaf;
    SCOPED_TRACE(Pem.Cert);
    const auto Chain = ReadChain(Pem.Cert);
    ASSERT_EQ(Chain.size(), 1u);
    const TTlsCertificate& F = Chain.front();
    EXPECT_EQ(F.Subject, Subject);
    EXPECT_EQ(F.NotBefore, Pem.NotBefore);
    EXPECT_EQ(F.NotAfter, Pem.NotAfter);
    EXPECT_EQ(OpensslSays(Pem.Cert), "serial=" + F.Serial + "\nsha256 Fingerprint=" + F.Sha256 +
                                         "\nissuer=" + F.Issuer + "\n");
  }
}

TEST(CertificateFactsTest, ChainKeepsTheOrderSentLeafFirst) {
  const auto Facts = ReadChain(TTestPki::Get().Untrusted.Chain);
  ASSERT_EQ(Facts.size(), 2u);
  EXPECT_EQ(Facts[0].CommonName, "untrusted.test");
  EXPECT_FALSE(Facts[0].IsCa || Facts[0].SelfIssued);
  EXPECT_EQ(Facts[1].CommonName, "Orrery Untrusted Root");
  EXPECT_TRUE(Facts[1].IsCa && Facts[1].SelfIssued);
  EXPECT_TRUE(ChainFacts(nullptr).empty());
  EXPECT_EQ(CertificateFacts(nullptr), TTlsCertificate{});
}

// Every output's form of a certificate's date, before 1970, past 2038 and at the last second
// certificates can name, from OpenSSL's UTCTime or GeneralizedTime and back from the ISO text.
TEST(CertificateFactsTest, DatesAreExactFrom1950To9999) {
  const struct {
    const char* Asn1;
    std::int64_t Seconds;
    const char* Iso;
    const char* Curl;
  } Cases[] = {{"500101000000Z", -631152000, "1950-01-01T00:00:00Z", "Jan  1 00:00:00 1950 GMT"},
               {"20380120031408Z", 2147570048, "2038-01-20T03:14:08Z", "Jan 20 03:14:08 2038 GMT"},
               {"99991231235959Z", 253402300799, "9999-12-31T23:59:59Z",
                "Dec 31 23:59:59 9999 GMT"}};
  for (const auto& C : Cases) {
    ASN1_TIME* Time = ASN1_TIME_new();
    ASSERT_EQ(ASN1_TIME_set_string(Time, C.Asn1), 1);
    EXPECT_EQ(CertificateTime::FromAsn1(Time), C.Seconds) << C.Iso;
    ASN1_TIME_free(Time);
    EXPECT_EQ(CertificateTime::IsoText(C.Seconds), C.Iso);
    EXPECT_EQ(CertificateTime::FromIsoText(C.Iso), C.Seconds);
    EXPECT_EQ(CertificateTime::CurlText(C.Seconds), C.Curl);
  }
  EXPECT_EQ(CertificateTime::UtcText(253402300799), "9999-12-31 23:59:59 UTC");
  EXPECT_EQ(CertificateTime::FromIsoText("2038-01-20T05:14:08.25+02:00"), 2147570048);
  for (const char* Bad : {"", "2038-01-20", "2038-13-20T03:14:08Z", "2038-01-20T03:14:08+2"})
    EXPECT_EQ(CertificateTime::FromIsoText(Bad), std::nullopt) << Bad;
}

}  // namespace
