// A stream held in memory; writing past the end grows it.
#pragma once

#include <string>
#include <vector>

#include "base/TStream.h"

class TMemoryStream : public TStream {
 public:
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }
  void SetSize(std::int64_t NewSize) override;
  void Clear();

  const char* Memory() const { return FData.data(); }
  char* Memory() { return FData.data(); }
  std::string DataString() const { return std::string(FData.begin(), FData.end()); }

  void LoadFromStream(TStream& Source);
  void SaveToStream(TStream& Dest);
  void LoadFromFile(const std::string& FileName);
  void SaveToFile(const std::string& FileName);

 private:
  std::vector<char> FData;
  std::int64_t FPosition = 0;
};
