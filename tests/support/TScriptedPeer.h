// TScriptedPeer: the scripted server of the HTTP and hostile-server tests, on 127.0.0.1,
// port 0. Each connection runs its own list of steps (read the request, send bytes whole or
// one piece per client wait, drip lines, stall, reset ...). A piece the script says is
// "consumed" really arrived on its own: the client reports from its wait hook through a
// ConsumeWatch each time it is about to block with nothing left unread.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/ConsumeWatch.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TestHelpers.h"

namespace testsupport {

enum class TStepKind {
  ReadRequest,  // the header block and the body its Content-Length announces; recorded
  Send,         // the bytes at once
  Piece,        // the bytes, then wait until the client has taken them
  Trickle,      // the bytes one at a time, each taken before the next
  Drip,         // Count copies of the bytes, one every Millis ms: a server that never ends
  Stall,        // send nothing more and keep the connection until the client closes it
  Reset         // end with a reset instead of a close
};

struct TStep {
  TStepKind Kind;
  std::string Bytes;
  int Count = 0;
  int Millis = 0;
};

using TConnectionScript = std::vector<TStep>;

// The step makers live in a namespace of their own: their short names (Send, Reset ...)
// must not collide with a suite's own helpers under "using namespace testsupport".
namespace steps {

inline TStep ReadRequest() { return {TStepKind::ReadRequest, {}}; }
inline TStep Send(std::string B) { return {TStepKind::Send, std::move(B)}; }
inline TStep Piece(std::string B) { return {TStepKind::Piece, std::move(B)}; }
inline TStep Trickle(std::string B) { return {TStepKind::Trickle, std::move(B)}; }
inline TStep Drip(std::string B, int Count, int Millis) {
  return {TStepKind::Drip, std::move(B), Count, Millis};
}
inline TStep Stall() { return {TStepKind::Stall, {}}; }
inline TStep Reset() { return {TStepKind::Reset, {}}; }

// A connection that reads the request and answers with Reply at once.
inline TConnectionScript Answer(std::string Reply) {
  return {ReadRequest(), Send(std::move(Reply))};
}

}  // namespace steps

// Serves Script.size() connections, one after another, each with its own steps. Without a
// watch, Piece and Trickle send their bytes without waiting for the client.
class TScriptedPeer {
 public:
  explicit TScriptedPeer(std::vector<TConnectionScript> Script,
                         std::shared_ptr<ConsumeWatch> Watch = nullptr, int Backlog = 8)
      : FScript(std::move(Script)),
        FWatch(std::move(Watch)),
        FPeer([this](int Fd) { Serve(Fd); }, static_cast<int>(FScript.size()), Backlog) {}

  std::uint16_t Port() const { return FPeer.Port(); }
  int Accepted() const { return FPeer.Accepted(); }

  // Replaces Key by Value in every byte the script sends on connections accepted from now on
  // ("{P}" for this peer's own port, say). Call before the client connects.
  void Define(const std::string& Key, const std::string& Value) {
    std::lock_guard<std::mutex> Lock(FMutex);
    FDefines.emplace_back(Key, Value);
  }

  // The requests received so far, in order, each exactly as read.
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> Lock(FMutex);
    return FRequests;
  }

 private:
  std::string Expanded(std::string Text) {
    std::lock_guard<std::mutex> Lock(FMutex);
    for (const auto& [Key, Value] : FDefines) Text = Replaced(std::move(Text), Key, Value);
    return Text;
  }

  // One piece sent, and with a watch, taken by the client before the script goes on.
  void Hand(int Fd, const std::string& Bytes) {
    if (FWatch)
      FWatch->SendAndAwaitConsumed(Fd, Bytes);
    else
      SendAll(Fd, Bytes);
  }

  void Serve(int Fd) {
    TConnectionScript Steps = FScript[static_cast<std::size_t>(FServed++)];
    for (TStep& S : Steps) S.Bytes = Expanded(std::move(S.Bytes));
    for (const TStep& S : Steps) {
      switch (S.Kind) {
        case TStepKind::ReadRequest: {
          std::string Request = ReadHttpRequest(Fd);
          std::lock_guard<std::mutex> Lock(FMutex);
          FRequests.push_back(std::move(Request));
          break;
        }
        case TStepKind::Send: SendAll(Fd, S.Bytes); break;
        case TStepKind::Piece: Hand(Fd, S.Bytes); break;
        case TStepKind::Trickle:
          for (char C : S.Bytes) Hand(Fd, std::string(1, C));
          break;
        case TStepKind::Drip:
          for (int I = 0; I < S.Count; ++I) {
            if (::send(Fd, S.Bytes.data(), S.Bytes.size(), MSG_NOSIGNAL) < 0) return;
            // Pacing the server, not synchronising with the client.
            std::this_thread::sleep_for(std::chrono::milliseconds(S.Millis));
          }
          break;
        case TStepKind::Stall: HoldOpen(Fd); break;
        case TStepKind::Reset: ResetOnClose(Fd); break;
      }
    }
  }

  std::vector<TConnectionScript> FScript;
  std::shared_ptr<ConsumeWatch> FWatch;
  std::mutex FMutex;
  std::vector<std::string> FRequests;
  std::vector<std::pair<std::string, std::string>> FDefines;
  int FServed = 0;     // peer thread only
  LoopbackPeer FPeer;  // last: its thread uses the members above
};

}  // namespace testsupport
