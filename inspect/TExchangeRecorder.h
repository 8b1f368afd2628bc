// TExchangeRecorder: the passes of the last request of an HTTP component, with the exact bytes
// sent and received and the time of each stage, taken from the component's own events.
//
// It chains itself in front of the handlers the component has when it attaches (OnStage,
// OnHostResolved, OnConnect, OnPacketRecvd, OnDisconnect, OnStatus, and OnInvalidHost when
// there is one), which keep running as before. Attach it after the owner has set its
// handlers: a handler set later replaces the recorder's link. Times come from the monotonic
// clock, read first thing in each event, before the record is touched and before any
// handler or hook runs, so that no observer's work is charged to a stage; each pass also
// keeps its wall-clock start for dates.
//
// The reply body is taken from the component's Body (string mode). A caller that streams the
// body through a sink of its own instead hands each block to FeedBody, or lets Sink() wrap
// its sink, and the recorder keeps what it was fed and never reads Body:
//
//   Http.BodySink = Recorder.Sink([&](std::string_view Block) { Write(Block); });
//
// In the file modes the request body is read back from its file (its first BodyKept
// bytes); the reply's header and body are not, and only their counts are known.
//
// The component's request methods pass their errors to the caller, out of reach of the
// events: the caller reports them with NoteError, or runs the request through Run, which
// also forgets the request before (one that fails before its first pass shows no passes).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/TVelHTTP.h"
#include "inspect/TExchangePass.h"

class TExchangeRecorder {
 public:
  // Listens to Http from now on. A recorder destroyed first leaves links behind that only
  // call on to the handlers that were there before it.
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

  // One block of the current pass's reply body, from a body sink of the caller's. Keeps the
  // first TExchangePass::BodyKept bytes, counts all of them, and switches the recorder to
  // the fed body for good (BodyFromSink).
  void FeedBody(std::string_view Block);
  // A sink that feeds the recorder and then Next (which may be empty); sets BodyFromSink.
  std::function<void(std::string_view)> Sink(std::function<void(std::string_view)> Next);
  // The body is what FeedBody is given, never the component's Body.
  bool BodyFromSink = false;

  // Called after every change of the record, also while a request runs: inside the
  // component's events, so it should only note that something changed.
  std::function<void()> OnChange;
  // Called when Run returns or raises, its error noted: the request is over and nothing of
  // it is timed any more, so an observer may do its slow work here.
  std::function<void()> OnRequestEnd;
  // Called when a pass begins (Stage empty) and when it reaches a stage, once the record
  // holds it: what a live trace needs to print each step as it happens.
  std::function<void(const TExchangePass& Pass, std::optional<TExchangeStage> Stage)> OnPassStage;

 private:
  // Lives as long as the recorder; the component's links hold it weakly, so a link that
  // outlives the recorder finds it gone and only calls on.
  struct TState {
    TExchangeRecorder* Recorder;
    std::vector<TExchangePass> Passes;
    std::string Error;
  };
  static void BeginPass(TState& S, const TVelHTTP& Http);
  static void Stage(TState& S, const TVelHTTP& Http, THttpStage Stage);
  // Stage reached At (ms on the pass's clock), or now.
  static void Mark(TState& S, TExchangeStage Stage, std::optional<double> At = std::nullopt);
  static void Asked(TState& S);
  static void Answered(TState& S, const TVelHTTP& Http, bool Handled);
  // Copies what is new of the component's Body (up to BodyKept) into the current pass.
  static void TakeBody(TState& S, const TVelHTTP& Http);
  static void Report(TState& S, const std::string& Text);
  static void Changed(const TState& S);
  static void Reached(const TState& S, std::optional<TExchangeStage> Stage);
  void Link(TVelHTTP& Http);

  std::shared_ptr<TState> FState;
};
