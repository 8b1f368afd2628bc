// TBodyOutput: where the bytes of one reply body go as they arrive (a text, a file or the
// caller's sink), with the chunked coding taken off first, then the content codings when a
// decoder is given, and the caller's size bound kept on the decoded bytes.
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
#include "http/TContentDecoder.h"

class TBodyOutput {
 public:
  using TSink = std::function<void(std::string_view Block)>;

  // Exactly one destination: Text (appended to), File (written at its position) or Sink.
  // Limit bounds the body in bytes (after decoding); 0 sets no bound. Decoder, when given
  // (the caller's, living as long as this), takes the content codings off the body's bytes.
  TBodyOutput(std::string* Text, TStream* File, TSink Sink, std::int64_t Limit, bool Chunked,
              TContentDecoder* Decoder = nullptr);

  // Takes Count received bytes and returns how many body bytes they gave, as they came on
  // the wire (fewer than Count when chunked; before the content codings come off). Past the
  // bound, keeps exactly the bytes up to it and raises EHttpBodyTooLarge; malformed framing
  // raises EHttpMalformedChunk and a coded body that does not decode EHttpContentError,
  // each keeping what was decoded. An error of the sink passes out as it is.
  std::int64_t Take(const char* Data, std::size_t Count);

  // The body's framing has ended (chunked only): nothing further belongs to this body.
  bool Complete() const { return FDecoder && FDecoder->Finished(); }
  // Bytes came after the chunked body's end in one block with it: they belong to nothing
  // asked for, and the connection cannot be read on.
  bool Overran() const { return FOverran; }
  // The connection has ended: a chunked body cut short before its last chunk (or its trailer's
  // end) raises EHttpChunkedBodyCut, and a coded stream left unfinished EHttpContentError,
  // keeping what was decoded, when Whole says the body's framing was met (a body short of its
  // length is the caller's to report). A coded body of no bytes at all decodes to none.
  void Closed(bool Whole = true) const;
  // Body bytes handed on so far (decoded).
  std::int64_t Delivered() const { return FDelivered; }
  // Body bytes taken so far as they came: the coded ones with a decoder, else those handed
  // on (the bytes cut at the bound not counted).
  std::int64_t Received() const { return FContent ? FCoded : FDelivered; }
  // Told each block (within the bound) just before its destination, when set.
  TSink Tap;

 private:
  void Deliver(std::string_view Block);
  // A block of the body after its framing: decoded when there is a decoder, then delivered.
  void Decode(std::string_view Block);

  std::string* FText;
  TStream* FFile;
  TSink FSink;
  std::int64_t FLimit;
  std::optional<TChunkedDecoder> FDecoder;
  TContentDecoder* FContent;
  std::int64_t FCoded = 0;
  std::int64_t FDelivered = 0;
  bool FOverran = false;
};
