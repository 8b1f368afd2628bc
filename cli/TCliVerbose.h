// TCliVerbose: the -v trace in curl's style, on standard error. "*" lines tell the stages
// of the exchange with the milliseconds since the start, ">" lines are the request's header
// block as it was sent, "<" lines each reply's header block as it came. The connections are
// told in curl's words: made ("Connected to ... (#0)"), reused, left intact or closed. -vv
// adds every status report of the component as a "*" line of its own. TCliTrace writes it as
// one of the component's observers, from what each step tells and at the step's own time. An
// https pass shows the proxy's tunnel (">" and "<" lines of the CONNECT exchange), then the
// TLS lines (CliTlsTrace.h), and its request lines only once the session lets it go. An
// HTTP/2 pass shows, as curl 7.88 does, the fields of the HEADERS frame that went ("h2h3
// [:method: GET]"), its stream and then the request's block as the record shows it
// ("GET / HTTP/2"); its request lines wait for the frame.
//
// A server's bytes must not drive the terminal: control bytes in any line are shown
// escaped (\x1b), tabs excepted, and bidirectional controls as marks ("<U+202E>").
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/THttpObserver.h"
#include "inspect/TExchangeRecorder.h"

class TCliVerbose {
 public:
  // Receives each line, with its "\n".
  using TWriteLine = std::function<void(const std::string& Line)>;

  // Level 0 writes nothing, 1 is -v, 2 is -vv.
  TCliVerbose(int Level, TWriteLine WriteLine);

  int Level() const { return FLevel; }

  // A stage: "* [  12 ms] Connected to localhost (127.0.0.1) port 8080".
  void Stage(std::int64_t Ms, std::string_view Text) const;
  // A status report of the component, with -vv only.
  void Status(std::int64_t Ms, std::string_view Text) const;
  // A header block, one line each with its mark; the block's closing empty line is shown
  // as the mark alone, as curl shows it.
  void RequestHeader(std::string_view Block) const { HeaderBlock('>', Block); }
  void ReplyHeader(std::string_view Block) const { HeaderBlock('<', Block); }

  // Text with its control bytes escaped and its bidirectional controls made visible.
  static std::string Printable(std::string_view Text);

 private:
  void HeaderBlock(char Mark, std::string_view Block) const;

  int FLevel;
  TWriteLine FWriteLine;
};

// The pass's facts (its header block, the name asked of TLS, its body's size) are Recorder's,
// which must observe the component before the trace does, so that it holds each step first.
class TCliTrace : public THttpObserver {
 public:
  // Times count from Start.
  TCliTrace(const TCliVerbose& Verbose, THttpTime Start, const TExchangeRecorder& Recorder)
      : FVerbose(Verbose), FStart(Start), FRecorder(Recorder) {}
  // The protocols the component offers by ALPN, as it speaks them.
  std::string Alpn = "http/1.0";
  // Plain http goes as HTTP/2 by prior knowledge (h2c), unless through a proxy.
  bool PriorKnowledge = false;
  // What curl calls the easy handle of "Using Stream ID": the component.
  const void* Handle = nullptr;

 private:
  void PassStarted(THttpTime At, const THttpPassStart& Pass) override;
  void LookedUp(THttpTime At, std::string_view Name, std::string_view Address) override;
  void Trying(THttpTime At, std::string_view Address, int Port) override;
  void TryEnded(THttpTime At, std::string_view Address, int Port, int Error) override;
  void Connected(THttpTime At, std::string_view Name, std::string_view Address,
                 int Port) override;
  void ConnectionReady(THttpTime At, int Number, bool Reused) override;
  void ConnectionKept(THttpTime At, int Number) override;
  void Resent(THttpTime At) override;
  void TunnelRequested(THttpTime At, std::string_view Request) override;
  void TunnelAnswered(THttpTime At, std::string_view Head, int Status) override;
  void TlsStarted(THttpTime At, std::string_view) override;
  void TlsEnded(THttpTime At, const TTlsFacts& Facts) override;
  void ProtocolSpoken(THttpTime, int, int, std::string_view) override;
  void RequestSent(THttpTime At, std::string_view, std::int64_t BodySize) override;
  void HeaderEnded(THttpTime, std::string_view Head, int) override;
  void BodyEnded(THttpTime At, std::int64_t) override;
  void Closed(THttpTime At, std::string_view, int) override;
  void Reported(THttpTime At, std::string_view Text) override;
  std::int64_t Ms(THttpTime At) const;
  // The recorder's pass being told.
  const TExchangePass& Current() const;
  // The name each connection was made to (the proxy's, through one), by its number.
  const std::string& NameOf(int Number) const;
  // The pass's request lines, now unless its HTTP/2 frame is still to go.
  void RequestLines(bool Http2);
  // The request lines of an HTTP/2 pass, from the HEADERS frame that went on its stream.
  void Http2RequestLines(std::int64_t Ms);

  const TCliVerbose& FVerbose;
  THttpTime FStart;
  const TExchangeRecorder& FRecorder;
  int FClosedTold = -1;        // the connection whose close was told last
  std::string FConnected;      // the stage line of the connection just made, told once numbered
  std::string FConnectedName;  // and the name it was made to
  std::vector<std::string> FNames;
  std::vector<bool> FSpeaksHttp2;  // by connection number: its passes went as HTTP/2
  bool FRequestShown = false;      // the pass's request lines are out
};
