// TExchangeRecorder: the per-pass record of the last request, taken from the component's events.
#include "inspect/TExchangeRecorder.h"

#include <algorithm>
#include <fstream>

#include "http/THttpUrl.h"
#include "http/TReplyHead.h"
#include "inspect/HttpText.h"

namespace {

using Clock = std::chrono::steady_clock;

// Puts Before in front of an event's handler: Before records, then the handler that was
// there already (the owner's) runs as it did.
template <class Event, class F>
void Chain(Event& E, F Before) {
  E = [Before = std::move(Before), Earlier = E](auto&&... Args) {
    Before(Args...);
    if (Earlier) Earlier(std::forward<decltype(Args)>(Args)...);
  };
}

double MsSince(Clock::time_point Start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
}

// The URL of the pass as a proxy would be asked for it: the scheme the URL names (http when
// none), the server and port the pass went to, and the target it sent. User information and
// fragment never go on the wire, so they are not part of it: credentials travel in the
// Authorization line the pass recorded.
std::string AbsoluteURL(const TVelHTTP& Http) {
  return THttpUrl::AbsoluteForm(THttpUrl::SplitUser(Http.URL).Scheme, Http.Host, Http.Port,
                                Http.RequestPath);
}

// The first BodyKept bytes of the file a request body is sent from.
std::string FileStart(const std::string& Name) {
  std::string Data(TExchangePass::BodyKept, '\0');
  std::ifstream In(Name, std::ios::binary);
  In.read(Data.data(), static_cast<std::streamsize>(Data.size()));
  Data.resize(static_cast<std::size_t>(std::max<std::streamsize>(In.gcount(), 0)));
  return Data;
}

// The request body as sent: a body is sent exactly when the header announces its length.
void TakeRequestBody(TExchangePass& P, const TVelHTTP& Http) {
  const auto Length =
      FieldValue(HeaderFields(P.RequestHeader, Http.CurrentCmd != hcWrapped), "Content-Length");
  if (!Length) return;
  if (Http.OutputFileMode) {
    P.RequestBody = FileStart(Http.SendData);
    P.RequestBodySize = std::max<std::int64_t>(TReplyHead::LengthValue(*Length), 0);
  } else {
    P.RequestBody = Http.SendData.substr(0, TExchangePass::BodyKept);
    P.RequestBodySize = static_cast<std::int64_t>(Http.SendData.size());
  }
}

}  // namespace

TExchangeRecorder::TExchangeRecorder(TVelHTTP& Http) : FState(std::make_shared<TState>()) {
  FState->Recorder = this;
  Link(Http);
}

void TExchangeRecorder::Link(TVelHTTP& Http) {
  const std::weak_ptr<TState> Weak = FState;
  TVelHTTP* H = &Http;
  Chain(Http.OnStage, [Weak, H](TObject*, THttpStage S) {
    if (auto State = Weak.lock()) Stage(*State, *H, S);
  });
  Chain(Http.OnHostResolved, [Weak](TObject*) {
    if (auto S = Weak.lock()) Mark(*S, xsLookedUp);
  });
  Chain(Http.OnConnect, [Weak](TObject*) {
    if (auto S = Weak.lock()) Mark(*S, xsConnected);
  });
  Chain(Http.OnPacketRecvd, [Weak, H](TObject*) {
    auto S = Weak.lock();
    if (!S || S->Passes.empty() || !S->Passes.back().At[xsHeaderEnd]) return;
    TakeBody(*S, *H);
    Changed(*S);
  });
  // A pass that fails keeps what had come: the header read so far, the body's start.
  Chain(Http.OnDisconnect, [Weak, H](TObject*) {
    auto S = Weak.lock();
    if (!S || S->Passes.empty()) return;
    TExchangePass& P = S->Passes.back();
    if (P.At[xsBodyEnd]) return;
    // The latest close before the body's end is where an error or a stop cut the pass.
    P.EndedAt = MsSince(P.Started);
    if (!P.At[xsRequestSent]) return;  // Header still holds the pass before's reply
    if (!P.At[xsHeaderEnd]) {
      if (!H->OutputFileMode) P.ReplyHeader = H->Header;
      P.ReplyNumber = H->ReplyNumber;
    } else {
      TakeBody(*S, *H);
    }
    Changed(*S);
  });
  Chain(Http.OnStatus, [Weak](TObject*, const std::string& Text) {
    if (auto S = Weak.lock()) Report(*S, Text);
  });
  // Without a handler the component asks nobody: nothing to chain, and nothing to time.
  if (!Http.OnInvalidHost) return;
  Http.OnInvalidHost = [Weak, H, Earlier = Http.OnInvalidHost](bool& Handled) {
    if (auto S = Weak.lock()) Asked(*S);
    Earlier(Handled);
    // The question may have been open for long: the recorder may be gone since.
    if (auto S = Weak.lock()) Answered(*S, *H, Handled);
  };
}

void TExchangeRecorder::Asked(TState& S) {
  if (S.Passes.empty()) return;
  TExchangePass& P = S.Passes.back();
  const double Now = MsSince(P.Started);
  P.HostQuestion = THostQuestion{Now, Now, ""};
}

void TExchangeRecorder::Answered(TState& S, const TVelHTTP& Http, bool Handled) {
  if (S.Passes.empty() || !S.Passes.back().HostQuestion) return;
  TExchangePass& P = S.Passes.back();
  P.HostQuestion->Answered = MsSince(P.Started);
  // Through a proxy the component looks the proxy up again, whatever Host now says.
  if (Handled && Http.Proxy.empty()) P.HostQuestion->Host = Http.Host;
  Changed(S);
}

void TExchangeRecorder::BeginPass(TState& S, const TVelHTTP& Http) {
  if (Http.PassIndex() == 0) {
    S.Passes.clear();
    S.Error.clear();
  }
  TExchangePass P;
  P.Started = Clock::now();
  P.StartedAt = std::chrono::system_clock::now();
  P.RequestHeader = Http.RequestHeaderSent();
  if (Http.CurrentCmd != hcWrapped) P.Method = P.RequestHeader.substr(0, P.RequestHeader.find(' '));
  P.URL = AbsoluteURL(Http);
  if (!Http.Proxy.empty()) {
    P.Proxy = Http.Proxy;
    P.ProxyPort = Http.ProxyPort;
  }
  if (TakesTarget(Http.CurrentCmd)) P.TargetURI = Http.TargetURI;
  TakeRequestBody(P, Http);
  S.Passes.push_back(std::move(P));
  Changed(S);
  Reached(S, std::nullopt);
}

void TExchangeRecorder::Stage(TState& S, const TVelHTTP& Http, THttpStage Stage) {
  if (Stage == hsPassStart) {
    BeginPass(S, Http);
    return;
  }
  if (S.Passes.empty()) return;
  TExchangePass& P = S.Passes.back();
  // The time first: copying a header or a body's kept start is no part of the stage.
  const double Now = MsSince(P.Started);
  switch (Stage) {
    case hsPassStart: break;
    case hsRequestSent: Mark(S, xsRequestSent, Now); break;
    case hsStatusLine:
      if (!Http.OutputFileMode) P.ReplyHeader = Http.Header;
      Mark(S, xsStatusLine, Now);
      break;
    case hsHeaderEnd:
      if (!Http.OutputFileMode) P.ReplyHeader = Http.Header;
      P.ReplyNumber = Http.ReplyNumber;
      Mark(S, xsHeaderEnd, Now);
      break;
    case hsBodyEnd:
      if (!S.Recorder->BodyFromSink && !Http.InputFileMode) P.Body.clear();
      TakeBody(S, Http);
      if (!P.At[xsBodyEnd]) P.EndedAt = Now;
      Mark(S, xsBodyEnd, Now);
      break;
  }
}

void TExchangeRecorder::TakeBody(TState& S, const TVelHTTP& Http) {
  if (S.Recorder->BodyFromSink) return;
  TExchangePass& P = S.Passes.back();
  if (Http.InputFileMode) {
    P.BodyBytes = Http.BytesRecvd;
    return;
  }
  const std::string& Body = Http.Body;
  P.BodyBytes = static_cast<std::int64_t>(Body.size());
  const std::size_t Want = std::min(Body.size(), TExchangePass::BodyKept);
  if (P.Body.size() < Want) P.Body.append(Body, P.Body.size(), Want - P.Body.size());
}

void TExchangeRecorder::Mark(TState& S, TExchangeStage Stage, std::optional<double> At) {
  if (S.Passes.empty()) return;
  TExchangePass& P = S.Passes.back();
  if (P.At[Stage]) return;  // the first time counts
  P.At[Stage] = At ? *At : MsSince(P.Started);
  Changed(S);
  Reached(S, Stage);
}

void TExchangeRecorder::Report(TState& S, const std::string& Text) {
  if (S.Passes.empty()) return;
  TExchangePass& P = S.Passes.back();
  if (P.Reports.size() >= TExchangePass::MaxReports) {
    ++P.ReportsDropped;
    return;
  }
  P.Reports.push_back({MsSince(P.Started), Text});
  Changed(S);
}

void TExchangeRecorder::Changed(const TState& S) {
  if (const auto Hook = S.Recorder->OnChange) Hook();
}

void TExchangeRecorder::Reached(const TState& S, std::optional<TExchangeStage> Stage) {
  if (const auto Hook = S.Recorder->OnPassStage) Hook(S.Passes.back(), Stage);
}

bool TExchangeRecorder::Complete() const {
  return !FState->Passes.empty() && FState->Passes.back().Complete() && FState->Error.empty();
}

void TExchangeRecorder::Clear() {
  FState->Passes.clear();
  FState->Error.clear();
  Changed(*FState);
}

void TExchangeRecorder::NoteError(const std::string& Message) {
  if (!FState->Passes.empty() && !FState->Passes.back().At[xsBodyEnd]) {
    TExchangePass& P = FState->Passes.back();
    P.Error = Message;
    // A pass that ended without a close (a refused connection) ends with its error.
    if (!P.EndedAt) P.EndedAt = MsSince(P.Started);
  } else
    FState->Error = Message;
  Changed(*FState);
}

void TExchangeRecorder::Run(const std::function<void()>& Request) {
  Clear();
  // A copy: the hook may be replaced meanwhile.
  const auto Ended = [Hook = OnRequestEnd] {
    if (Hook) Hook();
  };
  try {
    Request();
  } catch (const std::exception& E) {
    NoteError(E.what());
    Ended();
    throw;
  } catch (...) {
    NoteError("Unknown error");
    Ended();
    throw;
  }
  Ended();
}

void TExchangeRecorder::FeedBody(std::string_view Block) {
  BodyFromSink = true;
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  P.BodyBytes += static_cast<std::int64_t>(Block.size());
  if (P.Body.size() < TExchangePass::BodyKept)
    P.Body.append(Block.substr(0, TExchangePass::BodyKept - P.Body.size()));
  Changed(*FState);
}

std::function<void(std::string_view)> TExchangeRecorder::Sink(
    std::function<void(std::string_view)> Next) {
  BodyFromSink = true;
  const std::weak_ptr<TState> Weak = FState;
  return [Weak, Next = std::move(Next)](std::string_view Block) {
    if (auto S = Weak.lock()) S->Recorder->FeedBody(Block);
    if (Next) Next(Block);
  };
}
