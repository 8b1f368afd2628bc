// TBodyOutput: where the bytes of one reply body go as they arrive (a text, a file or the
// caller's sink), with the chunked coding taken off first and the caller's size bound kept.
//
// It owns no socket: the component's receive loop hands it each block, and it tells the
// loop when the body's own framing has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/TStream.h"
#include "http/TChunkedDecoder.h"

class TBodyOutput {
 public:
  using TSink = std::function<void(std::string_view Block)>;

  // Exactly one destination: Text (appended to), File (written at its position) or Sink.
  // Limit bounds the body in bytes (after decoding); 0 sets no bound.
  TBodyOutput(std::string* Text, TStream* File, TSink Sink, std::int64_t Limit, bool Chunked);

  // Takes Count received bytes and returns how many body bytes they gave (fewer than Count
  // when chunked). Past the bound, keeps exactly the bytes up to it and raises
  // EHttpBodyTooLarge; malformed framing raises EHttpMalformedChunk, keeping what was
  // decoded. An error of the sink passes out as it is.
  std::int64_t Take(const char* Data, std::size_t Count);

  // The body's framing has ended (chunked only): nothing further belongs to this body.
  bool Complete() const { return FDecoder && FDecoder->Finished(); }
  // The connection has ended: a chunked body cut short before its last chunk (or its trailer's
  // end) raises EHttpChunkedBodyCut, keeping what was decoded.
  void Closed() const;
  // Body bytes handed on so far.
  std::int64_t Delivered() const { return FDelivered; }
  // Told each block (within the bound) just before its destination, when set.
  TSink Tap;

 private:
  void Deliver(std::string_view Block);

  std::string* FText;
  TStream* FFile;
  TSink FSink;
  std::int64_t FLimit;
  std::optional<TChunkedDecoder> FDecoder;
  std::int64_t FDelivered = 0;
};
