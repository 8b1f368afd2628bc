// IP addresses as text: the IPv6 forms of RFC 4291 section 2.2 with the canonical output of
// RFC 5952, strict dotted-decimal IPv4, a comparison that sees through the spelling, and the
// text of a socket address of either family.
//
// A literal here is the address alone: no URL brackets ("[::1]" is the caller's to strip),
// no zone ("fe80::1%eth0"), no blanks. inet_addr (WinSock.h) keeps its own, looser grammar.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <string_view>

namespace win {

// Eight groups of one to four hex digits (either case) separated by ':', where "::" stands
// for one or more zero groups, once, and the last 32 bits may be written dotted decimal
// ("::ffff:192.0.2.1"). glibc's inet_pton reads exactly these forms; it does the parsing.
bool ParseInet6(std::string_view text, in6_addr& addr);

// "a.b.c.d": four decimal parts of 0 to 255 without leading zeros.
bool ParseInet4(std::string_view text, in_addr& addr);

// RFC 5952: lower case, no leading zeros, the longest run of two or more zero groups (the
// first of equal runs) as "::", and an IPv4-mapped address as "::ffff:a.b.c.d". Other
// addresses are all hex: glibc's inet_ntop would also write the deprecated IPv4-compatible
// ones ("::102:304") dotted, as "::1.2.3.4".
std::string FormatInet6(const in6_addr& addr);
std::string FormatInet4(const in_addr& addr);

// The canonical text of an IPv6 or IPv4 literal, or "" when `text` is neither.
std::string CanonicalAddress(std::string_view text);

// Whether two literals name the same address ("0:0::1" and "::1", "::FFFF:1.2.3.4" and
// "::ffff:102:304"). False when either is no literal, and across families: "127.0.0.1" and
// "::ffff:127.0.0.1" are different addresses to a socket.
bool SameAddress(std::string_view a, std::string_view b);

// The address (without the port) of an AF_INET or AF_INET6 socket address, canonical; ""
// for another family or a length too short for its family.
std::string AddressText(const sockaddr* addr, int addrlen);

}  // namespace win
