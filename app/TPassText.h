// How the window writes what a recorded pass holds: bytes escaped for reading, the reply's
// content type, and whether its body ended before the length it announced.
#pragma once

#include <QString>
#include <string>

#include "inspect/TExchangePass.h"

class TPassText {
 public:
  // Bytes as text: printable ASCII as it is; CR, LF, tab and backslash as \r, \n, \t, \\;
  // every other byte as \xNN. A line break follows each \n, so a header reads line by line.
  static QString Escaped(const std::string& Bytes);
  // "Corps incomplet : <kept> octets sur <announced>" when the pass read its body to the
  // server's close before the length the reply announced; empty otherwise.
  static QString ShortBodyText(const TExchangePass& Pass);
  // The final reply's Content-Type value (not an interim reply's); empty when it has none.
  static std::string ContentType(const TExchangePass& Pass);
};
