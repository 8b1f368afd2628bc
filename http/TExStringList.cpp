// Header lines looked up and replaced by name.
#include "http/TExStringList.h"

#include <string_view>

namespace {

// The text before the first ':'; empty when there is no ':'.
std::string_view NamePart(std::string_view Line, bool& HasColon) {
  std::size_t Colon = Line.find(':');
  HasColon = Colon != std::string_view::npos;
  return HasColon ? Line.substr(0, Colon) : std::string_view();
}

// Skipped in the first pass of a comparison so that hyphenated and run-together spellings of
// a word stay next to each other.
bool IsSkipped(unsigned char C) { return C == '-' || C == '\''; }

// Weights of the first pass; the bands keep punctuation < digits < letters < high bytes.
int Weight(unsigned char C) {
  if (C >= '0' && C <= '9') return 0x100 + (C - '0');
  if (C >= 'A' && C <= 'Z') return 0x200 + (C - 'A');
  if (C >= 'a' && C <= 'z') return 0x200 + (C - 'a');
  if (C >= 0x80) return 0x300 + C;
  return C;
}

int Sign(int V) { return (V > 0) - (V < 0); }

int CompareNames(std::string_view A, std::string_view B) {
  std::size_t I = 0;
  std::size_t J = 0;
  std::size_t SkippedA = 0;
  std::size_t SkippedB = 0;
  for (;;) {
    while (I < A.size() && IsSkipped(static_cast<unsigned char>(A[I]))) ++I, ++SkippedA;
    while (J < B.size() && IsSkipped(static_cast<unsigned char>(B[J]))) ++J, ++SkippedB;
    if (I == A.size() || J == B.size()) break;
    int D = Weight(static_cast<unsigned char>(A[I])) - Weight(static_cast<unsigned char>(B[J]));
    if (D != 0) return Sign(D);
    ++I;
    ++J;
  }
  if (I != A.size()) return 1;
  if (J != B.size()) return -1;

  // Equal in the first pass: the skipped characters decide.
  if (SkippedA != SkippedB) return SkippedA < SkippedB ? -1 : 1;
  for (I = 0, J = 0;; ++I, ++J) {
    while (I < A.size() && !IsSkipped(static_cast<unsigned char>(A[I]))) ++I;
    while (J < B.size() && !IsSkipped(static_cast<unsigned char>(B[J]))) ++J;
    if (I == A.size() || J == B.size()) return 0;  // same count, so both ran out together
    if (I != J) return I < J ? -1 : 1;
    if (A[I] != B[J])
      return static_cast<unsigned char>(A[I]) < static_cast<unsigned char>(B[J]) ? -1 : 1;
  }
}

}  // namespace

int TExStringList::CompareHeaderNames(const std::string& A, const std::string& B) {
  return CompareNames(A, B);
}

int TExStringList::CompareStrings(const std::string& A, const std::string& B) const {
  bool HasColon;
  return CompareNames(NamePart(A, HasColon), NamePart(B, HasColon));
}

int TExStringList::IndexOfHeader(const std::string& Name) const {
  bool HasColon;
  if (!Sorted()) {
    for (int I = 0; I < Count(); ++I) {
      std::string_view LineName = NamePart(FLines[static_cast<std::size_t>(I)], HasColon);
      if (HasColon && CompareNames(LineName, Name) == 0) return I;
    }
    return -1;
  }

  // Bisection on name parts (a line without ':' counts as the empty name). It narrows to the
  // first of several lines of one name, so both kinds of list report the first.
  int Lo = 0;
  int Hi = Count();
  int Found = -1;
  while (Lo < Hi) {
    int Mid = Lo + (Hi - Lo) / 2;
    int C = CompareNames(NamePart(FLines[static_cast<std::size_t>(Mid)], HasColon), Name);
    if (C < 0) {
      Lo = Mid + 1;
    } else {
      if (C == 0) Found = Mid;
      Hi = Mid;
    }
  }
  return Found;
}

void TExStringList::SetHeader(const std::string& Name, const std::string& Value) {
  int I = IndexOfHeader(Name);
  if (Value.empty()) {
    if (I >= 0) Delete(I);
    return;
  }
  std::string Line;
  Line.reserve(Name.size() + 2 + Value.size());
  Line.append(Name).append(": ").append(Value);
  if (Sorted()) {
    // A sorted list refuses a line at a chosen index. Sorting looks at name parts alone, so
    // the replacement keeps the order and the line stays the first of its name; a new name
    // goes to its sorted place.
    if (I >= 0)
      FLines[static_cast<std::size_t>(I)] = Line;
    else
      Add(Line);
    return;
  }
  if (I < 0)
    Add(Line);  // an unsorted list appends it
  else
    SetStrings(I, Line);
}
