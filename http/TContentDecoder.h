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
#include <functional>
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
    std::int64_t Ratio = 1000;                   // decoded bytes per coded byte, at most
    std::int64_t Floor = std::int64_t{1} << 20;  // decoded bytes always allowed
  };
  // Codings a body may carry at most, as curl holds them: each costs its state and a room.
  static constexpr std::size_t MaxCodings = 5;
  // Where the decoded bytes go, a block of at most 64 KiB at a time.
  using TBlockSink = std::function<void(std::string_view Block)>;

  // ContentEncoding: the field's value, several lines joined by ",". More than MaxCodings
  // codings (known or not) raise EHttpContentError before anything is made for them.
  explicit TContentDecoder(std::string_view ContentEncoding, TLimits Limits);
  TContentDecoder(std::string_view ContentEncoding) : TContentDecoder(ContentEncoding, TLimits()) {}
  ~TContentDecoder();
  TContentDecoder(const TContentDecoder&) = delete;
  TContentDecoder& operator=(const TContentDecoder&) = delete;

  // The codings a Content-Encoding value lists, trimmed and lower-cased, "identity" and
  // empty items left out, in the order listed.
  static std::vector<std::string> Codings(std::string_view ContentEncoding);
  // Whether Coding (lower case) is one this decoder takes off.
  static bool Known(std::string_view Coding);
  // The first coding listed that is not known; empty when every one is. A decoder with an
  // unknown coding decodes nothing: Feed passes the bytes on as they are.
  const std::string& Unknown() const { return FUnknown; }
  // Something is to be taken off: a known coding is listed and no unknown one.
  bool Active() const { return FUnknown.empty() && !FStages.empty(); }

  // Decodes Coded, handing each decoded block to Out as it comes: an error Out raises stops
  // the decoding at once. Raises EHttpContentError for a corrupt stream or a bound passed,
  // every block decoded before (up to the bound) handed on.
  void Feed(std::string_view Coded, const TBlockSink& Out);
  // The same, appending to Out.
  void Feed(std::string_view Coded, std::string& Out);
  // The coded body has ended: raises EHttpContentError when a stream is left unfinished.
  void Finish();

  std::int64_t CodedBytes() const { return FCoded; }
  std::int64_t DecodedBytes() const { return FDecoded; }

  // One coding's decoder; TContentDecoder.cpp has one per coding.
  class TStage;

 private:
  std::int64_t Bound() const;
  [[noreturn]] void TooLarge() const;
  // Runs stage Index (counted from the last coding listed, which comes off first) on In,
  // handing its output on to the next stage, or to Out after the last. Every stage's output
  // is held to the bound, so that an inner stage that stopped taking input cannot let an
  // outer one decode on without end.
  void Run(std::size_t Index, std::string_view In, const TBlockSink& Out);
  // Hands Block to Out within the bound.
  void Deliver(std::string_view Block, const TBlockSink& Out);

  std::vector<std::unique_ptr<TStage>> FStages;  // in decoding order
  std::vector<std::int64_t> FMade;               // bytes each stage has given
  std::string FUnknown;
  TLimits FLimits;
  std::int64_t FCoded = 0;
  std::int64_t FDecoded = 0;
};
