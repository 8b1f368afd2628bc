// Common ground of the HTTP component tests, and the base of the hostile-server fixture: a
// component whose events are logged in one list, names under ".test" that resolve to
// 127.0.0.1, the client half of the split-reply hand-off, and a check that nothing is left
// registered.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/TApplication.h"
#include "http/TVelHTTP.h"
#include "platform/MessageQueue.h"
#include "platform/WinSock.h"
#include "tests/http/ScriptedHttpServer.h"
#include "tests/support/TestHelpers.h"

using Lines = std::vector<std::string>;

// A directory of its own for the files a case writes, removed with it.
struct TempDir {
  TempDir() {
    char Pattern[] = "/tmp/orrery-http-XXXXXX";
    Path = ::mkdtemp(Pattern);
  }
  ~TempDir() { std::filesystem::remove_all(Path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& Name, const std::string& Content) const {
    const std::string Full = Path + "/" + Name;
    std::ofstream(Full, std::ios::binary) << Content;
    return Full;
  }
  std::string Path;
};

inline std::string FileText(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Baseline = win::GetQueueStats();
    win::SetResolver(
        [](const std::string& Name, std::vector<std::uint32_t>& Addrs, std::string& Canonical) {
          if (Name.size() < 5 || Name.compare(Name.size() - 5, 5, ".test") != 0) return 11001;
          Addrs = {htonl(INADDR_LOOPBACK)};
          Canonical = Name;
          return 0;
        });
    Application.OnWaitForEvent = [this](int TimeoutMs) {
      if (Http) Watch->ClientWaits(static_cast<int>(Http->SocketHandle));
      win::WaitMessage(TimeoutMs);
    };
  }

  void TearDown() override {
    Http.reset();
    Application.OnWaitForEvent = nullptr;
    win::SetResolver(nullptr);
    const win::QueueStats After = win::GetQueueStats();
    EXPECT_EQ(After.Windows, Baseline.Windows) << "a window was left behind";
    EXPECT_EQ(After.Timers, Baseline.Timers) << "a timer was left behind";
    EXPECT_EQ(After.Sockets, Baseline.Sockets) << "a socket was left behind";
  }

  // The component under test with no handler of the fixture's, for suites that set their
  // own as an owner would.
  TVelHTTP& MakeBare() {
    Http.reset(new TVelHTTP(nullptr));
    Http->TimeOut = 10000;  // tripwire: no wait of a test lasts longer
    return *Http;
  }

  // The component under test, every result event and "Transaction Completed" logged in
  // order. OnDisconnect is left out: the socket layer may also close on the server's close.
  TVelHTTP& Make() {
    MakeBare();
    Log.clear();
    Http->ReportLevel = 2;
    Http->OnStatus = [this](TObject*, const std::string& S) { Log.push_back(S); };
    Http->OnAboutToSend = [this](TObject* Sender) {
      EXPECT_EQ(Sender, Http.get());
      Log.push_back("AboutToSend");
    };
    Http->OnSuccess = [this](CmdType Cmd) { Log.push_back("Success " + std::to_string(Cmd)); };
    Http->OnFailure = [this](CmdType Cmd) { Log.push_back("Failure " + std::to_string(Cmd)); };
    Http->OnRedirect = [this](bool& Handled) {
      Log.push_back(Handled ? "Redirect (handled)" : "Redirect");
      Handled = HandleRedirect;
    };
    Http->OnAuthenticationNeeded = [this](TObject* Sender) {
      EXPECT_EQ(Sender, Http.get());
      Log.push_back("AuthenticationNeeded");
    };
    return *Http;
  }

  // The message of the exception the call raises ("" when it raises none).
  template <class F>
  static std::string ErrorOf(F&& Call) {
    try {
      Call();
    } catch (const std::exception& E) {
      return E.what();
    }
    return "";
  }

  // "http://127.0.0.1:<port>" followed by Path.
  static std::string At(std::uint16_t Port, const std::string& Path = "/") {
    return "http://127.0.0.1:" + std::to_string(Port) + Path;
  }

  // The request a normal exchange needs, after a failure: the component must still work.
  void ExpectNormalRequest() {
    testsupport::ScriptedHttpServer Server({testsupport::Whole("HTTP/1.0 200 OK\r\n\r\nfine")});
    Log.clear();
    Http->Get(At(Server.Port(), "/again"));
    EXPECT_EQ(Http->ReplyNumber, 200);
    EXPECT_EQ(Http->Body, "fine");
    EXPECT_EQ(Log, (Lines{"AboutToSend", "Success 0", "Transaction Completed"}));
    EXPECT_FALSE(Http->Connected);
  }

  std::shared_ptr<testsupport::ConsumeWatch> Watch = std::make_shared<testsupport::ConsumeWatch>();
  TOwned<TVelHTTP> Http;
  Lines Log;
  bool HandleRedirect = false;
  win::QueueStats Baseline;
};
