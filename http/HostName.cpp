// Authority bytes, host bytes, the A-label of an international name (through libidn2) and
// the canonical form hosts are compared in.
#include "http/HostName.h"

#include <idn2.h>

#include "base/AsciiText.h"
#include "base/BidiText.h"
#include "base/SysUtils.h"
#include "http/HttpErrors.h"
#include "platform/InetText.h"

namespace {

bool IsAscii(std::string_view S) {
  for (const char C : S)
    if (static_cast<unsigned char>(C) >= 0x80) return false;
  return true;
}

// The length of the printable character Text starts with: 1 for printable ASCII, 2 to 4
// for a UTF-8 sequence with its continuation bytes; 0 for a control, DEL or a byte that
// starts no sequence, which the message then shows as \xNN.
std::size_t Utf8Length(std::string_view Text) {
  const auto Lead = static_cast<unsigned char>(Text[0]);
  if (Lead < 0x80) return Lead >= 0x20 && Lead != 0x7F ? 1 : 0;
  const std::size_t Length = Lead >= 0xC2 && Lead <= 0xDF   ? 2
                             : Lead >= 0xE0 && Lead <= 0xEF ? 3
                             : Lead >= 0xF0 && Lead <= 0xF4 ? 4
                                                            : 0;
  if (Length == 0 || Text.size() < Length) return 0;
  for (std::size_t I = 1; I < Length; ++I)
    if ((static_cast<unsigned char>(Text[I]) & 0xC0) != 0x80) return 0;
  return Length;
}


// The A-label libidn2 gives for Utf8 (already ASCII-free of "%"): non-transitional UTS #46
// processing first, which keeps "ß" and the joiners as IDNA 2008 letters; when that refuses
// the name (a joiner out of its context, a bidi rule, a character it disallows), the
// transitional processing, which maps them away, as curl does. Returns libidn2's code.
int ToALabel(const std::string& Utf8, std::string& Ascii) {
  int Code = IDN2_OK;
  for (const int Processing : {IDN2_NONTRANSITIONAL, IDN2_TRANSITIONAL}) {
    char* Out = nullptr;
    Code = idn2_lookup_u8(reinterpret_cast<const uint8_t*>(Utf8.c_str()),
                          reinterpret_cast<uint8_t**>(&Out), IDN2_NFC_INPUT | Processing);
    if (Code == IDN2_OK) {
      Ascii.assign(Out);
      idn2_free(Out);
      return Code;
    }
    // Bad UTF-8, a NUL, or an output too long do not depend on the processing.
    if (Code == IDN2_ENCODING_ERROR || Code == IDN2_MALLOC) break;
  }
  return Code;
}

// What each byte is to an authority, looked up once a byte: every URL goes through both.
struct TByteClasses {
  bool Host[256] = {};       // a byte of a reg-name: unreserved or a sub-delimiter
  bool Forbidden[256] = {};  // never in an authority: controls, space, DEL, "<>\^`{|}
};

constexpr TByteClasses MakeByteClasses() {
  TByteClasses Classes;
  for (int B = 0; B < 256; ++B) {
    const char C = static_cast<char>(B);
    Classes.Host[B] = (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
                      std::string_view("-._~!$&'()*+,;=").find(C) != std::string_view::npos;
    Classes.Forbidden[B] = B <= 0x20 || B == 0x7F ||
                           std::string_view("\"<>\\^`{|}").find(C) != std::string_view::npos;
  }
  return Classes;
}

constexpr TByteClasses ByteClasses = MakeByteClasses();

}  // namespace

namespace HostName {

std::string PercentDecoded(std::string_view S) {
  std::string Out;
  for (std::size_t I = 0; I < S.size(); ++I) {
    const bool Escape =
        S[I] == '%' && I + 2 < S.size() && HexDigit(S[I + 1]) >= 0 && HexDigit(S[I + 2]) >= 0;
    if (!Escape) {
      Out += S[I];
      continue;
    }
    Out += static_cast<char>(HexDigit(S[I + 1]) * 16 + HexDigit(S[I + 2]));
    I += 2;
  }
  return Out;
}

bool IsHostByte(char C) { return ByteClasses.Host[static_cast<unsigned char>(C)]; }

void CheckAuthority(std::string_view Part, std::string_view Url) {
  for (const char C : Part)
    if (ByteClasses.Forbidden[static_cast<unsigned char>(C)])
      throw EHttpUrlError("Invalid character in URL: " + Shown(Url));
}

std::string LookupName(std::string_view Host, std::string_view Url) {
  const bool Encoded = Host.find('%') != std::string_view::npos;
  if (!Encoded && IsAscii(Host)) return std::string(Host);
  std::string Name = Encoded ? PercentDecoded(Host) : std::string(Host);
  if (!IsAscii(Name)) {
    std::string Ascii;
    // A NUL would end the name libidn2 reads: it is no letter of a name either.
    const int Code =
        Name.find('\0') != std::string::npos ? IDN2_ENCODING_ERROR : ToALabel(Name, Ascii);
    if (Code != IDN2_OK)
      throw EHttpUrlError("Failed to convert " + Shown(Name) + " to ACE; " + idn2_strerror(Code));
    Name = std::move(Ascii);
  }
  for (const char C : Name)
    if (!IsHostByte(C)) throw EHttpUrlError("Invalid host in URL: " + Shown(Url));
  return Name;
}

std::string Canonical(std::string_view Host) {
  if (Host.size() > 2 && Host.front() == '[' && Host.back() == ']') {
    const std::string Address = win::CanonicalAddress(Host.substr(1, Host.size() - 2));
    if (!Address.empty()) return "[" + Address + "]";
    return AsciiLowered(Host);
  }
  std::string Name(Host);
  if (!IsAscii(Name) && Name.find('\0') == std::string::npos) {
    std::string Ascii;
    if (ToALabel(Name, Ascii) == IDN2_OK) Name = std::move(Ascii);
  }
  if (Name.size() > 1 && Name.back() == '.') Name.pop_back();
  if (const std::string Address = win::CanonicalAddress(Name); !Address.empty()) return Address;
  return AsciiLowered(Name);
}

bool IsAddress6(std::string_view Host) {
  in6_addr Bytes{};
  return win::ParseInet6(Host, Bytes);
}

std::string InAuthority(const std::string& Host) {
  return IsAddress6(Host) ? "[" + Host + "]" : Host;
}

bool SameHost(std::string_view A, std::string_view B) { return Canonical(A) == Canonical(B); }

std::string Shown(std::string_view Text) {
  static constexpr char Hex[] = "0123456789abcdef";
  std::string Out;
  Out.reserve(Text.size());
  for (std::size_t At = 0; At < Text.size(); ++At) {
    const auto Byte = static_cast<unsigned char>(Text[At]);
    const std::size_t Length = Utf8Length(Text.substr(At));
    if (Length > 0) {
      Out.append(Text.substr(At, Length));
      At += Length - 1;
      continue;
    }
    Out += "\\x";
    Out += Hex[Byte >> 4];
    Out += Hex[Byte & 15];
  }
  return WithVisibleBidi(Out);
}

}  // namespace HostName
