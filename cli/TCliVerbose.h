// TCliVerbose: the -v trace in curl's style, on standard error. "*" lines tell the stages
// of the exchange with the milliseconds since the start, ">" lines are the request's header
// block as it was sent, "<" lines each reply's header block as it came. -vv adds every
// status report of the component as a "*" line of its own.
//
// A server's bytes must not drive the terminal: control bytes in any line are shown
// escaped (\x1b), tabs excepted.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "inspect/TExchangePass.h"

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

  // Text with its control bytes escaped.
  static std::string Printable(std::string_view Text);
  // The time of a stage's line: when Pass reached Stage (its start when Stage is unset), as
  // the pass recorded it, in ms since Start. So the trace, the HAR and -w agree.
  static std::int64_t StageMs(const TExchangePass& Pass, std::optional<TExchangeStage> Stage,
                              std::chrono::steady_clock::time_point Start);

 private:
  void HeaderBlock(char Mark, std::string_view Block) const;

  int FLevel;
  TWriteLine FWriteLine;
};
