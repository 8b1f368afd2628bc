// The request commands orrery-cli can send, by the word a script writes after -X.
#include "cli/CliCommands.h"

namespace {

struct TCommandRow {
  CmdType Cmd;
  std::string_view Word;
};

constexpr TCommandRow Commands[] = {
    {hcGet, "GET"},       {hcOptions, "OPTIONS"}, {hcHead, "HEAD"},     {hcPost, "POST"},
    {hcPut, "PUT"},       {hcPatch, "PATCH"},     {hcCopy, "COPY"},     {hcMove, "MOVE"},
    {hcDelete, "DELETE"}, {hcLink, "LINK"},       {hcUnLink, "UNLINK"}, {hcTrace, "TRACE"},
};

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
  for (const TCommandRow& Row : Commands)
    if (Row.Cmd == Cmd) return Row.Word;
  return {};
}

std::optional<CmdType> CliCommandFromWord(std::string_view Word) {
  for (const TCommandRow& Row : Commands)
    if (SameWord(Word, Row.Word)) return Row.Cmd;
  return std::nullopt;
}

bool CliCommandTakesBody(CmdType Cmd) {
  return Cmd == hcPost || Cmd == hcPut || Cmd == hcPatch || Cmd == hcTrace;
}

bool CliCommandTakesTarget(CmdType Cmd) {
  return Cmd == hcCopy || Cmd == hcMove || Cmd == hcLink || Cmd == hcUnLink;
}
