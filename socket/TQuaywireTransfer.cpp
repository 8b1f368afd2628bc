// TQuaywire's data transfer: blocks, texts and lines out; lines, files and strings in.
//
// The socket is non-blocking. Each loop tries its socket call; when the call would block it
// waits for the next event (data, room to send, a message, the time-out) and dispatches the
// pending messages, so the time-out, the notifications and a user's Cancel take effect.
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "base/TFileStream.h"
#include "socket/TQuaywire.h"

namespace {

constexpr std::uint16_t WouldBlock = win::WSAEWOULDBLOCK;
constexpr std::size_t MaxSendBlock = 65535;  // SendBuffer's length is 16 bits

// Disarms the time-out on every way out of a transfer, unless the component is gone.
class TTimeOutScope {
 public:
  TTimeOutScope(TQuaywire& Q, std::shared_ptr<bool> Alive) : FQ(Q), FAlive(std::move(Alive)) {
    FQ.StartTimeOut();
  }
  ~TTimeOutScope() {
    if (!*FAlive) return;
    try {
      FQ.TimerOff();
    } catch (...) {
      // A status handler that frees the component while an error unwinds: nothing left.
    }
  }
  TTimeOutScope(const TTimeOutScope&) = delete;
  TTimeOutScope& operator=(const TTimeOutScope&) = delete;

 private:
  TQuaywire& FQ;
  std::shared_ptr<bool> FAlive;
};

// Bounds one block of SendFile by TimeOut, as SendBuffer's own arming bounds its block, and
// disarms on every way out. Quietly: the timer's status texts are no part of SendFile's.
class TBlockTimeOut {
 public:
  TBlockTimeOut(TQuaywire& Q, std::shared_ptr<bool> Alive) : FQ(Q), FAlive(std::move(Alive)) {
    if (FQ.TimeOut < 0) throw ERangeError("Range check error");
    FQ.TimedOut = false;
    FQ.Timer->SetInterval(static_cast<std::uint32_t>(FQ.TimeOut));
    FQ.Timer->SetEnabled(true);
  }
  ~TBlockTimeOut() {
    if (*FAlive && FQ.Timer != nullptr) FQ.Timer->SetEnabled(false);
  }
  TBlockTimeOut(const TBlockTimeOut&) = delete;
  TBlockTimeOut& operator=(const TBlockTimeOut&) = delete;

 private:
  TQuaywire& FQ;
  std::shared_ptr<bool> FAlive;
};

}  // namespace

TQuaywire::TTransferScope::TTransferScope(TQuaywire& Owner) : FOwner(Owner), FAlive(Owner.FAlive) {
  // Handlers run inside a transfer's waits; one that starts another transfer on the same
  // component would share IOBuffer and the flags with it.
  if (FOwner.FTransferRunning)
    throw ESockError("Cannot start a transfer: another transfer of this component is running");
  FOwner.FTransferRunning = true;
}

TQuaywire::TTransferScope::~TTransferScope() {
  if (*FAlive) FOwner.FTransferRunning = false;
}

void TQuaywire::SendBuffer(const char* Buffer, std::uint16_t Length) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(4, "Sending Buffer");
  const TTimeOutScope TimeOutScope(*this, FAlive);
  if (!Canceled) {
    const std::size_t Total = Length != 0 ? Length : strnlen(Buffer, MaxSendBlock);
    SendWhole(
        Scope, Buffer, Total, [](int) {}, FMoreFollows ? MSG_MORE : 0);
  }
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket send aborted");
  }
}

void TQuaywire::SendWhole(const TWaitScope& Scope, const char* Data, std::size_t Count,
                          const std::function<void(int)>& Sent, int Flags) {
  std::size_t Done = 0;
  while (Done < Count && !Canceled) {
    const int N = win::send(SocketHandle, Data + Done, static_cast<int>(Count - Done), Flags);
    if (N == 0) return;
    if (N > 0) {
      Done += static_cast<std::size_t>(N);
      Sent(N);
      continue;
    }
    TransferError();
    std::string Msg;
    CheckSocketError(WouldBlock, Msg);
    // No room: wait for it (or for the time-out or a cancel) with messages flowing.
    win::RequestWriteWake(SocketHandle);
    WaitForEvent(Scope);
  }
}

void TQuaywire::Write(const std::string& Text) {
  StatusMessage(8, "Write");
  // What is sent ends at the first NUL; longer texts go in pieces that fit SendBuffer. The
  // pieces come from a copy of our own, not IOBuffer: SendBuffer lets messages flow while
  // the socket is full, and neither a handler nor the caller's string may change them.
  const std::string Data = Text.substr(0, Text.find('\0'));
  std::size_t Offset = 0;
  do {
    const std::size_t Piece = std::min(Data.size() - Offset, MaxSendBlock);
    SendBuffer(Data.c_str() + Offset, static_cast<std::uint16_t>(Piece));
    Offset += Piece;
  } while (Offset < Data.size());
}

void TQuaywire::WriteMore(const std::string& Text) {
  const std::shared_ptr<bool> Alive = FAlive;
  FMoreFollows = true;
  try {
    Write(Text);
  } catch (...) {
    if (*Alive) FMoreFollows = false;
    throw;
  }
  FMoreFollows = false;
}

void TQuaywire::Writeln(const std::string& Text) {
  StatusMessage(8, "Writeln");
  Write(Text + "\r\n");
}

std::string TQuaywire::ReadLn() {
  std::string Line;
  ReadLnInto(Line);
  return Line;
}

void TQuaywire::ReadLnInto(std::string& Line) {
  Line.clear();
  if (QuickLineFromLookAhead(Line)) return;
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "ReadLn");
  const TTimeOutScope TimeOutScope(*this, FAlive);
  if (LineFromLookAhead(Line)) return;
  // IOBuffer holds, from its start, every byte of the line peeked so far; the first Held of
  // them are already consumed into Line.
  std::size_t Held = 0;
  std::size_t LineEnd = 0;
  std::size_t PeekEnd = 0;
  bool Found = false;
  for (;;) {
    if (Held == IOBufferData) throw ESockError("Line too long: no line end within 65536 bytes");
    const int Peeked = win::recv(SocketHandle, IOBuffer.data() + Held,
                                 static_cast<int>(IOBufferData - Held), MSG_PEEK);
    if (Peeked == 0) {  // the peer closed; a partial line is lost
      Line.clear();
      return;
    }
    if (Peeked > 0) {
      const auto* Lf = static_cast<const char*>(
          std::memchr(IOBuffer.data() + Held, '\n', static_cast<std::size_t>(Peeked)));
      if (Lf != nullptr) {
        LineEnd = static_cast<std::size_t>(Lf - IOBuffer.data());
        PeekEnd = Held + static_cast<std::size_t>(Peeked);
        Found = true;
        break;
      }
      Line.resize(Held + static_cast<std::size_t>(Peeked));
      const int Taken = win::recv(SocketHandle, Line.data() + Held, Peeked, 0);
      if (Taken < 0) {
        std::string Msg;
        CheckSocketError(WouldBlock, Msg);
      }
      Held += static_cast<std::size_t>(std::max(Taken, 0));
      Line.resize(Held);
      PumpMessages(Scope);
    } else {
      LastErrorNo = TransferError();
      if (LastErrorNo == win::WSAENOTCONN) break;
      std::string Msg;
      CheckSocketError(WouldBlock, Msg);
      if (Canceled) break;  // a cancel made before the wait ends it without waiting
      WaitForEvent(Scope);
    }
    if (Canceled) break;
  }
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket readln aborted");
  }
  if (!Found) {  // not connected: there is no line end to build a line from
    Line.clear();
    return;
  }
  // The rest of the line is taken from what was peeked; the socket gives the bytes up when
  // they are settled. The lines that follow in the same peek are found there too, so a
  // header block costs one peek instead of a peek and a receive per line.
  Line.append(IOBuffer.data() + Held, LineEnd + 1 - Held);
  FAheadBegin = Held;
  FAheadEnd = PeekEnd;
  FAheadUsed = LineEnd + 1 - Held;
  SettleIfUsedUp();
}

bool TQuaywire::QuickLineFromLookAhead(std::string& Line) {
  // A handler could see the scopes or start something; a cancel, a bad time-out or a line
  // that uses the look-ahead up (its bytes are then received) take the full path.
  if (FAheadEnd == FAheadBegin || FTransferRunning || Canceled || TimeOut < 0) return false;
  if (ReportLevel >= 8 && OnStatus) return false;
  const char* Next = IOBuffer.data() + FAheadBegin + FAheadUsed;
  const std::size_t Left = FAheadEnd - FAheadBegin - FAheadUsed;
  const auto* Lf = static_cast<const char*>(std::memchr(Next, '\n', Left));
  if (Lf == nullptr) return false;
  const auto Length = static_cast<std::size_t>(Lf - Next) + 1;
  if (Length == Left) return false;
  // What the full path leaves: LastStatus as its texts set it, TimedOut cleared and the
  // time-out stopped (a running one too, as TimerOff stops it).
  StatusMessage(8, "ReadLn");
  StatusMessage(8, "Timer On");
  StatusMessage(8, "Timer Off");
  TimedOut = false;
  FTimeOutRunning = false;
  if (Timer != nullptr) Timer->SetEnabled(false);
  Line.assign(Next, Length);
  FAheadUsed += Length;
  return true;
}

bool TQuaywire::LineFromLookAhead(std::string& Line) {
  if (FAheadEnd == FAheadBegin) {
    SettleLookAhead();  // handed-out bytes a capture ended before dropping
    return false;
  }
  const char* Next = IOBuffer.data() + FAheadBegin + FAheadUsed;
  const std::size_t Left = FAheadEnd - FAheadBegin - FAheadUsed;
  const auto* Lf = static_cast<const char*>(std::memchr(Next, '\n', Left));
  if (Lf == nullptr) {
    SettleLookAhead();
    return false;
  }
  // As when the line is peeked afresh: a cancel made before ends the call, line unread.
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket readln aborted");
  }
  const auto Length = static_cast<std::size_t>(Lf - Next) + 1;
  Line.assign(Next, Length);
  FAheadUsed += Length;
  SettleIfUsedUp();
  return true;
}

void TQuaywire::SettleIfUsedUp() {
  // Once every peeked byte is handed out the socket must be drained as far as they go: the
  // peer's close is told only when nothing is left unread, and nothing is.
  if (FAheadUsed == FAheadEnd - FAheadBegin) SettleLookAhead();
}

void TQuaywire::SettleLookAhead() {
  std::size_t Left = FAheadUsed;
  DropLookAhead();
  while (Left > 0) {
    const int Taken = win::recv(SocketHandle, IOBuffer.data(), static_cast<int>(Left), 0);
    if (Taken <= 0) {
      // The bytes were peeked before; only a reset can take them away.
      TransferError();
      std::string Msg;
      CheckSocketError(WouldBlock, Msg);
      throw ESockError("Socket read failed: the connection lost bytes already peeked");
    }
    Left -= static_cast<std::size_t>(Taken);
  }
}

std::string TQuaywire::Transaction(const std::string& Command) {
  StatusMessage(8, "Transaction");
  ReplyNumber = 0;
  Writeln(Command);
  const std::string Reply = ReadLn();
  TransactionReply = Reply;
  if (!Reply.empty()) {
    StatusMessage(1, Reply);
    std::string Digits;
    for (char C : Reply) {
      if (C < '0' || C > '9' || Digits.size() == 10) break;
      Digits += C;
    }
    if (!Digits.empty()) {
      // A number that does not fit the 16-bit field is not a reply code: keep 0.
      const long long Value = std::stoll(Digits);
      ReplyNumber = Value <= INT16_MAX ? static_cast<std::int16_t>(Value) : 0;
    }
  }
  return TransactionReply;
}

void TQuaywire::SendFile(const std::string& FileName) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "SendFile");
  {
    SettleLookAhead();  // the blocks go through IOBuffer
    TFileStream File(FileName, TFileMode::fmOpenRead);
    const std::int64_t Size = File.Size();
    while (File.Position() < Size && !Canceled) {
      const std::int64_t Block = File.Read(IOBuffer.data(), IOBufferData);
      if (Block <= 0) break;  // the file shrank under us
      const TBlockTimeOut TimeOutScope(*this, FAlive);
      SendWhole(Scope, IOBuffer.data(), static_cast<std::size_t>(Block), [&](int Sent) {
        BytesSent += Sent;
        if (!Fire(OnPacketSent, this)) throw EComponentDestroyed();
        PumpMessages(Scope);
      });
    }
  }
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket send aborted");
  }
}

char* TQuaywire::CaptureBuffer() {
  // Not zeroed: every byte is received before it is read.
  if (!FCaptureBuffer) FCaptureBuffer.reset(new char[CaptureReceive]);
  return FCaptureBuffer.get();
}

void TQuaywire::ReceiveUntilClosed(const TWaitScope& Scope, const TReceiveTarget& Target,
                                   const std::function<bool()>& WantMore) {
  // The lines ReadLn handed out from its look-ahead are still in the socket (FAheadUsed
  // bytes): the first receive drops them along with the data that follows, when its room
  // holds both. The peeked bytes themselves are not needed any more, and IOBuffer may be
  // overwritten.
  FAheadBegin = FAheadEnd = 0;
  const auto Loop = [&] {
    std::size_t SincePump = 0;
    while (!Canceled && WantMore()) {
      char* Room = nullptr;
      std::size_t Size = 0;
      Target.Room(Room, Size);
      Size = std::min(Size, CaptureReceive);
      if (FAheadUsed >= Size) SettleLookAhead();
      int Received = win::recv(SocketHandle, Room, static_cast<int>(Size), 0);
      const char* Data = Room;
      if (Received > 0 && FAheadUsed > 0) {
        // They were peeked before, so they are all there.
        const std::size_t Dropped = std::min(FAheadUsed, static_cast<std::size_t>(Received));
        FAheadUsed -= Dropped;
        Data += Dropped;
        Received -= static_cast<int>(Dropped);
        if (Received == 0) continue;
      }
      Target.Take(Data, Received > 0 ? static_cast<std::size_t>(Received) : 0);
      if (Received == 0) return;  // the peer closed
      if (Received > 0) {
        // Progress is told by blocks of IOBufferData, as if each had been received alone.
        auto Left = static_cast<std::size_t>(Received);
        while (Left > 0) {
          const std::size_t Block = std::min(Left, IOBufferData);
          Left -= Block;
          BytesRecvd += static_cast<std::int64_t>(Block);
          if (!Fire(OnPacketRecvd, this)) throw EComponentDestroyed();
          StartTimeOut();  // a running countdown goes on: the time-out counts from the start
          if (Canceled) {
            BytesRecvd += static_cast<std::int64_t>(Left);  // kept all the same
            break;
          }
        }
        // Letting messages flow after every block would cost more calls than the receive;
        // every few blocks still lets a cancel or the time-out in within a few blocks.
        SincePump += static_cast<std::size_t>(Received);
        if (SincePump >= PumpEvery && !Canceled) {
          SincePump = 0;
          PumpMessages(Scope);
        }
        continue;
      }
      LastErrorNo = TransferError();
      if (LastErrorNo == win::WSAENOTCONN) return;  // closed, and the socket replaced
      std::string Msg;
      CheckSocketError(WouldBlock, Msg);
      SincePump = 0;
      WaitForEvent(Scope);
    }
  };
  Loop();
  SettleLookAhead();  // a capture that took nothing leaves the socket as ReadLn would
}

void TQuaywire::CaptureFile(const std::string& FileName) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "CaptureFile");
  BytesRecvd = 0;
  const TTimeOutScope TimeOutScope(*this, FAlive);
  {
    TFileStream File(FileName, TFileMode::fmCreate);
    char* const Buffer = CaptureBuffer();
    ReceiveUntilClosed(Scope,
                       {[&](char*& Target, std::size_t& Size) {
                          Target = Buffer;
                          Size = CaptureReceive;
                        },
                        [&](const char* Data, std::size_t Count) {
                          if (Count > 0) File.WriteBuffer(Data, static_cast<std::int64_t>(Count));
                        }},
                       [] { return true; });
  }
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket send aborted");
  }
}

namespace {

constexpr std::size_t MaxReservation = std::size_t{1} << 30;  // whatever a server announces
constexpr std::size_t LargeText = std::size_t{64} << 20;
constexpr std::size_t PrefaultStep = std::size_t{4} << 20;

// Fresh memory costs a fault per 4 KiB page at its first touch, and in a large capture those
// faults cost more than the copies. Asking the kernel to fill a few MiB of the room at once
// ahead of the data makes that one call instead of a thousand traps. The room past the data
// is never filled further ahead than that: a server's length may be a lie.
class TPrefault {
 public:
  void Ahead(std::string& Text, std::size_t Upto) {
#ifdef MADV_POPULATE_WRITE
    // A small room is cheaper to fault in than to ask for.
    if (FUnsupported || Text.capacity() < PrefaultStep) return;
    if (Text.data() != FBlock) {  // a new block: what the copy filled is filled
      FBlock = Text.data();
      FDone = Text.size();
    }
    if (Upto <= FDone) return;
    const std::size_t Page = 4096;
    const std::size_t End = std::min(Text.capacity(), std::max(Upto, FDone + PrefaultStep));
    const auto Base = reinterpret_cast<std::uintptr_t>(FBlock);
    const std::uintptr_t First = (Base + FDone) & ~(Page - 1);
    if (::madvise(reinterpret_cast<void*>(First), Base + End - First, MADV_POPULATE_WRITE) != 0 &&
        errno == EINVAL)
      FUnsupported = true;  // an older kernel: the pages fault in as they are written
    FDone = End;
#else
    (void)Text;
    (void)Upto;
#endif
  }

 private:
  const char* FBlock = nullptr;
  std::size_t FDone = 0;
  bool FUnsupported = false;
};

// Room for at least Need more bytes. Below LargeText the room doubles; above it grows by
// MaxReservation at a time, which costs address space but no memory until it is written,
// so that a body of unknown length is not copied again and again on its way (each copy
// holds the old and the new block at once).
void MakeRoom(std::string& Text, std::size_t Need) {
  const std::size_t Size = Text.size();
  if (Text.capacity() - Size >= Need) return;
  const std::size_t Doubled = std::max({Size + Need, 2 * Text.capacity(), CaptureReceive});
  if (Size + Need <= LargeText) {
    Text.reserve(Doubled);
  } else {
    try {
      Text.reserve(Size + Need + MaxReservation);
    } catch (const std::bad_alloc&) {
      Text.reserve(Doubled);  // no address space to spare: grow as strings do
    }
  }
}

}  // namespace

void TQuaywire::CaptureString(std::string& Text, std::int32_t MaxLength) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "Capture String");
  Text.clear();
  BytesRecvd = 0;
  const TTimeOutScope TimeOutScope(*this, FAlive);
  // Without a length limit, the receives take up to CaptureReceive bytes and the text's room
  // is reserved up front for the size the transfer is expected to have (BytesTotal), within
  // reason: the value may come from a server and be anything.
  const bool Direct = MaxLength == -1;
  if (Direct && BytesTotal > 0 && static_cast<std::size_t>(BytesTotal) > Text.capacity()) {
    try {
      Text.reserve(std::min(static_cast<std::size_t>(BytesTotal), MaxReservation));
    } catch (const std::bad_alloc&) {
      // The text grows as the data comes.
    }
  }
  TPrefault Prefault;
  char* const Buffer = Direct ? CaptureBuffer() : IOBuffer.data();
  const std::size_t BufferSize = Direct ? CaptureReceive : IOBufferData;
  // The length is tested before each receive and blocks are kept whole, so the text may
  // end longer than MaxLength.
  ReceiveUntilClosed(
      Scope,
      {[&](char*& Target, std::size_t& Size) {
         Target = Buffer;
         Size = BufferSize;
       },
       [&](const char* Data, std::size_t Count) {
         if (Count == 0) return;
         if (Direct) {
           MakeRoom(Text, Count);
           Prefault.Ahead(Text, Text.size() + Count);
         }
         Text.append(Data, Count);
       }},
      [&] { return MaxLength == -1 || static_cast<std::int64_t>(Text.size()) < MaxLength; });
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket capture aborted");
  }
}

std::uint16_t TQuaywire::Accept() {
  const TWaitScope Scope(*this);
  StatusMessage(4, "Accepting");
  while (!(WaitDone || Canceled)) WaitForEvent(Scope);
  if (Canceled) throw ESockError("Accepting Canceled");
  if (!EventSucceeded) throw ESockError("Error creating Data Connection");
  sockaddr_in Peer{};
  int PeerLength = sizeof Peer;
  const win::SOCKET Data =
      win::accept(SocketHandle, reinterpret_cast<sockaddr*>(&Peer), &PeerLength);
  if (Data == win::INVALID_SOCKET || Data >= NoSocket) {
    if (Data != win::INVALID_SOCKET) win::closesocket(Data);
    LastErrorNo = win::WSAGetLastError();
    std::string Text;
    LookupErrorMessage(static_cast<std::uint16_t>(LastErrorNo), Text);
    throw ESockError(Text.empty() ? "Accept failed: no data connection could be made"
                                  : "Accept failed: " + Text);
  }
  win::WSAAsyncSelect(Data, NotifyWindow, WM_SOCKET_EVENT, SocketEventMask);
  std::memcpy(&RemoteAddress, &Peer, sizeof RemoteAddress);
  if (Canceled) {
    Canceled = false;
    win::closesocket(Data);
    throw EAbortError("Socket send aborted");
  }
  return static_cast<std::uint16_t>(Data);
}
