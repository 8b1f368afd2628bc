// TExchangeLog: the per-pass record of the last request, taken from the component's events.
#include "app/TExchangeLog.h"

namespace {

// Replies that never carry a body, whatever their Content-Length says.
bool ReplyHasBody(CmdType Cmd, int ReplyNumber) {
  return Cmd != hcHead && ReplyNumber != 204 && ReplyNumber != 304 &&
         !(ReplyNumber >= 100 && ReplyNumber < 200);
}

// Puts Before in front of an event's handler: Before records, then the handler that was
// there already (the window's own) runs as it did.
template <class Event, class F>
void Chain(Event& E, F Before) {
  E = [Before = std::move(Before), Earlier = E](auto&&... Args) {
    Before(Args...);
    if (Earlier) Earlier(std::forward<decltype(Args)>(Args)...);
  };
}

}  // namespace

TExchangeLog::TExchangeLog(TVelHTTP& Http) : FState(std::make_shared<TState>()) {
  FState->Log = this;
  const std::weak_ptr<TState> Weak = FState;
  TVelHTTP* H = &Http;
  Chain(Http.OnHostResolved, [Weak](TObject*) {
    if (auto S = Weak.lock()) Mark(*S, esLookedUp);
  });
  Chain(Http.OnConnect, [Weak](TObject*) {
    if (auto S = Weak.lock()) Mark(*S, esConnected);
  });
  // The first read notification after the request is the reply's first byte, when the
  // reply was not already there as the status line was read (then hsStatusLine marks it).
  Chain(Http.OnDataAvailable, [Weak](TObject*) {
    auto S = Weak.lock();
    if (S && !S->Passes.empty() && S->Passes.back().At[esRequestSent]) Mark(*S, esFirstByte);
  });
  Chain(Http.OnPacketRecvd, [Weak, H](TObject*) {
    auto S = Weak.lock();
    if (!S || S->Passes.empty()) return;
    S->Passes.back().BodyBytes = H->BytesRecvd;
    Changed(*S);
  });
  Chain(Http.OnStage, [Weak, H](TObject*, THttpStage Stage) {
    auto S = Weak.lock();
    if (!S) return;
    if (Stage == hsPassStart) {
      BeginPass(*S, *H);
      return;
    }
    if (S->Passes.empty()) return;
    TPass& P = S->Passes.back();
    switch (Stage) {
      case hsPassStart: break;
      case hsRequestSent: Mark(*S, esRequestSent); break;
      case hsStatusLine: Mark(*S, esFirstByte); break;
      case hsHeaderEnd:
        if (!H->OutputFileMode) P.ReplyHeader = H->Header;
        P.ReplyNumber = H->ReplyNumber;
        P.Announced = ReplyHasBody(H->CurrentCmd, H->ReplyNumber) ? H->BytesTotal : 0;
        Mark(*S, esHeaderEnd);
        break;
      case hsBodyEnd:
        P.BodyBytes = H->BytesRecvd;
        Mark(*S, esBodyEnd);
        break;
    }
  });
}

void TExchangeLog::BeginPass(TState& S, const TVelHTTP& Http) {
  if (Http.PassIndex() == 0) S.Passes.clear();
  S.PassStart = std::chrono::steady_clock::now();
  TPass P;
  P.Method = CommandWord(Http.CurrentCmd);
  // A redirection to a path ("/next") stays on the server of the pass before: show where.
  P.URL = !Http.URL.empty() && Http.URL[0] == '/'
              ? ServerURL(Http.Host, Http.Port) + Http.URL
              : Http.URL;
  if (!Http.Proxy.empty()) P.Proxy = Http.Proxy + ":" + std::to_string(Http.ProxyPort);
  P.RequestHeader = Http.RequestHeaderSent();
  if (CarriesBody(Http.CurrentCmd)) {
    if (Http.OutputFileMode) {
      P.RequestBody = "(file " + Http.SendData + ")";
    } else {
      P.RequestBodySize = static_cast<std::int64_t>(Http.SendData.size());
      P.RequestBody = Http.SendData.substr(0, BodyShown);
    }
  }
  S.Passes.push_back(std::move(P));
  Changed(S);
}

void TExchangeLog::Mark(TState& S, TStage Stage) {
  if (S.Passes.empty()) return;
  auto& At = S.Passes.back().At[Stage];
  if (At) return;  // the first time counts
  At = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - S.PassStart)
           .count();
  Changed(S);
}

void TExchangeLog::Changed(const TState& S) {
  if (auto Hook = S.Log->OnChange) Hook();
}

bool TExchangeLog::Complete() const {
  return !FState->Passes.empty() && FState->Passes.back().At[esBodyEnd].has_value();
}
