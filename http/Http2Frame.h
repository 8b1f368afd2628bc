// One HTTP/2 frame as it went or came on a connection: what the record keeps of it and what
// the inspector and the command line show.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct THttp2Frame {
  // Frame types (RFC 9113, 6).
  enum TType : std::uint8_t {
    ftData = 0,
    ftHeaders = 1,
    ftPriority = 2,
    ftRstStream = 3,
    ftSettings = 4,
    ftPushPromise = 5,
    ftPing = 6,
    ftGoAway = 7,
    ftWindowUpdate = 8,
    ftContinuation = 9
  };
  bool Sent = false;  // we sent it; otherwise it came from the server
  std::uint8_t Type = ftData;
  std::uint8_t Flags = 0;
  std::int32_t Stream = 0;
  std::uint32_t Length = 0;  // of the payload, as the frame's header says
  // For HEADERS (and PUSH_PROMISE), the decoded header list: "name: value" lines, each ended
  // by CR LF; for a frame received, once its block (CONTINUATION frames included) is whole.
  std::string Headers;
  // For RST_STREAM and GOAWAY: the error code; for GOAWAY also the last stream it names.
  std::uint32_t ErrorCode = 0;
  std::int32_t LastStream = 0;
  // For SETTINGS: "NAME=value" pairs, blank-separated; for WINDOW_UPDATE the increment.
  std::string Detail;
};

namespace Http2Names {
// "DATA", "HEADERS" ... for the types above; "UNKNOWN(n)" for another.
std::string FrameType(std::uint8_t Type);
// "NO_ERROR", "PROTOCOL_ERROR" ... (RFC 9113, 7); "0x<hex>" for a code it does not define.
std::string ErrorCode(std::uint32_t Code);
// The flags a frame of Type may carry, by name ("END_STREAM|END_HEADERS"); "" for none.
std::string Flags(std::uint8_t Type, std::uint8_t Flags);
}  // namespace Http2Names
