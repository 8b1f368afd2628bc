// A stream held in memory.
#include "base/TMemoryStream.h"

#include <cstring>

#include "base/Exception.h"
#include "base/TFileStream.h"

std::int64_t TMemoryStream::Read(void* Buffer, std::int64_t Count) {
  std::int64_t Available = Size() - FPosition;
  if (Count <= 0 || Available <= 0) return 0;
  if (Count > Available) Count = Available;
  std::memcpy(Buffer, FData.data() + FPosition, static_cast<std::size_t>(Count));
  FPosition += Count;
  return Count;
}

std::int64_t TMemoryStream::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  std::int64_t End = FPosition + Count;
  // A position left past the end by Seek leaves a gap; resize fills it with zeros.
  if (End > Size()) FData.resize(static_cast<std::size_t>(End));
  std::memcpy(FData.data() + FPosition, Buffer, static_cast<std::size_t>(Count));
  FPosition = End;
  return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  std::int64_t Base = 0;
  switch (Origin) {
    case TSeekOrigin::soBeginning: Base = 0; break;
    case TSeekOrigin::soCurrent: Base = FPosition; break;
    case TSeekOrigin::soEnd: Base = Size(); break;
  }
  std::int64_t NewPosition = Base + Offset;
  if (NewPosition < 0) throw EStreamError("Seek before the beginning of the stream");
  FPosition = NewPosition;
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
  if (NewSize < 0) NewSize = 0;
  FData.resize(static_cast<std::size_t>(NewSize));
  if (FPosition > NewSize) FPosition = NewSize;
}

void TMemoryStream::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& Source) {
  Source.SetPosition(0);
  std::int64_t Count = Source.Size();
  SetSize(Count);
  if (Count > 0) Source.ReadBuffer(FData.data(), Count);
  FPosition = 0;
}

void TMemoryStream::SaveToStream(TStream& Dest) { Dest.WriteBuffer(FData.data(), Size()); }

void TMemoryStream::LoadFromFile(const std::string& FileName) {
  TFileStream File(FileName, TFileMode::fmOpenRead);
  LoadFromStream(File);
}

void TMemoryStream::SaveToFile(const std::string& FileName) {
  TFileStream File(FileName, TFileMode::fmCreate);
  SaveToStream(File);
}
