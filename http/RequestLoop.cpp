// The request loop: its passes and the decision of what follows a reply.
#include "http/RequestLoop.h"

#include <utility>

#include "http/HttpChars.h"
#include "http/HttpErrors.h"

namespace RequestLoop {

void RunPasses(const TPassSteps& Steps) {
  for (int Further = 0;; ++Further) {
    Steps.PreparePass(Further);
    Steps.ExchangePass();
    const std::optional<TNextPass> Next = Steps.JudgeReply(Further);
    if (!Next) return;
    Steps.FollowNext(*Next);
  }
}

// 303 asks for a GET of another resource; a POST is not posted again on 301 and 302 either,
// as no client does, and HTTP/1.0 forbids it without the user's consent. 307 and 308 keep
// the method and its body.
CmdType RedirectedCommand(CmdType Cmd, int Status) {
  if (Status == 303) return Cmd == hcHead ? hcHead : hcGet;
  if ((Status == 301 || Status == 302) && Cmd == hcPost) return hcGet;
  return Cmd;
}

TNextPass NextPassOf(const TPassReply& Reply) {
  TNextPass Next;
  Next.Cmd = RedirectedCommand(Reply.Cmd, Reply.Status);
  if (Reply.Follow) {
    try {
      Next.Target = Reply.Target();
    } catch (const EHttpError&) {
      Next.Refused = std::current_exception();
    }
  }
  // A cookie that cannot go into a header line is not taken into HeaderInfo: it would
  // make every later request of this component fail. The next pass would have to send it.
  if (IsRedirection(Reply.Status) && !Reply.CookieIn.empty()) {
    if (HasLineBreak(Reply.CookieIn))
      Next.UnsendableCookie = Reply.CookieIn;
    else
      Next.Cookie = {true, std::string(Reply.CookieIn), CredentialScope::CookiePair(Reply.CookieIn),
                     Reply.Server};
  }
  return Next;
}

TNextPass GoesOn(TNextPass Next, int Further) {
  if (!Next.UnsendableCookie.empty())
    RequestComposer::CheckHeaderValue(Next.UnsendableCookie, "Set-Cookie");
  if (Further == MaxRedirections) throw EHttpTooManyRedirections();
  if (Next.Refused) std::rethrow_exception(Next.Refused);
  return Next;
}

}  // namespace RequestLoop
