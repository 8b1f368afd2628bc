// The facts read from the test PKI's certificates against what each was made with and what the
// openssl command prints; names, SANs, keys and signatures are read again by the reason tests.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdio>

#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
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

}  // namespace
