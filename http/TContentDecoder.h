// TContentDecoder: takes the content codings of a reply body off as the body streams in
// (RFC 9110, 8.4): deflate, gzip (and its old name x-gzip), br and zstd, one or several, in
// the order the reply's Content-Encoding lists them (the last one listed comes off first).
// "identity" is no coding.
//
// The decoded size is bounded, since a few coded bytes can stand for any number of decoded
// ones: past Ratio times the coded bytes fed so far (Floor being the least bound), decoding
// stops with an error, the bytes decoded up to the bound being the caller's already. (The
// body's own bound, MaxBodySize, is the reader's, on what it keeps.) A stream whose coded bytes end before the stream does (a gzip member
// without its trailer, a zstd frame cut) is an error at Finish, not a success.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/HttpErrors.h"

// A coded body that cannot be decoded: corrupt, cut short, or past its bound. The bytes
// decoded before it stay with the caller.
class EHttpContentError : public EHttpError {
 public:
  using EHttpError::EHttpError;
};

class TContentDecoder {
 public:
  struct TLimits {
    std::int64_t Ratio = 1000;               // decoded bytes per coded byte, at most
    std::int64_t Floor = std::int64_t{1} << 20;  // decoded bytes always allowed
  };

  // ContentEncoding: the field's value, several lines joined by ",".
  explicit TContentDecoder(std::string_view ContentEncoding, TLimits Limits);
  TContentDecoder(std::string_view ContentEncoding) : TContentDecoder(ContentEncoding, TLimits()) {}
  ~TContentDecoder();
  TContentDecoder(const TContentDecoder&) = delete;
  TContentDecoder& operator=(const TContentDecoder&) = delete;

  // The codings of the field this decoder knows, lower-cased, in the order listed.
  static bool Known(std::string_view Coding);
  // The first coding listed that is not known, lower-cased as given; empty when every one is.
  // A decoder with an unknown coding decodes nothing: Feed passes the bytes on as they are.
  const std::string& Unknown() const { return FUnknown; }
  // Something is to be taken off: a known coding is listed and no unknown one.
  bool Active() const { return FUnknown.empty() && !FStages.empty(); }

  // Decodes Coded and appends what it gives to Out. Raises EHttpContentError for a corrupt
  // stream or a bound passed; what was decoded before stays appended.
  void Feed(std::string_view Coded, std::string& Out);
  // The coded body has ended: raises EHttpContentError when a stream is left unfinished.
  void Finish();

  std::int64_t CodedBytes() const { return FCoded; }
  std::int64_t DecodedBytes() const { return FDecoded; }

  // One coding's decoder; TContentDecoder.cpp has one per coding.
  class TStage;

 private:
  std::int64_t Bound() const;
  // Runs stage Index (counted from the last coding listed, which comes off first) on In,
  // handing its output on to the next stage, or to Out after the last.
  void Run(std::size_t Index, std::string_view In, std::string& Out);
  // Appends Block to Out within the bound.
  void Deliver(std::string_view Block, std::string& Out);

  std::vector<std::unique_ptr<TStage>> FStages;  // in decoding order
  std::string FUnknown;
  TLimits FLimits;
  std::int64_t FCoded = 0;
  std::int64_t FDecoded = 0;
};
