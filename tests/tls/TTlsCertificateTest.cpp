// The facts read from the test PKI's certificates, against what each was made with and against
// what the openssl command prints for the same file.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>

#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tls/TTlsCertificate.h"

namespace {

using testsupport::TTestPki;
using TCertPtr = std::unique_ptr<X509, decltype(&X509_free)>;
using TStrings = std::vector<std::string>;

TCertPtr Load(const std::string& File) {
  std::unique_ptr<BIO, decltype(&BIO_free)> Bio(BIO_new_file(File.c_str(), "r"), BIO_free);
  return TCertPtr(Bio ? PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr) : nullptr,
                  X509_free);
}

std::string Command(const std::string& Line) {
  std::string Out;
  if (FILE* Pipe = ::popen(Line.c_str(), "r")) {
    char Block[512];
    for (std::size_t N; (N = std::fread(Block, 1, sizeof Block, Pipe)) > 0;) Out.append(Block, N);
    ::pclose(Pipe);
  }
  return Out;
}

struct TFactsCase {
  const char* Name;
  std::string (*File)(const TTestPki&);
  std::string Subject, IssuerCommonName;
  TStrings Dns, Ips;
  std::string KeyType;
  int KeyBits;
  std::string Signature;
  bool IsCa, SelfIssued;
};
void PrintTo(const TFactsCase& Case, std::ostream* Out) { *Out << Case.Name; }

const std::string Tests = ",O=Orrery Tests";
const TFactsCase FactsCases[] = {
    {"Good", [](const TTestPki& P) { return P.Good.Cert; }, "CN=good.test" + Tests,
     "Orrery Test Intermediate", {"good.test"}, {}, "EC", 256, "ecdsa-with-SHA256", false, false},
    {"Ip", [](const TTestPki& P) { return P.Ip.Cert; }, "CN=127.0.0.1" + Tests,
     "Orrery Test Intermediate", {}, {"127.0.0.1", "::1"}, "EC", 256, "ecdsa-with-SHA256", false,
     false},
    {"Rsa1024", [](const TTestPki& P) { return P.Rsa1024.Cert; }, "CN=rsa1024.test" + Tests,
     "Orrery Test Intermediate", {"rsa1024.test"}, {}, "RSA", 1024, "ecdsa-with-SHA256", false,
     false},
    {"SelfSigned", [](const TTestPki& P) { return P.SelfSigned.Cert; }, "CN=self.test" + Tests,
     "self.test", {"self.test"}, {}, "EC", 256, "ecdsa-with-SHA256", false, true},
    // UTF-8 in a name stays text; the e-mail entry is neither a DNS name nor an address.
    {"Client", [](const TTestPki& P) { return P.Client.Cert; },
     "CN=Orrery Test Client,O=Zürich Tests", "Orrery Test Root", {}, {}, "EC", 256,
     "ecdsa-with-SHA256", false, false},
    {"Root", [](const TTestPki& P) { return P.RootFile; }, "CN=Orrery Test Root" + Tests,
     "Orrery Test Root", {}, {}, "EC", 256, "ecdsa-with-SHA256", true, true},
};

class CertificateFactsTest : public testing::TestWithParam<TFactsCase> {};

TEST_P(CertificateFactsTest, ReadsEveryField) {
  const TFactsCase& Case = GetParam();
  const std::string File = Case.File(TTestPki::Get());
  const TCertPtr Cert = Load(File);
  ASSERT_TRUE(Cert) << File;
  const TTlsCertificate F = CertificateFacts(Cert.get());
  EXPECT_EQ(F.Subject, Case.Subject);
  EXPECT_EQ(F.IssuerCommonName, Case.IssuerCommonName);
  EXPECT_EQ("CN=" + F.CommonName, Case.Subject.substr(0, Case.Subject.find(',')));
  EXPECT_EQ(F.DnsNames, Case.Dns);
  EXPECT_EQ(F.IpAddresses, Case.Ips);
  EXPECT_EQ(F.KeyType, Case.KeyType);
  EXPECT_EQ(F.KeyBits, Case.KeyBits);
  EXPECT_EQ(F.SignatureAlgorithm, Case.Signature);
  EXPECT_EQ(F.IsCa, Case.IsCa);
  EXPECT_EQ(F.SelfIssued, Case.SelfIssued);
  // The openssl command as the independent reader of serial, fingerprint and the issuer line.
  const std::string Printed = Command("openssl x509 -noout -serial -fingerprint -sha256 "
                                      "-issuer -nameopt RFC2253 -in '" + File + "'");
  EXPECT_EQ(Printed, "serial=" + F.Serial + "\nsha256 Fingerprint=" + F.Sha256 + "\nissuer=" +
                         F.Issuer + "\n");
}

INSTANTIATE_TEST_SUITE_P(Pki, CertificateFactsTest, testing::ValuesIn(FactsCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(CertificateFactsDatesTest, AreTheSecondsWrittenInUtc) {
  const TTestPki& Pki = TTestPki::Get();
  const ScopedTimeZone Zone("Pacific/Auckland");
  for (const auto* Leaf : {&Pki.Good, &Pki.Expired, &Pki.NotYetValid}) {
    const TTlsCertificate F = CertificateFacts(Load(Leaf->Cert).get());
    EXPECT_EQ(F.NotBefore, Leaf->NotBefore) << Leaf->Host;
    EXPECT_EQ(F.NotAfter, Leaf->NotAfter) << Leaf->Host;
  }
}

TEST(ChainFactsTest, KeepsTheOrderSentLeafFirst) {
  std::unique_ptr<BIO, decltype(&BIO_free)> Bio(
      BIO_new_file(TTestPki::Get().Good.Chain.c_str(), "r"), BIO_free);
  STACK_OF(X509)* Chain = sk_X509_new_null();
  while (X509* Cert = PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr))
    sk_X509_push(Chain, Cert);
  const auto Facts = ChainFacts(Chain);
  sk_X509_pop_free(Chain, X509_free);
  ASSERT_EQ(Facts.size(), 2u);
  EXPECT_EQ(Facts[0].CommonName, "good.test");
  EXPECT_EQ(Facts[1].CommonName, "Orrery Test Intermediate");
  EXPECT_TRUE(ChainFacts(nullptr).empty());
  EXPECT_EQ(CertificateFacts(nullptr), TTlsCertificate{});
}

}  // namespace
