// TDiffPrinter: what differs between two passes as text for a terminal, in the forms git diff
// users read without thinking: "-Name: v" / "+Name: v" for header fields, unified hunks for a
// text body, "$.path: before → after" for JSON. Every byte that comes from a file or a server
// goes through TCliVerbose::Printable, so that a hostile reply cannot drive the terminal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "inspect/TPassCompare.h"

class TDiffPrinter {
 public:
  struct TStyle {
    bool Colour = false;   // ANSI colours: on a terminal only, never with NO_COLOR
    bool Unicode = false;  // "→" in a UTF-8 locale, else "->"
  };
  // Lines of context around a text body's edits, as git diff has them.
  static constexpr std::size_t Context = 3;

  explicit TDiffPrinter(TStyle Style) : FStyle(Style) {}

  // "differs   GET http://x/ 200 → 404", and "  (Why)" when Why is given. Word is the
  // outcome ("same", "differs", ...), Status the status part (StatusPair).
  std::string EntryLine(std::string_view Word, std::string_view Method, std::string_view URL,
                        std::string_view Status, std::string_view Why) const;
  // "200 → 404"; a side without a status (0: no reply, or no side at all) is "-"; with only
  // one side given, that status alone.
  std::string StatusPair(std::optional<int> A, std::optional<int> B) const;
  // The differences that count, each line indented, ending with a line end; empty when C
  // is the same. A is the first pass compared: the lines around a text's edits are its.
  std::string Differences(const TPassComparison& C, const TExchangePass& A) const;

  // Colour when Fd is a terminal and NO_COLOR is unset or empty; Unicode when the locale
  // the environment names (LC_ALL, else LC_CTYPE, else LANG) is UTF-8.
  static TStyle StyleFor(int Fd);

 private:
  std::string Arrow() const { return FStyle.Unicode ? " \u2192 " : " -> "; }
  std::string Paint(std::string_view Code, std::string_view Text) const;
  std::string Line(std::string_view Code, std::string_view Text) const;
  std::string Headers(const TPassComparison& C) const;
  std::string Body(const TBodyComparison& B, const TExchangePass& A) const;
  std::string JsonBody(const TJsonDiffResult& J) const;
  std::string TextBody(const TLineDiffResult& L, std::string_view TextA) const;
  std::string Tls(const TTlsComparison& T) const;

  TStyle FStyle;
};
