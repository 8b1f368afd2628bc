// A scripted HTTP server on 127.0.0.1, port 0, for the HTTP component's tests: it reads each
// request (header block and announced body), records it, and sends a canned reply in parts,
// letting the client consume one part before the next goes out.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/ConsumeWatch.h"
#include "tests/support/LoopbackPeer.h"

namespace testsupport {

// What the server does on one connection after it has read the request.
struct ReplyScript {
  std::vector<std::string> Parts;  // sent in order, each consumed before the next
  bool Reset = false;              // end with a reset instead of a close
  bool Hold = false;               // keep the connection until the client closes it
  bool Silent = false;             // read nothing, send nothing, hold the connection
};

inline ReplyScript Whole(std::string Reply) { return ReplyScript{{std::move(Reply)}}; }

// Serves Replies.size() connections, one reply script each, in order.
class ScriptedHttpServer {
 public:
  explicit ScriptedHttpServer(std::vector<ReplyScript> Replies,
                              std::shared_ptr<ConsumeWatch> Watch = nullptr)
      : FReplies(std::move(Replies)),
        FWatch(std::move(Watch)),
        FPeer([this](int Fd) { Serve(Fd); }, static_cast<int>(FReplies.size())) {}

  std::uint16_t Port() const { return FPeer.Port(); }
  int Accepted() const { return FPeer.Accepted(); }

  // The requests received so far, each exactly as sent.
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> Lock(FMutex);
    return FRequests;
  }

 private:
  void Serve(int Fd) {
    const ReplyScript& Script = FReplies[static_cast<std::size_t>(FServed++)];
    if (Script.Silent) {
      HoldOpen(Fd);
      return;
    }
    const std::string Request = ReadHttpRequest(Fd);
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      FRequests.push_back(Request);
    }
    for (std::size_t I = 0; I < Script.Parts.size(); ++I) {
      if (FWatch && I + 1 < Script.Parts.size())
        FWatch->SendAndAwaitConsumed(Fd, Script.Parts[I]);
      else
        SendAll(Fd, Script.Parts[I]);
    }
    if (Script.Reset) {
      if (FWatch) FWatch->SendAndAwaitConsumed(Fd, "");
      ResetOnClose(Fd);
    }
    if (Script.Hold) HoldOpen(Fd);
  }

  std::vector<ReplyScript> FReplies;
  std::shared_ptr<ConsumeWatch> FWatch;
  std::mutex FMutex;
  std::vector<std::string> FRequests;
  int FServed = 0;     // used by the peer thread only
  LoopbackPeer FPeer;  // last: its thread uses the members above
};

}  // namespace testsupport
