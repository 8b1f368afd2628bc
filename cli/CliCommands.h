// The request commands orrery-cli can send, by the word a script writes after -X.
#pragma once

#include <optional>
#include <string_view>

#include "http/CmdNames.h"

// The method word of Cmd ("GET", "UNLINK"); empty for hcWrapped, which has no request line.
std::string_view CliCommandWord(CmdType Cmd);

// The command a -X word names, in any case of its letters; none for a word the component
// cannot send (hcWrapped is never named).
std::optional<CmdType> CliCommandFromWord(std::string_view Word);

// Whether the command carries the body given with -d and its kin.
bool CliCommandTakesBody(CmdType Cmd);

// Whether the command needs --target (the URI of COPY and MOVE, the link of LINK and UNLINK).
bool CliCommandTakesTarget(CmdType Cmd);
