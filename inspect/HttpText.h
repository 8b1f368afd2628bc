// Reading the texts of an exchange without changing them: the lines and fields of a header
// block, the final reply of a reply head, the query of a URL, and whether a body is text.
// Shared by the HAR writer, the command renderer and the window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/AsciiText.h"

struct THeaderField {
  std::string Name;
  std::string Value;
};

// The lines of a header block without their line ends (CR LF or LF), up to the empty line
// or the end of the text.
std::vector<std::string_view> HeaderLines(std::string_view Block);

// The fields of a header block: each line cut at its first ':', the value without the blanks
// around it. With HasStartLine the first line (request or status line) is left out. A line
// without ':' becomes a field of that name and an empty value, so that nothing is hidden.
std::vector<THeaderField> HeaderFields(std::string_view Block, bool HasStartLine);

// The value of the last field of that name.
std::optional<std::string> FieldValue(const std::vector<THeaderField>& Fields,
                                      std::string_view Name);

// The block of the final reply in a reply head as received: interim replies (100,
// 102-199, as TReplyHead reads them) and their empty lines come first and are skipped. A head
// that ends after an interim reply gives that interim block, the last one there is.
std::string_view FinalReply(std::string_view Head);

// The query of a URL (after '?', before '#'), cut into "name=value" pairs at '&'. The names
// and values stay as they are written: nothing is decoded.
std::vector<THeaderField> QueryFields(std::string_view URL);

// Bytes that can stand in a JSON text as they are: valid UTF-8 without NUL. With Cut, an
// incomplete sequence at the very end (a cut in the middle of a character) is allowed; the
// length of the text without it is returned then. Nothing when the bytes are not text.
std::optional<std::size_t> TextLength(std::string_view Bytes, bool Cut);

