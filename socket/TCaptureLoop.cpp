// TCaptureLoop: receives, the look-ahead's handed-out bytes dropped on the way, and the counts.
#include "socket/TCaptureLoop.h"

#include <algorithm>

#include "platform/WinSock.h"

void TCaptureLoop::Run(const TReceiveTarget& Target, TCallRef<bool()> WantMore) {
  // The lines ReadLn handed out from its look-ahead are still in the transport: the first
  // receive drops them along with the data that follows, when its room holds both. The
  // peeked bytes themselves are not needed any more, and their buffer may be overwritten.
  FLines.LookAhead().ForgetPeeked();
  FSincePump = 0;
  while (!FHost.Canceled() && WantMore())
    if (!ReceiveOnce(Target)) break;
  FLines.Settle(FHost, FWire);  // a capture that took nothing leaves the transport as ReadLn would
}

bool TCaptureLoop::ReceiveOnce(const TReceiveTarget& Target) {
  TLineLookAhead& Ahead = FLines.LookAhead();
  char* Room = nullptr;
  std::size_t Size = 0;
  std::size_t Wanted = 0;
  Target.Room(Room, Size, Wanted);
  Size = std::min(Size, FSizes.Receive);
  // The lines handed out before still come first: one receive takes them and what is wanted
  // after them when the room holds both, else what room is left after them; a room they fill
  // alone has them dropped first.
  if (Ahead.Used() >= Size) FLines.Settle(FHost, FWire);
  Size = std::min(Size, Ahead.Used() + std::min(Wanted, Size));
  int Received = FWire.Receive(Room, static_cast<int>(Size), 0);
  const char* Data = Room;
  if (Received > 0 && Ahead.Used() > 0) {
    // They were peeked before, so they are all there.
    const std::size_t Dropped = std::min(Ahead.Used(), static_cast<std::size_t>(Received));
    Ahead.Dropped(Dropped);
    Data += Dropped;
    Received -= static_cast<int>(Dropped);
    if (Received == 0) return true;
  }
  Target.Take(Data, Received > 0 ? static_cast<std::size_t>(Received) : 0);
  if (Received == 0) return false;  // the peer closed
  if (Received > 0) {
    FHost.Told(Data, static_cast<std::size_t>(Received));
    Count(static_cast<std::size_t>(Received));
    return true;
  }
  const int Error = FHost.KeepLastError();
  if (Error == win::WSAENOTCONN) return false;  // closed, and the socket replaced
  // A reset once the reply is whole by its own framing takes nothing from it.
  if ((Error == win::WSAECONNRESET || Error == win::WSAECONNABORTED) && FHost.ResetEnds())
    return false;
  FHost.RaiseError(TSockStep::ssReceive);
  FSincePump = 0;
  FHost.AwaitData();
  return true;
}

void TCaptureLoop::Count(std::size_t Received) {
  // Progress is told by blocks, as if each had been received alone.
  std::size_t Left = Received;
  while (Left > 0) {
    const std::size_t Block = std::min(Left, FSizes.Block);
    Left -= Block;
    FHost.Counted(Block, true);
    if (FHost.Canceled()) {
      FHost.Counted(Left, false);  // kept all the same
      break;
    }
  }
  // Letting messages flow after every block would cost more calls than the receive; every
  // few blocks still lets a cancel or the time-out in within a few blocks.
  FSincePump += Received;
  if (FSincePump >= FSizes.PumpEvery && !FHost.Canceled()) {
    FSincePump = 0;
    FHost.Pump();
  }
}
