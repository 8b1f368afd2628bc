// The send loop: the transport's send, and a wait for room when it has none.
#include "socket/SendLoop.h"

#include "platform/WinSock.h"

void SendAll(TTransferHost& Host, TTransport& Wire, const char* Data, std::size_t Count,
             const std::function<void(int)>& Sent, int Flags) {
  std::size_t Done = 0;
  // However the loop ends before the last byte (a cancel, the peer's answer, an error), the
  // transport hears that the bytes it waits to see again will not come.
  struct TGiveUp {
    TTransport& Wire;
    const std::size_t& Done;
    std::size_t Count;
    ~TGiveUp() {
      if (Done < Count) Wire.SendGivenUp();
    }
  } const GiveUp{Wire, Done, Count};
  while (Done < Count && !Host.Canceled() && !Host.CutShort()) {
    const int N = Wire.Send(Data + Done, static_cast<int>(Count - Done), Flags);
    if (N == 0) return;
    if (N > 0) {
      Done += static_cast<std::size_t>(N);
      Sent(N);
      continue;
    }
    if (Host.Answered(win::WSAGetLastError())) return;
    Host.RaiseError(TSockStep::ssSend);
    // No room: wait for it (or for the time-out or a cancel) with messages flowing; or, when
    // the peer holds the bytes back, for what it sends next.
    if (Wire.AwaitsPeer())
      Host.AwaitData();
    else
      Host.AwaitRoom();
  }
}
