// TReplyReader: one reply read off the connection: its head line by line through TReplyHead
// (interim replies, fields, bounds, the time-out of the head as a whole), and its body up to
// the announced length, the end of a chunked body's framing, or without either until the
// close, into a text, a file or the caller's sink. The connection is what the component
// hands it: a few calls into its socket.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "http/CmdNames.h"
#include "http/TBodyOutput.h"
#include "http/TReplyHead.h"
#include "socket/TCallRef.h"

// The connection as the reader reads a head: calls into the component's socket, each a
// lambda written in the argument list of the reader's call.
struct THeadWire {
  // One line of a head, its end included; "" when the connection ended. A line past the
  // socket's bound makes the head too large (EHttpHeaderTooLarge).
  TCallRef<void(std::string& Line)> HeadLine;
  // The head's first status line has arrived (an interim reply's, when one came first).
  TCallRef<void(std::string_view Line)> StatusLineHeard;
};

// The connection as the reader reads a body.
struct TBodyWire {
  // How many bytes the next receive may take, given the Room of the socket's buffer: at
  // least one, at most Room.
  using TWanted = TCallRef<std::size_t(std::size_t Room)>;
  using TTake = TCallRef<void(const char* Data, std::size_t Count)>;

  // Runs Capture as one transfer of the socket's; a cancel that stopped it then ends it.
  TCallRef<void(TCallRef<void()> Capture)> InTransfer;
  // Receives, the time-out armed, blocks of at most Wanted bytes each into the socket's
  // buffer, handed to Take, until the close or until WantMore says enough.
  TCallRef<void(TWanted Wanted, TTake Take, TCallRef<bool()> WantMore)> ReceiveBlocks;
  // A block of the body, its coding taken off, about to go to its destination.
  TCallRef<void(std::string_view Block)> BlockHeard;
  // The socket's own captures of at most Limit bytes (-1 for none) into a file or a text.
  TCallRef<void(const std::string& FileName, std::int64_t Limit)> CaptureFileUpTo;
  TCallRef<void(std::string& Text, std::int64_t Limit)> CaptureTextUpTo;
  // The connection's TLS session ended with its close and no close_notify.
  TCallRef<bool()> SessionCut;
};

// Where the head's facts go: the component's own fields.
struct TReplyFields {
  std::string& Header;  // the head's text, or the name of the file receiving it
  bool HeaderToFile = false;
  std::int16_t& ReplyNumber;
  std::int64_t& BytesTotal;
  std::string& Location;
  const int& TimeOut;  // ms, 0 for none; read at each check, as a handler may change it
  bool& TimedOut;
  bool Http2 = false;  // the reply comes over HTTP/2
};

// Where the body goes, and what it is held to.
struct TBodyFields {
  std::string& Body;  // the body's text, or the name of the file receiving it
  bool BodyToFile = false;
  const TBodyOutput::TSink& Sink;  // when set (and no file), the blocks go there instead
  std::int64_t MaxBodySize = 0;    // 0 for no bound; a file is not bounded
  // The body's content codings are taken off when every one listed is known.
  bool Decode = false;
  std::int64_t& BytesRecvd;  // counts the bytes as they came, coded
  const bool& Canceled;
};

// A head as a whole gets the time-out each of its lines has: a server that sends a line now
// and then must not hold the head open for as long as it likes.
class THeadClock {
 public:
  // Raises the time-out's EAbortError, TimedOut set, once TimeOut ms (0: never) have passed.
  void Check(int TimeOut, bool& TimedOut) const;

 private:
  std::chrono::steady_clock::time_point FStarted = std::chrono::steady_clock::now();
};

class TReplyReader {
 public:
  // Reads the head of one reply, interim replies included: their lines stay at the head of
  // the text, and ReplyNumber is the final reply's. A connection that ends before the
  // reply's first byte raises EHttpEmptyReply.
  void ReadHead(const THeadWire& Wire, const TReplyFields& To);
  // Reads the body of the reply whose head was read, for the command Cmd, Total bytes long
  // when the head gave a length; true when it ended with a close that may have cut it (no
  // length, no framing, no close_notify).
  bool ReadBody(const TBodyWire& Wire, const TBodyFields& To, CmdType Cmd, int Status,
                std::int64_t Total);

  // The last head read, or taken: its status, Location, cookie, length and coding.
  const TReplyHead& Head() const { return FHead; }
  // Takes Head as the reply's, in place of one read.
  void TakeHead(TReplyHead Head) { FHead = std::move(Head); }

  // The first content coding of the head that no decoder knows, for a reply that has a
  // body (not to HEAD, no 204 or 304, no length of 0); "" when there is none.
  std::string UnknownCoding(CmdType Cmd, int Status, std::int64_t Total) const;
  // The last body read was decoded; its decoded bytes kept, written or sunk, however it
  // ended.
  bool Decoded() const { return FDecoded; }
  std::int64_t DecodedBytes() const { return FDecodedBytes; }
  // The last body read ended where the reply's framing said (its length, its last chunk
  // with nothing after it in the same receive, or no body at all), not by the close.
  bool EndedByFraming() const { return FFramed; }
  // The body has arrived whole by its announced length, or the reply has none.
  bool Complete(CmdType Cmd, int Status, std::int64_t Recvd, std::int64_t Total) const;
  // The body ended before the Content-Length its head announced.
  bool Short(CmdType Cmd, int Status, std::int64_t Recvd, std::int64_t Total) const;
  // Peeked, the first bytes of what the server sent while the body was still being sent,
  // are its answer: anything but an interim status line ("100 Continue").
  static bool EndsSend(std::string_view Peeked);

 private:
  // Receives the body through a TBodyOutput: at most Announced raw bytes (0 reads none) or,
  // with -1, until the close or the end of a chunked body's framing.
  void CaptureBody(const TBodyWire& Wire, const TBodyFields& To, std::int64_t Announced,
                   bool Chunked, TContentDecoder* Decoder);
  // The reply has a body its framing gives bytes to: none to HEAD, 204, 304 or a length of 0.
  bool HasBody(CmdType Cmd, int Status, std::int64_t Total) const;

  TReplyHead FHead;
  bool FDecoded = false;
  std::int64_t FDecodedBytes = 0;
  bool FFramed = false;
  bool FOverran = false;
  // The room each line is read into, kept from reply to reply.
  std::string FLine;
};
