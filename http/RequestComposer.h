// The header block of one pass, apart from any socket: the request line, Host with its port,
// the fixed Accept lines (and Accept-Encoding when asked), HeaderInfo's fields, the credentials and
// cookies by the one rule of CredentialScope, the caller's own lines, Content-Length, and the
// checks that refuse what cannot go on the wire.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http/CmdNames.h"
#include "http/CredentialScope.h"
#include "http/TExStringList.h"
#include "http/THeaderInfo.h"

// The cookie of the last redirecting reply that set one in a request: the value the loop
// copied into HeaderInfo.Cookie, the pair that is sent, and the server that set it. While
// HeaderInfo.Cookie still holds that copy, it is the server's cookie, not the caller's.
struct TServerCookie {
  bool Set = false;
  std::string Copied;
  std::string Pair;
  TPassServer Setter;
};

// What the header block of a pass is made of.
struct TRequestPlan {
  CmdType Cmd = hcGet;
  std::string_view Scheme;  // the URL's scheme as written; "" when none
  const std::string& Host;
  int Port = 0;
  const std::string& RequestPath;
  bool Proxied = false;  // a proxy is set: a plain pass names its absolute URL to it
  bool Tls = false;      // an https pass: through a proxy it goes in a tunnel, in origin form
  const THeaderInfo& Info;
  const std::string& TargetURI;
  const std::vector<std::string>& CustomHeaders;
  // The pass goes to the first pass's server: the caller's credentials go with it.
  bool FirstServer = true;
  // A user name and password in the first pass's URL, before HeaderInfo's.
  bool UrlCredentials = false;
  std::string_view UrlUser;
  std::string_view UrlPassword;
  const TServerCookie& ServerCookie;
  TPassServer Pass;  // the server of the pass, as CredentialScope compares servers
  // The content codings the component decodes are offered (Accept-Encoding).
  bool AcceptEncoding = false;
  // The request line says HTTP/1.1 instead of HTTP/1.0.
  bool Http11 = false;
};

namespace RequestComposer {

// The line that offers the content codings TContentDecoder takes off, as curl words it.
inline constexpr std::string_view AcceptEncodingLine = "Accept-Encoding: deflate, gzip, br, zstd";

// Refuses a value with CR, LF or NUL for a header line: EHttpUrlError for the URL (InUrl),
// EHttpSettingError for a setting.
void CheckHeaderValue(const std::string& Value, const char* Field, bool InUrl = false);
// Refuses what cannot go on the wire before anything is composed: a setting that would break
// a line, a caller's line without a name or with Content-Length, a proxy port beyond 16 bits,
// a command the component does not know.
void CheckSettings(const TRequestPlan& Plan, const std::string& URL, int ProxyPort);
// The lines of the pass into Lines (cleared first), the request line first and without
// Content-Length.
void ComposeLines(const TRequestPlan& Plan, TExStringList& Lines);
// The Content-Length line of a body of Size bytes, last.
void AddContentLength(TExStringList& Lines, std::int64_t Size);
// The size of the body SendData names: the text itself, or the file it names.
std::int64_t BodySize(const std::string& SendData, bool FromFile);
// Every line with CR LF, then the empty line, into Block (its room kept).
void ComposeBlock(const TExStringList& Lines, std::string& Block);

}  // namespace RequestComposer
