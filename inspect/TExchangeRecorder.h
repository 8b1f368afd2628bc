// TExchangeRecorder: the passes of the last request of an HTTP component, with the exact bytes
// sent and received and the time of each stage, as the component tells them to its observers.
//
// It is one observer of the component (THttpObserver) among any others, beside the owner's
// handlers, which it neither replaces nor calls: it may be made before or after them. The
// times are those the component read for each step before telling anyone; each pass also
// keeps its wall-clock start for dates.
//
// The reply body is what the component tells of it, block by block. A caller that feeds the
// recorder a body of its own instead hands each block to FeedBody, or lets Sink() wrap a
// sink, and the recorder keeps what it was fed from then on:
//
//   Http.BodySink = Recorder.Sink([&](std::string_view Block) { Write(Block); });
//
// Each connect attempt is kept with its times and outcome; those still running when the pass
// fails (a time-out, a stop) end Abandoned with it.
//
// A pass over TLS keeps the session's facts and the handshake's times; through the proxy,
// the CONNECT exchange too. A refused tunnel is the pass's exchange: its request counts as
// sent when CONNECT was, and the proxy's reply is the pass's.
//
// In the file modes the request body shown is the start of its file; the reply's header and
// body went to files and only their counts are kept.
//
// The error that ends a request is told by the component as well; Run also notes one that
// the request method raised before the request began (a request already running), and
// forgets the request before (one that fails before its first pass shows no passes).
// Continue runs a request that goes on from the last one (after a refused certificate was
// let through): the passes so far stay, the new ones come after them.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/TVelHTTP.h"
#include "inspect/TExchangePass.h"

class TExchangeRecorder : private THttpObserver {
 public:
  // Follows Http from now on, until either of them is destroyed.
  explicit TExchangeRecorder(TVelHTTP& Http);
  TExchangeRecorder(const TExchangeRecorder&) = delete;
  TExchangeRecorder& operator=(const TExchangeRecorder&) = delete;

  // The passes of the last request (a request's first pass clears those of the one before).
  const std::vector<TExchangePass>& Passes() const { return FState->Passes; }
  // An error of the request that came after its last pass had ended (a redirection to a URL
  // that cannot be requested); empty otherwise. Errors within a pass are that pass's Error.
  const std::string& Error() const { return FState->Error; }
  // The last pass read its body to the end and nothing failed since.
  bool Complete() const;
  // Forgets every pass and error.
  void Clear();

  // Records the message of an error that ended the request: against the last pass when that
  // pass had not read its body to the end, else against the request as a whole.
  void NoteError(const std::string& Message);
  // Calls Request (a request method of the component); an error it raises is noted and
  // raised again.
  void Run(const std::function<void()>& Request);
  // As Run, keeping the passes recorded so far: the request goes on from the last of them,
  // whose error stays its own. An error before the request's first pass is the request's.
  void Continue(const std::function<void()>& Request);

  // One block of the current pass's reply body, from a body sink of the caller's. Keeps the
  // first TExchangePass::BodyKept bytes, counts all of them, and switches the recorder to
  // the fed body for good (BodyFromSink).
  void FeedBody(std::string_view Block);
  // A sink that feeds the recorder and then Next (which may be empty); sets BodyFromSink.
  std::function<void(std::string_view)> Sink(std::function<void(std::string_view)> Next);
  // The body is what FeedBody is given, never the component's Body.
  bool BodyFromSink = false;

  // Called after every change of the record, also while a request runs: inside the
  // component's steps, so it should only note that something changed.
  std::function<void()> OnChange;
  // Called when Run returns or raises, its error noted: the request is over and nothing of
  // it is timed any more, so an observer may do its slow work here.
  std::function<void()> OnRequestEnd;
  // Called when a pass begins (Stage empty) and when it reaches a stage, once the record
  // holds it: what a live trace needs to print each step as it happens.
  std::function<void(const TExchangePass& Pass, std::optional<TExchangeStage> Stage)> OnPassStage;

 private:
  void PassStarted(THttpTime At, const THttpPassStart& Pass) override;
  void LookedUp(THttpTime At, std::string_view, std::string_view) override;
  void HostAsked(THttpTime At) override;
  void HostAnswered(THttpTime At, std::string_view Host) override;
  void Trying(THttpTime At, std::string_view Address, int Port) override;
  void TryEnded(THttpTime At, std::string_view Address, int Port, int Error) override;
  void Connected(THttpTime At, std::string_view, std::string_view Address, int Port) override;
  void ConnectionReady(THttpTime At, int Number, bool Reused) override;
  void ConnectionKept(THttpTime At, int Number) override;
  void Resent(THttpTime At) override;
  void TunnelRequested(THttpTime At, std::string_view Request) override;
  void TunnelAnswered(THttpTime At, std::string_view Head, int Status) override;
  void TlsStarted(THttpTime At, std::string_view HostName) override;
  void TlsEnded(THttpTime At, const TTlsFacts& Facts) override;
  void BodyMayBeCut(THttpTime At) override;
  void ProtocolSpoken(THttpTime At, int Version, int Stream, std::string_view Header) override;
  void FrameSeen(THttpTime At, const THttp2Frame& Frame) override;
  void RequestSent(THttpTime At, std::string_view, std::int64_t) override;
  void StatusLine(THttpTime At, std::string_view Line) override;
  void HeaderEnded(THttpTime At, std::string_view Head, int Status) override;
  void BodyBlock(THttpTime At, std::string_view Block) override;
  void BodyDecoded(THttpTime At, std::int64_t Wire, std::int64_t Decoded) override;
  void BodyEnded(THttpTime At, std::int64_t) override;
  void Closed(THttpTime At, std::string_view HeadSoFar, int Status) override;
  void Failed(THttpTime At, const std::exception_ptr& Error) override;
  void Reported(THttpTime At, std::string_view Text) override;

  // The running attempt of the current pass at Address and Port; nullptr when none.
  TConnectTry* RunningTry(std::string_view Address, int Port);
  // Stage reached At, the first time only.
  void Mark(TExchangeStage Stage, THttpTime At);
  // The error against the last pass when that pass had not read its body to the end,
  // else against the request as a whole. Stopped: the error is the user's stop.
  void Note(const std::string& Message, THttpTime At, TSockStep Step = TSockStep::ssNone,
            bool Stopped = false);
  void Changed() const;
  void Reached(std::optional<TExchangeStage> Stage) const;
  void RunKeeping(const std::function<void()>& Request);

  // Lives as long as the recorder; a sink made by Sink holds it weakly, so a sink that
  // outlives the recorder finds it gone and only calls on.
  struct TState {
    TExchangeRecorder* Recorder;
    std::vector<TExchangePass> Passes;
    std::string Error;
  };
  std::shared_ptr<TState> FState;
  bool FHeaderToFile = false;  // of the current pass
  bool FBodyToFile = false;
  bool FErrorTold = false;  // the component told the error of the request Run runs
  // The passes before this index belong to requests before the running one; a request that
  // goes on (Continue) keeps them, and its errors never land on them.
  std::size_t FFirstOfRequest = 0;
  bool FKeepPasses = false;  // the running request goes on from the passes kept
  THttpTime FTunnelSent{};  // when the current pass's CONNECT went
  // The name asked and the session of each connection whose handshake let its pass through,
  // by the component's number, for the passes that reuse it; kept across Clear, as the
  // component keeps its connections across requests.
  std::map<int, std::pair<std::string, TTlsFacts>> FSessions;
  static constexpr std::size_t MaxSessions = 64;
};
