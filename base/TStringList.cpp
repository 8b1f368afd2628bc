// An ordered list of lines, optionally kept sorted.
#include "base/TStringList.h"

#include <algorithm>

#include "base/Exception.h"

namespace {

[[noreturn]] void SortedListError() {
  throw EStringListError("Operation not allowed on sorted list");
}

}  // namespace

int TStringList::Add(const std::string& S) {
  int Index = Count();
  if (FSorted) {
    // After any equal lines, so that equal lines keep the order they were added in.
    auto It = std::upper_bound(
        FLines.begin(), FLines.end(), S,
        [this](const std::string& A, const std::string& B) { return CompareStrings(A, B) < 0; });
    Index = static_cast<int>(It - FLines.begin());
  }
  if (FSpare.empty()) {
    FLines.insert(FLines.begin() + Index, S);
  } else {
    std::string Line = std::move(FSpare.back());
    FSpare.pop_back();
    Line.assign(S);
    FLines.insert(FLines.begin() + Index, std::move(Line));
  }
  return Index;
}

void TStringList::Insert(int Index, const std::string& S) {
  if (FSorted) SortedListError();
  if (Index < 0 || Index > Count())
    throw EStringListError("List index out of bounds (" + std::to_string(Index) + ")");
  FLines.insert(FLines.begin() + Index, S);
}

void TStringList::Delete(int Index) {
  CheckIndex(Index);
  FLines.erase(FLines.begin() + Index);
}

void TStringList::Clear() {
  for (std::string& Line : FLines) {
    if (FSpare.size() == MaxSpare) break;
    if (Line.capacity() <= MaxSpareRoom) FSpare.push_back(std::move(Line));
  }
  FLines.clear();
}

const std::string& TStringList::Strings(int Index) const {
  CheckIndex(Index);
  return FLines[static_cast<std::size_t>(Index)];
}

void TStringList::SetStrings(int Index, const std::string& S) {
  if (FSorted) SortedListError();
  CheckIndex(Index);
  FLines[static_cast<std::size_t>(Index)] = S;
}

int TStringList::IndexOf(const std::string& S) const {
  if (FSorted) {
    int Index;
    return Find(S, Index) ? Index : -1;
  }
  auto It = std::find(FLines.begin(), FLines.end(), S);
  return It == FLines.end() ? -1 : static_cast<int>(It - FLines.begin());
}

void TStringList::SetSorted(bool Value) {
  if (Value && !FSorted) {
    std::stable_sort(
        FLines.begin(), FLines.end(),
        [this](const std::string& A, const std::string& B) { return CompareStrings(A, B) < 0; });
  }
  FSorted = Value;
}

std::string TStringList::Text() const {
  std::size_t Length = 0;
  for (const std::string& Line : FLines) Length += Line.size() + 2;
  std::string Result;
  Result.reserve(Length);
  for (const std::string& Line : FLines) {
    Result += Line;
    Result += "\r\n";
  }
  return Result;
}

void TStringList::SetText(const std::string& Value) {
  Clear();
  std::size_t Start = 0;
  const std::size_t N = Value.size();
  while (Start < N) {
    std::size_t End = Value.find_first_of("\r\n", Start);
    if (End == std::string::npos) {
      Add(Value.substr(Start));
      break;
    }
    Add(Value.substr(Start, End - Start));
    Start = End + ((Value[End] == '\r' && End + 1 < N && Value[End + 1] == '\n') ? 2 : 1);
  }
}

int TStringList::CompareStrings(const std::string& A, const std::string& B) const {
  return A.compare(B);
}

bool TStringList::Find(const std::string& S, int& Index) const {
  // Lower bound, so that among equal lines the first is reported.
  int Lo = 0;
  int Hi = Count();
  bool Found = false;
  while (Lo < Hi) {
    int Mid = Lo + (Hi - Lo) / 2;
    int C = CompareStrings(FLines[static_cast<std::size_t>(Mid)], S);
    if (C < 0) {
      Lo = Mid + 1;
    } else {
      if (C == 0) Found = true;
      Hi = Mid;
    }
  }
  Index = Lo;
  return Found;
}

void TStringList::CheckIndex(int Index) const {
  if (Index < 0 || Index >= Count())
    throw EStringListError("List index out of bounds (" + std::to_string(Index) + ")");
}
