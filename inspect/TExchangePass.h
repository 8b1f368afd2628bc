// TExchangePass: what one pass of a request sent and received, when each stage of it was
// reached, and the spans of its stages, computed here once for every view (the HAR's timings,
// the inspector's bars and times, -w and -v). Filled by TExchangeRecorder.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "http/Http2Frame.h"
#include "socket/SockErrors.h"
#include "tls/TTlsFacts.h"

// The stages timed in a pass after its start, in the order a pass reaches them. A dotted
// address needs no look-up, so xsLookedUp stays unset for it.
enum TExchangeStage : std::uint8_t {
  xsLookedUp,     // the host name is resolved (OnHostResolved)
  xsConnected,    // the connection stands (OnConnect)
  xsRequestSent,  // the header block and the body are sent
  xsStatusLine,   // the reply's status line has arrived
  xsHeaderEnd,    // the reply's header block is read
  xsBodyEnd       // the body is read to its end
};
constexpr int ExchangeStageCount = xsBodyEnd + 1;

// A status report of the component, with its time in milliseconds from the pass's start.
struct TStatusReport {
  double At = 0;
  std::string Text;
};

// The look-up failed and the component's owner was asked for another host (OnInvalidHost):
// when the question was put and when it was answered, in milliseconds from the pass's start,
// and the host the pass then went to ("" when the owner named none and the pass gave up).
struct THostQuestion {
  double Asked = 0;
  double Answered = 0;
  std::string Host;
};

// One connect attempt of a pass, in the order the attempts started: a name with several
// addresses is tried address after address (IPv6 first, the families interleaved), the next
// one started when the one before failed or had not connected within 250 ms.
struct TConnectTry {
  enum class TOutcome : std::uint8_t {
    Running,    // neither connected nor failed yet
    Connected,  // the attempt that won: the pass's connection
    Failed,     // refused, unreachable or otherwise failed (Error tells)
    Abandoned   // closed unfinished: another attempt won, or the time-out or a stop ended all
  };
  std::string Address;  // bare, as the socket took it: "::1", "127.0.0.1"
  int Port = 0;
  double Started = 0;           // milliseconds from the pass's start
  std::optional<double> Ended;  // likewise; unset while it runs
  TOutcome Outcome = TOutcome::Running;
  int Error = 0;  // the socket error of a failed attempt, 0 otherwise
};

// What a span of a pass stands for. skQuestion is the time the owner was asked for another
// host after a failed look-up: it belongs to no stage of the exchange. skTls, the TLS
// handshake after the connection, exists only for a pass that made one.
enum class TSpanKind : std::uint8_t {
  skLookUp,
  skQuestion,
  skConnect,
  skTls,
  skSend,
  skWait,
  skReceive
};

// One span, in milliseconds from the pass's start. Each starts where the one before ended.
struct TPassSpan {
  TSpanKind Kind = TSpanKind::skLookUp;
  double From = 0;
  double To = 0;
  // False for the stage a pass was in when an error or a stop ended it, or is in now: it
  // lasts up to that end, but the stage was never reached.
  bool Reached = true;
  double Length() const { return To - From; }
};

struct TExchangePass {
  // Bytes of a request body and of a reply body kept per pass; the counts stay whole.
  static constexpr std::size_t BodyKept = std::size_t{1} << 20;

  std::string Method;  // the request line's word ("GET"); empty for a wrapped request
  std::string URL;     // absolute, as the pass's request target names it: no user, no fragment
  std::string Proxy;   // the proxy's host; empty when the request went direct
  int ProxyPort = 0;
  std::string TargetURI;  // the second argument of COPY, MOVE, LINK and UNLINK

  std::string RequestHeader;  // the header block exactly as sent, empty line included
  std::string RequestBody;    // the first BodyKept bytes of the body sent
  std::int64_t RequestBodySize = 0;

  std::string ReplyHeader;  // the status line and header lines exactly as received
  int ReplyNumber = 0;
  std::string Body;  // the first BodyKept bytes of the reply body (decoded, when it was)
  // The reply body's bytes as they came on the wire (its chunked framing off, its content
  // codings on): what -w's size_download, the length check and BytesReceived count.
  std::int64_t BodyBytes = 0;
  // Set when the body's content codings came off: its bytes once decoded, which Body holds.
  std::optional<std::int64_t> DecodedBytes;
  // The body's size as Body holds it: decoded, or as it came.
  std::int64_t ContentBytes() const { return DecodedBytes.value_or(BodyBytes); }

  // The message of the error that ended the pass; empty when it ran to its end.
  std::string Error;
  // Where that error happened, when it says (a socket error does; ErrorStepOf tells).
  TSockStep ErrorStep = TSockStep::ssNone;
  // That error is the user's stop (IsStop tells): Error holds the component's words for it.
  bool Stopped = false;
  // Milliseconds from Started to the moment the pass ended: its body's end, or the error or
  // stop that cut it short (the reception lasts until then). Unset while it runs.
  std::optional<double> EndedAt;

  // Set when the look-up failed and the owner was asked for another host; the time the
  // question was open belongs to no stage of the exchange.
  std::optional<THostQuestion> HostQuestion;

  // The connection the pass went on: its number among those the component opened (-1 before
  // one was ready), whether it was kept from an earlier exchange (then the pass made no
  // look-up, connect or handshake, and those stages stay unset), and whether it was kept
  // open after this one. Resent: the request first went on a kept connection the server
  // had closed, and went again on a new one, which these describe.
  int Connection = -1;
  bool ConnectionReused = false;
  bool ConnectionKept = false;
  bool Resent = false;

  // The pass spoke HTTP/2: its stream's number (0 for HTTP/1.x), and the frames of its
  // connection as they went and came, from its request on: the first MaxFrames, then only
  // counted.
  int Stream = 0;
  std::vector<THttp2Frame> Frames;
  std::int64_t FramesLeftOut = 0;
  static constexpr std::size_t MaxFrames = 10000;
  std::vector<double> FrameTimes;  // milliseconds from Started, one for each of Frames
  // Every connect attempt, in the order they started; empty for a pass that made none.
  std::vector<TConnectTry> Attempts;

  std::chrono::system_clock::time_point StartedAt;  // wall clock, for dates
  std::chrono::steady_clock::time_point Started;    // monotonic, for durations
  // Milliseconds from Started to each stage; unset while (or when never) reached.
  std::array<std::optional<double>, ExchangeStageCount> At;
  // Milliseconds from Started to the start of the TLS handshake (after the connection and
  // the tunnel) and to the end of the handshake and the check, when both passed (or the
  // check was waived); unset for plain http, and SecuredAt for a pass whose TLS failed.
  std::optional<double> TlsStartedAt;
  std::optional<double> SecuredAt;
  // The name asked of the TLS layer, which the certificate must cover; empty without TLS.
  std::string TlsName;
  // The session's facts as far as the handshake went, passed or failed; unset without TLS.
  // A pass on a kept connection has those of the handshake that opened it (TlsName too), and
  // no TLS stage of its own.
  std::optional<TTlsFacts> Tls;
  // Through the proxy, the CONNECT request as sent and the proxy's reply head with its
  // status; empty (0) when the pass made no tunnel. A refusal is also the pass's reply.
  std::string TunnelRequest;
  std::string TunnelReply;
  int TunnelStatus = 0;
  // The body ended with a close without close_notify and nothing told it was whole.
  bool BodyMayBeCut = false;

  std::vector<TStatusReport> Reports;  // at most MaxReports, then only counted
  std::int64_t ReportsDropped = 0;
  static constexpr std::size_t MaxReports = 10000;

  // The body was read to its end and nothing failed.
  bool Complete() const { return At[xsBodyEnd].has_value() && Error.empty(); }
  // The final reply may carry a body: it answers no HEAD and is no 204, 304 or 1xx.
  bool ReplyHasBody() const;
  // The body ended (by the close or a reset) before the length the final reply announced:
  // the reply is incomplete, whatever status it carries.
  bool BodyShort() const;
  // "transfer closed with N bytes remaining to read" for a short body, as curl words it;
  // empty when the body is not short.
  std::string ShortBodyError() const;
  // The host the pass connected to instead of its URL's, named by the owner when the
  // look-up failed; empty when it went to its URL's host.
  std::string HostUsed() const { return HostQuestion ? HostQuestion->Host : std::string(); }
  // More body arrived than Body keeps.
  bool BodyCut() const { return ContentBytes() > static_cast<std::int64_t>(Body.size()); }
  // Header plus body bytes received.
  std::int64_t BytesReceived() const {
    return static_cast<std::int64_t>(ReplyHeader.size()) + BodyBytes;
  }
  // The request line's version: 10 for HTTP/1.0, 11 for HTTP/1.1, 20 for HTTP/2, whatever the
  // case it is written in (a file may say "http/1.1"); 0 for another, none, or a wrapped
  // request.
  int RequestVersion() const;
  // The final reply's Content-Length (the last usable one; a list of equal values is one),
  // if it announced one. An interim reply's fields do not count.
  std::optional<std::int64_t> AnnouncedLength() const;
  // Milliseconds from Origin (another pass's Started, say the first one's) to a stage, so
  // that the passes of a request share one time scale.
  std::optional<double> AtFrom(std::chrono::steady_clock::time_point Origin,
                               TExchangeStage Stage) const {
    if (!At[Stage]) return std::nullopt;
    return std::chrono::duration<double, std::milli>(Started - Origin).count() + *At[Stage];
  }
  // The time of the first byte of the reply: the status line, or the end of a header that
  // had none (the server closed at once).
  std::optional<double> FirstByte() const {
    return At[xsStatusLine] ? At[xsStatusLine] : At[xsHeaderEnd];
  }

  // The spans of the stages reached, in their order: look-up (twice around a question for
  // another host), connection, TLS, sending, waiting (from the request sent to the reply's
  // first byte), receiving (from there to the body's end). A dotted address has no look-up.
  // Then the stage in progress, not reached: once the request was sent, up to the moment an
  // error or a stop ended the pass (EndedAt); with Now (ms from Started), of a pass still
  // running, up to Now. A connection never made has no span.
  std::vector<TPassSpan> Spans(std::optional<double> Now = std::nullopt) const;
  // The first span of Kind, if any.
  static const TPassSpan* Find(const std::vector<TPassSpan>& Spans, TSpanKind Kind);

  // The session let the request go: the handshake is done and the check passed, or the
  // caller waived it.
  static bool TlsLetThrough(const TTlsFacts& Facts) {
    return Facts.Outcome.HandshakeDone &&
           (Facts.VerifyWaived || Facts.Outcome.VerifyResult == 0);
  }

  // The step an error names, for ErrorStep: a socket error's own; a reply that breaks HTTP,
  // passes a bound or is cut inside its chunks was being received; any other error belongs
  // to no step.
  static TSockStep ErrorStepOf(const std::exception& Error);
  // The error ends a pass the user stopped (Abort): a cancelled wait in any step, or the
  // abort that found no network step to stop. A time-out is no stop.
  static bool IsStop(const std::exception& Error);
};
