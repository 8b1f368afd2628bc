// THttp2Transport: HTTP/2 (RFC 9113) over the connection's transport, as a transport itself:
// the socket component's readers and writers go on moving an HTTP/1.x-formed message while
// the connection carries frames.
//
// The session is nghttp2's: frames, HPACK, flow control and SETTINGS are the library's, which
// does no I/O. This transport feeds it what the transport below receives
// (nghttp2_session_mem_recv) and writes what it has to send (nghttp2_session_mem_send).
//
// One request at a time is one stream. What is sent is the request's header block as composed,
// then its body: the block becomes the stream's HEADERS (Http2Request::HeaderList), the body
// its DATA, as long as the block's Content-Length says; the stream's end goes with the last of
// it. What is received is the reply of that stream as an HTTP/1.x reader reads one: a status
// line "HTTP/2 <status>", the fields one a line, the empty line (an interim 1xx reply first
// when one came), then the DATA as they come, and the end of the data (0) where the stream
// ends. Frames of the connection and of other streams are handled as they come. A stream the
// server resets, a connection it ends (GOAWAY) before the stream's end, and a reply that
// breaks the protocol raise EHttp2Error from the receive or send that meets them; a stream
// the server did not take (REFUSED_STREAM, or beyond a GOAWAY's last stream) EHttp2Refused.
//
// Bounds: the reply's header list (MaxHeaderList, offered to the server as
// SETTINGS_MAX_HEADER_LIST_SIZE), the CONTINUATION frames of one header block, and frames that
// carry nothing for the stream (SETTINGS, PING, PRIORITY, empty DATA, a reset of a stream not
// ours ...): more than MaxIdleFrames of them in a row end the connection as a flood.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/Http2Frame.h"
#include "socket/TTransport.h"

struct nghttp2_session;

class THttp2Transport final : public TUpperTransport {
 public:
  static constexpr std::size_t MaxHeaderList = std::size_t{1} << 20;
  static constexpr std::size_t MaxContinuations = 80;
  static constexpr int MaxIdleFrames = 1000;
  // The windows offered to the server: of each stream and of the connection.
  static constexpr std::int32_t StreamWindow = 32 << 20;
  static constexpr std::int32_t ConnectionWindow = 64 << 20;

  // A session over Below for Scheme ("https", or "http" for prior knowledge); the preface and
  // our SETTINGS go with the first request.
  THttp2Transport(TTransport& Below, std::string Scheme);
  ~THttp2Transport() override;
  THttp2Transport(const THttp2Transport&) = delete;
  THttp2Transport& operator=(const THttp2Transport&) = delete;

  // The next request starts: what Send takes from now is its header block, then its body.
  void NextRequest();
  // The request's stream: its number once its block was taken; 0 before.
  std::int32_t Stream() const { return FStream; }
  // The connection can carry another request: the session stands, the server has not said
  // GOAWAY, the last stream ended by its own end (or was cancelled by us) and a new stream
  // number is left.
  bool Reusable() const;
  // After a reply read to the length it announced: takes what is there now, so that the
  // stream's end, when it came in a frame of its own, is seen.
  void Settle();
  // Ends the request's stream with RST_STREAM (CANCEL), sent as far as the socket takes it
  // now; the connection stays usable.
  void Cancel();
  // The frames that went and came since the last call, in order, each with its time.
  struct TSeen {
    std::chrono::steady_clock::time_point At;
    THttp2Frame Frame;
  };
  std::vector<TSeen> TakeFrames();
  bool FramesWaiting() const { return !FFrames.empty(); }

  void Over(TTransport& Below) override { FBelow = &Below; }
  // Reads what came while the connection was idle: Reusable then.
  bool Standing() override;
  int Connect(const win::SOCKADDR_INET& To) override { return FBelow->Connect(To); }
  int Receive(char* Buffer, int Size, int Flags) override;
  int Send(const char* Data, int Count, int Flags) override;
  void SendGivenUp() override { FStaged = 0; }
  bool Pending() const override;
  std::size_t Waiting() const override;
  // GOAWAY (NO_ERROR), sent without waiting, then the close of the transport below.
  bool Close(bool Connected) override;
  bool AwaitsPeer() const override { return FAwaitsPeer; }

 private:
  struct TCallbacks;
  friend struct TCallbacks;

  // Reads what the transport below has now into the session: true when it gave something;
  // false with the platform's error set when it would block or failed, and FBelowEnded set
  // when it ended.
  bool Pull();
  // Hands the session's output to the transport below as far as it takes it: false when some
  // is left (the socket is full), raising the socket's error when the send failed otherwise.
  bool Flush();
  // Send's parts: bytes offered again after -1; the block's bytes (the HEADERS submitted once
  // it is whole), taken up to its end; body bytes into the queue as far as it has room.
  int SendStaged();
  std::size_t TakeHead(const char* Data, std::size_t Count);
  std::size_t TakeBody(const char* Data, std::size_t Count);
  // The stream's request, once its block is whole: the HEADERS submitted.
  void Submit();
  // Raises what ended the stream or the connection, when something did.
  void RaiseFailure();
  // The session ended, by the server's GOAWAY or an error of its own.
  bool SessionOver() const;
  std::size_t InLeft() const { return FIn.size() - FInAt; }
  void Seen(const THttp2Frame& Frame);
  // A frame that came: the flood count, kept or reset.
  void Counted(std::uint8_t Type, std::size_t Length, std::int32_t OnStream, std::uint8_t Flags);

  TTransport* FBelow;
  std::string FScheme;
  nghttp2_session* FSession = nullptr;

  // --- The request's stream --------------------------------------------------------------
  enum class TPhase : std::uint8_t { Idle, Head, Body, Sent };
  TPhase FPhase = TPhase::Idle;
  std::string FHeadText;  // the block so far
  std::int32_t FStream = 0;
  long long FBodyLeft = 0;  // body bytes the block announced that Send has not taken
  std::string FBodyQueue;   // taken, not yet in a DATA frame
  std::size_t FBodyAt = 0;
  int FStaged = 0;  // bytes of the offer taken while -1 was returned
  bool FAwaitsPeer = false;
  // The reply as the reader reads it, from FInAt on.
  std::string FIn;
  std::size_t FInAt = 0;
  bool FReplyBegun = false;  // a HEADERS of the stream came
  bool FFinalHead = false;   // its final (non-1xx) head is whole: later HEADERS are trailers
  bool FInHead = false;      // a head of the stream is being decoded
  std::string FHeadOut;      // its lines as the reader will read them
  std::string FHeadList;     // its fields as the frame's record lists them
  std::size_t FHeadSize = 0;
  bool FStreamEnded = false;  // END_STREAM came
  bool FStreamClosed = false;
  std::uint32_t FStreamCode = 0;
  bool FWeReset = false;  // the stream's RST_STREAM was ours
  bool FCancelled = false;

  // --- The connection ---------------------------------------------------------------------
  bool FBelowEnded = false;
  bool FGoAway = false;
  std::int32_t FGoAwayLast = 0;
  std::uint32_t FGoAwayCode = 0;
  bool FWeEnded = false;  // our GOAWAY went: the session ended on our side
  std::uint32_t FOurCode = 0;
  std::string FReason;          // the library's word for what broke, when it said one
  std::exception_ptr FFailure;  // raised by the next receive or send
  int FIdleFrames = 0;
  std::string FOut;  // the session's output not yet taken by the transport below
  std::size_t FOutAt = 0;
  std::unique_ptr<char[]> FRead;  // the room each pull reads into
  std::vector<TSeen> FFrames;
};
