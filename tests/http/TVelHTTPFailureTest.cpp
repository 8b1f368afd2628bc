// Requests that end in an error: the connection is closed, no result event is raised, the
// files keep what was written, and the same component then completes a normal request.
#include <algorithm>
#include <functional>

#include "socket/TThreadTimer.h"
#include "tests/http/HttpFixture.h"

using testsupport::ReplyScript;
using testsupport::ScriptedHttpServer;
using testsupport::Whole;

namespace {

ReplyScript Parts(std::string Text, bool Reset, bool Hold) {
  ReplyScript S{{std::move(Text)}};
  S.Reset = Reset;
  S.Hold = Hold;
  return S;
}

ReplyScript Silent() {
  ReplyScript S;
  S.Silent = true;
  return S;
}

std::vector<ReplyScript> Redirections(int Count) {
  return std::vector<ReplyScript>(static_cast<std::size_t>(Count),
                                  Whole("HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\n"));
}

Lines Repeated(const Lines& Part, int Count) {
  Lines Out;
  for (int I = 0; I < Count; ++I) Out.insert(Out.end(), Part.begin(), Part.end());
  return Out;
}

const std::string Reset = "10054:Connection reset by peer";

// Header lines past the bound of a reply's header block, with no end in sight.
std::string EndlessHeader() {
  std::string Text = "HTTP/1.0 200 OK\r\n";
  while (Text.size() <= (std::size_t{1} << 20)) Text += "X: " + std::string(1000, 'x') + "\r\n";
  return Text;
}

struct FailureCase {
  const char* Name;
  std::vector<ReplyScript> Scripts;  // empty: nothing listens on the port
  std::function<void(TVelHTTP&, const std::string& Dir)> Setup;
  std::string Error;
  Lines Expected;                    // events
  std::string HeaderFile, BodyFile;  // contents, when the case uses files
  std::string Body = "";             // string mode: what Body keeps
};

void PrintTo(const FailureCase& C, std::ostream* Os) { *Os << C.Name; }

void Files(TVelHTTP& H, const std::string& Dir) {
  H.InputFileMode = H.OutputFileMode = true;
  H.Header = Dir + "/h.txt";
  H.Body = Dir + "/b.htm";
}

const FailureCase FailureCases[] = {
    {"Refused", {}, nullptr, "Connection Failed", {"AboutToSend"}, "", "", "Default.htm"},
    {"TimedOutReadingTheHeader",
     {Silent()},
     [](TVelHTTP& H, const std::string&) { H.TimeOut = 300; },
     "Socket readln aborted",
     {"AboutToSend"},
     "",
     "",
     "Default.htm"},
    {"AbortedMidBody",
     {Parts("HTTP/1.0 200 OK\r\n\r\npart", false, true)},
     [](TVelHTTP& H, const std::string&) { H.OnPacketRecvd = [&H](TObject*) { H.Abort(); }; },
     "Socket capture aborted",
     {"AboutToSend"},
     "",
     "",
     "part"},
    {"AbortedMidBodyKeepsTheFiles",
     {Parts("HTTP/1.0 200 OK\r\n\r\npart", false, true)},
     [](TVelHTTP& H, const std::string& Dir) {
       Files(H, Dir);
       H.OnPacketRecvd = [&H](TObject*) { H.Abort(); };
     },
     "Socket send aborted",
     {"AboutToSend"},
     "HTTP/1.0 200 OK\r\n\r\n",
     "part"},
    {"AbortedThroughAProxyWithALength",
     {Parts("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\npart", false, true)},
     [](TVelHTTP& H, const std::string&) {
       H.Proxy = "127.0.0.1";
       H.OnPacketRecvd = [&H](TObject*) { H.Abort(); };
     },
     "Socket capture aborted",
     {"AboutToSend"},
     "",
     "",
     "part"},
    {"ResetMidHeader",
     {Parts("HTTP/1.0 200 OK\r\nContent-Le", true, false)},
     [](TVelHTTP& H, const std::string& Dir) { Files(H, Dir); },
     Reset,
     {"AboutToSend"},
     "HTTP/1.0 200 OK\r\n",
     ""},
    {"ResetMidBody",
     {Parts("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nhalf", true, false)},
     [](TVelHTTP& H, const std::string& Dir) { Files(H, Dir); },
     Reset,
     {"AboutToSend"},
     "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n",
     "half"},
    {"ResetMidBodyInStringMode",
     {Parts("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nhalf", true, false)},
     nullptr,
     Reset,
     {"AboutToSend"},
     "",
     "",
     "half"},
    // A reply HTTP's message syntax does not allow: refused, the connection closed.
    {"ConflictingContentLength",
     {Whole("HTTP/1.0 200 OK\r\nContent-Length: 5\r\ncontent-length:6\r\n\r\nhello")},
     [](TVelHTTP& H, const std::string& Dir) { Files(H, Dir); },
     "Conflicting Content-Length",
     {"AboutToSend"},
     "HTTP/1.0 200 OK\r\nContent-Length: 5\r\ncontent-length:6\r\n\r\n",
     ""},
    {"ProtocolSwitch",
     {Whole("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 101 Switching Protocols\r\n"
            "Upgrade: h2c\r\n\r\nnot http")},
     [](TVelHTTP& H, const std::string& Dir) { Files(H, Dir); },
     "Protocol switch not supported",
     {"AboutToSend"},
     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n",
     ""},
    {"HeaderWithoutEnd",
     {Parts(EndlessHeader(), false, true)},
     nullptr,
     "Reply header too large",
     {"AboutToSend"},
     "",
     "",
     "Default.htm"},
    {"TooManyRedirections", Redirections(21), nullptr, "Too many redirections",
     Repeated({"AboutToSend", "Redirect"}, 21), "", ""},
    {"HeaderFileCannotBeCreated",
     {Whole("HTTP/1.0 200 OK\r\n\r\nx")},
     [](TVelHTTP& H, const std::string&) {
       H.OutputFileMode = true;
       H.Header = "/nonexistent/orrery-h.txt";
     },
     "Cannot create file \"/nonexistent/orrery-h.txt\". No such file or directory",
     {"AboutToSend"},
     "",
     "",
     "Default.htm"},
    {"SuccessHandlerFails",
     {Whole("HTTP/1.0 200 OK\r\n\r\nx")},
     [](TVelHTTP& H, const std::string&) {
       H.OnSuccess = [](CmdType) { throw Exception("handler failed"); };
     },
     "handler failed",
     {"AboutToSend"},
     "",
     "",
     "x"},
};

class FailedRequest : public HttpTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedRequest, ClosesWithoutResultAndTheComponentStillWorks) {
  const FailureCase& C = GetParam();
  TempDir Dir;
  std::unique_ptr<ScriptedHttpServer> Server;
  std::uint16_t Port = testsupport::RefusingPort();
  if (!C.Scripts.empty()) {
    Server = std::make_unique<ScriptedHttpServer>(C.Scripts, Watch);
    Port = Server->Port();
  }
  auto& H = Make();
  bool Closed = false;
  H.OnDisconnect = [&](TObject*) { Closed = true; };
  if (C.Setup) C.Setup(H, Dir.Path);
  if (!H.Proxy.empty()) H.ProxyPort = Port;
  EXPECT_EQ(ErrorOf([&] { H.Get(At(Port, "/f")); }), C.Error);
  EXPECT_EQ(Log, C.Expected);
  EXPECT_TRUE(Closed);
  EXPECT_FALSE(H.Connected);
  EXPECT_FALSE(H.Busy());
  if (!C.HeaderFile.empty() || !C.BodyFile.empty()) {
    EXPECT_EQ(FileText(Dir.Path + "/h.txt"), C.HeaderFile);
    EXPECT_EQ(FileText(Dir.Path + "/b.htm"), C.BodyFile);
  } else if (!H.InputFileMode) {
    EXPECT_EQ(H.Body, C.Body);
  }
  if (std::string(C.Name) == "TooManyRedirections") {
    EXPECT_EQ(Server->Requests().size(), 21u);
  }

  H.OnPacketRecvd = nullptr;
  H.OnDisconnect = nullptr;
  H.OnSuccess = [this](CmdType Cmd) { Log.push_back("Success " + std::to_string(Cmd)); };
  H.InputFileMode = H.OutputFileMode = false;
  H.Proxy.clear();
  H.TimeOut = 10000;
  ExpectNormalRequest();
}

INSTANTIATE_TEST_SUITE_P(Failures, FailedRequest, ::testing::ValuesIn(FailureCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// A result event comes while the reply is complete; the connection is closed before
// OnRedirect and OnAuthenticationNeeded run.
TEST_F(HttpTest, RedirectAndAuthenticationComeAfterTheDisconnection) {
  ScriptedHttpServer Server({Whole("HTTP/1.0 301 Moved\r\nLocation: /b\r\n\r\n"),
                             Whole("HTTP/1.0 401 Unauthorized\r\n\r\nbody")});
  auto& H = Make();
  H.OnDisconnect = [this](TObject*) { Log.push_back("Disconnect"); };
  H.OnFailure = [this, &H](CmdType) { Log.push_back("Failure with body " + H.Body); };
  H.Get(At(Server.Port(), "/a"));
  const auto Index = [&](const std::string& E) {
    return std::find(Log.begin(), Log.end(), E) - Log.begin();
  };
  const auto LastDisconnectBefore = [&](std::ptrdiff_t End) {
    std::ptrdiff_t Found = -1;
    for (std::ptrdiff_t I = 0; I < End; ++I)
      if (Log[static_cast<std::size_t>(I)] == "Disconnect") Found = I;
    return Found;
  };
  const std::ptrdiff_t Redirect = Index("Redirect");
  const std::ptrdiff_t Failure = Index("Failure with body body");
  const std::ptrdiff_t Auth = Index("AuthenticationNeeded");
  ASSERT_LT(Auth, static_cast<std::ptrdiff_t>(Log.size())) << ::testing::PrintToString(Log);
  EXPECT_LT(Redirect, Failure);
  EXPECT_GT(LastDisconnectBefore(Redirect), Index("AboutToSend"));
  EXPECT_GT(LastDisconnectBefore(Auth), Failure);
  EXPECT_EQ(Auth + 1, static_cast<std::ptrdiff_t>(Log.size()));
}

// A handler that destroys the component ends the request without touching it again.
TEST_F(HttpTest, ComponentDestroyedByAResultHandler) {
  ScriptedHttpServer Server({Whole("HTTP/1.0 404 Not Found\r\n\r\n")});
  auto& H = Make();
  H.OnFailure = [this](CmdType) { Http.reset(); };
  EXPECT_EQ(ErrorOf([&] { H.Get(At(Server.Port())); }), "Aborted: the component was destroyed");
  EXPECT_EQ(Http, nullptr);
}

}  // namespace

namespace {

// Abort also ends the wait for a host look-up that never answers.
TEST_F(HttpTest, AbortEndsAPendingLookUp) {
  const auto Release = std::make_shared<testsupport::Gate>();
  win::SetResolver([Release](const std::string&, std::vector<std::uint32_t>& Addrs, std::string&) {
    Release->Wait(std::chrono::seconds(30));
    Addrs = {htonl(INADDR_LOOPBACK)};
    return 0;
  });
  auto& H = Make();
  TOwned<TThreadTimer> Timer(new TThreadTimer(nullptr));
  Timer->SetInterval(20);
  Timer->SetOnTimer([&](TObject*) {
    Timer->SetEnabled(false);
    H.Abort();
  });
  Timer->SetEnabled(true);
  EXPECT_EQ(ErrorOf([&] { H.Get("http://slow.test/"); }), "Host Lookup Canceled");
  EXPECT_EQ(Log, Lines{"AboutToSend"});
  Release->Open();
  Timer.reset();
  ExpectNormalRequest();
}

}  // namespace
