// -w FORMAT as a table: each row a format and what it gives for one set of values.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "cli/CliWriteOut.h"

namespace {

TWriteOutValues Sample() {
  TWriteOutValues V;
  V.HttpCode = 200;
  V.UrlEffective = "http://127.0.0.1:8080/last";
  V.NumRedirects = 2;
  V.Method = "GET";
  V.ExitCode = 0;
  V.ContentType = "text/plain";
  V.RemoteIp = "127.0.0.1";
  V.RemotePort = 8080;
  V.SizeDownload = 1234567;
  V.SizeHeader = 456;
  V.SizeRequest = 300;
  V.SizeUpload = 7;
  V.SpeedDownload = 98765.99;
  V.TimeNamelookup = 0.0000004;
  V.TimeConnect = 0.001;
  V.TimePretransfer = 0.0012345;
  V.TimeStarttransfer = 0.25;
  V.TimeRedirect = 0.125;
  V.TimeTotal = 12.3456789;
  return V;
}

// The values of a run that failed before it connected.
TWriteOutValues Failed() {
  TWriteOutValues V;
  V.UrlEffective = "http://127.0.0.1:1/";
  V.Method = "POST";
  V.ExitCode = 7;
  V.ErrorMsg = "could not connect to 127.0.0.1 port 1";
  V.TimeTotal = 0.0005;
  return V;
}

struct WriteOutCase {
  const char* Format;
  bool FromFailed;
  const char* Expected;
  std::vector<std::string> Unknown = {};
};

class CliWriteOutTest : public ::testing::TestWithParam<WriteOutCase> {};

TEST_P(CliWriteOutTest, Renders) {
  const WriteOutCase& C = GetParam();
  std::vector<std::string> Unknown;
  EXPECT_EQ(RenderWriteOut(C.Format, C.FromFailed ? Failed() : Sample(), &Unknown), C.Expected);
  EXPECT_EQ(Unknown, C.Unknown);
}

// clang-format off: one format a row reads best here.
INSTANTIATE_TEST_SUITE_P(
    Table, CliWriteOutTest,
    ::testing::Values(
        WriteOutCase{"", false, ""}, WriteOutCase{"plain text", false, "plain text"},
        WriteOutCase{"%{http_code}", false, "200"}, WriteOutCase{"%{response_code}", false, "200"},
        WriteOutCase{"%{http_code}", true, "000"},
        WriteOutCase{"%{url_effective}", false, "http://127.0.0.1:8080/last"},
        WriteOutCase{"%{num_redirects}", false, "2"}, WriteOutCase{"%{method}", false, "GET"},
        WriteOutCase{"%{method}", true, "POST"}, WriteOutCase{"%{exitcode}", false, "0"},
        WriteOutCase{"%{exitcode}", true, "7"}, WriteOutCase{"[%{errormsg}]", false, "[]"},
        WriteOutCase{"%{errormsg}", true, "could not connect to 127.0.0.1 port 1"},
        WriteOutCase{"%{content_type}", false, "text/plain"},
        WriteOutCase{"%{remote_ip}:%{remote_port}", false, "127.0.0.1:8080"},
        WriteOutCase{"[%{remote_ip}:%{remote_port} %{local_ip}:%{local_port}]", true, "[:0 :0]"},
        WriteOutCase{"%{size_download} %{size_header}", false, "1234567 456"},
        WriteOutCase{"%{size_request} %{size_upload}", false, "300 7"},
        WriteOutCase{"%{size_download} %{size_header}", true, "0 0"},
        WriteOutCase{"%{speed_download}", false, "98765"},
        WriteOutCase{"%{speed_download}", true, "0"},
        WriteOutCase{"%{time_namelookup}", false, "0.000000"},
        WriteOutCase{"%{time_connect}", false, "0.001000"},
        WriteOutCase{"%{time_pretransfer}", false, "0.001234"},
        WriteOutCase{"%{time_starttransfer}", false, "0.250000"},
        WriteOutCase{"%{time_redirect}", false, "0.125000"},
        WriteOutCase{"%{time_total}", false, "12.345679"},
        // A failure before the connection: the stages not reached are 0.
        WriteOutCase{"%{time_namelookup} %{time_connect} %{time_pretransfer} "
                     "%{time_starttransfer} %{time_redirect} %{time_total}",
                     true, "0.000000 0.000000 0.000000 0.000000 0.000000 0.000500"},
        WriteOutCase{"%{http_code}\\n", false, "200\n"},
        WriteOutCase{"a\\tb\\rc\\n", false, "a\tb\rc\n"},
        WriteOutCase{"\\x \\\\ \\", false, "\\x \\\\ \\"}, WriteOutCase{"100%%", false, "100%"},
        WriteOutCase{"%%{http_code}", false, "%{http_code}"}, WriteOutCase{"%", false, "%"},
        WriteOutCase{"50% done", false, "50% done"},
        WriteOutCase{"%{http_code", false, "%{http_code"}, WriteOutCase{"%{}", false, "", {""}},
        WriteOutCase{"<%{nope}>", false, "<>", {"nope"}},
        WriteOutCase{"%{HTTP_CODE}", false, "", {"HTTP_CODE"}},
        WriteOutCase{"%{http_code}%{http_code}", false, "200200"},
        WriteOutCase{"%{http_code} %{url_effective} %{num_redirects}\\n", false,
                     "200 http://127.0.0.1:8080/last 2\n"}));
// clang-format on

// A transfer's last pass: its reply's version as curl writes it; on a kept connection no
// look-up or connect of its own, unless an earlier pass of the transfer made it.
struct PassCase {
  const char* ReplyHeader;
  bool Reused;
  bool MadeBefore;
  const char* Version;
  const char* Times;  // time_namelookup time_connect time_pretransfer, "+" for above 0
};

class CliWriteOutPassTest : public ::testing::TestWithParam<PassCase> {};

TEST_P(CliWriteOutPassTest, ReadsTheLastPass) {
  const PassCase& C = GetParam();
  TExchangePass First;
  First.Started = std::chrono::steady_clock::now() - std::chrono::milliseconds(50);
  First.Connection = 0;
  TExchangePass Last = First;
  if (C.MadeBefore) First.At[xsConnected] = 5;
  Last.Started += std::chrono::milliseconds(20);
  Last.URL = "http://h.test/";
  Last.ReplyHeader = C.ReplyHeader;
  Last.ConnectionReused = C.Reused;
  if (!C.Reused) Last.At[xsConnected] = 5;
  const TWriteOutValues V = WriteOutValuesOf({First, Last}, std::chrono::steady_clock::now());
  EXPECT_EQ(V.HttpVersion, C.Version);
  std::string Times;
  for (const double T : {V.TimeNamelookup, V.TimeConnect, V.TimePretransfer})
    Times += T > 0 ? "+" : "0";
  EXPECT_EQ(Times, C.Times);
  EXPECT_EQ(V.Scheme, "HTTP");
  // Over TLS, a kept connection's pass holds its connection's session (a check that failed,
  // waived, and one certificate here), but made no handshake: curl's result is 0 then, and
  // it counts no certificate; a pass with no handshake at all says 1.
  Last.URL = "https://h.test/";
  if (C.Reused) {
    Last.Tls = TTlsFacts{};
    Last.Tls->Outcome.HandshakeDone = true;
    Last.Tls->Outcome.VerifyResult = 18;
    Last.Tls->Chain.resize(1);
  }
  const TWriteOutValues Tls = WriteOutValuesOf({Last}, std::chrono::steady_clock::now());
  EXPECT_EQ(Tls.SslVerifyResult, C.Reused ? 0 : 1);
  EXPECT_EQ(Tls.NumCerts, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliWriteOutPassTest,
    ::testing::Values(PassCase{"HTTP/1.0 200 OK\r\n\r\n", false, false, "1.0", "+++"},
                      PassCase{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", true, false,
                               "1.1", "+0+"},
                      PassCase{"HTTP/1.1 200 OK\r\n\r\n", true, true, "1.1", "0++"}));

}  // namespace
