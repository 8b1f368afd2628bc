// THttpUrl: the URL rules of the HTTP component, apart from any socket: splitting a URL the
// user gives or a Location reference, resolving a reference against the URL of the request
// that received it (RFC 3986, 5.2), and building the request target and the Host value.
#pragma once

#include <string>
#include <string_view>

// One URL cut into its parts. The fragment is never kept: it never goes on the wire, and a
// reference made of a fragment alone names the URL it is resolved against.
//
// Two readings exist. A URL the user gives is read leniently: only http, https, ftp and
// gopher (in any case) count as a scheme, and text that names no scheme and does not start
// with "/" starts with its server ("localhost:8080/x"). A Location is an RFC 3986 reference:
// any scheme name counts, and text without "//" has no server of its own.
class THttpUrl {
 public:
  std::string Scheme;  // as written; empty when the URL names none
  bool HasAuthority = false;
  std::string Authority;  // as written: [userinfo "@"] host [":" port], with Host as read
  bool HasUserInfo = false;
  std::string UserInfo;  // still percent-encoded
  // The host as it is looked up and sent: as written when it is ASCII without "%", else
  // percent-decoded and, for a name outside ASCII, its A-label ("xn--bcher-kva.test" for
  // "bücher.test"); an IPv6 literal without its brackets, in its canonical text ("::1" for
  // "[0:0::1]"). Authority and Text() carry it, the address in brackets.
  std::string Host;
  // The host as typed, its percent-encoding decoded ("bücher.test"): for showing beside Host.
  std::string UnicodeHost;
  bool HasPort = false;  // a ":" follows the host
  std::string PortText;
  std::string Path;
  bool HasQuery = false;
  std::string Query;  // without its "?"
  // A "#" followed; what it names is not kept.
  bool HasFragment = false;
  // Where the path starts in the text that was split, so that a caller can complete the
  // text with a "/" at that point.
  std::size_t PathAt = 0;

  // The three splits refuse alike an authority with a byte RFC 3986 does not allow in it
  // (HostName::CheckAuthority), a host that is no name once read, and a name that has no
  // A-label (HostName::LookupName), as an EHttpUrlError naming the text. An IP literal is
  // an IPv6 address in brackets, the port after its "]" (RFC 3986, 3.2.2).
  //
  // A URL the user gives (the lenient reading above). Refuses an IP literal that does not
  // read ("[::1", "[1::2::3]", "[::1]x"), an IPvFuture one ("[v1.x]") and one with a zone
  // identifier ("[fe80::1%25eth0]"), each with words of its own.
  static THttpUrl SplitUser(std::string_view Text);
  // An RFC 3986 URI reference. Refuses the IP literals SplitUser refuses.
  static THttpUrl SplitReference(std::string_view Text);
  // An RFC 3986 URI reference as a recording or a replay's base may name it, to be compared
  // and rebased: an IP literal that does not read is kept, the whole of the host and port
  // as the host ("[::1", "[fe80::1%25e]"), and names no web server.
  static THttpUrl SplitServer(std::string_view Text);
  // Reference resolved against Base (an absolute URL) and written out again without its
  // fragment, scheme in lower case. A reference whose scheme is the base's and that names
  // no server is read as relative, as RFC 3986 allows for older parsers. Refuses a result
  // whose scheme is not http, https, ftp or gopher, and one without a server or with an
  // empty one.
  static std::string Resolve(std::string_view Base, std::string_view Reference);
  // RFC 3986, 5.2.4.
  static std::string RemoveDotSegments(std::string_view Path);

  // The parts written out again (RFC 3986, 5.3), without a fragment.
  std::string Text() const;
  // The port the URL names: 0 when it names none or leaves it empty (the scheme's own).
  // Decimal digits only: refuses text that is no integer (the conversion error), and any
  // other text or a number outside 1-65535 ("Invalid port in URL: ...").
  int PortNumber() const;
  // The port the URL names, else its scheme's own: 443 for https, else as SchemePort.
  // Refuses what PortNumber refuses.
  int ServerPort() const;
  // Whether the URL names a web server: the scheme http or https, a host that is not
  // empty nor an IP literal that did not read, and a port that is empty or 1-65535.
  bool NamesWebServer() const;
  // The authority without its user information.
  std::string HostPort() const;
  // The path and query as written: "/" for an empty path.
  std::string Target() const;
  // User name and password of the user information, percent-decoded.
  std::string User() const;
  std::string Password() const;
  // The path and query as a request line carries them: "/" for an empty path, and the
  // bytes HTTP does not allow there percent-encoded (see EncodeTarget).
  std::string RequestTarget() const;

  // Space, controls, DEL, bytes 0x80-0xFF and " < > \ ^ ` { | } become %XX (upper-case
  // hexadecimal); an existing %XX stays, a "%" without two hexadecimal digits becomes %25.
  static std::string EncodeTarget(std::string_view Target);
  // The port a request goes to for a scheme given in any case: 70 gopher, 21 ftp, 80 for
  // http and for no scheme. Refuses https ("HTTP Secure Socket is not supported").
  static int SchemePort(std::string_view Scheme);
  // Whether Scheme (any case) is one the component requests: http, https, ftp or gopher.
  static bool IsKnownScheme(std::string_view Scheme);
  // Whether Scheme (any case) is http or https.
  static bool IsWebScheme(std::string_view Scheme);
  // The Host line's value: the host (an IPv6 address in brackets), with ":" and the port
  // when the port is not 80.
  static std::string HostValue(const std::string& Host, int Port);
  // The absolute form a proxy needs: scheme (http when none), "://", host (an IPv6 address
  // in brackets), the port when it is not the scheme's own, then Target.
  static std::string AbsoluteForm(std::string_view Scheme, const std::string& Host, int Port,
                                  const std::string& Target);
  // Refuses a host with a byte HostName::IsHostByte does not allow: one that would break the
  // request line or the Host line, or that is not the A-label of a name. An IPv6 address,
  // bare, is a host.
  static void CheckHost(const std::string& Host);
};
