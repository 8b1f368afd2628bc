// HostName: the rules a URL's authority and host follow. One rule tells which bytes an
// authority may hold, one which bytes a host name may hold once it is read, and a name with
// letters outside ASCII is looked up by its A-label (UTS #46, IDNA 2008), as browsers and curl
// do, so that the name shown, the name looked up and the name the certificate is checked
// against are one name.
#pragma once

#include <string>
#include <string_view>

namespace HostName {

// S with every "%" and two hexadecimal digits made the byte they write; any other "%" stays.
std::string PercentDecoded(std::string_view S);

// Whether C may stand in a host name as it is sent: an RFC 3986 reg-name's unreserved and
// sub-delims characters (letters, digits, "-._~!$&'()*+,;="). "%", ":", "@", "/", brackets,
// blanks, controls and bytes outside ASCII never reach the request line or the Host line.
bool IsHostByte(char C);

// Refuses, as an EHttpUrlError naming Url, an authority's user information or host (Part)
// holding a byte RFC 3986 allows nowhere in an authority: controls, DEL, space and " < > \ ^ ` { |
// }. A backslash in particular would end the authority for a browser
// ("http://evil.test\@127.0.0.1/" is evil.test to it) and not here, so that the two would name
// different servers.
void CheckAuthority(std::string_view Part, std::string_view Url);

// The host Host (as written in Url, possibly percent-encoded UTF-8, RFC 3986 3.2.2) names,
// as it is looked up and sent: percent-decoded, then, when it holds bytes outside ASCII,
// converted to its A-label by libidn2 (NFC, non-transitional UTS #46 processing, the
// transitional one when that refuses). A host that was ASCII and had no "%" comes back byte
// for byte. Refuses, as an EHttpUrlError, a name libidn2 cannot convert ("Failed to convert
// ... to ACE; <its reason>") and a result with a byte IsHostByte does not allow (the
// decoded "%2F", the full-width solidus that maps to "/").
std::string LookupName(std::string_view Host, std::string_view Url);

// The form two hosts are compared in when they must name one server: ASCII letters in lower
// case, the A-label of a name outside ASCII, no trailing dot ("name.test." is "name.test"),
// and an IP literal (in brackets or not) in its canonical text ("[0:0::1]" is "[::1]").
// Never throws: a name that does not convert is compared as written, in lower case.
std::string Canonical(std::string_view Host);
bool SameHost(std::string_view A, std::string_view B);

// Whether Host is an IPv6 address as a look-up takes it: bare, without brackets or zone.
bool IsAddress6(std::string_view Host);
// Host as an authority or a URL writes it: an IPv6 address in brackets ("[::1]"), any other
// host unchanged. Every writer of a host into a URL, a Host line or a request line uses it.
std::string InAuthority(const std::string& Host);

// Text as an error message shows it: controls, DEL and bytes that are no UTF-8 as \xNN,
// bidirectional controls as
// their marks (base/BidiText.h), so that it cannot hide or reorder what it names.
std::string Shown(std::string_view Text);

}  // namespace HostName
