// The byte stream under TQuaywire: what every reader and writer of the component goes through,
// whether the bytes travel in the clear or inside TLS.
#pragma once

#include <cstddef>

#include "platform/WinSock.h"

// One connection's bytes, both ways. Returns and errors are those of the platform's send and
// recv: the count, 0 for the end of the peer's data, or -1 with the platform's last error set
// (WSAEWOULDBLOCK when nothing can move now).
class TTransport {
 public:
  virtual ~TTransport() = default;

  // Starts connecting to To without waiting: connect's returns.
  virtual int Connect(const win::SOCKADDR_INET& To) = 0;
  // Up to Size bytes of what the peer sent that are there now; MSG_PEEK leaves them for the
  // next receive.
  virtual int Receive(char* Buffer, int Size, int Flags) = 0;
  // Sends up to Count bytes; Flags as send takes them (MSG_MORE). After -1 with
  // WSAEWOULDBLOCK the same bytes must be offered again: a transport may have taken them in
  // already and only be waiting to pass them on.
  virtual int Send(const char* Data, int Count, int Flags) = 0;
  // The bytes offered last will not be offered again (a cancel or the peer's answer stopped
  // the send): what the transport took of them goes out ahead of the next bytes sent.
  virtual void SendGivenUp() {}
  // Bytes the transport holds that the socket no longer shows (its notifications will not tell
  // of them): a wait for the peer's data must not block while this is true.
  virtual bool Pending() const = 0;
  // Bytes that wait to be received without a receive: those the socket shows and those the
  // transport holds (at least 1 for held bytes it cannot count).
  virtual std::size_t Waiting() const = 0;
  // Ends the transport's own part of the connection without waiting (TLS's close_notify, while
  // Connected); true when it had such a part. The socket itself is closed by its owner.
  virtual bool Close(bool Connected) = 0;
  // After a send's -1 with WSAEWOULDBLOCK: what holds the bytes back is the peer (a window of
  // its flow control that it has to open), not the socket's room; the send loop then waits
  // for the peer's data instead of room, which the socket has and would report at once.
  virtual bool AwaitsPeer() const { return false; }
};

// A transport over the connection's transport: a protocol that frames the connection's
// bytes in its own way and hands its owner one message's bytes at a time. It goes on over
// whatever the connection's transport is once the connection moves (Over).
class TUpperTransport : public TTransport {
 public:
  virtual void Over(TTransport& Below) = 0;
  // Between messages: takes what came while the connection was idle, and says whether it can
  // still carry the next message.
  virtual bool Standing() = 0;
};
