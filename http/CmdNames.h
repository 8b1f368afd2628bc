// The request commands and what every layer needs to know of them, kept in one place: the
// word each sends, which carry a body or a target, which replies carry none, and how a
// server's URL is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/THttpUrl.h"

// The request commands, in this order; a value fits one byte.
enum CmdType : std::uint8_t {
  hcGet,
  hcOptions,
  hcHead,
  hcPost,
  hcPut,
  hcPatch,
  hcCopy,
  hcMove,
  hcDelete,
  hcLink,
  hcUnLink,
  hcTrace,
  hcWrapped
};

// The method word of the request line ("GET"); hcWrapped sends none and is shown as
// "(wrapped)"; a value outside the enumeration as "?".
inline const char* CommandWord(CmdType Cmd) {
  static const char* const Words[] = {"GET",    "OPTIONS", "HEAD",     "POST",   "PUT",
                                      "PATCH",  "COPY",    "MOVE",     "DELETE", "LINK",
                                      "UNLINK", "TRACE",   "(wrapped)"};
  return Cmd <= hcWrapped ? Words[Cmd] : "?";
}

// The command a request line's word names (case counts, as in HTTP); none for a word the
// component does not send.
inline std::optional<CmdType> CommandNamed(std::string_view Word) {
  for (int Cmd = hcGet; Cmd < hcWrapped; ++Cmd)
    if (Word == CommandWord(static_cast<CmdType>(Cmd))) return static_cast<CmdType>(Cmd);
  return std::nullopt;
}

// The commands whose request carries a body (SendData) with its Content-Length. LINK and
// UNLINK send none, so they announce none either.
inline bool CarriesBody(CmdType Cmd) {
  return Cmd == hcPost || Cmd == hcPut || Cmd == hcPatch || Cmd == hcTrace || Cmd == hcWrapped;
}

// The commands that send TargetURI: COPY and MOVE as "URI-header", LINK and UNLINK as "Link".
inline bool TakesTarget(CmdType Cmd) {
  return Cmd == hcCopy || Cmd == hcMove || Cmd == hcLink || Cmd == hcUnLink;
}

// A reply that never carries a body, whatever its Content-Length says (RFC 9112 §6.3): the
// answer to a HEAD, an interim (1xx), 204 and 304.
inline bool ReplyWithoutBody(CmdType Cmd, int Status) {
  return Cmd == hcHead || Status == 204 || Status == 304 || (Status >= 100 && Status < 200);
}

// "http://host" with ":port" when the port is not HTTP's own 80.
inline std::string ServerURL(const std::string& Host, int Port) {
  return THttpUrl::AbsoluteForm("http", Host, Port, std::string());
}
