// orrery-cli's command line and exit statuses, as tables: each row is a command line and
// what it asks for (or the reason it is refused), or an outcome and its status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/CliExitStatus.h"
#include "cli/TCliOptions.h"

namespace {

// The options a command line set, in a fixed order; defaults are left out.
std::string Described(const TCliOptions& O) {
  if (O.Action == TCliOptions::caHelp) return "help";
  if (O.Action == TCliOptions::caVersion) return "version";
  std::string S;
  const auto Add = [&S](const std::string& Item) { S += (S.empty() ? "" : " ") + Item; };
  if (O.Head) Add("head");
  if (O.IncludeHeader) Add("include");
  if (O.Post) Add("post=" + O.PostData);
  if (!O.ProxyHost.empty() || O.ProxyPort != 0)
    Add("proxy=" + O.ProxyHost + ":" + std::to_string(O.ProxyPort));
  if (!O.UserId.empty() || !O.Password.empty()) Add("user=" + O.UserId + " pass=" + O.Password);
  if (!O.Agent.empty()) Add("agent=" + O.Agent);
  if (!O.Referer.empty()) Add("referer=" + O.Referer);
  if (!O.Cookie.empty()) Add("cookie=" + O.Cookie);
  if (O.TimeOutMs != 0) Add("timeout=" + std::to_string(O.TimeOutMs));
  if (!O.OutputFile.empty()) Add("out=" + O.OutputFile);
  if (O.Verbose) Add("verbose");
  Add("url=" + O.URL);
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

INSTANTIATE_TEST_SUITE_P(
    Table, CliOptionsTest,
    ::testing::Values(
        ParseCase{{"http://h/"}, "url=http://h/"}, ParseCase{{"-I", "u"}, "head url=u"},
        ParseCase{{"-i", "-v", "u"}, "include verbose url=u"},
        ParseCase{{"u", "-iv"}, "include verbose url=u"},
        ParseCase{{"-vim500", "u"}, "include timeout=500 verbose url=u"},
        ParseCase{{"-vim", "500", "u"}, "include timeout=500 verbose url=u"},
        ParseCase{{"-d", "a b=c&d", "u"}, "post=a b=c&d url=u"},
        ParseCase{{"-d", "", "u"}, "post= url=u"}, ParseCase{{"-dx=-1", "u"}, "post=x=-1 url=u"},
        ParseCase{{"-d", "-v", "u"}, "post=-v url=u"},
        ParseCase{{"-x", "proxy.test:3128", "u"}, "proxy=proxy.test:3128 url=u"},
        ParseCase{{"-x", "a:b:65535", "u"}, "proxy=a:b:65535 url=u"},
        ParseCase{{"-u", "ann:se:cret", "u"}, "user=ann pass=se:cret url=u"},
        ParseCase{{"-A", "Probe 1", "-e", "http://r/", "-b", "k=v; m=n", "u"},
                  "agent=Probe 1 referer=http://r/ cookie=k=v; m=n url=u"},
        ParseCase{{"-m", "0", "u"}, "url=u"},
        ParseCase{{"-m", "2147483647", "u"}, "timeout=2147483647 url=u"},
        ParseCase{{"-o", "out.bin", "u"}, "out=out.bin url=u"},
        ParseCase{{"-o", "-", "u"}, "url=u"}, ParseCase{{"-o", "a", "-o", "b", "u"}, "out=b url=u"},
        ParseCase{{"--", "-v"}, "url=-v"}, ParseCase{{"-"}, "url=-"}, ParseCase{{"--help"}, "help"},
        ParseCase{{"-z", "--help"}, "error: unknown option -z"},
        ParseCase{{"u", "--help", "extra"}, "error: only one URL"},
        ParseCase{{"--version"}, "version"}, ParseCase{{"--version", "--help"}, "help"},
        ParseCase{{"--help", "--version"}, "help"}, ParseCase{{}, "error: no URL given"},
        ParseCase{{""}, "error: no URL given"}, ParseCase{{"-v"}, "error: no URL given"},
        ParseCase{{"a", "b"}, "error: only one URL"},
        ParseCase{{"-z", "u"}, "error: unknown option -z"},
        ParseCase{{"-iz", "u"}, "error: unknown option -z"},
        ParseCase{{"--bogus", "u"}, "error: unknown option --bogus"},
        ParseCase{{"u", "-d"}, "error: option -d needs a value"},
        ParseCase{{"-m", "abc", "u"}, "error: -m needs"},
        ParseCase{{"-m", "-5", "u"}, "error: -m needs"},
        ParseCase{{"-m", "5s", "u"}, "error: -m needs"},
        ParseCase{{"-m", "2147483648", "u"}, "error: -m needs"},
        ParseCase{{"-m", "99999999999999", "u"}, "error: -m needs"},
        ParseCase{{"-x", "host", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "host:0", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "host:65536", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", ":80", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-x", "host:8o", "u"}, "error: -x needs HOST:PORT"},
        ParseCase{{"-u", "nocolon", "u"}, "error: -u needs USER:PASSWORD"},
        ParseCase{{"-I", "-d", "x", "u"}, "error: -I and -d"},
        ParseCase{{"-o", "", "u"}, "error: -o needs a file name"}));

struct StatusCase {
  TCliOutcome Outcome;
  int ReplyNumber;
  int Expected;
};

class CliExitStatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(CliExitStatusTest, UsesCurlsNumbers) {
  const StatusCase& C = GetParam();
  EXPECT_EQ(CliExitStatus(C.Outcome, C.ReplyNumber), C.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliExitStatusTest,
    ::testing::Values(
        StatusCase{TCliOutcome::Completed, 200, 0}, StatusCase{TCliOutcome::Completed, 100, 0},
        StatusCase{TCliOutcome::Completed, 304, 0}, StatusCase{TCliOutcome::Completed, 399, 0},
        StatusCase{TCliOutcome::Completed, 400, 22}, StatusCase{TCliOutcome::Completed, 404, 22},
        StatusCase{TCliOutcome::Completed, 599, 22}, StatusCase{TCliOutcome::Completed, 32767, 22},
        StatusCase{TCliOutcome::Completed, 0, 1}, StatusCase{TCliOutcome::HostNotFound, 0, 6},
        StatusCase{TCliOutcome::ConnectFailed, 0, 7},
        // An earlier pass's status does not hide how the request ended.
        StatusCase{TCliOutcome::TimedOut, 302, 28}, StatusCase{TCliOutcome::Failed, 200, 1},
        StatusCase{TCliOutcome::Failed, 404, 1}));

}  // namespace
