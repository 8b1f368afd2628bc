// The hostile-server suite: one table of scripted server behaviours (and of hostile client
// input and re-entrant handlers), each with what the HTTP component must do. Every case
// also checks that nothing crashed or hung, no descriptor, window, timer or socket was left
// behind, and the same component then completes a normal request.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http/TVelHTTP.h"
#include "platform/FaultSeam.h"
#include "platform/MessageQueue.h"
#include "platform/WinSock.h"
#include "tests/http/HttpFixture.h"
#include "tests/support/TScriptedPeer.h"
#include "tests/support/TestHelpers.h"

namespace hostile {

using testsupport::TConnectionScript;
using testsupport::steps::Answer;
using testsupport::steps::Drip;
using testsupport::steps::Piece;
using testsupport::steps::ReadRequest;
using testsupport::steps::Reset;
using testsupport::steps::Send;
using testsupport::steps::Stall;
using testsupport::steps::Trickle;
using TPeer = testsupport::TScriptedPeer;

namespace {

enum class TGroup { Status, Header, Body, Timing, Redirect, Proxy, Input, Fault, Reentry };

enum class TCmd { Get, Head, Post, Copy };

// What happened in one case, for the checks of its row.
struct TOutcome {
  std::string Error;  // what() of the exception the request raised, "" when none
  Lines Events;
  std::vector<std::string> Requests;  // as the first peer received them
  std::vector<std::string> SecondRequests;
  int Accepted = 0;
};

// What a case's setup may reach besides the component: its own handler's record, and a way
// to free the component from inside one of its events.
struct TContext {
  std::function<void()> Free;
  std::string HandlerError;  // what the handler's own call raised, "" when it worked
  bool HandlerRan = false;
  bool CallerConnected = false;  // the handler's own Connect worked: the connection is its
};

struct THostileCase {
  std::string Name;
  TGroup Group;
  std::vector<TConnectionScript> Peer = {};    // empty: the URL's port refuses connections
  std::vector<TConnectionScript> Second = {};  // a second server ("{Q}" in the URL)
  std::string URL = "http://127.0.0.1:{P}/x";
  TCmd Cmd = TCmd::Get;
  std::string Data = "a=1";  // POST data or COPY destination
  bool ViaProxy = false;     // the first peer is the proxy
  int TimeOut = 5000;        // tripwire unless the case is about time-outs
  std::function<void(TVelHTTP&, TContext&)> Setup = nullptr;
  // Expected: the error text exactly ("" for none), or its start when it ends with '*'.
  std::string Error = "";
  std::optional<Lines> Events = std::nullopt;
  std::optional<int> Reply = std::nullopt;
  std::optional<std::string> Header = std::nullopt;
  std::optional<std::string> Body = std::nullopt;
  int Connections = -1;  // accepted by the first peer; -1: not checked
  std::function<void(const TOutcome&, TVelHTTP&)> Check = nullptr;
};

constexpr const char* GroupNames[] = {"Status", "Header", "Body",  "Timing", "Redirect",
                                      "Proxy",  "Input",  "Fault", "Reentry"};

// "Group_Name", so that a group runs on its own with ctest -R.
std::string FullName(const THostileCase& C) {
  return std::string(GroupNames[static_cast<int>(C.Group)]) + "_" + C.Name;
}

void PrintTo(const THostileCase& C, std::ostream* Os) { *Os << FullName(C); }

// Ends the process with a message when a case outlives its limit: a wedged component must
// fail the suite, not hold it until CTest gives up.
class TWatchdog {
 public:
  TWatchdog(const std::string& Name, std::chrono::milliseconds Limit)
      : FThread([this, Name, Limit] {
          std::unique_lock<std::mutex> Lock(FMutex);
          if (!FCond.wait_for(Lock, Limit, [this] { return FDone; })) {
            std::fprintf(stderr, "hostile case %s hung past %lld ms\n", Name.c_str(),
                         static_cast<long long>(Limit.count()));
            std::_Exit(3);
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      FDone = true;
    }
    FCond.notify_all();
    FThread.join();
  }

 private:
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FDone = false;
  std::thread FThread;
};

// The bytes of a literal, NULs included.
template <std::size_t N>
std::string Raw(const char (&S)[N]) {
  return std::string(S, N - 1);
}

std::string Repeat(const std::string& S, int Count) {
  std::string Out;
  for (int I = 0; I < Count; ++I) Out += S;
  return Out;
}

std::string AllBytes(int Rounds) {
  std::string Out;
  for (int R = 0; R < Rounds; ++R)
    for (int B = 0; B < 256; ++B) Out += static_cast<char>(B);
  return Out;
}

const std::string Ok = "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody";
const std::string ResetText = "10054:Connection reset by peer";
const std::string Injection = "Invalid character (CR, LF or NUL) in ";
const Lines SuccessEvents = {"AboutToSend", "Success 0", "Transaction Completed"};
const Lines FailureEvents = {"AboutToSend", "Failure 0"};

bool HasLine(const std::string& Request, const std::string& Prefix) {
  return Request.find("\r\n" + Prefix) != std::string::npos;
}

// --- The table ---------------------------------------------------------------------------

std::vector<THostileCase> ServerCases() {
  std::vector<THostileCase> T;
  using G = TGroup;

  // The status line.
  T.push_back({.Name = "StatusWithoutReason",
               .Group = G::Status,
               .Peer = {Answer("HTTP/1.0 200\r\n\r\nx")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Header = "HTTP/1.0 200\r\n\r\n",
               .Body = "x"});
  T.push_back({.Name = "FailureStatusWithoutReason",
               .Group = G::Status,
               .Peer = {Answer("HTTP/1.0 404\r\n\r\ngone")},
               .Events = FailureEvents,
               .Reply = 404,
               .Body = "gone"});
  T.push_back({.Name = "StatusLineWithLfOnly",
               .Group = G::Status,
               .Peer = {Answer("HTTP/1.0 204 No Content\n\n")},
               .Events = SuccessEvents,
               .Reply = 204,
               .Header = "HTTP/1.0 204 No Content\n\n",
               .Body = ""});
  T.push_back({.Name = "HugeStatusNumber",
               .Group = G::Status,
               .Peer = {Answer("HTTP/1.0 99999999999999999999 Big\r\n\r\nx")},
               .Events = FailureEvents,
               .Reply = 0,
               .Body = "x"});
  T.push_back({.Name = "StatusJustPast16Bits",
               .Group = G::Status,
               .Peer = {Answer("HTTP/1.0 32768 X\r\n\r\n")},
               .Events = FailureEvents,
               .Reply = 0});
  T.push_back({.Name = "NegativeStatus",
               .Group = G::Status,
               .Peer = {Answer("HTTP/1.0 -200 Neg\r\n\r\n")},
               .Events = FailureEvents,
               .Reply = 0});
  T.push_back({.Name = "NotHttpAtAll",
               .Group = G::Status,
               .Peer = {Answer("SSH-2.0-OpenSSH_9.2p1\r\n")},
               .Events = FailureEvents,
               .Reply = 0,
               .Header = "SSH-2.0-OpenSSH_9.2p1\r\n",
               .Body = ""});
  // A first line that is no HTTP status line is no reply, whatever number it holds, and
  // nothing after it is read: a stream that never ends ends the request at once.
  T.push_back(
      {.Name = "GreetingWithANumberIsNoReply",
       .Group = G::Status,
       .Peer = {{ReadRequest(), Send("SSH-2.0-OpenSSH_9.2 200 x\r\nX: 1\r\n\r\nx"), Stall()}},
       .Events = FailureEvents,
       .Reply = 0,
       .Header = "SSH-2.0-OpenSSH_9.2 200 x\r\n",
       .Body = ""});
  T.push_back({.Name = "EmptyReply",
               .Group = G::Status,
               .Peer = {{ReadRequest()}},
               .Error = "Empty reply from server",
               .Events = Lines{"AboutToSend"},
               .Reply = 0,
               .Header = ""});
  T.push_back({.Name = "BinaryStatusLine",
               .Group = G::Status,
               .Peer = {Answer(Raw("\x00\x01\xff 200\x00OK\r\n\r\n"))},
               .Events = FailureEvents,
               .Reply = 0});

  // Header lines.
  T.push_back({.Name = "HeaderWithLfOnly",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\nSet-Cookie: id=7\nContent-Length: 3\n\nabc")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Header = "HTTP/1.0 200 OK\nSet-Cookie: id=7\nContent-Length: 3\n\n",
               .Body = "abc",
               .Check = [](const TOutcome&, TVelHTTP& H) {
                 EXPECT_EQ(H.CookieIn(), "id=7");
                 EXPECT_EQ(H.BytesTotal, 3);
               }});
  T.push_back({.Name = "StrayCrInAHeaderLine",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nX-A: a\rb\r\nSet-Cookie: c\rd\r\n\r\nx")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Header = "HTTP/1.0 200 OK\r\nX-A: a\rb\r\nSet-Cookie: c\rd\r\n\r\n",
               .Body = "x"});
  T.push_back({.Name = "NulBytesInHeaderLines",
               .Group = G::Header,
               .Peer = {Answer(Raw("HTTP/1.0 200 OK\r\nX-A: a\0b\r\n\0\r\n\r\nx"))},
               .Events = SuccessEvents,
               .Reply = 200,
               .Header = Raw("HTTP/1.0 200 OK\r\nX-A: a\0b\r\n\0\r\n\r\n"),
               .Body = "x"});
  T.push_back({.Name = "HeaderLineWithoutColon",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nno colon here\r\nLocation\r\n\r\nx")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "x"});
  T.push_back(
      {.Name = "HeaderLineOf100KB",
       .Group = G::Header,
       .Peer = {{ReadRequest(),
                 Send("HTTP/1.0 200 OK\r\nX-Big: " + std::string(100 * 1024, 'a') + "\r\n\r\nx"),
                 Stall()}},
       .Error = "Reply header too large",
       .Events = Lines{"AboutToSend"}});
  T.push_back(
      {.Name = "ThousandsOfHeaderLines",
       .Group = G::Header,
       .Peer = {Answer("HTTP/1.0 200 OK\r\n" + Repeat("X-Line: some value\r\n", 5000) + "\r\nend")},
       .Events = SuccessEvents,
       .Reply = 200,
       .Body = "end",
       .Check = [](const TOutcome&, TVelHTTP& H) {
         EXPECT_EQ(H.Header.size(), 17u + 5000u * 20u + 2u);
       }});
  T.push_back({.Name = "NoContentLength",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\r\n\r\nall of it")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "all of it",
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_EQ(H.BytesTotal, 0); }});
  T.push_back({.Name = "ContentLengthSmallerThanBody",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nlonger")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "lo",
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_EQ(H.BytesTotal, 2); }});
  T.push_back({.Name = "ContentLengthLargerThanBody",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nshort")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "short",
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_EQ(H.BytesTotal, 100); }});
  T.push_back({.Name = "ContentLengthRubbish",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nContent-Length: lots\r\n\r\nx")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "x",
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_EQ(H.BytesTotal, 0); }});
  T.push_back({.Name = "ContentLengthTwice",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\nContent-Length: 3\r\n"
                               "\r\nabc")},
               .Error = "Conflicting Content-Length",
               .Events = Lines{"AboutToSend"},
               .Reply = 200,
               .Header = "HTTP/1.0 200 OK\r\nContent-Length: 1\r\nContent-Length: 3\r\n\r\n"});
  T.push_back(
      {.Name = "ContentLengthOfThirtyDigits",
       .Group = G::Header,
       .Peer = {Answer("HTTP/1.0 200 OK\r\nContent-Length: " + std::string(30, '9') + "\r\n\r\nx")},
       .Events = SuccessEvents,
       .Reply = 200,
       .Body = "x",
       .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_EQ(H.BytesTotal, 0); }});
  T.push_back({.Name = "ContentLengthOfNineteenDigits",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 9999999999999999999\r\n\r\nx")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "x",
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_EQ(H.BytesTotal, 0); }});

  // Body and close.
  T.push_back({.Name = "ResetMidBody",
               .Group = G::Body,
               .Peer = {{ReadRequest(), Piece("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nhalf"),
                         Reset()}},
               .Error = ResetText,
               .Events = Lines{"AboutToSend"},
               .Body = "half"});
  T.push_back({.Name = "ResetMidHeader",
               .Group = G::Body,
               .Peer = {{ReadRequest(), Piece("HTTP/1.0 200 OK\r\nContent-Le"), Reset()}},
               .Error = ResetText,
               .Events = Lines{"AboutToSend"}});
  T.push_back({.Name = "ResetBeforeAnyReply",
               .Group = G::Body,
               .Peer = {{ReadRequest(), Reset()}},
               .Error = ResetText,
               .Events = Lines{"AboutToSend"}});
  T.push_back({.Name = "CloseMidHeader",
               .Group = G::Body,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nContent-Le")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Header = "HTTP/1.0 200 OK\r\n",
               .Body = ""});
  T.push_back({.Name = "CloseRightAfterTheStatusLine",
               .Group = G::Body,
               .Peer = {Answer("HTTP/1.0 503 Busy\r\n")},
               .Events = FailureEvents,
               .Reply = 503,
               .Header = "HTTP/1.0 503 Busy\r\n",
               .Body = ""});
  T.push_back({.Name = "BinaryBody",
               .Group = G::Body,
               .Peer = {Answer("HTTP/1.0 200 OK\r\n\r\n" + AllBytes(64))},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = AllBytes(64)});
  T.push_back({.Name = "BodyOfTwoMegabytesInPieces",
               .Group = G::Body,
               .Peer = {{ReadRequest(), Piece("HTTP/1.0 200 OK\r\n\r\n"),
                         Piece(std::string(1 << 20, 'a')), Send(std::string(1 << 20, 'b'))}},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = std::string(1 << 20, 'a') + std::string(1 << 20, 'b')});

  // Timing.
  T.push_back({.Name = "SilentAfterAccept",
               .Group = G::Timing,
               .Peer = {{Stall()}},
               .TimeOut = 300,
               .Error = "Socket readln aborted",
               .Events = Lines{"AboutToSend"},
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_TRUE(H.TimedOut); }});
  T.push_back({.Name = "OneByteAtATime",
               .Group = G::Timing,
               .Peer = {{ReadRequest(), Trickle("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")}},
               .Events = SuccessEvents,
               .Reply = 200,
               .Header = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n",
               .Body = "ok"});
  T.push_back({.Name = "StallMidBody",
               .Group = G::Timing,
               .Peer = {{ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\npart"), Stall()}},
               .TimeOut = 300,
               .Error = "Socket capture aborted",
               .Events = Lines{"AboutToSend"},
               .Body = "part",
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_TRUE(H.TimedOut); }});
  T.push_back({.Name = "StallMidHeader",
               .Group = G::Timing,
               .Peer = {{ReadRequest(), Send("HTTP/1.0 200 OK\r\nX-A: 1\r\n"), Stall()}},
               .TimeOut = 300,
               .Error = "Socket readln aborted",
               .Events = Lines{"AboutToSend"}});
  // A header line every 100 ms: every line is prompt, yet the header never ends. The time-out
  // must bound the whole header, or such a server holds the client for as long as it likes.
  T.push_back(
      {.Name = "HeaderThatNeverEnds",
       .Group = G::Timing,
       .Peer = {{ReadRequest(), Send("HTTP/1.0 200 OK\r\n"), Drip("X-Wait: 1\r\n", 40, 100)}},
       .TimeOut = 500,
       .Error = "Socket readln aborted",
       .Events = Lines{"AboutToSend"}});
  T.push_back({.Name = "ConnectThatNeverCompletes",
               .Group = G::Timing,
               .Peer = {},
               .TimeOut = 300,
               .Setup =
                   [](TVelHTTP&, TContext&) {
                     win::SetConnectFilter(
                         [](const sockaddr_in&) { return win::ConnectVerdict::Hang; });
                   },
               .Error = "Connection Timed out",
               .Events = Lines{"AboutToSend"}});

  // Redirections.
  const std::string Loop = "HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\n";
  {
    THostileCase C{.Name = "RedirectionLoop",
                   .Group = G::Redirect,
                   .Error = "Too many redirections",
                   .Connections = 21};
    Lines E;
    for (int I = 0; I < 21; ++I) {
      C.Peer.push_back(Answer(Loop));
      E.insert(E.end(), {"AboutToSend", "Redirect"});
    }
    C.Events = E;
    T.push_back(C);
  }
  T.push_back({.Name = "RedirectionChain",
               .Group = G::Redirect,
               .Peer = {Answer("HTTP/1.0 301 Moved\r\nLocation: /b\r\n\r\n"),
                        Answer("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:{P}/c\r\n\r\n"),
                        Answer("HTTP/1.0 303 See Other\r\nLocation: d\r\n\r\n"), Answer(Ok)},
               .Events = Lines{"AboutToSend", "Redirect", "AboutToSend", "Redirect", "AboutToSend",
                               "Redirect", "AboutToSend", "Success 0", "Transaction Completed"},
               .Reply = 200,
               .Body = "body",
               .Connections = 4,
               .Check = [](const TOutcome& O, TVelHTTP&) {
                 ASSERT_EQ(O.Requests.size(), 4u);
                 EXPECT_EQ(O.Requests[1].substr(0, 11), "GET /b HTTP");
                 EXPECT_EQ(O.Requests[2].substr(0, 11), "GET /c HTTP");
                 EXPECT_EQ(O.Requests[3].substr(0, 11), "GET /d HTTP");
               }});
  T.push_back({.Name = "RedirectionToAnotherHostWithoutCredentials",
               .Group = G::Redirect,
               .Peer = {Answer("HTTP/1.0 302 Found\r\nLocation: http://other.test:{Q}/o\r\n\r\n")},
               .Second = {Answer(Ok)},
               .Setup =
                   [](TVelHTTP& H, TContext&) {
                     H.HeaderInfo.UserId = "user";
                     H.HeaderInfo.Password = "secret";
                   },
               .Events = Lines{"AboutToSend", "Redirect", "AboutToSend", "Success 0",
                               "Transaction Completed"},
               .Reply = 200,
               .Body = "body",
               .Check =
                   [](const TOutcome& O, TVelHTTP& H) {
                     ASSERT_EQ(O.Requests.size(), 1u);
                     ASSERT_EQ(O.SecondRequests.size(), 1u);
                     EXPECT_TRUE(HasLine(O.Requests[0], "Authorization: Basic "));
                     EXPECT_FALSE(HasLine(O.SecondRequests[0], "Authorization:"));
                     EXPECT_TRUE(HasLine(O.SecondRequests[0], "Host: other.test:"));
                     EXPECT_EQ(H.HeaderInfo.UserId, "user");
                   }});
  T.push_back({.Name = "RedirectionToHttps",
               .Group = G::Redirect,
               .Peer = {Answer("HTTP/1.0 301 Moved\r\nLocation: https://127.0.0.1/\r\n\r\n")},
               .Error = "HTTP Secure Socket is not supported",
               .Events = Lines{"AboutToSend", "Redirect"},
               .Reply = 301,
               .Connections = 1});
  T.push_back({.Name = "RelativeRedirectionKeepsThePort",
               .Group = G::Redirect,
               .Peer = {Answer("HTTP/1.0 302 Found\r\nLocation: next/page\r\n\r\n"), Answer(Ok)},
               .Events = Lines{"AboutToSend", "Redirect", "AboutToSend", "Success 0",
                               "Transaction Completed"},
               .Reply = 200,
               .Connections = 2,
               .Check = [](const TOutcome& O, TVelHTTP&) {
                 ASSERT_EQ(O.Requests.size(), 2u);
                 EXPECT_EQ(O.Requests[1].substr(0, 19), "GET /next/page HTTP");
               }});
  // An empty Location names nothing to follow: the 302 is the reply.
  T.push_back({.Name = "EmptyLocationEndsTheRequest",
               .Group = G::Redirect,
               .Peer = {Answer("HTTP/1.0 302 Found\r\nLocation: \r\n\r\n"), Answer(Ok)},
               .Events = Lines{"AboutToSend", "Redirect"},
               .Reply = 302,
               .Connections = 1});
  T.push_back(
      {.Name = "VeryLongLocationArrivesWhole",
       .Group = G::Redirect,
       .Peer = {Answer("HTTP/1.0 302 Found\r\nLocation: /" + std::string(20000, 'p') + "\r\n\r\n"),
                Answer(Ok)},
       .Reply = 200,
       .Connections = 2,
       .Check = [](const TOutcome& O, TVelHTTP&) {
         ASSERT_EQ(O.Requests.size(), 2u);
         EXPECT_EQ(O.Requests[1].substr(0, 20016),
                   "GET /" + std::string(20000, 'p') + " HTTP/1.0\r\n");
       }});
  T.push_back({.Name = "LocationWithCrInside",
               .Group = G::Redirect,
               .Peer = {Answer("HTTP/1.0 302 Found\r\nLocation: /a\rX-Evil: 1\r\n\r\n")},
               .Error = Injection + "URL",
               .Events = Lines{"AboutToSend", "Redirect"},
               .Connections = 1});
  T.push_back(
      {.Name = "CookieWithCrOnARedirection",
       .Group = G::Redirect,
       .Peer = {Answer("HTTP/1.0 302 Found\r\nLocation: /b\r\nSet-Cookie: a=1\rX: y\r\n\r\n")},
       .Error = "*",
       .Connections = 1,
       .Check = [](const TOutcome& O, TVelHTTP& H) {
         EXPECT_NE(O.Error.find("ookie"), std::string::npos) << O.Error;
         // The caller's own cookie is not replaced by one that can never be sent.
         EXPECT_EQ(H.HeaderInfo.Cookie, "");
       }});
  // A 305 is final: it names no Location to follow, so the request ends after OnRedirect.
  T.push_back({.Name = "UseProxyEndsTheRequest",
               .Group = G::Redirect,
               .Peer = {Answer("HTTP/1.0 305 Use Proxy\r\n\r\n")},
               .Events = Lines{"AboutToSend", "Redirect"},
               .Reply = 305,
               .Connections = 1});
  T.push_back({.Name = "RedirectionToARefusingPort",
               .Group = G::Redirect,
               .Peer = {Answer("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:{R}/\r\n\r\n")},
               .Error = "Connection Failed",
               .Events = Lines{"AboutToSend", "Redirect", "AboutToSend"}});

  // The proxy.
  T.push_back({.Name = "ProxyRefuses",
               .Group = G::Proxy,
               .Peer = {},
               .ViaProxy = true,
               .Error = "Connection Failed",
               .Events = Lines{"AboutToSend"}});
  T.push_back({.Name = "ProxyKeepsAliveAfterContentLength",
               .Group = G::Proxy,
               .Peer = {{ReadRequest(),
                         Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA"), Stall()}},
               .ViaProxy = true,
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "hello"});
  T.push_back(
      {.Name = "ProxyErrorPage",
       .Group = G::Proxy,
       .Peer = {{ReadRequest(),
                 Send("HTTP/1.0 502 Bad Gateway\r\nContent-Length: 9\r\n\r\nbad proxy"), Stall()}},
       .ViaProxy = true,
       .Events = FailureEvents,
       .Reply = 502,
       .Body = "bad proxy"});
  T.push_back(
      {.Name = "ProxyHeadKeptAlive",
       .Group = G::Proxy,
       .Peer = {{ReadRequest(), Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n"), Stall()}},
       .Cmd = TCmd::Head,
       .ViaProxy = true,
       .Events = Lines{"AboutToSend", "Success 2", "Transaction Completed"},
       .Reply = 200,
       .Body = ""});
  T.push_back({.Name = "ProxyWithoutLengthIsBoundedByTheTimeOut",
               .Group = G::Proxy,
               .Peer = {{ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\nopen"), Stall()}},
               .ViaProxy = true,
               .TimeOut = 300,
               .Error = "Socket capture aborted",
               .Events = Lines{"AboutToSend"},
               .Body = "open"});
  T.push_back({.Name = "ProxyGetsAnAbsoluteURL",
               .Group = G::Proxy,
               .Peer = {{ReadRequest(), Send(Ok), Stall()}},
               .URL = "example.test:8080/p",
               .ViaProxy = true,
               .Events = SuccessEvents,
               .Reply = 200,
               .Check = [](const TOutcome& O, TVelHTTP&) {
                 ASSERT_EQ(O.Requests.size(), 1u);
                 EXPECT_EQ(O.Requests[0].substr(0, 41),
                           "GET http://example.test:8080/p HTTP/1.0\r\n");
               }});
  return T;
}

// Faults injected through the platform: a connect, send or receive that fails with a chosen
// error at its Nth call.
std::vector<THostileCase> FaultCases() {
  std::vector<THostileCase> T;
  const auto Fault = [](win::SocketCall Call, int Nth, int Error) {
    return [Call, Nth, Error](TVelHTTP&, TContext&) { win::SetSocketFault(Call, Nth, Error); };
  };
  using SC = win::SocketCall;
  const Lines Sent = {"AboutToSend"};
  T.push_back({.Name = "ConnectRefusedAtOnce",
               .Group = TGroup::Fault,
               .Peer = {Answer(Ok)},
               .Setup = Fault(SC::Connect, 1, 10061),
               .Error = "10061:Connection refused",
               .Events = Sent,
               .Connections = 0});
  T.push_back({.Name = "ConnectWithoutBuffers",
               .Group = TGroup::Fault,
               .Peer = {Answer(Ok)},
               .Setup = Fault(SC::Connect, 1, 10055),
               .Error = "10055:No buffer space available",
               .Events = Sent,
               .Connections = 0});
  T.push_back({.Name = "FirstSendReset",
               .Group = TGroup::Fault,
               .Peer = {Answer(Ok)},
               .Setup = Fault(SC::Send, 1, 10054),
               .Error = ResetText,
               .Events = Sent});
  // The header block goes in one send, its empty line with it: send 2 is the body's.
  T.push_back({.Name = "SendOfTheHeaderBlockFails",
               .Group = TGroup::Fault,
               .Peer = {Answer(Ok)},
               .Setup = Fault(SC::Send, 1, 10055),
               .Error = "10055:No buffer space available",
               .Events = Sent});
  T.push_back({.Name = "SendOfTheBodyAborted",
               .Group = TGroup::Fault,
               .Peer = {Answer(Ok)},
               .Cmd = TCmd::Post,
               .Setup = Fault(SC::Send, 2, 10053),
               .Error = "10053:Software caused connection abort",
               .Events = Sent});
  T.push_back({.Name = "SendWouldBlockOnce",
               .Group = TGroup::Fault,
               .Peer = {Answer(Ok)},
               .Setup = Fault(SC::Send, 1, 10035),
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "body"});
  T.push_back({.Name = "FirstReceiveReset",
               .Group = TGroup::Fault,
               .Peer = {Answer(Ok)},
               .Setup = Fault(SC::Recv, 1, 10054),
               .Error = ResetText,
               .Events = Sent});
  T.push_back({.Name = "ReceiveFailsMidHeader",
               .Group = TGroup::Fault,
               .Peer = {{ReadRequest(), Piece("HTTP/1.0 200 OK\r\n"), Send("X: 1\r\n\r\nbody")}},
               .Setup = Fault(SC::Recv, 3, 10053),
               .Error = "10053:Software caused connection abort",
               .Events = Sent});
  T.push_back({.Name = "ReceiveFailsMidBody",
               .Group = TGroup::Fault,
               .Peer = {{ReadRequest(), Piece("HTTP/1.0 200 OK\r\n\r\npart"), Send("rest")}},
               .Setup =
                   [](TVelHTTP& H, TContext&) {
                     H.OnPacketRecvd = [](TObject*) { win::SetSocketFault(SC::Recv, 1, 10054); };
                   },
               .Error = ResetText,
               .Events = Sent,
               .Body = "part"});
  T.push_back({.Name = "ReceiveWouldBlockSpuriously",
               .Group = TGroup::Fault,
               .Peer = {Answer(Ok)},
               .Setup = Fault(SC::Recv, 1, 10035),
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "body"});
  T.push_back({.Name = "ReceiveFailsWithAnUnknownError",
               .Group = TGroup::Fault,
               .Peer = {Answer(Ok)},
               .Setup = Fault(SC::Recv, 1, 10099),
               .Error = "Unknown Error No. 10099",
               .Events = Sent});
  return T;
}

// Client input the component must refuse before any connection.
std::vector<THostileCase> InputCases() {
  std::vector<THostileCase> T;
  const auto Refused = [](std::string Name, std::string URL, std::string Error,
                          std::function<void(TVelHTTP&, TContext&)> Setup = nullptr,
                          TCmd Cmd = TCmd::Get, std::string Data = "a=1") {
    return THostileCase{.Name = std::move(Name),
                        .Group = TGroup::Input,
                        .Peer = {{Stall()}},
                        .URL = std::move(URL),
                        .Cmd = Cmd,
                        .Data = std::move(Data),
                        .Setup = std::move(Setup),
                        .Error = std::move(Error),
                        .Events = Lines{},
                        .Connections = 0};
  };
  const std::string Url = "http://127.0.0.1:{P}/x";
  T.push_back(Refused("CrInTheURL", Url + "\r\nX-Evil: 1", Injection + "URL"));
  T.push_back(Refused("LfInTheURL", Url + "\nX-Evil: 1", Injection + "URL"));
  T.push_back(Refused("NulInTheURL", Url + std::string("\0evil", 5), Injection + "URL"));
  const std::pair<const char*, std::string THeaderInfo::*> Fields[] = {
      {"LocalProgram", &THeaderInfo::LocalProgram},
      {"LocalMailAddress", &THeaderInfo::LocalMailAddress},
      {"Cookie", &THeaderInfo::Cookie},
      {"Referer", &THeaderInfo::Referer},
      {"UserId", &THeaderInfo::UserId},
      {"Password", &THeaderInfo::Password}};
  for (const auto& [Field, Member] : Fields) {
    const auto M = Member;
    T.push_back(Refused(std::string("CrLfIn") + Field, Url, Injection + "HeaderInfo." + Field,
                        [M](TVelHTTP& H, TContext&) {
                          H.HeaderInfo.UserId = H.HeaderInfo.Password = "set";
                          H.HeaderInfo.*M = "v\r\nX-Evil: 1";
                        }));
  }
  T.push_back(Refused("LfInTheTargetURI", Url, Injection + "TargetURI", nullptr, TCmd::Copy,
                      "/b\nX-Evil: 1"));
  T.push_back(
      Refused("PortNotANumber", "http://127.0.0.1:abc/", "'abc' is not a valid integer value"));
  T.push_back(Refused("HexPort", "http://127.0.0.1:0x50/", "Invalid port in URL: 0x50"));
  T.push_back(Refused("PortPast16Bits", "http://127.0.0.1:70000/", "Invalid port in URL: 70000"));
  T.push_back(Refused("NegativePort", "http://127.0.0.1:-1/", "Invalid port in URL: -1"));
  T.push_back(Refused("PortZero", "http://127.0.0.1:0/", "Invalid port in URL: 0"));
  // A server named and left empty is a malformed URL; one not named at all is the current.
  T.push_back(Refused("EmptyHost", "http:///x", "No server in URL: http:///x"));
  T.push_back(Refused("EmptyHostWithAPort", "http://:80/x", "No server in URL: http://:80/x"));
  T.push_back(Refused("EmptyURL", "", "Empty URL"));
  return T;
}

// Handlers that call back into the component from its events. Each call either works or is
// refused with a clear error; the request then ends with its reply or with a clear error,
// and nothing spins, leaks or corrupts.
enum class TEvent {
  AboutToSend,
  Connect,
  DataAvailable,
  PacketRecvd,
  Success,
  Failure,
  Redirect,
  AuthenticationNeeded,
  Disconnect
};
enum class TAction { DataAvailable, Connect, Disconnect, Abort, Cancel, NewRequest, Free };

constexpr const char* EventNames[] = {
    "AboutToSend", "Connect",  "DataAvailable",        "PacketRecvd", "Success",
    "Failure",     "Redirect", "AuthenticationNeeded", "Disconnect"};
constexpr const char* ActionNames[] = {"DataAvailable", "Connect",    "Disconnect", "Abort",
                                       "Cancel",        "NewRequest", "Free"};

void RunOnce(TVelHTTP& H, TContext& Ctx, TAction Action, const std::string& URL) {
  if (Ctx.HandlerRan) return;
  Ctx.HandlerRan = true;
  try {
    switch (Action) {
      case TAction::DataAvailable: H.DataAvailable(); break;
      case TAction::Connect:
        H.Connect();
        Ctx.CallerConnected = true;
        break;
      case TAction::Disconnect: H.Disconnect(); break;
      case TAction::Abort: H.Abort(); break;
      case TAction::Cancel: H.Cancel(); break;
      case TAction::NewRequest: H.Get(URL); break;
      case TAction::Free: Ctx.Free(); break;
    }
  } catch (const Exception& E) {
    Ctx.HandlerError = *E.what() ? E.what() : "(an error without a message)";
  }
}

// Chains Extra after the handler already in Event (the fixture's log).
template <class F>
void After(F& Event, std::function<void()> Extra) {
  F Previous = Event;
  Event = [Previous, Extra](auto&&... A) {
    if (Previous) Previous(A...);
    Extra();
  };
}

std::vector<THostileCase> ReentryCases() {
  std::vector<THostileCase> T;
  for (int E = 0; E < 9; ++E) {
    for (int A = 0; A < 7; ++A) {
      const auto Event = static_cast<TEvent>(E);
      const auto Action = static_cast<TAction>(A);
      std::string Reply = Ok;
      int Status = 200;
      std::string Body = "body";
      if (Event == TEvent::Failure)
        Reply = "HTTP/1.0 404 Not Found\r\n\r\nnone", Status = 404, Body = "none";
      if (Event == TEvent::AuthenticationNeeded)
        Reply = "HTTP/1.0 401 Unauthorized\r\n\r\nwho", Status = 401, Body = "who";
      std::vector<TConnectionScript> Peer(3, Answer(Ok));
      Peer[0] = Answer(Event == TEvent::Redirect ? "HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"
                                                 : Reply);
      // The reply each case's request sees last, when it completes.
      const int FinalStatus = Status;
      const std::string FinalBody = Body;
      T.push_back(THostileCase{
          .Name = std::string("From") + EventNames[E] + "Call" + ActionNames[A],
          .Group = TGroup::Reentry,
          .Peer = Peer,
          .Setup =
              [Event, Action](TVelHTTP& H, TContext& Ctx) {
                const std::string Again = "http://127.0.0.1:" + std::to_string(H.Port) + "/again";
                auto Run = [&H, &Ctx, Action, Again] { RunOnce(H, Ctx, Action, Again); };
                switch (Event) {
                  case TEvent::AboutToSend: After(H.OnAboutToSend, Run); break;
                  case TEvent::Connect: After(H.OnConnect, Run); break;
                  case TEvent::DataAvailable: After(H.OnDataAvailable, Run); break;
                  case TEvent::PacketRecvd: After(H.OnPacketRecvd, Run); break;
                  case TEvent::Success: After(H.OnSuccess, Run); break;
                  case TEvent::Failure: After(H.OnFailure, Run); break;
                  case TEvent::Redirect: After(H.OnRedirect, Run); break;
                  case TEvent::AuthenticationNeeded: After(H.OnAuthenticationNeeded, Run); break;
                  case TEvent::Disconnect: After(H.OnDisconnect, Run); break;
                }
              },
          .Error = "?",
          .Check =
              [FinalStatus, FinalBody](const TOutcome& O, TVelHTTP& H) {
                // A request that ended normally ended with its own reply, uncorrupted.
                // A connection closed under the request by its own handler may leave it
                // nothing to read: then it must say so through OnFailure.
                if (O.Error.empty() && H.ReplyNumber == 0) {
                  EXPECT_NE(std::find(O.Events.begin(), O.Events.end(), "Failure 0"),
                            O.Events.end());
                } else if (O.Error.empty()) {
                  EXPECT_EQ(H.ReplyNumber, FinalStatus);
                  EXPECT_EQ(H.Body, FinalBody);
                }
              }});
    }
  }
  return T;
}

// --- HTTP's own rules: one row or a few per rule, against servers that test them -----------

std::vector<THostileCase> RuleCases() {
  std::vector<THostileCase> T;
  using G = TGroup;
  const Lines PostFailure = {"AboutToSend", "Failure 3"};
  const std::string Moved = "HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n";
  auto AbortFrom = [](auto Member) {
    return [Member](TVelHTTP& H, TContext&) { After(H.*Member, [&H] { H.Abort(); }); };
  };

  // Only a redirection with a Location of its own starts another pass.
  T.push_back({.Name = "PostAnswered304IsOnePass",
               .Group = G::Redirect,
               .Peer = {Answer("HTTP/1.0 304 Not Modified\r\n\r\n"), Answer(Ok)},
               .Cmd = TCmd::Post,
               .Events = Lines{"AboutToSend", "Redirect"},
               .Reply = 304,
               .Connections = 1});
  T.push_back({.Name = "RedirectionWithoutLocationAfterOneWithIt",
               .Group = G::Redirect,
               .Peer = {Answer(Moved), Answer("HTTP/1.0 302 Found\r\n\r\n"), Answer(Ok)},
               .Events = Lines{"AboutToSend", "Redirect", "AboutToSend", "Redirect"},
               .Reply = 302,
               .Connections = 2});
  // Header fields: names in any case, blanks around values, lengths all digits or none.
  T.push_back({.Name = "FieldNameCaseAndBlanksThroughAKeptProxy",
               .Group = G::Header,
               .Peer = {{ReadRequest(),
                         Send("HTTP/1.0 200 OK\r\ncONTENT-lENGTH:\t 4 \t\r\n\r\nbody"), Stall()}},
               .ViaProxy = true,
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "body"});
  T.push_back({.Name = "LocationWithoutBlankAfterTheColon",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 302 Found\r\nLocation:/ok\r\n\r\n"), Answer(Ok)},
               .Events = Lines{"AboutToSend", "Redirect", "AboutToSend", "Success 0",
                               "Transaction Completed"},
               .Body = "body",
               .Check = [](const TOutcome& O, TVelHTTP&) {
                 ASSERT_EQ(O.Requests.size(), 2u);
                 EXPECT_EQ(O.Requests[1].substr(0, 8), "GET /ok ");
               }});
  T.push_back({.Name = "ContentLengthNotAllDigitsIsNoLength",
               .Group = G::Header,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n\r\n0123456789abcdef")},
               .ViaProxy = true,
               .Events = SuccessEvents,
               .Body = "0123456789abcdef",
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_EQ(H.BytesTotal, 0); }});
  // Interim replies.
  T.push_back(
      {.Name = "InterimRepliesAreSkipped",
       .Group = G::Status,
       .Peer = {Answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: 1\r\n\r\n"
                       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")},
       .Events = SuccessEvents,
       .Reply = 200,
       .Body = "ok",
       .Check = [](const TOutcome&, TVelHTTP& H) {
         EXPECT_EQ(H.Header.substr(0, 25), "HTTP/1.1 100 Continue\r\n\r\n");
       }});
  T.push_back({.Name = "InterimReplyThenClose",
               .Group = G::Status,
               .Peer = {Answer("HTTP/1.1 100 Continue\r\n\r\n")},
               .Events = FailureEvents,
               .Reply = 0,
               .Header = "HTTP/1.1 100 Continue\r\n\r\n",
               .Body = ""});
  T.push_back({.Name = "SwitchingProtocolsEndsTheRequest",
               .Group = G::Status,
               .Peer = {Answer("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n")},
               .Error = "Protocol switch not supported",
               .Events = Lines{"AboutToSend"},
               .Reply = 101});
  // Bounds.
  T.push_back(
      {.Name = "InterimRepliesPastTheHeaderBound",
       .Group = G::Header,
       .Peer = {{ReadRequest(),
                 Send(Repeat("HTTP/1.1 100 Continue\r\nX: " + std::string(1000, 'a') + "\r\n\r\n",
                             1100)),
                 Stall()}},
       .Error = "Reply header too large",
       .Events = Lines{"AboutToSend"}});
  T.push_back({.Name = "BodyPastMaxBodySize",
               .Group = G::Body,
               .Peer = {Answer("HTTP/1.0 200 OK\r\n\r\n" + std::string(100000, 'b'))},
               .Setup = [](TVelHTTP& H, TContext&) { H.MaxBodySize = 10; },
               .Error = "Reply body larger than 10 bytes",
               .Events = Lines{"AboutToSend"},
               .Reply = 200,
               .Body = std::string(10, 'b')});
  // A reply is never lost to a reset.
  T.push_back(
      {.Name = "AnswerBeforeTheBodyIsReadThenReset",
       .Group = G::Body,
       .Peer = {{Send("HTTP/1.0 413 Payload Too Large\r\nContent-Length: 4\r\n\r\nbig!"), Reset()}},
       .Cmd = TCmd::Post,
       .Data = std::string(1 << 20, 'x'),
       .Events = PostFailure,
       .Reply = 413,
       .Body = "big!"});
  T.push_back({.Name = "ResetAfterTheWholeReply",
               .Group = G::Body,
               .Peer = {{ReadRequest(), Send(Ok), Reset()}},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "body"});
  // Abort from a handler stops the request.
  T.push_back({.Name = "AbortFromOnAboutToSendConnectsNowhere",
               .Group = G::Reentry,
               .Peer = {Answer(Ok)},
               .Setup = AbortFrom(&TVelHTTP::OnAboutToSend),
               .Error = "Request aborted",
               .Events = Lines{"AboutToSend"},
               .Connections = 0});
  T.push_back({.Name = "AbortFromOnRedirectMakesNoFurtherPass",
               .Group = G::Reentry,
               .Peer = {Answer(Moved), Answer(Ok)},
               .Setup = AbortFrom(&TVelHTTP::OnRedirect),
               .Error = "Request aborted",
               .Events = Lines{"AboutToSend", "Redirect"},
               .Connections = 1});
  T.push_back({.Name = "AbortFromTheLastOnSuccessReturnsNormally",
               .Group = G::Reentry,
               .Peer = {Answer(Ok)},
               .Setup = AbortFrom(&TVelHTTP::OnSuccess),
               .Events = SuccessEvents,
               .Reply = 200,
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_FALSE(H.Canceled); }});
  // A chunked body is decoded.
  T.push_back({.Name = "ChunkedBodyIsDecoded",
               .Group = G::Body,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "4\r\nbody\r\n3;x=y\r\n!!!\r\n0\r\nT: v\r\n\r\n")},
               .Events = SuccessEvents,
               .Reply = 200,
               .Body = "body!!!",
               .Check = [](const TOutcome&, TVelHTTP& H) { EXPECT_EQ(H.BytesRecvd, 7); }});
  T.push_back({.Name = "MalformedChunkKeepsWhatWasDecoded",
               .Group = G::Body,
               .Peer = {Answer("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "2\r\nok\r\nzz\r\n")},
               .Error = "Malformed chunked body",
               .Events = Lines{"AboutToSend"},
               .Reply = 200,
               .Body = "ok"});
  return T;
}

std::vector<THostileCase> AllCases() {
  std::vector<THostileCase> All = ServerCases();
  for (auto& C : FaultCases()) All.push_back(std::move(C));
  for (auto& C : InputCases()) All.push_back(std::move(C));
  for (auto& C : ReentryCases()) All.push_back(std::move(C));
  for (auto& C : RuleCases()) All.push_back(std::move(C));
  return All;
}

}  // namespace

// --- The one test, run over the whole table -------------------------------------------------

// The HTTP fixture (its ".test" names, event log, wait hook and leak checks), plus a check
// that no descriptor is left open and that no injected fault outlives its case.
class HostileServer : public HttpTest, public ::testing::WithParamInterface<THostileCase> {
 protected:
  void SetUp() override {
    // The platform opens its queue with the first component; count after that.
    TOwned<TVelHTTP>(new TVelHTTP(nullptr)).reset();
    FdsBefore = OpenDescriptors();
    HttpTest::SetUp();
  }

  void TearDown() override {
    HttpTest::TearDown();
    win::SetConnectFilter(nullptr);
    win::ClearSocketFaults();
    EXPECT_EQ(OpenDescriptors(), FdsBefore) << "a descriptor was left open";
  }

  // A peer with "{P}" defined as its own port.
  std::unique_ptr<TPeer> MakePeer(const std::vector<TConnectionScript>& Script) {
    auto Peer = std::make_unique<TPeer>(Script, Watch, 32);
    Peer->Define("{P}", std::to_string(Peer->Port()));
    return Peer;
  }

  int FdsBefore = 0;
};

TEST_P(HostileServer, EndsAsItShouldAndLeavesTheComponentUsable) {
  const THostileCase& C = GetParam();
  const TWatchdog Watchdog(C.Name, std::chrono::milliseconds(C.TimeOut * 4 + 20000));
  TOutcome O;
  {
    std::unique_ptr<TPeer> Peer, Second;
    std::uint16_t Port = testsupport::RefusingPort();
    if (!C.Peer.empty()) {
      Peer = MakePeer(C.Peer);
      Port = Peer->Port();
    }
    if (!C.Second.empty()) Second = MakePeer(C.Second);
    const std::string Q = Second ? std::to_string(Second->Port()) : "1";
    const std::string R = std::to_string(testsupport::RefusingPort());
    for (TPeer* P : {Peer.get(), Second.get()}) {
      if (P == nullptr) continue;
      P->Define("{Q}", Q);
      P->Define("{R}", R);
    }
    std::string URL = Replaced(C.URL, "{P}", std::to_string(Port));
    URL = Replaced(URL, "{Q}", Q);
    URL = Replaced(URL, "{R}", R);

    TVelHTTP& H = Make();
    H.TimeOut = C.TimeOut;
    if (C.ViaProxy) {
      H.Proxy = "127.0.0.1";
      H.ProxyPort = Port;
    }
    TContext Ctx;
    Ctx.Free = [this] { Http.reset(); };
    H.Port = Port;  // lets re-entrant cases find the server before the first SplitURL
    if (C.Setup) C.Setup(H, Ctx);
    const auto& I = H.HeaderInfo;
    const std::vector<std::string> CallerInfo = {I.LocalProgram, I.LocalMailAddress, I.Cookie,
                                                 I.Referer,      I.UserId,           I.Password};
    try {
      switch (C.Cmd) {
        case TCmd::Get: H.Get(URL); break;
        case TCmd::Head: H.Head(URL); break;
        case TCmd::Post: H.Post(URL, C.Data); break;
        case TCmd::Copy: H.Copy(URL, C.Data); break;
      }
    } catch (const Exception& E) {
      O.Error = E.what();
      EXPECT_FALSE(O.Error.empty()) << "an error without a message";
    }
    // Anything else than an Exception leaves the test here and fails it.
    O.Events = Log;
    if (Peer) {
      O.Requests = Peer->Requests();
      O.Accepted = Peer->Accepted();
    }
    if (Second) O.SecondRequests = Second->Requests();
    win::SetConnectFilter(nullptr);
    win::ClearSocketFaults();

    if (C.Error == "?") {
      if (Ctx.HandlerRan && !Ctx.HandlerError.empty()) {
        EXPECT_NE(Ctx.HandlerError, "(an error without a message)");
      }
    } else if (!C.Error.empty() && C.Error.back() == '*') {
      EXPECT_EQ(O.Error.substr(0, C.Error.size() - 1), C.Error.substr(0, C.Error.size() - 1));
      EXPECT_FALSE(O.Error.empty());
    } else {
      EXPECT_EQ(O.Error, C.Error);
    }
    if (C.Events) {
      EXPECT_EQ(O.Events, *C.Events);
    }
    if (C.Connections >= 0) {
      EXPECT_EQ(O.Accepted, C.Connections);
    }
    if (Http && Ctx.CallerConnected && Http->Connected) Http->Disconnect();
    if (Http) {
      if (C.Reply) {
        EXPECT_EQ(Http->ReplyNumber, *C.Reply);
      }
      if (C.Header) {
        EXPECT_EQ(Http->Header, *C.Header);
      }
      if (C.Body) {
        EXPECT_EQ(Http->Body, *C.Body);
      }
      EXPECT_FALSE(Http->Connected) << "the connection was left open";
      EXPECT_FALSE(Http->Busy());
    }
    if (C.Check && Http) C.Check(O, *Http);
    // A component freed by its own handler ends the request that was running in it.
    if (!Http) {
      EXPECT_EQ(O.Error, "Aborted: the component was destroyed");
    } else {
      // Values the caller set are the caller's to clear; anything the server put there stays
      // for the next request.
      std::string* Fields[] = {&Http->HeaderInfo.LocalProgram, &Http->HeaderInfo.LocalMailAddress,
                               &Http->HeaderInfo.Cookie,       &Http->HeaderInfo.Referer,
                               &Http->HeaderInfo.UserId,       &Http->HeaderInfo.Password};
      for (std::size_t F = 0; F < 6; ++F)
        if (*Fields[F] == CallerInfo[F]) Fields[F]->clear();
    }
  }

  // The same component now completes a normal request.
  if (!Http) return;
  TVelHTTP& H = *Http;
  H.OnAboutToSend = H.OnConnect = H.OnDataAvailable = H.OnPacketRecvd = H.OnDisconnect = nullptr;
  H.OnSuccess = [this](CmdType Cmd) { Log.push_back("Success " + std::to_string(Cmd)); };
  H.OnFailure = [this](CmdType Cmd) { Log.push_back("Failure " + std::to_string(Cmd)); };
  H.OnRedirect = nullptr;
  H.OnAuthenticationNeeded = nullptr;
  H.Proxy.clear();
  H.TimeOut = 5000;
  const auto Normal = MakePeer({Answer("HTTP/1.0 200 OK\r\n\r\nfine")});
  Log.clear();
  EXPECT_NO_THROW(H.Get("http://127.0.0.1:" + std::to_string(Normal->Port()) + "/again"));
  EXPECT_EQ(H.ReplyNumber, 200);
  EXPECT_EQ(H.Body, "fine");
  EXPECT_EQ(Log, (Lines{"Success 0", "Transaction Completed"}));
  EXPECT_FALSE(H.Connected);
}

INSTANTIATE_TEST_SUITE_P(Table, HostileServer, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<THostileCase>& I) {
                           return FullName(I.param);
                         });

}  // namespace hostile
