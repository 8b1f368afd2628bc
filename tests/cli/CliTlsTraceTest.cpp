// The TLS lines of the -v trace as a table: a session's facts and the name asked, and the lines
// curl would print for them.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cli/CliTlsTrace.h"

namespace {

struct TraceCase {
  const char* Name;
  std::function<void(TTlsFacts&)> Change;
  const char* Asked;
  const char* Expected;  // the lines, each with "\n"; a leading "~" asks for a part only
};

class CliTlsTraceTest : public ::testing::TestWithParam<TraceCase> {};

TEST_P(CliTlsTraceTest, Lines) {
  TTlsFacts F;
  F.Version = "TLSv1.3";
  F.Cipher = "TLS_AES_256_GCM_SHA384";
  F.Alpn = "http/1.0";
  F.Outcome.HandshakeDone = true;
  F.Chain.resize(1);
  TTlsCertificate& Leaf = F.Chain[0];
  Leaf.Subject = "CN=good.test,O=Z\\C3\\BCrich\\, Tests";
  Leaf.CommonName = "good.test";
  Leaf.Issuer = "CN=Orrery Test Intermediate,O=Orrery";
  Leaf.DnsNames = {"other.test", "good.test", "*.wild.test"};
  Leaf.IpAddresses = {"127.0.0.1"};
  Leaf.NotBefore = 1765278479;  // Dec  9 11:07:59 2025
  Leaf.NotAfter = 1796814479;
  GetParam().Change(F);
  std::string Got;
  for (const std::string& Line : TlsTraceLines(F, GetParam().Asked, 1796814479 + 86400))
    Got += Line + "\n";
  const std::string Expected = GetParam().Expected;
  if (Expected.rfind('~', 0) == 0)
    EXPECT_NE(Got.find(Expected.substr(1)), std::string::npos) << Got;
  else
    EXPECT_EQ(Got, Expected);
}

const auto Same = [](TTlsFacts&) {};

// One case a row reads best here.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, CliTlsTraceTest,
    ::testing::Values(
        // The names in the certificate's own order, "; " between, escapes undone.
        TraceCase{"Verified", Same, "good.test",
                  "SSL connection using TLSv1.3 / TLS_AES_256_GCM_SHA384\n"
                  "ALPN: server accepted http/1.0\n"
                  "Server certificate:\n subject: O=Z\xC3\xBCrich, Tests; CN=good.test\n"
                  " start date: Dec  9 11:07:59 2025 GMT\n expire date: Dec  9 11:07:59 2026 GMT\n"
                  " subjectAltName: host \"good.test\" matched cert's \"good.test\"\n"
                  " issuer: O=Orrery; CN=Orrery Test Intermediate\n SSL certificate verify ok.\n"},
        TraceCase{"AnyCase", Same, "GOOD.test",
                  "~host \"GOOD.test\" matched cert's \"good.test\"\n"},
        TraceCase{"Wildcard", Same, "a.wild.test",
                  "~host \"a.wild.test\" matched cert's \"*.wild.test\"\n"},
        // A wildcard stands for one whole label, never for two or for none.
        TraceCase{"WildcardNotTwoLabels", Same, "a.b.wild.test",
                  "~ subjectAltName does not match a.b.wild.test\n"},
        TraceCase{"WildcardNotBare", Same, "wild.test",
                  "~ subjectAltName does not match wild.test\n"},
        // An entry with its final dot covers the name without it; two dots are another name.
        TraceCase{"DottedEntry", [](TTlsFacts& F) { F.Chain[0].DnsNames = {"good.test."}; },
                  "good.test", "~host \"good.test\" matched cert's \"good.test.\"\n"},
        TraceCase{"TwoDots", [](TTlsFacts& F) { F.Chain[0].DnsNames = {"good.test."}; },
                  "good.test..", "~ subjectAltName does not match good.test..\n"},
        TraceCase{"IpAddress", Same, "127.0.0.1",
                  "~host \"127.0.0.1\" matched cert's IP address!\n"},
        TraceCase{"Ipv6Address", [](TTlsFacts& F) { F.Chain[0].IpAddresses = {"::1"}; }, "::1",
                  "~host \"::1\" matched cert's IP address!\n"},
        TraceCase{"IpNotAsDnsName", [](TTlsFacts& F) { F.Chain[0].DnsNames = {"127.0.0.2"}; },
                  "127.0.0.2", "~ subjectAltName does not match 127.0.0.2\n"},
        TraceCase{"NoAlpn", [](TTlsFacts& F) { F.Alpn.clear(); }, "good.test",
                  "~ALPN: server did not agree on a protocol. Uses default.\n"},
        TraceCase{"Resumed", [](TTlsFacts& F) { F.Resumed = true; }, "good.test",
                  "~SSL re-using session ID\nSSL connection using"},
        // The session explains no check that -k waived: the trace still says what failed.
        TraceCase{"Waived",
                  [](TTlsFacts& F) { F.VerifyWaived = true; F.Outcome.VerifyResult = 10; },
                  "good.test",
                  "~ SSL certificate verify result: certificate has expired: good.test's "
                  "certificate was valid until 2026-12-09 11:07:59 UTC (1 day ago) (10), "
                  "continuing anyway.\n"},
        TraceCase{"NotDone", [](TTlsFacts& F) { F.Outcome.HandshakeDone = false; }, "good.test",
                  ""}),
    [](const auto& Info) { return std::string(Info.param.Name); });
// clang-format on

}  // namespace
