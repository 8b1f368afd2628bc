// orrery-cli --replay and --compare as units: the options they take and refuse, the pairing of
// entries across two files, and the differences as printed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli/CliCompare.h"
#include "cli/TDiffPrinter.h"
#include "inspect/TPassCompare.h"
#include "cli/TCliOptions.h"

using Strings = std::vector<std::string>;

namespace {

// --- The command line -------------------------------------------------------------------

std::string Described(const TCliOptions& O) {
  std::string S = O.Action == TCliOptions::caReplay    ? "replay " + O.ReplayFile
                  : O.Action == TCliOptions::caCompare ? "compare " + O.CompareFiles[0] + " " +
                                                             O.CompareFiles[1]
                                                       : "other";
  if (!O.Base.empty()) S += " base=" + O.Base;
  for (const std::string& H : O.IgnoreHeaders) S += " ignore=" + H;
  if (O.Unsafe) S += " unsafe";
  if (O.KeepCredentials) S += " keep";
  if (O.Json) S += " json";
  if (!O.Tls.Verify) S += " -k";
  if (O.TimeOutMs) S += " m=" + std::to_string(O.TimeOutMs);
  return S;
}

struct TOptionCase {
  Strings Args;
  std::string Expected;  // Described(), or "error: " and the start of the reason
};

class HarOptionsTest : public ::testing::TestWithParam<TOptionCase> {};

TEST_P(HarOptionsTest, TakenOrRefused) {
  std::string Got;
  try {
    Got = Described(TCliOptions::Parse(GetParam().Args));
  } catch (const EUsageError& E) {
    Got = std::string("error: ") + E.what();
  }
  EXPECT_EQ(Got.substr(0, GetParam().Expected.size()), GetParam().Expected) << Got;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HarOptionsTest,
    ::testing::Values(
        TOptionCase{{"--replay", "r.har", "--base", "https://h:8443/", "--ignore-header", "X-A",
                     "--unsafe", "--keep-credentials", "--json", "-k", "-m", "2"},
                    "replay r.har base=https://h:8443/ ignore=X-A unsafe keep json -k m=2000"},
        TOptionCase{{"a.har", "--compare", "b.har"}, "compare a.har b.har"},
        TOptionCase{{"--compare", "a", "b", "--help"}, "other"},
        TOptionCase{{"--replay", "r", "--base", "http://h/api"}, "error: --base needs"},
        TOptionCase{{"--replay", "r", "-H", "A: b"}, "error: --header cannot be used with --replay"},
        TOptionCase{{"--compare", "a", "b", "-k"}, "error: --insecure cannot be used with --compare"},
        TOptionCase{{"--compare", "a", "b", "--har", "o"}, "error: --har cannot be used with"},
        TOptionCase{{"--compare", "a"}, "error: --compare needs two HAR files"},
        TOptionCase{{"--compare", "a", "b", "c"}, "error: --compare needs two HAR files"},
        TOptionCase{{"--compare", "-", "-"}, "error: --compare can read only one"},
        TOptionCase{{"--replay", "r", "--compare", "a", "b"}, "error: --replay and --compare"},
        TOptionCase{{"--replay", "r", "http://u/"}, "error: --replay takes one HAR file"},
        TOptionCase{{"--replay", "r", "--ignore-header", "a b"}, "error: --ignore-header needs"},
        TOptionCase{{"--json", "http://u/"}, "error: --json is only for --replay and --compare"},
        TOptionCase{{"--base", "http://h", "http://u/"}, "error: --base is only for --replay"}));

// --- Pairing of entries ------------------------------------------------------------------

// "x y P:x": entries GET x, GET y, POST x.
std::vector<THarEntry> Entries(const std::string& Keys) {
  std::vector<THarEntry> Out;
  std::istringstream In(Keys);
  for (std::string Key; In >> Key;) {
    THarEntry E;
    const bool Post = Key.rfind("P:", 0) == 0;
    E.Pass.Method = Post ? "POST" : "GET";
    E.Pass.URL = "http://h/" + Key.substr(Post ? 2 : 0);
    Out.push_back(E);
  }
  return Out;
}

struct TMatchCase {
  std::string A, B, Pairs;
};

class MatchEntriesTest : public ::testing::TestWithParam<TMatchCase> {};

TEST_P(MatchEntriesTest, PairsInOrder) {
  std::string Got;
  const auto Side = [](const std::optional<std::size_t>& I) {
    return I ? std::to_string(*I) : std::string("-");
  };
  for (const TEntryPair& P : MatchEntries(Entries(GetParam().A), Entries(GetParam().B)))
    Got += (Got.empty() ? "" : " ") + Side(P.first) + ":" + Side(P.second);
  EXPECT_EQ(Got, GetParam().Pairs);
}

INSTANTIATE_TEST_SUITE_P(Rows, MatchEntriesTest,
                         ::testing::Values(TMatchCase{"x y", "x y", "0:0 1:1"},
                                           TMatchCase{"x y", "y x", "0:1 1:0"},
                                           TMatchCase{"x x x", "x x", "0:0 1:1 2:-"},
                                           TMatchCase{"x z", "x y z", "0:0 -:1 1:2"},
                                           TMatchCase{"x", "P:x", "0:- -:0"},
                                           TMatchCase{"", "x y", "-:0 -:1"}));

// --- Differences as printed ----------------------------------------------------------------

TExchangePass Reply(const std::string& Head, const std::string& Body) {
  TExchangePass P;
  P.ReplyHeader = Head;
  P.ReplyNumber = std::atoi(Head.c_str() + 9);
  P.Body = Body;
  P.BodyBytes = static_cast<std::int64_t>(Body.size());
  return P;
}

std::string Numbers(int From, int To) {
  std::string S;
  for (int I = From; I <= To; ++I) S += std::to_string(I) + "\n";
  return S;
}

const std::string Text = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";

struct TPrintCase {
  const char* Name;
  std::string HeadA, BodyA, HeadB, BodyB;
  std::string Printed;  // each line without the indentation
};

class DiffPrinterTest : public ::testing::TestWithParam<TPrintCase> {};

TEST_P(DiffPrinterTest, PrintsAsGitDiffUsersReadIt) {
  const TPrintCase& C = GetParam();
  const TExchangePass A = Reply(C.HeadA, C.BodyA), B = Reply(C.HeadB, C.BodyB);
  std::string Expected;
  std::istringstream Lines(C.Printed);
  for (std::string L; std::getline(Lines, L);) Expected += "    " + L + "\n";
  EXPECT_EQ(TDiffPrinter({}).Differences(TPassCompare::Compare(A, B), A), Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DiffPrinterTest,
    ::testing::Values(
        TPrintCase{"OneHunkWithThreeLinesAround", Text, Numbers(1, 10), Text,
                   "1\n2\n3\n4\nfive\n6\n7\n8\n9\n10\n",
                   "body: text, 21 -> 24 bytes\n@@ -2,7 +2,7 @@\n 2\n 3\n 4\n-5\n+five\n 6\n 7\n"
                   " 8\n"},
        TPrintCase{"EditsFarApartMakeTwoHunks", Text, Numbers(1, 20), Text,
                   "1\ntwo\n" + Numbers(3, 17) + "x\n19\n20\n",
                   "body: text, 51 -> 52 bytes\n@@ -1,5 +1,5 @@\n 1\n-2\n+two\n 3\n 4\n 5\n"
                   "@@ -15,6 +15,6 @@\n 15\n 16\n 17\n-18\n+x\n 19\n 20\n"},
        TPrintCase{"EditsSixLinesApartMakeOne", Text, Numbers(1, 9), Text,
                   "one\n" + Numbers(2, 7) + "eight\n9\n",
                   "body: text, 18 -> 24 bytes\n@@ -1,9 +1,9 @@\n-1\n+one\n 2\n 3\n 4\n 5\n 6\n"
                   " 7\n-8\n+eight\n 9\n"},
        TPrintCase{"NoNewlineAtTheEnd", Text, "a\nb\n", Text, "a\nb",
                   "body: text, 4 -> 3 bytes\n@@ -1,2 +1,2 @@\n a\n-b\n+b\n"
                   "\\ No newline at end of file\n"},
        TPrintCase{"IntoAnEmptyBody", Text, "", Text, "new\n",
                   "body: text, 0 -> 4 bytes\n@@ -0,0 +1 @@\n+new\n"},
        TPrintCase{"StatusFieldsAndJsonPaths",
                   "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-A: 1\r\nDate: d1\r\n\r\n",
                   R"({"a":1,"b":[1,2]})",
                   "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nDate: d2\r\n"
                   "X-B: \x1b[2J\r\n\r\n",
                   R"({"a":2,"b":[1],"c":null})",
                   "status: 200 OK -> 404 Not Found\n-X-A: 1\n+X-B: \\x1b[2J\n"
                   "body: JSON, 17 -> 24 bytes\n$.a: 1 -> 2\n-$.b[1]: 2\n+$.c: null\n"},
        TPrintCase{"OnlyAVolatileFieldIsNoDifference", Text + "Date: a\r\n", "x", Text, "x", ""}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST(DiffPrinterTls, ChangedSessionIsShownBesideTheDifferences) {
  TExchangePass A = Reply(Text, "a\n");
  const TExchangePass B = Reply(Text, "b\n");
  A.Tls.emplace();
  A.Tls->Version = "TLSv1.3";
  A.Tls->Cipher = "C\x1b";
  const std::string Out = TDiffPrinter({}).Differences(TPassCompare::Compare(A, B), A);
  EXPECT_NE(Out.find("\n    tls: TLSv1.3 C\\x1b (refused) -> none\n"), std::string::npos) << Out;
}

}  // namespace
