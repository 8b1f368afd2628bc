// The HTTP component against real servers started on free loopback ports: nginx as the
// origin (files, redirections, cookies, Basic authentication) and tinyproxy as the proxy.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>

#include "base/TApplication.h"
#include "http/TVelHTTP.h"
#include "platform/MessageQueue.h"
#include "tests/integration/ServerProcess.h"
#include "tests/support/TestHelpers.h"

using testsupport::FreePort;
using testsupport::ScratchDir;
using testsupport::ServerProcess;

namespace {

using Lines = std::vector<std::string>;

const char* const NginxPath = "/usr/sbin/nginx";
const char* const TinyproxyPath = "/usr/bin/tinyproxy";

const std::string StaticPage = "<html><body>Orrery static page</body></html>\n";

std::string FileText(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

// Bytes of every value, NUL included, the same on every run.
std::string LargeContent() {
  std::mt19937 Random(20261208);
  std::string S(3 * 1024 * 1024 + 17, '\0');
  for (char& C : S) C = static_cast<char>(Random() & 0xFF);
  return S;
}

// The origin's server block ("{D}": its folder).
const char* const NginxServer = R"(    root {D}/www;
    location = /redirect1 { return 302 /redirect2; }
    location = /redirect2 { return 302 /static.html; }
    location = /loop { return 302 /loop; }
    location = /cookie {
      add_header Set-Cookie "session=abc123; Path=/";
      return 200 "cookie set\n";
    }
    location = /post { return 200 "posted $request_method $http_content_length\n"; }
    location /private/ {
      auth_basic "Orrery";
      auth_basic_user_file {D}/htpasswd;
    })";

const char* const TinyproxyConf = R"(Port {P}
Listen 127.0.0.1
Timeout 30
MaxClients 8
PidFile "{D}/tinyproxy.pid"
LogFile "{D}/tinyproxy.log"
LogLevel Info
Allow 127.0.0.1
)";

class ServersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Baseline = win::GetQueueStats();
    if (::access(NginxPath, X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
    Dir.Write("www/static.html", StaticPage);
    Dir.Write("www/large.bin", Large);
    Dir.Write("www/private/secret.txt", "the secret\n");
    Dir.Write("htpasswd", "alice:{PLAIN}right-password\n");
    OriginPort = StartNginx(Origin, Dir, NginxServer);
    Started = OriginPort != 0;
    ASSERT_TRUE(Started) << "nginx did not start: " << FileText(Dir.Path() + "/error.log");
    H.reset(new TVelHTTP(nullptr));
    H->TimeOut = 10000;  // tripwire for every wait
    H->ReportLevel = 2;
    H->OnStatus = [this](TObject*, const std::string& S) { Log.push_back(S); };
    H->OnSuccess = [this](CmdType C) { Log.push_back("Success " + std::to_string(C)); };
    H->OnFailure = [this](CmdType C) { Log.push_back("Failure " + std::to_string(C)); };
    H->OnRedirect = [this](bool&) { Log.push_back("Redirect"); };
    H->OnAuthenticationNeeded = [this](TObject*) { Log.push_back("AuthenticationNeeded"); };
  }

  void TearDown() override {
    H.reset();
    const win::QueueStats After = win::GetQueueStats();
    EXPECT_EQ(After.Windows, Baseline.Windows);
    EXPECT_EQ(After.Timers, Baseline.Timers);
    EXPECT_EQ(After.Sockets, Baseline.Sockets);
  }

  bool StartProxy() {
    if (::access(TinyproxyPath, X_OK) != 0) return false;
    for (int Try = 0; Try < 5; ++Try) {
      ProxyPort = FreePort();
      const std::string ConfFile = Dir.Write(
          "tinyproxy.conf",
          Replaced(Replaced(TinyproxyConf, "{D}", Dir.Path()), "{P}", std::to_string(ProxyPort)));
      if (Proxy.Start({TinyproxyPath, "-d", "-c", ConfFile}, ProxyPort, Dir.Path())) return true;
    }
    return false;
  }

  std::string OriginURL(const std::string& Path) const {
    return "http://127.0.0.1:" + std::to_string(OriginPort) + Path;
  }

  const std::string Large = LargeContent();
  ScratchDir Dir;
  ServerProcess Origin;
  ServerProcess Proxy;
  bool Started = false;
  std::uint16_t OriginPort = 0;
  std::uint16_t ProxyPort = 0;
  TOwned<TVelHTTP> H;
  Lines Log;
  win::QueueStats Baseline;
};

const Lines Succeeded = {"Success 0", "Transaction Completed"};

TEST_F(ServersTest, StaticFile) {
  H->Get(OriginURL("/static.html"));
  EXPECT_EQ(H->ReplyNumber, 200);
  EXPECT_EQ(H->Body, StaticPage);
  EXPECT_EQ(H->BytesTotal, static_cast<std::int64_t>(StaticPage.size()));
  EXPECT_EQ(H->Header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << H->Header;
  EXPECT_EQ(H->Header.substr(H->Header.size() - 4), "\r\n\r\n");
  EXPECT_EQ(Log, Succeeded);
}

TEST_F(ServersTest, LargeFileInStringAndFileMode) {
  H->Get(OriginURL("/large.bin"));
  EXPECT_EQ(H->BytesTotal, static_cast<std::int64_t>(Large.size()));
  EXPECT_EQ(H->BytesRecvd, static_cast<std::int64_t>(Large.size()));
  EXPECT_TRUE(H->Body == Large) << "body differs; size " << H->Body.size();

  H->InputFileMode = H->OutputFileMode = true;
  H->Body = Dir.Path() + "/large.out";
  H->Header = Dir.Path() + "/large.head";
  H->Get(OriginURL("/large.bin"));
  EXPECT_TRUE(FileText(Dir.Path() + "/large.out") == Large);
  EXPECT_NE(FileText(Dir.Path() + "/large.head").find("Content-Length: 3145745\r\n"),
            std::string::npos);
  EXPECT_EQ(Log,
            (Lines{"Success 0", "Transaction Completed", "Success 0", "Transaction Completed"}));
}

TEST_F(ServersTest, RedirectChainIsFollowed) {
  H->Get(OriginURL("/redirect1"));
  EXPECT_EQ(Log, (Lines{"Redirect", "Redirect", "Success 0", "Transaction Completed"}));
  EXPECT_EQ(H->ReplyNumber, 200);
  EXPECT_EQ(H->Body, StaticPage);
  EXPECT_EQ(H->URL, OriginURL("/static.html"));
}

TEST_F(ServersTest, EndlessRedirectionStopsAndTheComponentGoesOn) {
  EXPECT_THROW(
      {
        try {
          H->Get(OriginURL("/loop"));
        } catch (const Exception& E) {
          EXPECT_STREQ(E.what(), "Too many redirections");
          throw;
        }
      },
      Exception);
  EXPECT_EQ(Log, Lines(21, "Redirect"));
  Log.clear();
  H->Get(OriginURL("/static.html"));
  EXPECT_EQ(Log, Succeeded);
}

TEST_F(ServersTest, SetCookieIsReceived) {
  H->Get(OriginURL("/cookie"));
  EXPECT_EQ(H->CookieIn(), "session=abc123; Path=/");
  EXPECT_EQ(H->Body, "cookie set\n");
  H->Get(OriginURL("/static.html"));
  EXPECT_EQ(H->CookieIn(), "");
}

struct AuthCase {
  const char* Name;
  std::string Password;
  int Reply;
  Lines Expected;
};

void PrintTo(const AuthCase& C, std::ostream* Os) { *Os << C.Name; }

class BasicAuthentication : public ServersTest, public ::testing::WithParamInterface<AuthCase> {};

TEST_P(BasicAuthentication, RightAndWrongPassword) {
  const AuthCase& C = GetParam();
  H->HeaderInfo.UserId = "alice";
  H->HeaderInfo.Password = C.Password;
  H->Get(OriginURL("/private/secret.txt"));
  EXPECT_EQ(H->ReplyNumber, C.Reply);
  EXPECT_EQ(Log, C.Expected);
  if (C.Reply == 200) {
    EXPECT_EQ(H->Body, "the secret\n");
  } else {
    EXPECT_NE(H->Header.find("WWW-Authenticate: Basic realm=\"Orrery\""), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Passwords, BasicAuthentication,
    ::testing::Values(AuthCase{"Right", "right-password", 200, Succeeded},
                      AuthCase{
                          "Wrong", "wrong-password", 401, {"Failure 0", "AuthenticationNeeded"}},
                      AuthCase{"None", "", 401, {"Failure 0", "AuthenticationNeeded"}}),
    [](const auto& I) { return std::string(I.param.Name); });

TEST_F(ServersTest, NotFound) {
  H->Get(OriginURL("/missing.html"));
  EXPECT_EQ(H->ReplyNumber, 404);
  EXPECT_EQ(Log, (Lines{"Failure 0"}));
  EXPECT_NE(H->Body.find("404 Not Found"), std::string::npos);
}

struct ProxyCase {
  const char* Name;
  std::function<void(TVelHTTP&, const std::string& URL)> Call;
  std::string Path;
  CmdType Cmd;
  std::string Body;
};

void PrintTo(const ProxyCase& C, std::ostream* Os) { *Os << C.Name; }

class ThroughTinyproxy : public ServersTest, public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(ThroughTinyproxy, Requests) {
  const ProxyCase& C = GetParam();
  ASSERT_TRUE(StartProxy()) << "tinyproxy did not start: "
                            << FileText(Dir.Path() + "/tinyproxy.log");
  H->Proxy = "127.0.0.1";
  H->ProxyPort = ProxyPort;
  C.Call(*H, OriginURL(C.Path));
  EXPECT_EQ(H->ReplyNumber, 200);
  EXPECT_EQ(Log, (Lines{"Success " + std::to_string(C.Cmd), "Transaction Completed"}));
  EXPECT_EQ(H->Body, C.Body);
  EXPECT_NE(H->Header.find("tinyproxy"), std::string::npos) << H->Header;  // its Via line
  // The proxy saw the request: it logs each one with its request line.
  EXPECT_NE(FileText(Dir.Path() + "/tinyproxy.log").find(OriginURL(C.Path)), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ThroughTinyproxy,
    ::testing::Values(ProxyCase{"Get", [](TVelHTTP& H, const std::string& U) { H.Get(U); },
                                "/static.html", hcGet, StaticPage},
                      ProxyCase{"Head", [](TVelHTTP& H, const std::string& U) { H.Head(U); },
                                "/static.html", hcHead, ""},
                      ProxyCase{"Post",
                                [](TVelHTTP& H, const std::string& U) { H.Post(U, "a b=c&d"); },
                                "/post", hcPost, "posted POST 7\n"}),
    [](const auto& I) { return std::string(I.param.Name); });

}  // namespace
