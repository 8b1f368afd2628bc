// Basic types of the platform interfaces the components were written against, sized for
// a 64-bit Linux process. Handles are opaque integers; 0 is never a valid handle.
#pragma once

#include <cstdint>

namespace win {

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using ATOM = std::uint16_t;
using LONG_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;  // wider than 32 bits: read the high word as (l >> 16) & 0xFFFF
using LRESULT = std::intptr_t;
using HANDLE = std::uintptr_t;
using HWND = std::uintptr_t;
using HINSTANCE = std::uintptr_t;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr WORD LOWORD(LPARAM l) {
  return static_cast<WORD>(static_cast<std::uintptr_t>(l) & 0xFFFF);
}
constexpr WORD HIWORD(LPARAM l) {
  return static_cast<WORD>((static_cast<std::uintptr_t>(l) >> 16) & 0xFFFF);
}
constexpr LPARAM MAKELPARAM(WORD lo, WORD hi) {
  return static_cast<LPARAM>(static_cast<DWORD>(lo) | (static_cast<DWORD>(hi) << 16));
}

}  // namespace win
