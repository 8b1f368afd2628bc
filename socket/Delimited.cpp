// Field and delimiter scans over reply lines and URLs.
#include "socket/Delimited.h"

std::string_view DelimitedFieldView(std::string_view Text, char Delimiter, int N) {
  if (Text.empty() || N < 1) return {};
  std::size_t Start = 0;
  for (int Field = 1; Field < N; ++Field) {
    const std::size_t At = Text.find(Delimiter, Start);
    if (At == std::string_view::npos) return {};
    Start = At + 1;
  }
  const std::size_t End = Text.find(Delimiter, Start);
  return Text.substr(Start, End == std::string_view::npos ? std::string_view::npos : End - Start);
}

std::string DelimitedField(const std::string& Text, char Delimiter, int N) {
  return std::string(DelimitedFieldView(Text, Delimiter, N));
}

int DelimiterPosition(const std::string& Text, char Delimiter, int N) {
  const int Length = static_cast<int>(Text.size());
  int Seen = 0;
  for (int I = 0; I < Length; ++I) {
    if (Text[static_cast<std::size_t>(I)] == Delimiter && ++Seen == N) {
      // A delimiter in the last place counts as reaching the end: callers take what
      // follows it, and there is nothing.
      return I + 1 == Length ? Length + 1 : I + 1;
    }
  }
  return Length + 1;
}
