// TCliVerbose: the -v trace in curl's style.
#include "cli/TCliVerbose.h"

#include <cstdio>
#include <utility>

TCliVerbose::TCliVerbose(int Level, TWriteLine WriteLine)
    : FLevel(Level), FWriteLine(std::move(WriteLine)) {}

std::string TCliVerbose::Printable(std::string_view Text) {
  static const char Hex[] = "0123456789abcdef";
  std::string Shown;
  Shown.reserve(Text.size());
  for (const char C : Text) {
    const auto Byte = static_cast<unsigned char>(C);
    if ((Byte < 0x20 && Byte != '\t') || Byte == 0x7f) {
      Shown += "\\x";
      Shown += Hex[Byte >> 4];
      Shown += Hex[Byte & 15];
    } else {
      Shown += C;
    }
  }
  return Shown;
}

std::int64_t TCliVerbose::StageMs(const TExchangePass& Pass, std::optional<TExchangeStage> Stage,
                                  std::chrono::steady_clock::time_point Start) {
  const double Ms = std::chrono::duration<double, std::milli>(Pass.Started - Start).count() +
                    (Stage ? Pass.At[*Stage].value_or(0.0) : 0.0);
  return static_cast<std::int64_t>(Ms);
}

void TCliVerbose::Stage(std::int64_t Ms, std::string_view Text) const {
  if (FLevel < 1) return;
  char Time[40];
  std::snprintf(Time, sizeof Time, "* [%4lld ms] ", static_cast<long long>(Ms));
  FWriteLine(Time + Printable(Text) + "\n");
}

void TCliVerbose::Status(std::int64_t Ms, std::string_view Text) const {
  if (FLevel >= 2) Stage(Ms, Text);
}

void TCliVerbose::HeaderBlock(char Mark, std::string_view Block) const {
  if (FLevel < 1) return;
  // Lines end in CR LF or a lone LF; a last line without its end (a reply cut off in its
  // header) is shown all the same.
  std::size_t From = 0;
  while (From < Block.size()) {
    auto Lf = Block.find('\n', From);
    if (Lf == std::string_view::npos) Lf = Block.size();
    std::size_t To = Lf;
    if (To > From && Block[To - 1] == '\r') --To;
    const std::string_view Line = Block.substr(From, To - From);
    FWriteLine(Line.empty() ? std::string(1, Mark) + "\n"
                            : std::string(1, Mark) + " " + Printable(Line) + "\n");
    From = Lf + 1;
  }
}
