// THostilePeer: a scripted server on 127.0.0.1, port 0, that misbehaves on purpose. Each
// connection runs a list of steps (read the request, send bytes whole or one piece per
// client wait, drip lines, stall, reset ...). The client side reports from its wait hook
// each time it is about to block with nothing left unread, so that a piece the script says
// is "consumed" really arrived on its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ConsumeWatch.h"
#include "tests/support/LoopbackPeer.h"

namespace hostile {

// The hand-off between the client's wait hook and the peer thread.
using TConsumeWatch = testsupport::ConsumeWatch;

enum class TStepKind {
  ReadRequest,  // the header block and the body its Content-Length announces
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

inline TStep ReadRequest() { return {TStepKind::ReadRequest, {}}; }
inline TStep Send(std::string B) { return {TStepKind::Send, std::move(B)}; }
inline TStep Piece(std::string B) { return {TStepKind::Piece, std::move(B)}; }
inline TStep Trickle(std::string B) { return {TStepKind::Trickle, std::move(B)}; }
inline TStep Drip(std::string B, int Count, int Millis) {
  return {TStepKind::Drip, std::move(B), Count, Millis};
}
inline TStep Stall() { return {TStepKind::Stall, {}}; }
inline TStep Reset() { return {TStepKind::Reset, {}}; }

using TConnectionScript = std::vector<TStep>;

// Serves Script.size() connections, one after another, each with its own steps.
class THostilePeer {
 public:
  THostilePeer(std::vector<TConnectionScript> Script, std::shared_ptr<TConsumeWatch> Watch)
      : FScript(std::move(Script)),
        FWatch(std::move(Watch)),
        FPeer([this](int Fd) { Serve(Fd); }, static_cast<int>(FScript.size()), 32) {
    Define("{P}", std::to_string(Port()));
  }

  std::uint16_t Port() const { return FPeer.Port(); }
  // Replaces Key by Value in every byte the script sends from now on ("{P}" is this peer's
  // own port from the start). Call before the client connects.
  void Define(const std::string& Key, const std::string& Value) {
    std::lock_guard<std::mutex> Lock(FMutex);
    FDefines.emplace_back(Key, Value);
  }
  int Accepted() const { return FPeer.Accepted(); }
  // The requests received so far, in order, each exactly as read.
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> Lock(FMutex);
    return FRequests;
  }

 private:
  std::string Expanded(std::string Text) {
    std::lock_guard<std::mutex> Lock(FMutex);
    for (const auto& [Key, Value] : FDefines)
      for (auto At = Text.find(Key); At != std::string::npos;
           At = Text.find(Key, At + Value.size()))
        Text.replace(At, Key.size(), Value);
    return Text;
  }

  void Serve(int Fd) {
    TConnectionScript Steps = FScript[static_cast<std::size_t>(FServed++)];
    for (TStep& S : Steps) S.Bytes = Expanded(std::move(S.Bytes));
    for (const TStep& S : Steps) {
      switch (S.Kind) {
        case TStepKind::ReadRequest: {
          std::string Request = testsupport::ReadHttpRequest(Fd);
          std::lock_guard<std::mutex> Lock(FMutex);
          FRequests.push_back(std::move(Request));
          break;
        }
        case TStepKind::Send: testsupport::SendAll(Fd, S.Bytes); break;
        case TStepKind::Piece: FWatch->SendAndAwaitConsumed(Fd, S.Bytes); break;
        case TStepKind::Trickle:
          for (char C : S.Bytes) FWatch->SendAndAwaitConsumed(Fd, std::string(1, C));
          break;
        case TStepKind::Drip:
          for (int I = 0; I < S.Count; ++I) {
            if (::send(Fd, S.Bytes.data(), S.Bytes.size(), MSG_NOSIGNAL) < 0) return;
            // Pacing the server, not synchronising with the client.
            std::this_thread::sleep_for(std::chrono::milliseconds(S.Millis));
          }
          break;
        case TStepKind::Stall: testsupport::HoldOpen(Fd); break;
        case TStepKind::Reset: testsupport::ResetOnClose(Fd); break;
      }
    }
  }

  std::vector<TConnectionScript> FScript;
  std::shared_ptr<TConsumeWatch> FWatch;
  std::mutex FMutex;
  std::vector<std::string> FRequests;
  std::vector<std::pair<std::string, std::string>> FDefines;
  int FServed = 0;                  // peer thread only
  testsupport::LoopbackPeer FPeer;  // last: its thread uses the members above
};

}  // namespace hostile
