// A stream on a file, owning its descriptor.
#pragma once

#include <string>

#include "base/TStream.h"

enum class TFileMode {
  fmOpenRead,   // existing file, read only; EFOpenError "Cannot open file \"<name>\". <reason>"
  fmCreate,     // create or truncate, read/write; EFCreateError "Cannot create file \"<name>\".
                // <reason>"
  fmOpenWrite,  // existing file, write only
  fmOpenReadWrite,
};

class TFileStream : public TStream {
 public:
  TFileStream(const std::string& FileName, TFileMode Mode);
  ~TFileStream() override;

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(std::int64_t NewSize) override;

  const std::string& FileName() const { return FFileName; }
  int Handle() const { return FHandle; }

 private:
  std::string FFileName;
  int FHandle = -1;
};
