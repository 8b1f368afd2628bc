// The request loop: the passes of one request, from the first to the one whose reply is not
// followed, and what a reply asks of the next pass (its command, its target, the cookie it
// carries), decided in one place and apart from any socket.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "http/CmdNames.h"
#include "http/CredentialScope.h"
#include "http/RequestComposer.h"
#include "socket/TCallRef.h"

// What the last reply asks of the next pass.
struct TNextPass {
  CmdType Cmd = hcGet;
  std::string Target;                   // where a followed reply sends the next pass
  std::exception_ptr Refused;           // the target cannot be followed: raised if the loop goes on
  std::optional<TServerCookie> Cookie;  // the cookie a redirecting reply set
  std::string UnsendableCookie;         // one that cannot go into a header line
};

// The facts of a pass's reply the next pass is decided by.
struct TPassReply {
  CmdType Cmd = hcGet;  // the pass's command
  int Status = 0;
  bool Follow = false;  // a redirection with a Location of its own
  std::string_view CookieIn;
  TPassServer Server;  // the pass's server: the one that set the cookie
  // The target a followed reply names; may raise EHttpError for one the component cannot
  // follow.
  TCallRef<std::string()> Target;
};

// The steps of a pass, as the component takes them: calls into it, each a lambda written in
// the argument list of RunPasses.
struct TPassSteps {
  // The pass of that index is composed and about to go (its events and observers told).
  TCallRef<void(int Index)> PreparePass;
  // Connects, sends, reads the reply, raises its result event, and closes on every way out.
  TCallRef<void()> ExchangePass;
  // The reply's events; the next pass when one is to follow (Further passes made so far).
  TCallRef<std::optional<TNextPass>(int Further)> JudgeReply;
  // The next pass takes over from the last.
  TCallRef<void(const TNextPass& Next)> FollowNext;
};

namespace RequestLoop {

// Further passes after the first that one request may make before it gives up.
inline constexpr int MaxRedirections = 20;

// The passes of one request.
void RunPasses(const TPassSteps& Steps);
// A status that asks the caller's redirection handler (300 to 398).
inline bool IsRedirection(int Status) { return Status >= 300 && Status <= 398; }
// The command of the pass that follows a redirection with Status.
CmdType RedirectedCommand(CmdType Cmd, int Status);
// What the reply asks of the next pass; a target that cannot be followed is kept as Refused.
TNextPass NextPassOf(const TPassReply& Reply);
// Once the reply's events have run and it is followed: Next, unless its cookie cannot be
// sent, the request has made its MaxRedirections further passes, or the target was refused.
TNextPass GoesOn(TNextPass Next, int Further);

}  // namespace RequestLoop
