// TQuaywire's captures: everything up to the end of the connection (or up to a bound) into a
// file or a string, with the receive loop they share (and that derived components use for
// bodies they decode as they arrive).
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "base/Exception.h"
#include "base/TFileStream.h"
#include "socket/TQuaywire.h"

namespace {

constexpr std::uint16_t WouldBlock = win::WSAEWOULDBLOCK;

// A receive's room when Left more bytes are wanted: the rest of the message is not asked for.
std::size_t RoomWithin(std::int64_t Left) {
  return static_cast<std::size_t>(std::min<std::int64_t>(Left, CaptureReceive));
}

}  // namespace

char* TQuaywire::CaptureBuffer() {
  // Not zeroed: every byte is received before it is read.
  if (!FCaptureBuffer) FCaptureBuffer.reset(new char[CaptureReceive]);
  return FCaptureBuffer.get();
}

void TQuaywire::ReceiveUntilClosed(const TWaitScope& Scope, const TReceiveTarget& Target,
                                   TCallRef<bool()> WantMore) {
  // The lines ReadLn handed out from its look-ahead are still in the socket: the first
  // receive drops them along with the data that follows, when its room holds both. The
  // peeked bytes themselves are not needed any more, and IOBuffer may be overwritten.
  FLookAhead.ForgetPeeked();
  std::size_t SincePump = 0;
  while (!Canceled && WantMore())
    if (!ReceiveOnce(Scope, Target, SincePump)) break;
  SettleLookAhead();  // a capture that took nothing leaves the socket as ReadLn would
}

bool TQuaywire::ReceiveOnce(const TWaitScope& Scope, const TReceiveTarget& Target,
                            std::size_t& SincePump) {
  char* Room = nullptr;
  std::size_t Size = 0;
  std::size_t Wanted = 0;
  Target.Room(Room, Size, Wanted);
  Size = std::min(Size, CaptureReceive);
  // The lines handed out before still come first: one receive takes them and what is wanted
  // after them when the room holds both, else what room is left after them; a room they fill
  // alone has them dropped first.
  if (FLookAhead.Used() >= Size) SettleLookAhead();
  Size = std::min(Size, FLookAhead.Used() + std::min(Wanted, Size));
  int Received = ReceiveData(Room, static_cast<int>(Size), 0);
  const char* Data = Room;
  if (Received > 0 && FLookAhead.Used() > 0) {
    // They were peeked before, so they are all there.
    const std::size_t Dropped = std::min(FLookAhead.Used(), static_cast<std::size_t>(Received));
    FLookAhead.Dropped(Dropped);
    Data += Dropped;
    Received -= static_cast<int>(Dropped);
    if (Received == 0) return true;
  }
  Target.Take(Data, Received > 0 ? static_cast<std::size_t>(Received) : 0);
  if (Received == 0) return false;  // the peer closed
  if (Received > 0) {
    if (!SocketStep(ssReceived, {Data, static_cast<std::size_t>(Received)}))
      throw EComponentDestroyed();
    CountReceived(Scope, static_cast<std::size_t>(Received), SincePump);
    return true;
  }
  LastErrorNo = TransferError();
  if (LastErrorNo == win::WSAENOTCONN) return false;  // closed, and the socket replaced
  // A reset once the reply is whole by its own framing takes nothing from it.
  if ((LastErrorNo == win::WSAECONNRESET || LastErrorNo == win::WSAECONNABORTED) && ReplyComplete())
    return false;
  std::string Msg;
  CheckSocketError(WouldBlock, Msg, TSockStep::ssReceive);
  SincePump = 0;
  AwaitEvent(Scope);
  return true;
}

void TQuaywire::CountReceived(const TWaitScope& Scope, std::size_t Received,
                              std::size_t& SincePump) {
  // Progress is told by blocks of IOBufferData, as if each had been received alone.
  std::size_t Left = Received;
  while (Left > 0) {
    const std::size_t Block = std::min(Left, IOBufferData);
    Left -= Block;
    BytesRecvd += static_cast<std::int64_t>(Block);
    FireOrStop(OnPacketRecvd, this);
    StartTimeOut();  // a running countdown goes on: the time-out counts from the start
    if (Canceled) {
      BytesRecvd += static_cast<std::int64_t>(Left);  // kept all the same
      break;
    }
  }
  // Letting messages flow after every block would cost more calls than the receive; every
  // few blocks still lets a cancel or the time-out in within a few blocks.
  SincePump += Received;
  if (SincePump >= PumpEvery && !Canceled) {
    SincePump = 0;
    PumpMessages(Scope);
  }
}

void TQuaywire::CaptureFile(const std::string& FileName) { CaptureFileAtMost(FileName, -1); }

void TQuaywire::CaptureFileAtMost(const std::string& FileName, std::int64_t Limit) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "CaptureFile");
  BytesRecvd = 0;
  const TTransferTimeOut Armed(*this);
  {
    TFileStream File(FileName, TFileMode::fmCreate);
    char* const Buffer = CaptureBuffer();
    std::int64_t Taken = 0;
    ReceiveUntilClosed(Scope,
                       {[&](char*& Target, std::size_t& Size, std::size_t& Wanted) {
                          Target = Buffer;
                          Size = CaptureReceive;
                          Wanted = Limit < 0 ? CaptureReceive : RoomWithin(Limit - Taken);
                        },
                        [&](const char* Data, std::size_t Count) {
                          if (Count == 0) return;
                          File.WriteBuffer(Data, static_cast<std::int64_t>(Count));
                          Taken += static_cast<std::int64_t>(Count);
                        }},
                       [&] { return Limit < 0 || Taken < Limit; });
  }
  ThrowIfCanceled("Socket send aborted", TSockStep::ssReceive);
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
  CaptureText(Text, MaxLength, -1);
}

void TQuaywire::CaptureStringAtMost(std::string& Text, std::int64_t Limit) {
  CaptureText(Text, -1, Limit);
}

void TQuaywire::CaptureText(std::string& Text, std::int32_t MaxLength, std::int64_t Limit) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  StatusMessage(8, "Capture String");
  Text.clear();
  BytesRecvd = 0;
  const TTransferTimeOut Armed(*this);
  // Without a length limit, the receives take up to CaptureReceive bytes and the text's room
  // is reserved up front for the size the transfer is expected to have (BytesTotal), within
  // reason: the value may come from a server and be anything.
  const bool Direct = MaxLength == -1;
  const std::int64_t Expected = Limit < 0 ? BytesTotal : std::min(BytesTotal, Limit);
  if (Direct && Expected > 0 && static_cast<std::size_t>(Expected) > Text.capacity()) {
    try {
      Text.reserve(std::min(static_cast<std::size_t>(Expected), MaxReservation));
    } catch (const std::bad_alloc&) {
      // The text grows as the data comes.
    }
  }
  TPrefault Prefault;
  char* const Buffer = Direct ? CaptureBuffer() : IOBuffer.data();
  const std::size_t BufferSize = Direct ? CaptureReceive : IOBufferData;
  const auto Held = [&] { return static_cast<std::int64_t>(Text.size()); };
  // The length is tested before each receive and blocks are kept whole, so the text may
  // end longer than MaxLength; never longer than Limit.
  ReceiveUntilClosed(
      Scope,
      {[&](char*& Target, std::size_t& Size, std::size_t& Wanted) {
         Target = Buffer;
         Size = BufferSize;
         Wanted = Limit < 0 ? BufferSize : std::min(BufferSize, RoomWithin(Limit - Held()));
       },
       [&](const char* Data, std::size_t Count) {
         if (Count == 0) return;
         if (Direct) {
           MakeRoom(Text, Count);
           Prefault.Ahead(Text, Text.size() + Count);
         }
         Text.append(Data, Count);
       }},
      [&] { return (MaxLength == -1 || Held() < MaxLength) && (Limit < 0 || Held() < Limit); });
  ThrowIfCanceled("Socket capture aborted", TSockStep::ssReceive);
}
