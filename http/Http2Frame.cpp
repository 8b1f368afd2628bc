// The names of HTTP/2's frame types, error codes and flags.
#include "http/Http2Frame.h"

#include <array>
#include <cstdio>

namespace Http2Names {

std::string FrameType(std::uint8_t Type) {
  static constexpr std::array<const char*, 10> Names = {
      "DATA",         "HEADERS", "PRIORITY", "RST_STREAM",    "SETTINGS",
      "PUSH_PROMISE", "PING",    "GOAWAY",   "WINDOW_UPDATE", "CONTINUATION"};
  if (Type < Names.size()) return Names[Type];
  return "UNKNOWN(" + std::to_string(Type) + ")";
}

std::string ErrorCode(std::uint32_t Code) {
  static constexpr std::array<const char*, 14> Names = {"NO_ERROR",
                                                        "PROTOCOL_ERROR",
                                                        "INTERNAL_ERROR",
                                                        "FLOW_CONTROL_ERROR",
                                                        "SETTINGS_TIMEOUT",
                                                        "STREAM_CLOSED",
                                                        "FRAME_SIZE_ERROR",
                                                        "REFUSED_STREAM",
                                                        "CANCEL",
                                                        "COMPRESSION_ERROR",
                                                        "CONNECT_ERROR",
                                                        "ENHANCE_YOUR_CALM",
                                                        "INADEQUATE_SECURITY",
                                                        "HTTP_1_1_REQUIRED"};
  if (Code < Names.size()) return Names[Code];
  char Hex[16];
  std::snprintf(Hex, sizeof Hex, "0x%x", Code);
  return Hex;
}

std::string Flags(std::uint8_t Type, std::uint8_t Flags) {
  struct TFlag {
    std::uint8_t Bit;
    const char* Name;
  };
  std::string Names;
  const auto Add = [&](std::initializer_list<TFlag> Known) {
    for (const TFlag& F : Known)
      if (Flags & F.Bit) Names += (Names.empty() ? "" : "|") + std::string(F.Name);
  };
  switch (Type) {
    case THttp2Frame::ftData: Add({{0x1, "END_STREAM"}, {0x8, "PADDED"}}); break;
    case THttp2Frame::ftHeaders:
      Add({{0x1, "END_STREAM"}, {0x4, "END_HEADERS"}, {0x8, "PADDED"}, {0x20, "PRIORITY"}});
      break;
    case THttp2Frame::ftSettings:
    case THttp2Frame::ftPing: Add({{0x1, "ACK"}}); break;
    case THttp2Frame::ftPushPromise: Add({{0x4, "END_HEADERS"}, {0x8, "PADDED"}}); break;
    case THttp2Frame::ftContinuation: Add({{0x4, "END_HEADERS"}}); break;
    default: break;
  }
  return Names;
}

}  // namespace Http2Names
