// The request loop's decision of what follows a reply, and the reply reader's head read off
// lines handed to it, each without a socket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/HttpErrors.h"
#include "http/RequestLoop.h"
#include "http/TReplyReader.h"

namespace {

struct TNextCase {
  const char* Name;
  CmdType Cmd;
  int Status;
  bool Follow;
  const char* CookieIn;
  bool TargetRefused;
  int Further;
  CmdType NextCmd;
  const char* Pair;   // the cookie pair taken; nullptr when none is taken
  const char* Error;  // what GoesOn raises; nullptr when the loop goes on
};

const TNextCase NextCases[] = {
    {"MovedGet", hcGet, 301, true, "", false, 0, hcGet, nullptr, nullptr},
    {"FoundPostGoesOnAsGet", hcPost, 302, true, "", false, 0, hcGet, nullptr, nullptr},
    {"TemporaryPostStaysPost", hcPost, 307, true, "", false, 0, hcPost, nullptr, nullptr},
    {"SeeOtherHeadStaysHead", hcHead, 303, true, "", false, 0, hcHead, nullptr, nullptr},
    {"SeeOtherPutGoesOnAsGet", hcPut, 303, true, "", false, 0, hcGet, nullptr, nullptr},
    {"CookieTakenAsItsPair", hcGet, 302, true, " a = 1 ; Path=/", false, 0, hcGet, "a=1", nullptr},
    {"CookieOfNoNameTakenEmpty", hcGet, 302, true, "=1", false, 0, hcGet, "", nullptr},
    {"CookieOfASuccessNotTaken", hcGet, 200, false, "a=1", false, 0, hcGet, nullptr, nullptr},
    {"UnsendableCookieStopsTheLoop", hcGet, 302, true, "a=1\r\nX: y", false, 0, hcGet, nullptr,
     "Invalid character (CR, LF or NUL) in Set-Cookie"},
    {"RefusedTargetStopsTheLoop", hcGet, 301, true, "", true, 0, hcGet, nullptr, "refused"},
    {"LastFurtherPassStopsTheLoop", hcGet, 301, true, "", false, RequestLoop::MaxRedirections,
     hcGet, nullptr, "Too many redirections"},
};

class NextPass : public ::testing::TestWithParam<TNextCase> {};

TEST_P(NextPass, IsDecidedByTheReplyAlone) {
  const TNextCase& C = GetParam();
  const TPassServer Server{"https", "a.example", 443};
  const auto Target = [&]() -> std::string {
    if (C.TargetRefused) throw EHttpUrlError("refused");
    return "http://b.example/next";
  };
  TNextPass Next = RequestLoop::NextPassOf({.Cmd = C.Cmd,
                                            .Status = C.Status,
                                            .Follow = C.Follow,
                                            .CookieIn = C.CookieIn,
                                            .Server = Server,
                                            .Target = Target});
  EXPECT_EQ(Next.Cmd, C.NextCmd);
  EXPECT_EQ(Next.Target, C.Follow && !C.TargetRefused ? "http://b.example/next" : "");
  ASSERT_EQ(Next.Cookie.has_value(), C.Pair != nullptr);
  if (C.Pair) {
    EXPECT_EQ(Next.Cookie->Pair, C.Pair);
    EXPECT_EQ(Next.Cookie->Copied, C.CookieIn);
    EXPECT_EQ(Next.Cookie->Setter.Host, "a.example");
  }
  std::string Error;
  try {
    EXPECT_EQ(RequestLoop::GoesOn(std::move(Next), C.Further).Cmd, C.NextCmd);
  } catch (const EHttpError& E) {
    Error = E.Message();
  }
  EXPECT_EQ(Error, C.Error ? C.Error : "");
}

INSTANTIATE_TEST_SUITE_P(Replies, NextPass, ::testing::ValuesIn(NextCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// The head as the lines come: interim replies kept at its start, the final status, the first
// status line heard once, and a connection that ends before any byte.
TEST(ReplyReaderHead, ReadOffTheLinesItIsHanded) {
  const std::vector<std::string> Lines = {"HTTP/1.1 100 Continue\r\n", "\r\n",
                                          "HTTP/1.0 302 Found\r\n",    "Location: /x\r\n",
                                          "Content-Length: 5\r\n",     "\r\n"};
  std::size_t Next = 0;
  std::vector<std::string> Heard;
  const auto Line = [&](std::string& Each) { Each = Next < Lines.size() ? Lines[Next++] : ""; };
  const auto Status = [&](std::string_view Each) { Heard.emplace_back(Each); };
  std::string Header, Location;
  std::int16_t ReplyNumber = 0;
  std::int64_t BytesTotal = -1;
  const int TimeOut = 0;
  bool TimedOut = false;
  const TReplyFields To{.Header = Header,
                        .ReplyNumber = ReplyNumber,
                        .BytesTotal = BytesTotal,
                        .Location = Location,
                        .TimeOut = TimeOut,
                        .TimedOut = TimedOut};
  TReplyReader Reader;
  Reader.ReadHead({.HeadLine = Line, .StatusLineHeard = Status}, To);
  std::string Whole;
  for (const std::string& Each : Lines) Whole += Each;
  EXPECT_EQ(Header, Whole);
  EXPECT_EQ(ReplyNumber, 302);
  EXPECT_EQ(Location, "/x");
  EXPECT_EQ(BytesTotal, 5);
  EXPECT_EQ(Heard, std::vector<std::string>{Lines[0]});
  EXPECT_FALSE(Reader.Short(hcGet, 302, 5, 5));
  EXPECT_TRUE(Reader.Short(hcGet, 302, 4, 5));
  EXPECT_THROW(Reader.ReadHead({.HeadLine = Line, .StatusLineHeard = Status}, To), EHttpEmptyReply);
}

}  // namespace
