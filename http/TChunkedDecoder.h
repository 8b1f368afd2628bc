// TChunkedDecoder: takes the chunked transfer coding off a reply body as it arrives, in
// pieces cut anywhere, and tells when the last chunk and its trailer have been read.
//
// The framing is HTTP/1.1's: chunks of "hex-size [;extensions] CRLF data CRLF", ended by a
// chunk of size 0 and a trailer section (field lines, then an empty line). A bare LF is taken
// for CR LF, as HTTP allows a recipient to. Anything else, a size beyond 60 bits, or a size
// line or trailer that goes on without end, is malformed: EHttpMalformedChunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

class TChunkedDecoder {
 public:
  using TOutput = std::function<void(std::string_view Data)>;

  // Decodes Count bytes, passing each run of body data to Output. Returns how many of the
  // bytes belong to the chunked body: fewer than Count only once Finished (what follows is
  // not part of this body). Throws EHttpMalformedChunk at the first byte the framing refuses;
  // the data before it has gone to Output.
  std::size_t Feed(const char* Data, std::size_t Count, const TOutput& Output);

  // The last chunk and the trailer section have been read.
  bool Finished() const { return FState == sDone; }

  // A size line or a trailer section longer than this is refused as malformed.
  static constexpr std::size_t MaxLineSize = 64 * 1024;

 private:
  enum TState : std::uint8_t {
    sSize,          // hex digits of the chunk size
    sExtension,     // after the size: blanks, ";" and extensions, up to the line end
    sSizeLF,        // CR seen after the size line
    sData,          // FLeft bytes of chunk data to come
    sDataCR,        // the CR LF after a chunk's data
    sDataLF,        // CR seen after the data
    sTrailerStart,  // at the start of a trailer line (an empty one ends the body)
    sTrailerLine,   // inside a trailer field line
    sTrailerLF,     // CR seen in the trailer
    sDone
  };

  // One framing byte (not chunk data); raises on a byte the framing refuses.
  void Step(char C);
  // Step's part for the size line: the hex size, its extensions, its line end.
  void StepSizeLine(char C);
  // One more byte of a size or trailer line; refused past MaxLineSize.
  void CountLine();
  // The size line is over: the chunk's data follows, or the trailer after the last chunk.
  void EndSizeLine();
  [[noreturn]] static void Refuse();

  TState FState = sSize;
  std::uint64_t FLeft = 0;        // data bytes of the current chunk still to come
  std::size_t FDigits = 0;        // hex digits of the current size
  std::size_t FLineSize = 0;      // bytes of the current size line, or of the trailer so far
  bool FTrailerEmptyLine = true;  // the trailer line that CR ends had nothing before it
};
