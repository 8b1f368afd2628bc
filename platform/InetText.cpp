// Address literals as text; see InetText.h.
#include "platform/InetText.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>
#include <cstring>

namespace win {

namespace {

// inet_pton needs a terminated string; anything longer than the longest form is no address.
template <int Family, typename Addr>
bool Parse(std::string_view text, Addr& addr) {
  char copy[INET6_ADDRSTRLEN];
  if (text.empty() || text.size() >= sizeof copy || text.find('\0') != std::string_view::npos)
    return false;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = 0;
  return ::inet_pton(Family, copy, &addr) == 1;
}

void AppendDotted(std::string& out, const unsigned char* bytes) {
  for (int i = 0; i < 4; ++i) {
    if (i > 0) out += '.';
    out += std::to_string(bytes[i]);
  }
}

// The first of the longest runs of zero groups, when it is two groups or more; -1 if none.
int ZeroRun(const std::uint16_t (&groups)[8], int& length) {
  int best = -1;
  length = 0;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > length) {
      best = i;
      length = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  if (length < 2) return -1;
  return best;
}

}  // namespace

bool ParseInet6(std::string_view text, in6_addr& addr) { return Parse<AF_INET6>(text, addr); }

bool ParseInet4(std::string_view text, in_addr& addr) { return Parse<AF_INET>(text, addr); }

std::string FormatInet6(const in6_addr& addr) {
  const unsigned char* b = addr.s6_addr;
  std::uint16_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<std::uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
  // ::ffff:0:0/96: the five zero groups are always the longest run, so only the sixth is hex.
  const bool mapped = IN6_IS_ADDR_V4MAPPED(&addr);
  int runLength = 0;
  const int run = ZeroRun(groups, runLength);
  std::string out;
  for (int i = 0; i < (mapped ? 6 : 8); ++i) {
    if (i == run) {
      out += "::";
      i += runLength - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    char hex[4];
    out.append(hex, std::to_chars(hex, hex + sizeof hex, groups[i], 16).ptr);
  }
  if (mapped) {
    out += ':';
    AppendDotted(out, b + 12);
  }
  return out;
}

std::string FormatInet4(const in_addr& addr) {
  std::string out;
  AppendDotted(out, reinterpret_cast<const unsigned char*>(&addr.s_addr));
  return out;
}

std::string CanonicalAddress(std::string_view text) {
  in6_addr six{};
  if (ParseInet6(text, six)) return FormatInet6(six);
  in_addr four{};
  if (ParseInet4(text, four)) return FormatInet4(four);
  return {};
}

bool SameAddress(std::string_view a, std::string_view b) {
  in6_addr a6{}, b6{};
  if (ParseInet6(a, a6)) return ParseInet6(b, b6) && std::memcmp(&a6, &b6, sizeof a6) == 0;
  in_addr a4{}, b4{};
  return ParseInet4(a, a4) && ParseInet4(b, b4) && a4.s_addr == b4.s_addr;
}

std::string AddressText(const sockaddr* addr, int addrlen) {
  if (addr == nullptr || addrlen < static_cast<int>(sizeof(sa_family_t))) return {};
  if (addr->sa_family == AF_INET6 && addrlen >= static_cast<int>(sizeof(sockaddr_in6))) {
    sockaddr_in6 six;
    std::memcpy(&six, addr, sizeof six);
    return FormatInet6(six.sin6_addr);
  }
  if (addr->sa_family == AF_INET && addrlen >= static_cast<int>(sizeof(sockaddr_in))) {
    sockaddr_in four;
    std::memcpy(&four, addr, sizeof four);
    return FormatInet4(four.sin_addr);
  }
  return {};
}

}  // namespace win
