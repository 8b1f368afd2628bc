// TExchangeRecorder: the per-pass record of the last request, taken from what the component
// tells its observers at each step.
#include "inspect/TExchangeRecorder.h"

#include <algorithm>

namespace {

double MsBetween(THttpTime Start, THttpTime At) {
  return std::chrono::duration<double, std::milli>(At - Start).count();
}

std::string MessageOf(const std::exception_ptr& Error) {
  try {
    std::rethrow_exception(Error);
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace

TExchangeRecorder::TExchangeRecorder(TVelHTTP& Http) : FState(std::make_shared<TState>()) {
  FState->Recorder = this;
  Http.AddObserver(*this);
}

void TExchangeRecorder::PassStarted(THttpTime At, const THttpPassStart& Pass) {
  TState& S = *FState;
  if (Pass.PassIndex == 0 && !FKeepPasses) {
    S.Passes.clear();
    S.Error.clear();
    FFirstOfRequest = 0;
  }
  FHeaderToFile = Pass.HeaderToFile;
  FBodyToFile = Pass.BodyToFile;
  TExchangePass P;
  P.Started = At;
  P.StartedAt = std::chrono::system_clock::now();
  P.RequestHeader = Pass.Header;
  P.Method = Pass.Method;
  P.URL = Pass.URL;
  P.Proxy = Pass.Proxy;
  P.ProxyPort = Pass.ProxyPort;
  P.TargetURI = Pass.TargetURI;
  P.RequestBody = Pass.Body.substr(0, TExchangePass::BodyKept);
  P.RequestBodySize = Pass.BodySize;
  S.Passes.push_back(std::move(P));
  Changed();
  Reached(std::nullopt);
}

void TExchangeRecorder::LookedUp(THttpTime At, std::string_view, std::string_view) {
  Mark(xsLookedUp, At);
}

void TExchangeRecorder::HostAsked(THttpTime At) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  const double Now = MsBetween(P.Started, At);
  P.HostQuestion = THostQuestion{Now, Now, ""};
}

void TExchangeRecorder::HostAnswered(THttpTime At, std::string_view Host) {
  if (FState->Passes.empty() || !FState->Passes.back().HostQuestion) return;
  TExchangePass& P = FState->Passes.back();
  P.HostQuestion->Answered = MsBetween(P.Started, At);
  P.HostQuestion->Host = Host;
  Changed();
}

void TExchangeRecorder::Trying(THttpTime At, std::string_view Address, int Port) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  TConnectTry Try;
  Try.Address = Address;
  Try.Port = Port;
  Try.Started = MsBetween(P.Started, At);
  P.Attempts.push_back(std::move(Try));
  Changed();
}

TConnectTry* TExchangeRecorder::RunningTry(std::string_view Address, int Port) {
  if (FState->Passes.empty()) return nullptr;
  for (TConnectTry& Try : FState->Passes.back().Attempts)
    if (Try.Outcome == TConnectTry::TOutcome::Running && Try.Address == Address && Try.Port == Port)
      return &Try;
  return nullptr;
}

void TExchangeRecorder::TryEnded(THttpTime At, std::string_view Address, int Port, int Error) {
  TConnectTry* Try = RunningTry(Address, Port);
  if (Try == nullptr) return;
  Try->Ended = MsBetween(FState->Passes.back().Started, At);
  Try->Outcome = Error != 0 ? TConnectTry::TOutcome::Failed : TConnectTry::TOutcome::Abandoned;
  Try->Error = Error;
  Changed();
}

void TExchangeRecorder::Connected(THttpTime At, std::string_view, std::string_view Address,
                                  int Port) {
  if (TConnectTry* Try = RunningTry(Address, Port)) {
    Try->Ended = MsBetween(FState->Passes.back().Started, At);
    Try->Outcome = TConnectTry::TOutcome::Connected;
  }
  Mark(xsConnected, At);
}

void TExchangeRecorder::ConnectionReady(THttpTime, int Number, bool Reused) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  P.Connection = Number;
  P.ConnectionReused = Reused;
  // A kept connection's session is the one its handshake made, an earlier pass's.
  if (const auto Session = FSessions.find(Number); Reused && Session != FSessions.end()) {
    P.TlsName = Session->second.first;
    P.Tls = Session->second.second;
  }
  Changed();
}

void TExchangeRecorder::ConnectionKept(THttpTime, int) {
  if (FState->Passes.empty()) return;
  FState->Passes.back().ConnectionKept = true;
  Changed();
}

void TExchangeRecorder::Resent(THttpTime) {
  // What the closed connection gave is no part of the pass: it starts over on a new one.
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  P.Resent = true;
  if (P.ConnectionReused) {
    P.Tls.reset();
    P.TlsName.clear();
  }
  P.Connection = -1;
  P.ConnectionReused = false;
  P.ReplyHeader.clear();
  P.ReplyNumber = 0;
  P.EndedAt.reset();
  for (int Stage = xsRequestSent; Stage < ExchangeStageCount; ++Stage) P.At[Stage].reset();
  Changed();
}

void TExchangeRecorder::TunnelRequested(THttpTime At, std::string_view Request) {
  if (FState->Passes.empty()) return;
  FState->Passes.back().TunnelRequest = Request;
  FTunnelSent = At;
  Changed();
}

void TExchangeRecorder::TunnelAnswered(THttpTime, std::string_view Head, int Status) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  P.TunnelReply = Head;
  P.TunnelStatus = Status;
  Changed();
  if (Status < 200 || Status > 299) Mark(xsRequestSent, FTunnelSent);
}

void TExchangeRecorder::TlsStarted(THttpTime At, std::string_view HostName) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  P.TlsStartedAt = MsBetween(P.Started, At);
  P.TlsName = HostName;
  Changed();
}

void TExchangeRecorder::TlsEnded(THttpTime At, const TTlsFacts& Facts) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  P.Tls = Facts;
  // A failure is told next, and the TLS stage is where the pass ended.
  if (TExchangePass::TlsLetThrough(Facts)) {
    P.SecuredAt = MsBetween(P.Started, At);
    // Kept for the passes that will reuse the connection; far more are kept than the
    // component keeps open, the oldest forgotten first.
    if (P.Connection >= 0) {
      FSessions[P.Connection] = {P.TlsName, Facts};
      if (FSessions.size() > MaxSessions) FSessions.erase(FSessions.begin());
    }
  }
  Changed();
}

void TExchangeRecorder::BodyMayBeCut(THttpTime) {
  if (FState->Passes.empty()) return;
  FState->Passes.back().BodyMayBeCut = true;
  Changed();
}

void TExchangeRecorder::ProtocolSpoken(THttpTime, int, int Stream, std::string_view Header) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  P.Stream = Stream;
  P.RequestHeader = Header;
  Changed();
}

void TExchangeRecorder::FrameSeen(THttpTime At, const THttp2Frame& Frame) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  if (P.Frames.size() >= TExchangePass::MaxFrames) {
    ++P.FramesLeftOut;
    return;
  }
  P.Frames.push_back(Frame);
  P.FrameTimes.push_back(MsBetween(P.Started, At));
  Changed();
}

void TExchangeRecorder::RequestSent(THttpTime At, std::string_view, std::int64_t) {
  Mark(xsRequestSent, At);
}

void TExchangeRecorder::StatusLine(THttpTime At, std::string_view Line) {
  if (FState->Passes.empty()) return;
  if (!FHeaderToFile) FState->Passes.back().ReplyHeader = Line;
  Mark(xsStatusLine, At);
}

void TExchangeRecorder::HeaderEnded(THttpTime At, std::string_view Head, int Status) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  if (!FHeaderToFile) P.ReplyHeader = Head;
  P.ReplyNumber = Status;
  Mark(xsHeaderEnd, At);
}

void TExchangeRecorder::BodyBlock(THttpTime, std::string_view Block) {
  if (BodyFromSink || FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  P.BodyBytes += static_cast<std::int64_t>(Block.size());
  if (!FBodyToFile && P.Body.size() < TExchangePass::BodyKept)
    P.Body.append(Block.substr(0, TExchangePass::BodyKept - P.Body.size()));
  Changed();
}

void TExchangeRecorder::BodyDecoded(THttpTime, std::int64_t Wire, std::int64_t Decoded) {
  // The blocks told were decoded: the wire's count is the component's.
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  P.BodyBytes = Wire;
  P.DecodedBytes = Decoded;
  Changed();
}

void TExchangeRecorder::BodyEnded(THttpTime At, std::int64_t) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  if (!P.At[xsBodyEnd]) P.EndedAt = MsBetween(P.Started, At);
  Mark(xsBodyEnd, At);
}

void TExchangeRecorder::Closed(THttpTime At, std::string_view HeadSoFar, int Status) {
  // A pass that fails keeps what had come: the header read so far, the body's start.
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  if (P.At[xsBodyEnd]) return;
  // The latest close before the body's end is where an error or a stop cut the pass.
  P.EndedAt = MsBetween(P.Started, At);
  if (P.At[xsRequestSent] && !P.At[xsHeaderEnd]) {
    if (!FHeaderToFile) P.ReplyHeader = HeadSoFar;
    P.ReplyNumber = Status;
  }
  Changed();
}

void TExchangeRecorder::Failed(THttpTime At, const std::exception_ptr& Error) {
  FErrorTold = true;
  if (FState->Passes.size() > FFirstOfRequest) {
    TExchangePass& P = FState->Passes.back();
    for (TConnectTry& Try : P.Attempts) {
      if (Try.Outcome != TConnectTry::TOutcome::Running) continue;
      Try.Outcome = TConnectTry::TOutcome::Abandoned;
      Try.Ended = MsBetween(P.Started, At);
    }
  }
  TSockStep Step = TSockStep::ssNone;
  bool Stopped = false;
  try {
    if (Error) std::rethrow_exception(Error);
  } catch (const std::exception& E) {
    Step = TExchangePass::ErrorStepOf(E);
    Stopped = TExchangePass::IsStop(E);
  } catch (...) {
  }
  Note(MessageOf(Error), At, Step, Stopped);
}

void TExchangeRecorder::Reported(THttpTime At, std::string_view Text) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  if (P.Reports.size() >= TExchangePass::MaxReports) {
    ++P.ReportsDropped;
    return;
  }
  P.Reports.push_back({MsBetween(P.Started, At), std::string(Text)});
  Changed();
}

void TExchangeRecorder::Mark(TExchangeStage Stage, THttpTime At) {
  if (FState->Passes.empty()) return;
  TExchangePass& P = FState->Passes.back();
  if (P.At[Stage]) return;  // the first time counts
  P.At[Stage] = MsBetween(P.Started, At);
  Changed();
  Reached(Stage);
}

void TExchangeRecorder::Changed() const {
  if (const auto Hook = OnChange) Hook();
}

void TExchangeRecorder::Reached(std::optional<TExchangeStage> Stage) const {
  if (const auto Hook = OnPassStage) Hook(FState->Passes.back(), Stage);
}

bool TExchangeRecorder::Complete() const {
  return !FState->Passes.empty() && FState->Passes.back().Complete() && FState->Error.empty();
}

void TExchangeRecorder::Clear() {
  FFirstOfRequest = 0;
  FState->Passes.clear();
  FState->Error.clear();
  Changed();
}

void TExchangeRecorder::Note(const std::string& Message, THttpTime At, TSockStep Step,
                             bool Stopped) {
  if (FState->Passes.size() > FFirstOfRequest && !FState->Passes.back().At[xsBodyEnd]) {
    TExchangePass& P = FState->Passes.back();
    P.Error = Message;
    P.ErrorStep = Step;
    P.Stopped = Stopped;
    // A pass that ended without a close (a refused connection) ends with its error.
    if (!P.EndedAt) P.EndedAt = MsBetween(P.Started, At);
  } else {
    FState->Error = Message;
  }
  Changed();
}

void TExchangeRecorder::NoteError(const std::string& Message) {
  Note(Message, std::chrono::steady_clock::now());
}

void TExchangeRecorder::Run(const std::function<void()>& Request) {
  Clear();
  FKeepPasses = false;
  RunKeeping(Request);
}

void TExchangeRecorder::Continue(const std::function<void()>& Request) {
  FState->Error.clear();
  FFirstOfRequest = FState->Passes.size();
  FKeepPasses = true;
  try {
    RunKeeping(Request);
  } catch (...) {
    FKeepPasses = false;
    throw;
  }
  FKeepPasses = false;
}

void TExchangeRecorder::RunKeeping(const std::function<void()>& Request) {
  FErrorTold = false;
  // A copy: the hook may be replaced meanwhile.
  const auto Ended = [Hook = OnRequestEnd] {
    if (Hook) Hook();
  };
  try {
    Request();
  } catch (const std::exception& E) {
    if (!FErrorTold)
      Note(E.what(), std::chrono::steady_clock::now(), TExchangePass::ErrorStepOf(E),
           TExchangePass::IsStop(E));
    Ended();
    throw;
  } catch (...) {
    if (!FErrorTold) NoteError("Unknown error");
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
  Changed();
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
