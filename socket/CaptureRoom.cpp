// A capture's string room: growth and prefaulting.
#include "socket/CaptureRoom.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

namespace {

constexpr std::size_t LargeText = std::size_t{64} << 20;
constexpr std::size_t PrefaultStep = std::size_t{4} << 20;

}  // namespace

void TPrefault::Ahead(std::string& Text, std::size_t Upto) {
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

void MakeRoom(std::string& Text, std::size_t Need, std::size_t Least) {
  const std::size_t Size = Text.size();
  if (Text.capacity() - Size >= Need) return;
  const std::size_t Doubled = std::max({Size + Need, 2 * Text.capacity(), Least});
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
