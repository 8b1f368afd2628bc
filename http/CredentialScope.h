// The one rule for where a request's credentials go while its passes follow redirections:
// a cookie a server set goes only to the host that set it, and never from https to plain
// text; an Authorization line, the caller's own cookie and client certificate go only to the
// first server (its scheme, host and port).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/AsciiText.h"
#include "http/HostName.h"
#include "http/HttpErrors.h"
#include "http/THttpUrl.h"

// The server a pass goes to, as the rule tells servers apart.
struct TPassServer {
  std::string Scheme;  // lower case; "http" when the URL names none
  std::string Host;
  int Port = 0;
};

namespace CredentialScope {

// The same host and port over another scheme is another server: an https server's
// credentials must not go out in plain text on its port 443 or anywhere else. Hosts compare
// in their canonical forms (HostName::Canonical): "API.test.", "api.test" and the A-label of
// a name are one server, "[0:0::1]" and "[::1]" one address.
inline bool CallerCredentialsGo(const TPassServer& First, const TPassServer& Pass) {
  return First.Scheme == Pass.Scheme && HostName::SameHost(First.Host, Pass.Host) &&
         First.Port == Pass.Port;
}

// The server an absolute http or https URL names, its port the scheme's own when unsaid and
// an IPv6 literal in its brackets; none for a URL that names no web server (see
// THttpUrl::NamesWebServer) or that the URL rules refuse.
inline std::optional<TPassServer> ServerOf(const THttpUrl& Url) {
  if (!Url.NamesWebServer()) return std::nullopt;
  return TPassServer{AsciiLowered(Url.Scheme), Url.Host, Url.ServerPort()};
}

inline std::optional<TPassServer> ServerOf(std::string_view Url) {
  try {
    return ServerOf(THttpUrl::SplitServer(Url));
  } catch (const EHttpUrlError&) {
    return std::nullopt;
  }
}

// Two absolute URLs name one server, as the caller's credentials tell them apart; a URL that
// names no web server is nobody's server, so that credentials stay home.
inline bool SameServer(std::string_view A, std::string_view B) {
  const std::optional<TPassServer> First = ServerOf(A), Other = ServerOf(B);
  return First && Other && CallerCredentialsGo(*First, *Other);
}

// Any port of the host: cookies do not tell ports apart (RFC 6265, 8.5). A cookie set over
// https travels over https only: it was never shown to the network in clear.
inline bool ServerCookieGoes(const TPassServer& Setter, const TPassServer& Pass) {
  if (Setter.Scheme == "https" && Pass.Scheme != "https") return false;
  return HostName::SameHost(Setter.Host, Pass.Host);
}

// The name=value pair a Set-Cookie value carries, without its attributes (RFC 6265, 5.2):
// "" when it names no cookie (no "=", or an empty name).
inline std::string CookiePair(std::string_view SetCookie) {
  const std::string_view Pair = SetCookie.substr(0, SetCookie.find(';'));
  const auto Equals = Pair.find('=');
  if (Equals == std::string_view::npos) return {};
  const std::string_view Name = TrimBlanks(Pair.substr(0, Equals));
  if (Name.empty()) return {};
  return std::string(Name) + "=" + std::string(TrimBlanks(Pair.substr(Equals + 1)));
}

}  // namespace CredentialScope
