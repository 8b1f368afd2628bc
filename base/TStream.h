// Byte streams: an abstract stream with a position and a size.
#pragma once

#include <cstdint>

#include "base/TObject.h"

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
 public:
  // Reads up to Count bytes at the position; returns how many were read (0 at the end).
  virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
  // Writes Count bytes at the position; returns how many were written.
  virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
  // Returns the new position.
  virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t NewSize) = 0;

  // Whole reads and writes: EReadError "Stream read error" / EWriteError "Stream write error"
  // when fewer bytes move.
  void ReadBuffer(void* Buffer, std::int64_t Count);
  void WriteBuffer(const void* Buffer, std::int64_t Count);
  // Copies Count bytes from Source's position (Count 0: all of Source, from its start).
  // Returns the bytes copied.
  std::int64_t CopyFrom(TStream& Source, std::int64_t Count);
};
