// TQuaywire's data transfer: blocks, texts and lines out; lines, files and strings in.
//
// The socket is non-blocking. Each loop tries its socket call; when the call would block it
// waits for the next event (data, room to send, a message, the time-out) and dispatches the
// pending messages, so the time-out, the notifications and a user's Cancel take effect.
#include <algorithm>
#include <cstring>

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
    FQ.TimerOn();
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
    SendWhole(Scope, Buffer, Total, [](int) {});
  }
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket send aborted");
  }
}

void TQuaywire::SendWhole(const TWaitScope& Scope, const char* Data, std::size_t Count,
                          const std::function<void(int)>& Sent) {
  std::size_t Done = 0;
  while (Done < Count && !Canceled) {
    const int N = win::send(SocketHandle, Data + Done, static_cast<int>(Count - Done), 0);
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

void TQuaywire::Writeln(const std::string& Text) {
  StatusMessage(8, "Writeln");
  Write(Text + "\r\n");
}

std::string TQuaywire::ReadLn() {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "ReadLn");
  const TTimeOutScope TimeOutScope(*this, FAlive);
  // IOBuffer holds, from its start, every byte of the line peeked so far; the first Held of
  // them are already consumed into Line.
  std::string Line;
  std::size_t Held = 0;
  std::size_t LineEnd = 0;
  bool Found = false;
  for (;;) {
    if (Held == IOBufferData) throw ESockError("Line too long: no line end within 65536 bytes");
    const int Peeked = win::recv(SocketHandle, IOBuffer.data() + Held,
                                 static_cast<int>(IOBufferData - Held), MSG_PEEK);
    if (Peeked == 0) return {};  // the peer closed; a partial line is lost
    if (Peeked > 0) {
      const auto* Lf = static_cast<const char*>(
          std::memchr(IOBuffer.data() + Held, '\n', static_cast<std::size_t>(Peeked)));
      if (Lf != nullptr) {
        LineEnd = static_cast<std::size_t>(Lf - IOBuffer.data());
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
  if (!Found) return {};  // not connected: there is no line end to build a line from
  Line.resize(LineEnd + 1);
  while (Held < LineEnd + 1) {
    const int Taken =
        win::recv(SocketHandle, Line.data() + Held, static_cast<int>(LineEnd + 1 - Held), 0);
    if (Taken <= 0) {
      // The bytes were peeked a moment ago; only a reset can take them away.
      TransferError();
      std::string Msg;
      CheckSocketError(WouldBlock, Msg);
      throw ESockError("Socket readln failed: the connection lost a peeked line");
    }
    Held += static_cast<std::size_t>(Taken);
  }
  return Line;
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

void TQuaywire::ReceiveUntilClosed(const TWaitScope& Scope,
                                   const std::function<void(const char*, int)>& Take,
                                   const std::function<bool()>& WantMore) {
  while (!Canceled && WantMore()) {
    const int Received = win::recv(SocketHandle, IOBuffer.data(), IOBufferData, 0);
    if (Received == 0) return;  // the peer closed
    if (Received > 0) {
      Take(IOBuffer.data(), Received);
      BytesRecvd += Received;
      if (!Fire(OnPacketRecvd, this)) throw EComponentDestroyed();
      TimerOn();  // a running countdown goes on: the time-out counts from the start
      PumpMessages(Scope);
      continue;
    }
    LastErrorNo = TransferError();
    if (LastErrorNo == win::WSAENOTCONN) return;  // closed, and the socket replaced
    std::string Msg;
    CheckSocketError(WouldBlock, Msg);
    WaitForEvent(Scope);
  }
}

void TQuaywire::CaptureFile(const std::string& FileName) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "CaptureFile");
  BytesRecvd = 0;
  const TTimeOutScope TimeOutScope(*this, FAlive);
  {
    TFileStream File(FileName, TFileMode::fmCreate);
    ReceiveUntilClosed(
        Scope, [&](const char* Data, int Count) { File.WriteBuffer(Data, Count); },
        [] { return true; });
  }
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket send aborted");
  }
}

void TQuaywire::CaptureString(std::string& Text, std::int32_t MaxLength) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "Capture String");
  Text.clear();
  BytesRecvd = 0;
  const TTimeOutScope TimeOutScope(*this, FAlive);
  // The length is tested before each receive and blocks are kept whole, so the text may
  // end longer than MaxLength.
  ReceiveUntilClosed(
      Scope,
      [&](const char* Data, int Count) { Text.append(Data, static_cast<std::size_t>(Count)); },
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
