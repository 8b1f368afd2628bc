// orrery-cli's command line and exit statuses, as tables: each row is a command line and
// what it asks for (or the reason it is refused), or a way a run ended and its status.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "cli/CliErrors.h"
#include "cli/CliExitStatus.h"
#include "cli/TCliOptions.h"
#include "http/HttpErrors.h"
#include "socket/ETlsSockError.h"
#include "socket/SockErrors.h"

namespace {

const char* KindName(TCliOptions::TDataKind Kind) {
  switch (Kind) {
    case TCliOptions::dkText: return "text";
    case TCliOptions::dkBinary: return "binary";
    case TCliOptions::dkRaw: return "raw";
    case TCliOptions::dkUrlEncode: return "urlencode";
  }
  return "?";
}

// The options a command line set, in a fixed order; defaults are left out.
std::string Described(const TCliOptions& O) {
  if (O.Action == TCliOptions::caHelp) return "help";
  if (O.Action == TCliOptions::caVersion) return "version";
  std::string S;
  const auto Add = [&S](const std::string& Item) { S += (S.empty() ? "" : " ") + Item; };
  if (O.Command != hcGet) Add(std::string(CliCommandWord(O.Command)));
  if (O.Head) Add("head");
  if (O.IncludeHeader) Add("include");
  if (O.FollowLocation) Add("location");
  if (O.MaxRedirs != 20) Add("max-redirs=" + std::to_string(O.MaxRedirs));
  if (O.Fail) Add("fail");
  if (O.Silent) Add("silent");
  if (O.ShowError) Add("show-error");
  for (const auto& Piece : O.Data) Add(std::string(KindName(Piece.Kind)) + "=" + Piece.Value);
  if (O.HasData && O.Data.empty()) Add("data?");
  if (!O.Target.empty()) Add("target=" + O.Target);
  for (const auto& H : O.Headers) Add("header=" + H);
  if (!O.ProxyHost.empty() || O.ProxyPort != 0)
    Add("proxy=" + O.ProxyHost + ":" + std::to_string(O.ProxyPort));
  if (O.MaxFileSize != 0) Add("max-filesize=" + std::to_string(O.MaxFileSize));
  if (!O.UserId.empty() || !O.Password.empty()) Add("user=" + O.UserId + " pass=" + O.Password);
  if (!O.Agent.empty()) Add("agent=" + O.Agent);
  if (!O.Referer.empty()) Add("referer=" + O.Referer);
  if (!O.Cookie.empty()) Add("cookie=" + O.Cookie);
  if (O.TimeOutMs != 0) Add("timeout=" + std::to_string(O.TimeOutMs));
  for (const auto& File : O.OutputFiles) Add("out=" + (File.empty() ? "-" : File));
  if (O.HttpVersion != hv2)
    Add(O.HttpVersion == hv10 ? "http1.0" : O.HttpVersion == hv11 ? "http1.1" : "http2-prior");
  if (O.Verbose) Add("verbose=" + std::to_string(O.Verbose));
  if (O.HasWriteOut) Add("w=" + O.WriteOut);
  if (!O.HarFile.empty()) Add("har=" + O.HarFile);
  const TTlsSettings& T = O.Tls;
  if (!T.Verify) Add("insecure");
  for (const auto& [Name, Value] : {std::pair{"cacert", T.CaFile}, {"capath", T.CaPath},
                                    {"pinned", T.PinnedPublicKey},
                                    {"cert", T.CertFile}, {"key", T.KeyFile},
                                    {"keypass", T.KeyPassphrase}})
    if (!Value.empty()) Add(std::string(Name) + "=" + Value);
  if (T.MinVersion != TTlsVersion::tv12) Add("min=" + std::to_string(int(T.MinVersion)));
  if (T.MaxVersion != TTlsVersion::tvAny) Add("max=" + std::to_string(int(T.MaxVersion)));
  if (O.AddressFamily != afAny) Add(O.AddressFamily == afIPv4 ? "ipv4" : "ipv6");
  for (const auto& R : O.Resolves)
    Add("resolve=" + R.Host + "/" + std::to_string(R.Port) + "/" + R.Address);
  for (const auto& C : O.ConnectTos)
    Add("connect-to=" + C.Host + "/" + std::to_string(C.Port) + "/" + C.ToHost + "/" +
        std::to_string(C.ToPort));
  for (const auto& URL : O.URLs) Add("url=" + URL);
  return S;
}

struct ParseCase {
  std::vector<std::string> Args;
  std::string Expected;  // Described(...) of the result, or "error: " and part of the reason
};

class CliOptionsTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(CliOptionsTest, ReadsTheCommandLine) {
  const ParseCase& C = GetParam();
  std::string Got;
  try {
    Got = Described(TCliOptions::Parse(C.Args));
  } catch (const EUsageError& E) {
    Got = std::string("error: ") + E.what();
  }
  if (C.Expected.rfind("error: ", 0) == 0)
    EXPECT_NE(Got.find(C.Expected), std::string::npos) << "got: " << Got;
  else
    EXPECT_EQ(Got, C.Expected);
}

// clang-format off: one command line a row reads best here.
INSTANTIATE_TEST_SUITE_P(
    Basics, CliOptionsTest,
    ::testing::Values(
        ParseCase{{"http://h/"}, "url=http://h/"}, ParseCase{{"-I", "u"}, "HEAD head url=u"},
        ParseCase{{"-i", "-v", "u"}, "include verbose=1 url=u"},
        ParseCase{{"u", "-iv"}, "include verbose=1 url=u"},
        ParseCase{{"-vim5", "u"}, "include timeout=5000 verbose=1 url=u"},
        ParseCase{{"-vim", "5", "u"}, "include timeout=5000 verbose=1 url=u"},
        ParseCase{{"-vv", "u"}, "verbose=2 url=u"},
        ParseCase{{"-v", "--verbose", "-v", "u"}, "verbose=3 url=u"},
        ParseCase{{"-sSLf", "u"}, "location fail silent show-error url=u"},
        ParseCase{{"--silent", "--show-error", "--location", "--fail", "u"},
                  "location fail silent show-error url=u"},
        ParseCase{{"-x", "proxy.test:3128", "u"}, "proxy=proxy.test:3128 url=u"},
        ParseCase{{"-x", "http://proxy.test:3128", "u"}, "proxy=proxy.test:3128 url=u"},
        ParseCase{{"-x", "HTTP://proxy.test:3128/", "u"}, "proxy=proxy.test:3128 url=u"},
        ParseCase{{"--proxy=http://p:1", "u"}, "proxy=p:1 url=u"},
        ParseCase{{"-x", "a:b:65535", "u"}, "proxy=a:b:65535 url=u"},
        ParseCase{{"-x", "http://[::1]:8888/", "u"}, "proxy=::1:8888 url=u"},
        ParseCase{{"-x", "[::1]", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "[::1]x:8", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "[host]:8", "u"}, "error: -x needs an IPv6 address"},
        ParseCase{{"-u", "ann:se:cret", "u"}, "user=ann pass=se:cret url=u"},
        ParseCase{{"--user", "ann:", "u"}, "user=ann pass= url=u"},
        ParseCase{{"-A", "Probe 1", "-e", "http://r/", "-b", "k=v; m=n", "u"},
                  "agent=Probe 1 referer=http://r/ cookie=k=v; m=n url=u"},
        ParseCase{{"--user-agent=A=B", "--referer", "r", "--cookie=c", "u"},
                  "agent=A=B referer=r cookie=c url=u"},
        ParseCase{{"-o", "out.bin", "u"}, "out=out.bin url=u"},
        ParseCase{{"--output=out.bin", "u"}, "out=out.bin url=u"},
        ParseCase{{"-o", "-", "u"}, "out=- url=u"},
        // Several URLs, each taking the -o of its place.
        ParseCase{{"-o", "a", "u", "-o", "-", "v", "w"}, "out=a out=- url=u url=v url=w"},
        ParseCase{{"a", "b"}, "url=a url=b"}, ParseCase{{"a", ""}, "error: an empty URL"},
        ParseCase{{"-w", "%{http_code}\\n", "u"}, "w=%{http_code}\\n url=u"},
        ParseCase{{"--write-out=", "u"}, "w= url=u"},
        ParseCase{{"--har", "x.har", "u"}, "har=x.har url=u"},
        // The last of -0, --http1.1, --http2 and --http2-prior-knowledge decides; HTTP/2 where
        // an https server takes it unless one is given.
        ParseCase{{"-0", "u"}, "http1.0 url=u"}, ParseCase{{"-0", "--http1.1", "u"}, "http1.1 url=u"},
        ParseCase{{"--http1.1", "--http1.0", "u"}, "http1.0 url=u"},
        ParseCase{{"--http1.1", "--http2", "u"}, "url=u"},
        ParseCase{{"--http2-prior-knowledge", "u"}, "http2-prior url=u"},
        ParseCase{{"--http2-prior-knowledge", "-0", "u"}, "http1.0 url=u"},
        ParseCase{{"--", "-v"}, "url=-v"}, ParseCase{{"-"}, "url=-"}, ParseCase{{"--help"}, "help"},
        ParseCase{{"-h"}, "help"}, ParseCase{{"-V"}, "version"},
        ParseCase{{"--version"}, "version"}, ParseCase{{"--version", "--help"}, "help"},
        ParseCase{{"--help", "--version"}, "help"},
        ParseCase{{"-z", "--help"}, "error: unknown option -z"},
        ParseCase{{}, "error: no URL given"}, ParseCase{{""}, "error: an empty URL"},
        ParseCase{{"-v"}, "error: no URL given"},
        ParseCase{{"-z", "u"}, "error: unknown option -z"},
        ParseCase{{"-iz", "u"}, "error: unknown option -z"},
        ParseCase{{"--bogus", "u"}, "error: unknown option --bogus"},
        ParseCase{{"--bogus=1", "u"}, "error: unknown option --bogus"},
        ParseCase{{"--locat", "u"}, "error: unknown option --locat"},
        ParseCase{{"--location=yes", "u"}, "error: option --location takes no value"},
        ParseCase{{"u", "-d"}, "error: option -d needs a value"},
        ParseCase{{"u", "--data"}, "error: option --data needs a value"},
        ParseCase{{"-x", "host", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "host:0", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "host:65536", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", ":80", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "http://:80", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "host:8o", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "socks5://host:1080", "u"}, "error: -x takes only an HTTP proxy"},
        ParseCase{{"-x", "https://host:443", "u"}, "error: -x takes only an HTTP proxy"},
        ParseCase{{"-u", "nocolon", "u"}, "error: -u needs USER:PASSWORD"},
        ParseCase{{"-o", "", "u"}, "error: -o needs a file name"},
        ParseCase{{"--har=", "u"}, "error: --har needs a file name"}));

// -m is in seconds, as curl reads it, with decimals; a part of a millisecond counts as one.
INSTANTIATE_TEST_SUITE_P(
    MaxTime, CliOptionsTest,
    ::testing::Values(ParseCase{{"-m", "0", "u"}, "url=u"},
                      ParseCase{{"-m", "5", "u"}, "timeout=5000 url=u"},
                      ParseCase{{"-m", "0.5", "u"}, "timeout=500 url=u"},
                      ParseCase{{"-m", ".5", "u"}, "timeout=500 url=u"},
                      ParseCase{{"-m", "5.", "u"}, "timeout=5000 url=u"},
                      ParseCase{{"-m", "1.25", "u"}, "timeout=1250 url=u"},
                      ParseCase{{"-m", "0.001", "u"}, "timeout=1 url=u"},
                      ParseCase{{"-m", "0.0001", "u"}, "timeout=1 url=u"},
                      ParseCase{{"-m", "0.0010", "u"}, "timeout=1 url=u"},
                      ParseCase{{"-m", "2.0009", "u"}, "timeout=2001 url=u"},
                      ParseCase{{"-m", "0.000", "u"}, "url=u"},
                      ParseCase{{"--max-time", "2147483.647", "u"}, "timeout=2147483647 url=u"},
                      ParseCase{{"--max-time=30", "u"}, "timeout=30000 url=u"},
                      ParseCase{{"-m", "2147483.648", "u"}, "error: -m needs"},
                      ParseCase{{"-m", "2147484", "u"}, "error: -m needs"},
                      ParseCase{{"-m", "99999999999999999999", "u"}, "error: -m needs"},
                      ParseCase{{"-m", "abc", "u"}, "error: -m needs"},
                      ParseCase{{"-m", "-5", "u"}, "error: -m needs"},
                      ParseCase{{"-m", "5s", "u"}, "error: -m needs"},
                      ParseCase{{"-m", ".", "u"}, "error: -m needs"},
                      ParseCase{{"-m", "1.2.3", "u"}, "error: -m needs"},
                      ParseCase{{"-m", "1e3", "u"}, "error: -m needs"},
                      ParseCase{{"-m", "", "u"}, "error: -m needs"}));

// -X names any command of the component; -I, -d and -X must agree on one.
INSTANTIATE_TEST_SUITE_P(
    Commands, CliOptionsTest,
    ::testing::Values(
        ParseCase{{"-X", "GET", "u"}, "url=u"}, ParseCase{{"-X", "HEAD", "u"}, "HEAD url=u"},
        ParseCase{{"-X", "POST", "u"}, "POST url=u"}, ParseCase{{"-XPUT", "u"}, "PUT url=u"},
        ParseCase{{"--request", "PATCH", "u"}, "PATCH url=u"},
        ParseCase{{"--request=DELETE", "u"}, "DELETE url=u"},
        ParseCase{{"-X", "OPTIONS", "u"}, "OPTIONS url=u"},
        ParseCase{{"-X", "TRACE", "u"}, "TRACE url=u"},
        ParseCase{{"-X", "copy", "--target", "/b", "u"}, "COPY target=/b url=u"},
        ParseCase{{"-X", "MOVE", "--target=/b", "u"}, "MOVE target=/b url=u"},
        ParseCase{{"-X", "LINK", "--target", "<l>", "u"}, "LINK target=<l> url=u"},
        ParseCase{{"-X", "UnLink", "--target", "<l>", "u"}, "UNLINK target=<l> url=u"},
        ParseCase{{"-X", "GET", "-X", "PUT", "u"}, "PUT url=u"},
        ParseCase{{"-I", "-X", "HEAD", "u"}, "HEAD head url=u"},
        ParseCase{{"-X", "PUT", "-d", "x", "u"}, "PUT text=x url=u"},
        ParseCase{{"-d", "x", "-X", "TRACE", "u"}, "TRACE text=x url=u"},
        ParseCase{{"-X", "FETCH", "u"}, "error: -X takes GET, HEAD"},
        ParseCase{{"-X", "WRAPPED", "u"}, "error: -X takes GET, HEAD"},
        ParseCase{{"-X", "", "u"}, "error: -X takes GET, HEAD"},
        ParseCase{{"-X", "GET ", "u"}, "error: -X takes GET, HEAD"},
        ParseCase{{"-I", "-d", "x", "u"}, "error: -I and -d"},
        ParseCase{{"-d", "x", "--head", "u"}, "error: -I and -d"},
        ParseCase{{"-I", "--data-binary", "@f", "u"}, "error: -I and -d"},
        ParseCase{{"-I", "-X", "POST", "u"}, "error: -I and -X POST"},
        ParseCase{{"-X", "GET", "-I", "u"}, "error: -I and -X GET"},
        ParseCase{{"-X", "GET", "-d", "x", "u"}, "error: -X GET sends no body"},
        ParseCase{{"-X", "DELETE", "-d", "x", "u"}, "error: -X DELETE sends no body"},
        ParseCase{{"-X", "HEAD", "-d", "x", "u"}, "error: -X HEAD sends no body"},
        ParseCase{{"-X", "COPY", "u"}, "error: -X COPY needs --target"},
        ParseCase{{"-X", "UNLINK", "u"}, "error: -X UNLINK needs --target"},
        ParseCase{{"--target", "/b", "u"}, "error: --target is only for"},
        ParseCase{{"-X", "PUT", "--target", "/b", "u"}, "error: --target is only for"}));

// Bodies, headers, redirection and size bounds.
INSTANTIATE_TEST_SUITE_P(
    BodiesAndHeaders, CliOptionsTest,
    ::testing::Values(
        ParseCase{{"-d", "a=1&b=2", "u"}, "POST text=a=1&b=2 url=u"},
        ParseCase{{"-d", "", "u"}, "POST text= url=u"},
        ParseCase{{"-dx=-1", "u"}, "POST text=x=-1 url=u"},
        ParseCase{{"-d", "-v", "u"}, "POST text=-v url=u"},
        ParseCase{{"--data=a=b", "u"}, "POST text=a=b url=u"},
        ParseCase{{"-d", "a", "--data-binary", "@f", "--data-raw", "@r", "u"},
                  "POST text=a binary=@f raw=@r url=u"},
        ParseCase{{"--data-ascii", "x", "u"}, "POST text=x url=u"},
        ParseCase{{"--data-urlencode", "a b=c&d", "--data-urlencode", "e", "u"},
                  "POST urlencode=a b=c&d urlencode=e url=u"},
        ParseCase{{"--data-urlencode", "a", "-d", "b", "u"},
                  "error: --data-urlencode cannot be mixed"},
        ParseCase{{"-d", "b", "--data-urlencode", "a", "u"},
                  "error: --data-urlencode cannot be mixed"},
        ParseCase{{"-H", "X-A: 1", "-H", "Accept:", "--header=User-Agent: me", "u"},
                  "header=X-A: 1 header=Accept: header=User-Agent: me url=u"},
        ParseCase{{"-H", "X-Empty:", "u"}, "header=X-Empty: url=u"},
        ParseCase{{"-H", "Host:other:8080", "u"}, "header=Host:other:8080 url=u"},
        ParseCase{{"-H", "NoColon", "u"}, "error: -H needs 'Name: value'"},
        ParseCase{{"-H", ": value", "u"}, "error: -H needs 'Name: value'"},
        ParseCase{{"-H", "Two Words: x", "u"}, "error: -H needs 'Name: value'"},
        ParseCase{{"-H", "X: a\r\nY: b", "u"}, "error: -H cannot hold a line end"},
        ParseCase{{"-H", "X: a\nb", "u"}, "error: -H cannot hold a line end"},
        ParseCase{{"-H", "Content-Length: 5", "u"}, "error: -H cannot set Content-Length"},
        ParseCase{{"-H", "content-length:", "u"}, "error: -H cannot set Content-Length"},
        ParseCase{{"-H", "Content-Lengthy: 5", "u"}, "header=Content-Lengthy: 5 url=u"},
        ParseCase{{"--max-redirs", "3", "-L", "u"}, "location max-redirs=3 url=u"},
        ParseCase{{"--max-redirs=0", "u"}, "max-redirs=0 url=u"},
        ParseCase{{"--max-redirs", "50", "u"}, "url=u"},
        ParseCase{{"--max-redirs", "-1", "u"}, "url=u"},
        ParseCase{{"--max-redirs", "-2", "u"}, "error: --max-redirs needs"},
        ParseCase{{"--max-redirs", "x", "u"}, "error: --max-redirs needs"},
        ParseCase{{"--max-filesize", "1000", "u"}, "max-filesize=1000 url=u"},
        ParseCase{{"--max-filesize", "2k", "u"}, "max-filesize=2048 url=u"},
        ParseCase{{"--max-filesize=3M", "u"}, "max-filesize=3145728 url=u"},
        ParseCase{{"--max-filesize", "1G", "u"}, "max-filesize=1073741824 url=u"},
        ParseCase{{"--max-filesize", "0", "u"}, "url=u"},
        ParseCase{{"--max-filesize", "k", "u"}, "error: --max-filesize needs"},
        ParseCase{{"--max-filesize", "1T", "u"}, "error: --max-filesize needs"},
        ParseCase{{"--max-filesize", "-1", "u"}, "error: --max-filesize needs"},
        ParseCase{{"--max-filesize", "99999999999999999G", "u"}, "error: --max-filesize needs"}));
// clang-format on

// TLS options with curl's spelling; -E's password follows an unescaped colon.
INSTANTIATE_TEST_SUITE_P(
    Tls, CliOptionsTest,
    ::testing::Values(
        ParseCase{{"-k", "--cacert", "c", "--capath=/d", "u"}, "insecure cacert=c capath=/d url=u"},
        ParseCase{{"-E", "c.pem:se:cret", "u"}, "cert=c.pem keypass=se:cret url=u"},
        ParseCase{{"--cert", "a\\:b.pem:pw", "u"}, "cert=a:b.pem keypass=pw url=u"},
        ParseCase{{"-E", "c", "--key", "k", "--pass", "pw", "u"}, "cert=c key=k keypass=pw url=u"},
        ParseCase{{"--tlsv1.3", "--tls-max", "1.3", "u"}, "min=13 max=13 url=u"},
        ParseCase{{"--tlsv1.3", "--tlsv1.2", "--tls-max=1.2", "--tls-max", "default", "u"},
                  "url=u"},
        ParseCase{{"--resolve", "a:1:10.0.0.1,[::1],::2", "u"}, "resolve=a/1/10.0.0.1,[::1],::2 url=u"},
        ParseCase{{"-4", "--ipv6", "u"}, "ipv6 url=u"},
        ParseCase{{"-6", "--ipv4", "u"}, "ipv4 url=u"},
        ParseCase{{"--connect-to", "a:443:b:8443", "--connect-to", "::b:", "u"},
                  "connect-to=a/443/b/8443 connect-to=/0/b/0 url=u"},
        ParseCase{{"--connect-to", "[::1]:80:[::2]:8443", "--connect-to", "::[::1]:", "u"},
                  "connect-to=::1/80/::2/8443 connect-to=/0/::1/0 url=u"},
        ParseCase{{"-E", ":pw", "u"}, "error: -E needs a file name"},
        ParseCase{{"--cacert=", "u"}, "error: --cacert needs a file name"},
        ParseCase{{"--pinnedpubkey", "sha256//a;sha256//b", "u"}, "pinned=sha256//a;sha256//b url=u"},
        ParseCase{{"--tls-max", "1.1", "u"}, "error: --tls-max takes 1.2, 1.3 or default"},
        ParseCase{{"--resolve", "a:443", "u"}, "error: --resolve needs HOST:PORT:ADDRESS"},
        ParseCase{{"--resolve", ":443:1.2.3.4", "u"}, "error: --resolve needs"},
        ParseCase{{"--resolve", "a:0:1.2.3.4", "u"}, "error: --resolve needs"},
        ParseCase{{"--resolve", "a:443:[::1]junk", "u"}, "error: --resolve needs"},
        ParseCase{{"--resolve", "a:443:1.2.3.4,", "u"}, "error: --resolve needs"},
        ParseCase{{"--resolve", "a:443:[1.2.3.4]", "u"}, "error: --resolve needs"},
        ParseCase{{"--connect-to", "a:443:b", "u"}, "error: --connect-to needs"},
        ParseCase{{"--connect-to", "a:1:b:65536", "u"}, "error: --connect-to needs"},
        ParseCase{{"--connect-to", "::80:[::1]:8443", "u"}, "error: --connect-to needs"},
        ParseCase{{"--connect-to", ":80:[::1]x:8443", "u"}, "error: --connect-to needs"},
        ParseCase{{"--connect-to", ":80:[::1:8443", "u"}, "error: --connect-to needs"},
        ParseCase{{"--connect-to", ":80:[b]:8443", "u"}, "error: --connect-to needs"}));

// --- Exit statuses -----------------------------------------------------------------------

TEST(CliExitTable, EveryOutcomeOnceWithCurlsNumber) {
  struct Row {
    TCliOutcome Outcome;
    int Status;
  };
  const Row Expected[] = {
      {TCliOutcome::Completed, 0},     {TCliOutcome::UnsupportedScheme, 1},
      {TCliOutcome::Usage, 2},         {TCliOutcome::MalformedUrl, 3},
      {TCliOutcome::HostNotFound, 6},  {TCliOutcome::ConnectFailed, 7},
      {TCliOutcome::WeirdReply, 8},    {TCliOutcome::HttpError, 22},
      {TCliOutcome::WriteError, 23},   {TCliOutcome::ReadError, 26},
      {TCliOutcome::TimedOut, 28},     {TCliOutcome::TooManyRedirections, 47},
      {TCliOutcome::SendFailed, 55},   {TCliOutcome::ReceiveFailed, 56},
      {TCliOutcome::FileTooLarge, 63}, {TCliOutcome::Failed, 1},
      {TCliOutcome::PartialFile, 18},  {TCliOutcome::TlsHandshake, 35},
      {TCliOutcome::TunnelRefused, 56}, {TCliOutcome::TlsCredentials, 58},
      {TCliOutcome::TlsCheck, 60},     {TCliOutcome::TlsCaFile, 77},
      {TCliOutcome::EmptyReply, 52},
      {TCliOutcome::TlsPinnedKey, 90}, {TCliOutcome::ContentEncoding, 61},
      {TCliOutcome::Http2, 16},        {TCliOutcome::Http2Stream, 92},
  };
  for (const Row& R : Expected)
    EXPECT_EQ(CliExitStatus(R.Outcome), R.Status) << static_cast<int>(R.Outcome);
  std::set<int> Outcomes;
  int Last = -1;
  for (const TCliExitRow& R : CliExitTable) {
    EXPECT_TRUE(Outcomes.insert(static_cast<int>(R.Outcome)).second) << "twice: " << R.When;
    EXPECT_GE(R.Status, Last) << "out of order: " << R.When;
    Last = R.Status;
  }
  EXPECT_EQ(Outcomes.size(), std::size(Expected));
}

struct OutcomeCase {
  const char* Name;
  std::function<void()> Raise;
  int Expected;
};

TEST(CliExitTable, OutcomeOfWhatTheRunRaised) {
  using enum TSockStep;
  const auto Sock = [](TSockStep Step, TSockCause Cause = TSockCause::scError) {
    return [Step, Cause] { throw ESockError("x", Step, Cause); };
  };
  using enum TTlsErrorKind;
  const auto Tls = [](TTlsErrorKind Kind, TSockStep Step) {
    return [Kind, Step] { throw ETlsSockError(ETlsError("x", Kind), Step); };
  };
  const OutcomeCase Cases[] = {
      {"url", [] { throw EHttpUrlError("Invalid port in URL: 0"); }, 3},
      {"no number", [] { throw EConvertError("'abc' is not a valid integer value"); }, 1},
      {"scheme", [] { throw EHttpSchemeError("HTTP Secure Socket is not supported"); }, 1},
      {"setting", [] { throw EHttpSettingError("Invalid proxy port"); }, 1},
      {"protocol", [] { throw EHttpProtocolError("x"); }, 8},
      {"conflicting length", [] { throw EHttpConflictingLength(); }, 8},
      {"header too large", [] { throw EHttpHeaderTooLarge(); }, 8},
      {"malformed chunk", [] { throw EHttpMalformedChunk(); }, 8},
      {"protocol switch", [] { throw EHttpProtocolSwitch(); }, 8},
      {"body too large", [] { throw EHttpBodyTooLarge(10); }, 63},
      {"content coding", [] { throw EHttpContentError("x"); }, 61},
      {"redirections", [] { throw EHttpTooManyRedirections(); }, 47},
      {"aborted", [] { throw EHttpRequestAborted(); }, 1},
      {"HTTP/2 stream reset", [] { throw EHttp2Error("x", 2, true); }, 92},
      {"HTTP/2 stream refused", [] { throw EHttp2Refused("x"); }, 92},
      {"HTTP/2 connection", [] { throw EHttp2Error("x", 1, false); }, 16},
      {"look-up", Sock(ssLookUp), 6},
      {"connect", Sock(ssConnect), 7},
      {"send", Sock(ssSend), 55},
      {"receive", Sock(ssReceive), 56},
      {"no step", Sock(ssNone), 1},
      {"look-up canceled", Sock(ssLookUp, TSockCause::scCanceled), 6},
      {"receive aborted", [] { throw EAbortError("x", ssReceive, TSockCause::scCanceled); }, 56},
      // A time-out in any step is a time-out, not that step's failure.
      {"look-up timed out", Sock(ssLookUp, TSockCause::scTimedOut), 28},
      {"connect timed out", Sock(ssConnect, TSockCause::scTimedOut), 28},
      {"send timed out", Sock(ssSend, TSockCause::scTimedOut), 28},
      {"receive timed out", [] { throw EAbortError("x", ssReceive, TSockCause::scTimedOut); }, 28},
      {"write", [] { throw ECliWriteError("closed pipe"); }, 23},
      {"read", [] { throw ECliReadError("no file"); }, 26},
      {"usage", [] { throw EUsageError("x"); }, 2},
      {"handshake", Tls(tkHandshake, ssHandshake), 35},
      {"handshake, the server closed", Sock(ssHandshake), 35},
      {"check", Tls(tkCheck, ssCertificate), 60},
      {"credentials", Tls(tkCredentials, ssHandshake), 58},
      {"CA file", Tls(tkCaFile, ssHandshake), 77},
      {"CA directory", Tls(tkCaPath, ssHandshake), 60},
      {"pinned key", Tls(tkPinned, ssCertificate), 90},
      {"record after the handshake", Tls(tkRecord, ssReceive), 56},
      {"handshake timed out", Sock(ssHandshake, TSockCause::scTimedOut), 28},
      {"plain", [] { throw Exception("Empty URL"); }, 1},
      {"std", [] { throw std::bad_alloc(); }, 1},
  };
  for (const OutcomeCase& C : Cases) {
    try {
      C.Raise();
      ADD_FAILURE() << C.Name << " raised nothing";
    } catch (const std::exception& E) {
      EXPECT_EQ(CliExitStatus(CliOutcomeOf(E)), C.Expected) << C.Name;
    }
  }
}

TEST(CliExitTable, OutcomeOfAReply) {
  struct Row {
    int Reply;
    bool Fail;
    int Expected;
    bool Short = false;  // the body ended before its announced length
    bool Refused = false;  // the reply is the proxy's refusal of the tunnel
  };
  const Row Rows[] = {
      {200, false, 0}, {100, false, 0},        {304, false, 0},      {399, false, 0},
      {400, false, 0}, {404, false, 0},        {599, false, 0},      {200, true, 0},
      {302, true, 0},  {399, true, 0},         {400, true, 22},      {404, true, 22},
      {599, true, 22}, {32767, true, 22},      {0, false, 8},        {0, true, 8},
      {-1, false, 8},  {200, false, 18, true}, {404, true, 22, true},
      // The proxy's refusal of a tunnel is curl's 56, whatever the status and -f say.
      {403, false, 56, false, true}, {200, true, 56, false, true}, {407, true, 56, true, true}};
  for (const Row& R : Rows)
    EXPECT_EQ(CliExitStatus(CliOutcomeOfReply(R.Reply, R.Fail, R.Short, R.Refused)), R.Expected)
        << R.Reply << (R.Fail ? " -f" : "") << (R.Short ? " short" : "")
        << (R.Refused ? " refused" : "");
}

TEST(CliCommands, WordsBothWays) {
  const CmdType All[] = {hcGet,  hcOptions, hcHead,   hcPost, hcPut,    hcPatch,
                         hcCopy, hcMove,    hcDelete, hcLink, hcUnLink, hcTrace};
  for (const CmdType Cmd : All) {
    const std::string_view Word = CliCommandWord(Cmd);
    ASSERT_FALSE(Word.empty());
    EXPECT_EQ(CliCommandFromWord(Word), Cmd) << Word;
  }
  EXPECT_EQ(CliCommandWord(hcWrapped), "");
  EXPECT_EQ(CliCommandFromWord("Wrapped"), std::nullopt);
  EXPECT_EQ(CliCommandFromWord("GE"), std::nullopt);
  EXPECT_EQ(CliCommandFromWord("GETS"), std::nullopt);
}

}  // namespace
