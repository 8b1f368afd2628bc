// TExchangeLog: the last request of an HTTP component, pass by pass: what was sent, what came
// back, and when each stage was reached. It listens through the component's public events,
// calling on to the handlers that were set before it, so their owner keeps them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/TVelHTTP.h"

class TExchangeLog {
 public:
  // The stages timed in a pass, in the order a pass reaches them.
  enum TStage { esLookedUp, esConnected, esRequestSent, esFirstByte, esHeaderEnd, esBodyEnd };
  static constexpr int StageCount = esBodyEnd + 1;
  // Bytes of a request body kept for display.
  static constexpr std::size_t BodyShown = 4096;

  struct TPass {
    std::string Method;
    std::string URL;            // with the server's name when the component had only a path
    std::string Proxy;          // "host:port"; empty when the request went direct
    std::string RequestHeader;  // the header block exactly as sent, empty line included
    std::string RequestBody;    // the first BodyShown bytes of the body sent
    std::int64_t RequestBodySize = 0;
    std::string ReplyHeader;  // status line and header lines exactly as received
    int ReplyNumber = 0;
    // The body length the reply announced; 0 when it announced none or has no body at all
    // (the reply to HEAD, 1xx, 204, 304).
    std::int64_t Announced = 0;
    std::int64_t BodyBytes = 0;  // body bytes received so far
    // Milliseconds from the start of the pass; empty while not reached.
    // A dotted address needs no look-up, so esLookedUp stays empty for it.
    std::array<std::optional<double>, StageCount> At;

    std::int64_t BytesReceived() const {
      return static_cast<std::int64_t>(ReplyHeader.size()) + BodyBytes;
    }
    // The body ended (the server closed) before the length it announced.
    bool BodyShort() const { return At[esBodyEnd].has_value() && BodyBytes < Announced; }
  };

  // Listens to Http from now on. Http must not be replaced while the log lives; a log that
  // dies first leaves handlers behind that only call on to the earlier ones.
  explicit TExchangeLog(TVelHTTP& Http);

  // The passes of the last request; empty before the first.
  const std::vector<TPass>& Passes() const { return FState->Passes; }
  // The last pass read its reply to the end of the body.
  bool Complete() const;

  // Called after every change, also while a request runs.
  std::function<void()> OnChange;

 private:
  // Lives as long as the log; the component's handlers hold it weakly, so a handler that
  // outlives the log finds it gone and only calls on.
  struct TState {
    TExchangeLog* Log;
    std::vector<TPass> Passes;
    std::chrono::steady_clock::time_point PassStart;
  };
  static void BeginPass(TState& S, const TVelHTTP& Http);
  static void Mark(TState& S, TStage Stage);
  static void Changed(const TState& S);

  std::shared_ptr<TState> FState;
};
