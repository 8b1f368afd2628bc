// The soak: many sequential requests against a real nginx on a free loopback port, mixed
// GET, HEAD and POST, every tenth one failing on purpose (a refused port, a 404, a reset),
// on one long-lived component and on a fresh component per request. Prints the open
// descriptors and the resident memory after the first 100 requests and at the end, and
// every request whose outcome was not the expected one. Run by scripts/soak.sh.
//   orrery_soak [requests, default 10000]
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/TApplication.h"
#include "http/TVelHTTP.h"
#include "platform/MessageQueue.h"
#include "tests/integration/ServerProcess.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TScriptedPeer.h"
#include "tests/support/TestHelpers.h"

namespace {

const char* const NginxPath = "/usr/sbin/nginx";

const char* const NginxServer = R"(    root {D}/www;
    location = /post { return 200 "posted $request_method $http_content_length\n"; })";

long ResidentKiB() {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line))
    if (Line.rfind("VmRSS:", 0) == 0) return std::stol(Line.substr(6));
  return -1;
}

enum class TKind { Get, Head, Post, Refused, NotFound, Reset };

constexpr const char* KindNames[] = {"GET", "HEAD", "POST", "refused", "404", "reset"};

TKind KindOf(int I) {
  if (I % 10 == 9) return static_cast<TKind>(3 + (I / 10) % 3);
  return static_cast<TKind>(I % 3);
}

}  // namespace

int main(int Argc, char** Argv) {
  const int Requests = std::max(100, Argc > 1 ? std::atoi(Argv[1]) : 10000);
  if (::access(NginxPath, X_OK) != 0) {
    std::fprintf(stderr, "soak: nginx is not installed (%s)\n", NginxPath);
    return 2;
  }
  testsupport::ScratchDir Dir;
  const std::string Page = "<html><body>" + std::string(3000, 'x') + "</body></html>\n";
  Dir.Write("www/static.html", Page);
  testsupport::ServerProcess Nginx;
  const std::uint16_t Port = testsupport::StartNginx(Nginx, Dir, NginxServer);
  if (Port == 0) {
    std::fprintf(stderr, "soak: nginx did not start\n");
    return 2;
  }
  // The server that resets: reads the request, then aborts the connection.
  const int Resets = Requests / 30 + 2;
  testsupport::TScriptedPeer Resetter(std::vector<testsupport::TConnectionScript>(
      static_cast<std::size_t>(Resets),
      {testsupport::steps::ReadRequest(), testsupport::steps::Reset()}));
  const std::uint16_t Refusing = testsupport::RefusingPort();
  const std::string Base = "http://127.0.0.1:" + std::to_string(Port);

  TOwned<TVelHTTP> Shared(new TVelHTTP(nullptr));
  int Wrong = 0;
  int FdsAt100 = 0;
  int FdsAtEnd = 0;
  long RssAt100 = 0;
  long RssAtEnd = 0;
  int Counts[6] = {};
  for (int I = 0; I < Requests; ++I) {
    // Blocks of 50 alternate between the long-lived component and fresh ones.
    TOwned<TVelHTTP> Fresh;
    if ((I / 50) % 2 == 1) Fresh.reset(new TVelHTTP(nullptr));
    TVelHTTP& H = Fresh ? *Fresh : *Shared;
    H.TimeOut = 10000;
    int Results = 0;
    std::string ResultKind;
    H.OnSuccess = [&](CmdType) { ++Results, ResultKind = "success"; };
    H.OnFailure = [&](CmdType) { ++Results, ResultKind = "failure"; };
    const TKind Kind = KindOf(I);
    ++Counts[static_cast<int>(Kind)];
    std::string Error;
    try {
      switch (Kind) {
        case TKind::Get: H.Get(Base + "/static.html"); break;
        case TKind::Head: H.Head(Base + "/static.html"); break;
        case TKind::Post: H.Post(Base + "/post", "n=" + std::to_string(I)); break;
        case TKind::Refused: H.Get("http://127.0.0.1:" + std::to_string(Refusing) + "/"); break;
        case TKind::NotFound: H.Get(Base + "/missing.html"); break;
        case TKind::Reset:
          H.Get("http://127.0.0.1:" + std::to_string(Resetter.Port()) + "/");
          break;
      }
    } catch (const std::exception& E) {
      Error = E.what();
    }
    // Form data keeps its "=": "n=" goes out as it is.
    const std::string PostBody =
        "posted POST " + std::to_string(2 + std::to_string(I).size()) + "\n";
    bool Right = false;
    switch (Kind) {
      case TKind::Get:
        Right = Error.empty() && H.ReplyNumber == 200 && H.Body == Page && ResultKind == "success";
        break;
      case TKind::Head:
        Right = Error.empty() && H.ReplyNumber == 200 && H.Body.empty() &&
                H.BytesTotal == static_cast<std::int64_t>(Page.size()) && ResultKind == "success";
        break;
      case TKind::Post: Right = Error.empty() && H.ReplyNumber == 200 && H.Body == PostBody; break;
      case TKind::Refused: Right = Error == "Connection Failed" && Results == 0; break;
      case TKind::NotFound:
        Right = Error.empty() && H.ReplyNumber == 404 && ResultKind == "failure";
        break;
      case TKind::Reset: Right = Error == "10054:Connection reset by peer" && Results == 0; break;
    }
    Right = Right && !H.Connected && !H.Busy() && (Error.empty() ? Results == 1 : Results == 0);
    if (!Right) {
      ++Wrong;
      std::printf("request %d (%s, %s component): error \"%s\", status %d, %d result events\n", I,
                  KindNames[static_cast<int>(Kind)], Fresh ? "fresh" : "shared", Error.c_str(),
                  H.ReplyNumber, Results);
    }
    // Counted at the same point of the same kind of block (fresh components), so that the
    // two counts see the same components alive.
    if (I + 1 == 100 || I + 1 == Requests) {
      const int Fds = OpenDescriptors();
      const long Rss = ResidentKiB();
      std::printf("after %5d requests: %d open descriptors, %ld KiB resident\n", I + 1, Fds, Rss);
      std::fflush(stdout);
      if (I + 1 == 100) {
        FdsAt100 = Fds;
        RssAt100 = Rss;
      } else {
        FdsAtEnd = Fds;
        RssAtEnd = Rss;
      }
    }
  }
  Shared.reset();
  std::printf("mix: %d GET, %d HEAD, %d POST, %d refused, %d 404, %d reset; %d not as expected\n",
              Counts[0], Counts[1], Counts[2], Counts[3], Counts[4], Counts[5], Wrong);
  const win::QueueStats Left = win::GetQueueStats();
  std::printf(
      "left registered after freeing the shared component: %zu windows, %zu timers, %zu "
      "sockets\n",
      Left.Windows, Left.Timers, Left.Sockets);
  // Allocators keep some slack; growth beyond this is a leak, not slack.
  constexpr long RssSlackKiB = 1024;
  const bool FdsFlat = FdsAtEnd == FdsAt100;
  const bool RssFlat = RssAtEnd - RssAt100 <= RssSlackKiB;
  std::printf("descriptors %s, resident memory %s (%+ld KiB)\n", FdsFlat ? "flat" : "GREW",
              RssFlat ? "flat" : "GREW", RssAtEnd - RssAt100);
  return Wrong == 0 && FdsFlat && RssFlat && Left.Sockets == 0 && Left.Windows == 0 &&
                 Left.Timers == 0
             ? 0
             : 1;
}
