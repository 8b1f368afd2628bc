// The TLS lines of the -v trace as tables: a session's facts and the name asked, and the lines
// curl would print for them; the names and dates in curl's form.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cli/CliTlsTrace.h"

namespace {

TTlsFacts Good() {
  TTlsFacts F;
  F.Version = "TLSv1.3";
  F.Cipher = "TLS_AES_256_GCM_SHA384";
  F.Alpn = "http/1.0";
  F.Outcome.HandshakeDone = true;
  TTlsCertificate Leaf;
  Leaf.Subject = "CN=good.test,O=Orrery";
  Leaf.Issuer = "CN=Orrery Test Intermediate,O=Orrery";
  Leaf.DnsNames = {"other.test", "good.test", "*.wild.test"};
  Leaf.IpAddresses = {"127.0.0.1"};
  Leaf.NotBefore = 1765278479;  // Dec  9 11:07:59 2025
  Leaf.NotAfter = 1796814479;   // Dec  9 11:07:59 2026
  F.Chain = {Leaf};
  return F;
}

struct TraceCase {
  const char* Name;
  std::function<void(TTlsFacts&)> Change;
  const char* Asked;
  const char* Expected;  // the lines, each with "\n"; a leading "~" only asks for a part
};

class CliTlsTraceTest : public ::testing::TestWithParam<TraceCase> {};

TEST_P(CliTlsTraceTest, Lines) {
  const TraceCase& C = GetParam();
  TTlsFacts F = Good();
  C.Change(F);
  std::string Got;
  for (const std::string& Line : TlsTraceLines(F, C.Asked)) Got += Line + "\n";
  const std::string Expected = C.Expected;
  if (Expected.rfind('~', 0) == 0)
    EXPECT_NE(Got.find(Expected.substr(1)), std::string::npos) << Got;
  else
    EXPECT_EQ(Got, Expected);
}

// clang-format off: one case a row reads best here.
INSTANTIATE_TEST_SUITE_P(
    Table, CliTlsTraceTest,
    ::testing::Values(
        TraceCase{"Verified", [](TTlsFacts&) {}, "good.test",
                  "SSL connection using TLSv1.3 / TLS_AES_256_GCM_SHA384\n"
                  "ALPN: server accepted http/1.0\n"
                  "Server certificate:\n"
                  " subject: O=Orrery; CN=good.test\n"
                  " start date: Dec  9 11:07:59 2025 GMT\n"
                  " expire date: Dec  9 11:07:59 2026 GMT\n"
                  " subjectAltName: host \"good.test\" matched cert's \"good.test\"\n"
                  " issuer: O=Orrery; CN=Orrery Test Intermediate\n"
                  " SSL certificate verify ok.\n"},
        TraceCase{"NameInAnyCase", [](TTlsFacts&) {}, "GOOD.test",
                  "~ subjectAltName: host \"GOOD.test\" matched cert's \"good.test\"\n"},
        TraceCase{"Wildcard", [](TTlsFacts&) {}, "a.wild.test",
                  "~ subjectAltName: host \"a.wild.test\" matched cert's \"*.wild.test\"\n"},
        // A wildcard stands for one whole label, never for two or for none.
        TraceCase{"WildcardNotTwoLabels", [](TTlsFacts&) {}, "a.b.wild.test",
                  "~ subjectAltName does not match a.b.wild.test\n"},
        TraceCase{"WildcardNotBare", [](TTlsFacts&) {}, "wild.test",
                  "~ subjectAltName does not match wild.test\n"},
        TraceCase{"IpAddress", [](TTlsFacts&) {}, "127.0.0.1",
                  "~ subjectAltName: host \"127.0.0.1\" matched cert's IP address!\n"},
        TraceCase{"IpNotAsDnsName", [](TTlsFacts& F) { F.Chain[0].DnsNames = {"127.0.0.2"}; },
                  "127.0.0.2", "~ subjectAltName does not match 127.0.0.2\n"},
        TraceCase{"NoAlpn", [](TTlsFacts& F) { F.Alpn.clear(); }, "good.test",
                  "~ALPN: server did not agree on a protocol. Uses default.\n"},
        TraceCase{"Resumed", [](TTlsFacts& F) { F.Resumed = true; }, "good.test",
                  "~SSL re-using session ID\nSSL connection using"},
        TraceCase{"Waived",
                  [](TTlsFacts& F) {
                    F.VerifyWaived = true;
                    F.Outcome.VerifyResult = 18;
                    F.Reason.Problem = TTlsProblem::tpSelfSigned;
                  },
                  "good.test", "~(18), continuing anyway.\n"},
        TraceCase{"NotDone", [](TTlsFacts& F) { F.Outcome.HandshakeDone = false; }, "good.test",
                  ""}),
    [](const auto& Info) { return std::string(Info.param.Name); });
// clang-format on

TEST(CurlNames, InTheCertificatesOrderWithEscapesUndone) {
  const std::pair<const char*, const char*> Rows[] = {
      {"CN=a.test,O=Orrery", "O=Orrery; CN=a.test"},
      {"CN=a.test", "CN=a.test"},
      {"CN=Doe\\, Jane,O=Z\\C3\\BCrich Tests,C=CH", "C=CH; O=Z\xC3\xBCrich Tests; CN=Doe, Jane"},
      {"", ""}};
  for (const auto& [Given, Shown] : Rows) EXPECT_EQ(CurlDistinguishedName(Given), Shown) << Given;
  EXPECT_EQ(CurlCertificateDate(0), "Jan  1 00:00:00 1970 GMT");
  EXPECT_EQ(CurlCertificateDate(1796814479), "Dec  9 11:07:59 2026 GMT");
}

}  // namespace
