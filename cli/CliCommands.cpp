// The request commands orrery-cli can send, by the word a script writes after -X.
#include "cli/CliCommands.h"

#include "base/AsciiText.h"

std::string_view CliCommandWord(CmdType Cmd) {
  return Cmd < hcWrapped ? CommandWord(Cmd) : std::string_view();
}

std::optional<CmdType> CliCommandFromWord(std::string_view Word) {
  for (int Each = hcGet; Each < hcWrapped; ++Each) {
    const auto Cmd = static_cast<CmdType>(Each);
    if (SameNoCase(Word, CommandWord(Cmd))) return Cmd;
  }
  return std::nullopt;
}

bool CliCommandTakesBody(CmdType Cmd) { return Cmd != hcWrapped && CarriesBody(Cmd); }

bool CliCommandTakesTarget(CmdType Cmd) {
  return Cmd == hcCopy || Cmd == hcMove || Cmd == hcLink || Cmd == hcUnLink;
}
