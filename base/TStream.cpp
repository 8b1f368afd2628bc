// The operations every stream shares, built on Read, Write and Seek.
#include "base/TStream.h"

#include <algorithm>
#include <vector>

#include "base/Exception.h"

std::int64_t TStream::Size() {
  std::int64_t Pos = Seek(0, TSeekOrigin::soCurrent);
  std::int64_t End = Seek(0, TSeekOrigin::soEnd);
  Seek(Pos, TSeekOrigin::soBeginning);
  return End;
}

void TStream::ReadBuffer(void* Buffer, std::int64_t Count) {
  if (Count > 0 && Read(Buffer, Count) != Count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, std::int64_t Count) {
  if (Count > 0 && Write(Buffer, Count) != Count) throw EWriteError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& Source, std::int64_t Count) {
  if (Count <= 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  constexpr std::int64_t BlockSize = 65536;
  std::vector<char> Block(static_cast<std::size_t>(std::min(Count, BlockSize)));
  std::int64_t Left = Count;
  while (Left > 0) {
    std::int64_t N = std::min(Left, BlockSize);
    Source.ReadBuffer(Block.data(), N);
    WriteBuffer(Block.data(), N);
    Left -= N;
  }
  return Count;
}
