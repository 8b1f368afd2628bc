// TLineReader: lines peeked from the transport, the look-ahead, and its settling.
#include "socket/TLineReader.h"

#include <algorithm>
#include <cstring>

#include "platform/WinSock.h"

std::size_t TLineReader::NextHeldLine() const {
  const std::size_t Length = FLookAhead.NextLine();
  return Length == FLookAhead.Left() ? 0 : Length;
}

bool TLineReader::FromLookAhead(TTransferHost& Host, TTransport& Wire, std::string& Line) {
  const std::size_t Length = FLookAhead.NextLine();
  if (Length == 0) {
    // No whole line left; and the handed-out bytes a capture ended before dropping go too.
    Settle(Host, Wire);
    return false;
  }
  // As when the line is peeked afresh: a cancel made before ends the call, line unread.
  Host.StopIfCanceled("Socket readln aborted", TSockStep::ssReceive);
  FLookAhead.HandOut(Length, Line);
  SettleIfUsedUp(Host, Wire);
  return true;
}

void TLineReader::FromTransport(TTransferHost& Host, TTransport& Wire, std::string& Line) {
  // The buffer holds, from its start, every byte of the line peeked so far; the first Held of
  // them are already consumed into Line.
  std::size_t Held = 0;
  for (;;) {
    if (Held == FSize) throw ELineTooLong();
    const int Peeked = Wire.Receive(FBuffer + Held, static_cast<int>(FSize - Held), MSG_PEEK);
    if (Peeked == 0) {  // the peer closed; a partial line is lost
      Line.clear();
      return;
    }
    if (Peeked > 0) {
      const auto Count = static_cast<std::size_t>(Peeked);
      const auto* Lf = static_cast<const char*>(std::memchr(FBuffer + Held, '\n', Count));
      if (Lf != nullptr) {
        Host.StopIfCanceled("Socket readln aborted", TSockStep::ssReceive);
        // The rest of the line is taken from what was peeked; the transport gives the bytes
        // up when they are settled. The lines that follow in the same peek are found there
        // too, so a header block costs one peek instead of a peek and a receive per line.
        const auto Taken = static_cast<std::size_t>(Lf - FBuffer) + 1 - Held;
        Line.append(FBuffer + Held, Taken);
        FLookAhead.Hold(Held, Held + Count, Taken);
        SettleIfUsedUp(Host, Wire);
        return;
      }
      Line.resize(Held + Count);
      const int Received = Wire.Receive(Line.data() + Held, Peeked, 0);
      if (Received < 0) Host.RaiseError(TSockStep::ssReceive);
      Held += static_cast<std::size_t>(std::max(Received, 0));
      Line.resize(Held);
      Host.Pump();
    } else {
      if (Host.KeepLastError() == win::WSAENOTCONN) break;
      Host.RaiseError(TSockStep::ssReceive);
      if (!Host.AwaitData()) break;  // a cancel made before the wait ends it without waiting
    }
    if (Host.Canceled()) break;
  }
  Host.StopIfCanceled("Socket readln aborted", TSockStep::ssReceive);
  Line.clear();  // not connected: there is no line end to build a line from
}

void TLineReader::SettleIfUsedUp(TTransferHost& Host, TTransport& Wire) {
  // Once every peeked byte is handed out the transport must be drained as far as they go: the
  // peer's close is told only when nothing is left unread, and nothing is.
  if (FLookAhead.UsedUp()) Settle(Host, Wire);
}

void TLineReader::Settle(TTransferHost& Host, TTransport& Wire) {
  std::size_t Left = FLookAhead.Release();
  while (Left > 0) {
    const int Taken = Wire.Receive(FBuffer, static_cast<int>(Left), 0);
    if (Taken <= 0) {
      // The bytes were peeked before; only a reset can take them away.
      Host.RaiseError(TSockStep::ssReceive);
      throw ESockError("Socket read failed: the connection lost bytes already peeked",
                       TSockStep::ssReceive);
    }
    Left -= static_cast<std::size_t>(Taken);
  }
}
