// TQuaywire's sending and line reading: blocks, texts, lines and files out; lines in, with
// ReadLn's look-ahead; Transaction.
//
// The socket is non-blocking. Each loop tries its socket call; when the call would block it
// waits for the next event (data, room to send, a message, the time-out) and dispatches the
// pending messages, so the time-out, the notifications and a user's Cancel take effect.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "base/TFileStream.h"
#include "socket/TQuaywire.h"

namespace {

constexpr std::uint16_t WouldBlock = win::WSAEWOULDBLOCK;
constexpr std::size_t MaxSendBlock = 65535;  // SendBuffer's length is 16 bits

}  // namespace

TQuaywire::TTransferScope::TTransferScope(TQuaywire& Owner)
    : FGuard(
          [&Owner] {
            // Handlers run inside a transfer's waits; one that starts another transfer on
            // the same component would share IOBuffer and the flags with it.
            if (Owner.FTransferRunning)
              throw ESockError(
                  "Cannot start a transfer: another transfer of this component is running");
            Owner.FTransferRunning = true;
            return Owner.FAlive;
          }(),
          [&Owner] { Owner.FTransferRunning = false; }) {}

TQuaywire::TTransferTimeOut::TTransferTimeOut(TQuaywire& Owner, bool Quiet)
    : FGuard(
          [&Owner, Quiet] {
            Owner.StartTimeOut(Quiet);
            return Owner.FAlive;
          }(),
          [&Owner, Quiet] { Owner.TimerOff(Quiet); }) {}

int TQuaywire::TransferError() {
  int Error = win::WSAGetLastError();
  if (Error == win::WSAENOTCONN && FBrokenError != 0) {
    Error = FBrokenError;
    win::WSASetLastError(Error);
  }
  return Error;
}

void TQuaywire::SendBuffer(const char* Buffer, std::uint16_t Length) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(4, "Sending Buffer");
  const TTransferTimeOut Armed(*this);
  if (!Canceled) {
    const std::size_t Total = Length != 0 ? Length : strnlen(Buffer, MaxSendBlock);
    SendWhole(
        Scope, Buffer, Total, [](int) {}, FMoreFollows ? MSG_MORE : 0);
  }
  ThrowIfCanceled("Socket send aborted", TSockStep::ssSend);
}

void TQuaywire::SendWhole(const TWaitScope& Scope, const char* Data, std::size_t Count,
                          const std::function<void(int)>& Sent, int Flags) {
  // A connection that had a session sends through it, or not at all: never in the clear.
  if (FTls) {
    TlsSendWhole(Scope, Data, Count, Sent, Flags);
    return;
  }
  std::size_t Done = 0;
  while (Done < Count && !Canceled && !FSendCutShort) {
    const int N = win::send(SocketHandle, Data + Done, static_cast<int>(Count - Done), Flags);
    if (N == 0) return;
    if (N > 0) {
      Done += static_cast<std::size_t>(N);
      Sent(N);
      continue;
    }
    if (PeerAnswered(TransferError())) return;
    std::string Msg;
    CheckSocketError(WouldBlock, Msg, TSockStep::ssSend);
    // No room: wait for it (or for the time-out or a cancel) with messages flowing.
    win::RequestWriteWake(SocketHandle);
    AwaitEvent(Scope);
  }
}

bool TQuaywire::PeerAnswered(int Error) {
  // Only a send that cannot go on asks: one that goes through costs no extra call. A
  // connection the peer reset still holds what it sent before, for the readers.
  const bool Stuck =
      Error == WouldBlock || Error == win::WSAECONNRESET || Error == win::WSAECONNABORTED;
  const bool Answered = Stuck && UnreadWaiting() && AnswerEndsSend();
  win::WSASetLastError(Error);  // for CheckSocketError, whatever the question cost
  if (!Answered) return false;
  FSendCutShort = true;
  StatusMessage(8, "Send stopped: the peer has answered");
  return true;
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
  const TAliveGuard NoHint(FAlive, [this] { FMoreFollows = false; });
  FMoreFollows = true;
  Write(Text);
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
  if (QuickReadLn(Line)) return;
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  OpenReadLn(true);
  const TAliveGuard Disarm(FAlive, [this] { TimerOff(); });
  if (LineFromLookAhead(Line)) return;
  ReadLnFromSocket(Scope, Line);
}

void TQuaywire::OpenReadLn(bool Counted) {
  StatusMessage(8, "ReadLn");
  if (Counted)
    StartTimeOut();
  else
    ResetTimeOut();
}

bool TQuaywire::QuickReadLn(std::string& Line) {
  // A handler could see the scopes or start something; a cancel, a bad time-out or a line
  // that uses the look-ahead up (its bytes are then received) take the full path.
  if (FTransferRunning || Canceled || TimeOut < 0) return false;
  if (ReportLevel >= 8 && OnStatus) return false;
  const std::size_t Length = FLookAhead.NextLine();
  if (Length == 0 || Length == FLookAhead.Left()) return false;
  // What the full path leaves, through the same calls: its status texts, TimedOut cleared
  // and the time-out stopped (a running one too, as TimerOff stops it).
  OpenReadLn(false);
  FLookAhead.HandOut(Length, Line);
  TimerOff();
  return true;
}

bool TQuaywire::LineFromLookAhead(std::string& Line) {
  const std::size_t Length = FLookAhead.NextLine();
  if (Length == 0) {
    // No whole line left; and the handed-out bytes a capture ended before dropping go too.
    SettleLookAhead();
    return false;
  }
  // As when the line is peeked afresh: a cancel made before ends the call, line unread.
  ThrowIfCanceled("Socket readln aborted", TSockStep::ssReceive);
  FLookAhead.HandOut(Length, Line);
  SettleIfUsedUp();
  return true;
}

void TQuaywire::ReadLnFromSocket(const TWaitScope& Scope, std::string& Line) {
  // IOBuffer holds, from its start, every byte of the line peeked so far; the first Held of
  // them are already consumed into Line.
  std::size_t Held = 0;
  for (;;) {
    if (Held == IOBufferData) throw ELineTooLong();
    const int Peeked =
        ReceiveData(IOBuffer.data() + Held, static_cast<int>(IOBufferData - Held), MSG_PEEK);
    if (Peeked == 0) {  // the peer closed; a partial line is lost
      Line.clear();
      return;
    }
    if (Peeked > 0) {
      const auto Count = static_cast<std::size_t>(Peeked);
      const auto* Lf = static_cast<const char*>(std::memchr(IOBuffer.data() + Held, '\n', Count));
      if (Lf != nullptr) {
        ThrowIfCanceled("Socket readln aborted", TSockStep::ssReceive);
        // The rest of the line is taken from what was peeked; the socket gives the bytes up
        // when they are settled. The lines that follow in the same peek are found there
        // too, so a header block costs one peek instead of a peek and a receive per line.
        const auto Taken = static_cast<std::size_t>(Lf - IOBuffer.data()) + 1 - Held;
        Line.append(IOBuffer.data() + Held, Taken);
        FLookAhead.Hold(Held, Held + Count, Taken);
        SettleIfUsedUp();
        return;
      }
      Line.resize(Held + Count);
      const int Received = ReceiveData(Line.data() + Held, Peeked, 0);
      if (Received < 0) {
        std::string Msg;
        CheckSocketError(WouldBlock, Msg, TSockStep::ssReceive);
      }
      Held += static_cast<std::size_t>(std::max(Received, 0));
      Line.resize(Held);
      PumpMessages(Scope);
    } else {
      LastErrorNo = TransferError();
      if (LastErrorNo == win::WSAENOTCONN) break;
      std::string Msg;
      CheckSocketError(WouldBlock, Msg, TSockStep::ssReceive);
      if (!AwaitEvent(Scope)) break;  // a cancel made before the wait ends it without waiting
    }
    if (Canceled) break;
  }
  ThrowIfCanceled("Socket readln aborted", TSockStep::ssReceive);
  Line.clear();  // not connected: there is no line end to build a line from
}

void TQuaywire::SettleIfUsedUp() {
  // Once every peeked byte is handed out the socket must be drained as far as they go: the
  // peer's close is told only when nothing is left unread, and nothing is.
  if (FLookAhead.UsedUp()) SettleLookAhead();
}

void TQuaywire::SettleLookAhead() {
  std::size_t Left = FLookAhead.Release();
  while (Left > 0) {
    const int Taken = ReceiveData(IOBuffer.data(), static_cast<int>(Left), 0);
    if (Taken <= 0) {
      // The bytes were peeked before; only a reset can take them away.
      TransferError();
      std::string Msg;
      CheckSocketError(WouldBlock, Msg, TSockStep::ssReceive);
      throw ESockError("Socket read failed: the connection lost bytes already peeked",
                       TSockStep::ssReceive);
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
    while (File.Position() < Size && !Canceled && !FSendCutShort) {
      const std::int64_t Block = File.Read(IOBuffer.data(), IOBufferData);
      if (Block <= 0) break;  // the file shrank under us
      // Each block is bounded by TimeOut, as SendBuffer's own arming bounds its block.
      // Quietly: the timer's status texts are no part of SendFile's.
      const TTransferTimeOut Armed(*this, true);
      SendWhole(Scope, IOBuffer.data(), static_cast<std::size_t>(Block), [&](int Sent) {
        BytesSent += Sent;
        FireOrStop(OnPacketSent, this);
        PumpMessages(Scope);
      });
    }
  }
  ThrowIfCanceled("Socket send aborted", TSockStep::ssSend);
}
