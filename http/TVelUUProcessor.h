// Turns the bytes of one stream into printable lines in another: Base64 (MIME) or uuencode.
#pragma once

#include <cstdint>

#include "base/Events.h"
#include "base/TComponent.h"
#include "base/TStream.h"

enum UUMethods : std::uint8_t { uuMime = 0, uuCode = 1 };

// Encodes the whole of InputStream into OutputStream, 45 input bytes per line, each line
// ended by CR LF: Base64 lines padded with '=' (uuMime), or uuencoded lines that start with a
// length character and end with the closing "`" line (uuCode). No begin/end lines naming a
// file are written. The caller owns both streams.
class TVelUUProcessor : public TComponent {
 public:
  explicit TVelUUProcessor(TComponent* AOwner);

  // Reads InputStream from its first byte to its end and appends the text at OutputStream's
  // position; on return OutputStream is at 0, ready to be read, even when a stream raised.
  // Input that stops short (a read yielding nothing before the stream's size is reached) is
  // taken as the end. Raises Exception when either stream is unset.
  void Encode();

  TNotifyEvent OnBeginEncode;
  TNotifyEvent OnEndEncode;
  // Assignable only: there is no decoding operation to raise them.
  TNotifyEvent OnBeginDecode;
  TNotifyEvent OnEndDecode;

  TStream* InputStream = nullptr;
  TStream* OutputStream = nullptr;
  UUMethods Method = uuMime;

 private:
  void LoadAlphabet();
  void EncodeLines();
  void Raise(const TNotifyEvent& Event);

  char FAlphabet[64] = {};
};
