// inet_addr with the platform's rules. glibc's differs: it skips leading blanks and accepts
// trailing text ("1.2.3.4 junk"), which the platform rejects.
#include <cstdint>

#include "platform/WinSock.h"

namespace win {

namespace {

// One part: decimal, octal after a leading 0, hex after 0x. Stops at '.' or the end.
bool ParsePart(const char*& p, std::uint64_t& value) {
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  const char* start = p;
  value = 0;
  for (;; ++p) {
    int digit;
    char c = *p;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (digit >= base) return false;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFu) return false;
  }
  return p != start;  // "0x" alone, or an empty part, is no number
}

}  // namespace

// The empty string gives INADDR_NONE_: it names no address, and answering 0 (0.0.0.0)
// would make a caller connect to the local host by accident.
std::uint32_t inet_addr(const char* cp) {
  if (cp == nullptr) return INADDR_NONE_;
  std::uint64_t parts[4];
  int count = 0;
  const char* p = cp;
  for (;;) {
    if (count == 4 || !ParsePart(p, parts[count])) return INADDR_NONE_;
    ++count;
    if (*p == 0) break;
    if (*p != '.') return INADDR_NONE_;
    ++p;
  }
  // Each leading part is one byte; the last fills the bytes that remain.
  std::uint64_t lastMax = 0xFFFFFFFFu >> (8 * (count - 1));
  std::uint32_t host = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return INADDR_NONE_;
    host |= static_cast<std::uint32_t>(parts[i]) << (24 - 8 * i);
  }
  if (parts[count - 1] > lastMax) return INADDR_NONE_;
  host |= static_cast<std::uint32_t>(parts[count - 1]);
  return htonl(host);
}

}  // namespace win
