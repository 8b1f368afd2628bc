// A scripted HTTP server on 127.0.0.1, port 0, for the HTTP component's tests: it reads each
// request (header block and announced body), records it, and sends a canned reply in parts,
// letting the client consume one part before the next goes out.
#pragma once

#include <sys/ioctl.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/LoopbackPeer.h"

namespace testsupport {

// The hand-off that makes a split reply really arrive in pieces. The client side reports,
// from its wait hook, each time it is about to block with nothing left to read; the server
// sends a part and waits for such a report made after the part was queued.
class ConsumeWatch {
 public:
  // Client thread, just before it blocks waiting for events.
  void ClientWaits(int Fd) {
    std::lock_guard<std::mutex> Lock(FMutex);
    int Pending = 0;
    if (Fd >= 0 && ::ioctl(Fd, FIONREAD, &Pending) == 0 && Pending == 0) {
      ++FGeneration;
      FCond.notify_all();
    }
  }

  // Server thread: sends Data and returns once the client has read it and waits for more
  // (or after a tripwire, when the client stopped reading on its own).
  void SendAndAwaitConsumed(int Fd, const std::string& Data) {
    std::unique_lock<std::mutex> Lock(FMutex);
    SendAll(Fd, Data);
    const std::uint64_t Before = FGeneration;
    if (!FCond.wait_for(Lock, std::chrono::seconds(5), [&] { return FGeneration > Before; }))
      ++FMissed;
  }

  // Hand-offs where the client never came back for more.
  int Missed() {
    std::lock_guard<std::mutex> Lock(FMutex);
    return FMissed;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FCond;
  std::uint64_t FGeneration = 0;
  int FMissed = 0;
};

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
  // The header block up to its empty line, then as many bytes as its Content-Length says.
  static std::string ReadRequest(int Fd) {
    std::string Data;
    char Buffer[4096];
    std::size_t End;
    while ((End = Data.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t N = ::recv(Fd, Buffer, sizeof Buffer, 0);
      if (N <= 0) return Data;
      Data.append(Buffer, static_cast<std::size_t>(N));
    }
    std::size_t Length = 0;
    std::string Lower = Data.substr(0, End);
    for (char& C : Lower) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    if (const auto At = Lower.find("\r\ncontent-length: "); At != std::string::npos)
      Length = std::stoul(Lower.substr(At + 18));
    const std::size_t Want = End + 4 + Length;
    if (Data.size() < Want) Data += RecvExactly(Fd, Want - Data.size());
    return Data;
  }

  void Serve(int Fd) {
    const ReplyScript& Script = FReplies[static_cast<std::size_t>(FServed++)];
    if (Script.Silent) {
      HoldOpen(Fd);
      return;
    }
    const std::string Request = ReadRequest(Fd);
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
