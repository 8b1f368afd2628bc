// The request commands orrery-cli can send, by the word a script writes after -X.
#include "cli/CliCommands.h"

namespace {

bool SameWord(std::string_view Given, std::string_view Upper) {
  if (Given.size() != Upper.size()) return false;
  for (std::size_t I = 0; I < Given.size(); ++I) {
    char C = Given[I];
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
    if (C != Upper[I]) return false;
  }
  return true;
}

}  // namespace

std::string_view CliCommandWord(CmdType Cmd) {
  return Cmd < hcWrapped ? CommandWord(Cmd) : std::string_view();
}

std::optional<CmdType> CliCommandFromWord(std::string_view Word) {
  for (int Each = hcGet; Each < hcWrapped; ++Each) {
    const auto Cmd = static_cast<CmdType>(Each);
    if (SameWord(Word, CommandWord(Cmd))) return Cmd;
  }
  return std::nullopt;
}

bool CliCommandTakesBody(CmdType Cmd) { return Cmd != hcWrapped && CarriesBody(Cmd); }

bool CliCommandTakesTarget(CmdType Cmd) {
  return Cmd == hcCopy || Cmd == hcMove || Cmd == hcLink || Cmd == hcUnLink;
}
