// The short form of the scripted server for the HTTP component's tests: each connection reads
// the request and sends a canned reply in parts, letting the client consume one part before
// the next goes out. A ReplyScript is written out as the steps of the shared TScriptedPeer.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TScriptedPeer.h"

namespace testsupport {

// What the server does on one connection after it has read the request.
struct ReplyScript {
  std::vector<std::string> Parts;  // sent in order, each consumed before the next
  bool Reset = false;              // end with a reset instead of a close
  bool Hold = false;               // keep the connection until the client closes it
  bool Silent = false;             // read nothing, send nothing, hold the connection
};

inline ReplyScript Whole(std::string Reply) { return ReplyScript{{std::move(Reply)}}; }

// The steps of one reply script. The last part goes out without a wait: the client may
// close as soon as it has it. A reset waits until everything before it was taken, so that
// it cannot overtake the reply.
inline TConnectionScript StepsOf(const ReplyScript& R) {
  using namespace steps;
  if (R.Silent) return {Stall()};
  TConnectionScript Steps{ReadRequest()};
  for (std::size_t I = 0; I < R.Parts.size(); ++I)
    Steps.push_back(I + 1 < R.Parts.size() ? Piece(R.Parts[I]) : Send(R.Parts[I]));
  if (R.Reset) {
    Steps.push_back(Piece(""));
    Steps.push_back(Reset());
  }
  if (R.Hold) Steps.push_back(Stall());
  return Steps;
}

inline std::vector<TConnectionScript> StepsOf(const std::vector<ReplyScript>& Replies) {
  std::vector<TConnectionScript> Script;
  for (const ReplyScript& R : Replies) Script.push_back(StepsOf(R));
  return Script;
}

// Serves Replies.size() connections, one reply script each, in order.
class ScriptedHttpServer : public TScriptedPeer {
 public:
  explicit ScriptedHttpServer(const std::vector<ReplyScript>& Replies,
                              std::shared_ptr<ConsumeWatch> Watch = nullptr)
      : TScriptedPeer(StepsOf(Replies), std::move(Watch)) {}
};

}  // namespace testsupport
