// TContentDecoder: one stage per coding, zlib for deflate and gzip, libbrotli for br and
// libzstd for zstd, each handing blocks of at most Room bytes to the next.
#include "http/TContentDecoder.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <functional>

#include "base/AsciiText.h"
#include "base/SysUtils.h"

namespace {

constexpr std::size_t Room = 64 * 1024;

using TEmit = std::function<void(std::string_view)>;

[[noreturn]] void Corrupt(std::string_view Reason) {
  throw EHttpContentError("Error while processing content unencoding: " + std::string(Reason));
}

}  // namespace

class TContentDecoder::TStage {
 public:
  virtual ~TStage() = default;
  // Decodes In, handing each block decoded to Emit.
  virtual void Decode(std::string_view In, const TEmit& Emit) = 0;
  // True when every stream begun has ended (a stage fed nothing has begun none).
  virtual bool Ended() const = 0;
  virtual const char* Name() const = 0;
};

namespace {

// deflate (a zlib stream, or a raw deflate one as some servers send under that name) and
// gzip (one member or several one after the other, as gzip itself writes them appended).
class TZlibStage final : public TContentDecoder::TStage {
 public:
  explicit TZlibStage(bool Gzip) : FGzip(Gzip) { Start(Gzip ? 15 + 16 : 15); }
  ~TZlibStage() override { inflateEnd(&FZ); }

  void Decode(std::string_view In, const TEmit& Emit) override {
    // A deflate body whose first bytes are no zlib header may be raw deflate: they are kept
    // until the stream has given something, to be read again that way.
    const bool MayBeRaw = !FGzip && !FRaw && FZ.total_in < 2;  // zlib's header is 2 bytes
    if (MayBeRaw) FStart.append(In);
    while (!In.empty()) {
      if (FEnded) {
        // Another gzip member may follow; anything else after the end is not the body's.
        if (!FGzip || static_cast<unsigned char>(In[0]) != 0x1f) return;
        inflateReset(&FZ);
        FEnded = false;
      }
      FZ.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(In.data()));
      FZ.avail_in = static_cast<uInt>(std::min<std::size_t>(In.size(), 1u << 30));
      const std::size_t Given = FZ.avail_in;
      const int Result = Inflate(Emit);
      In.remove_prefix(Given - FZ.avail_in);
      if (Result == Z_STREAM_END) {
        FEnded = true;
        FBegun = false;
        continue;
      }
      if (Result == Z_OK || Result == Z_BUF_ERROR) continue;
      // Raw deflate only for a stream that gave nothing yet: bytes handed on are the body's.
      if (MayBeRaw && Result == Z_DATA_ERROR && FZ.total_out == 0) return ReadRaw(Emit);
      Corrupt(FZ.msg != nullptr ? FZ.msg : "the coded body is corrupt");
    }
    if (FZ.total_in >= 2) FStart = std::string();
  }
  bool Ended() const override { return !FBegun; }
  const char* Name() const override { return FGzip ? "gzip" : "deflate"; }

 private:
  void Start(int WindowBits) {
    FZ = {};
    if (inflateInit2(&FZ, WindowBits) != Z_OK) throw EHttpContentError("Out of memory");
  }
  // Inflates what FZ is given until it needs more input or its stream ends.
  int Inflate(const TEmit& Emit) {
    // Until the input is taken and zlib has room left over: a full room may hide more.
    int Result = Z_OK;
    do {
      FZ.next_out = reinterpret_cast<Bytef*>(FOut.data());
      FZ.avail_out = static_cast<uInt>(FOut.size());
      Result = inflate(&FZ, Z_NO_FLUSH);
      FBegun = FBegun || Result == Z_OK;
      const std::size_t Made = FOut.size() - FZ.avail_out;
      if (Made > 0) Emit(std::string_view(FOut.data(), Made));
    } while (Result == Z_OK && (FZ.avail_in > 0 || FZ.avail_out == 0));
    return Result;
  }
  void ReadRaw(const TEmit& Emit) {
    inflateEnd(&FZ);
    Start(-15);
    FRaw = true;
    FBegun = false;
    const std::string Again = std::move(FStart);
    FStart = std::string();
    Decode(Again, Emit);
  }

  z_stream FZ{};
  bool FGzip;
  bool FRaw = false;
  bool FBegun = false;
  bool FEnded = false;
  std::string FStart;
  std::array<char, Room> FOut{};
};

class TBrotliStage final : public TContentDecoder::TStage {
 public:
  TBrotliStage() : FState(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {
    if (FState == nullptr) throw EHttpContentError("Out of memory");
  }
  ~TBrotliStage() override { BrotliDecoderDestroyInstance(FState); }

  void Decode(std::string_view In, const TEmit& Emit) override {
    if (FEnded) return;  // what follows the stream's end is not the body's
    std::size_t AvailIn = In.size();
    const auto* NextIn = reinterpret_cast<const std::uint8_t*>(In.data());
    FBegun = FBegun || AvailIn > 0;
    for (;;) {
      std::size_t AvailOut = FOut.size();
      auto* NextOut = reinterpret_cast<std::uint8_t*>(FOut.data());
      const BrotliDecoderResult Result =
          BrotliDecoderDecompressStream(FState, &AvailIn, &NextIn, &AvailOut, &NextOut, nullptr);
      const std::size_t Made = FOut.size() - AvailOut;
      if (Made > 0) Emit(std::string_view(FOut.data(), Made));
      if (Result == BROTLI_DECODER_RESULT_SUCCESS) {
        FEnded = true;
        return;
      }
      if (Result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) return;
      if (Result == BROTLI_DECODER_RESULT_ERROR)
        Corrupt(BrotliDecoderErrorString(BrotliDecoderGetErrorCode(FState)));
    }
  }
  bool Ended() const override { return FEnded || !FBegun; }
  const char* Name() const override { return "br"; }

 private:
  BrotliDecoderState* FState;
  bool FBegun = false;
  bool FEnded = false;
  std::array<char, Room> FOut{};
};

// zstd frames one after the other. The window is held to 8 MiB, as HTTP's zstd coding asks
// (RFC 9659): a frame asking for more is refused rather than given its memory.
class TZstdStage final : public TContentDecoder::TStage {
 public:
  TZstdStage() : FStream(ZSTD_createDStream()) {
    if (FStream == nullptr) throw EHttpContentError("Out of memory");
    ZSTD_DCtx_setParameter(FStream, ZSTD_d_windowLogMax, 23);
  }
  ~TZstdStage() override { ZSTD_freeDStream(FStream); }

  void Decode(std::string_view In, const TEmit& Emit) override {
    ZSTD_inBuffer Input{In.data(), In.size(), 0};
    // Until the frame is flushed: its last bytes may need room after all input is taken.
    while (Input.pos < Input.size || FPending) {
      ZSTD_outBuffer Output{FOut.data(), FOut.size(), 0};
      const std::size_t Result = ZSTD_decompressStream(FStream, &Output, &Input);
      if (ZSTD_isError(Result)) Corrupt(ZSTD_getErrorName(Result));
      if (Output.pos > 0) Emit(std::string_view(FOut.data(), Output.pos));
      FInFrame = Result != 0;
      // A full room may hide more of the frame; a frame ended (0) hides nothing, and one more
      // call would start reading the next frame's header as if one followed.
      FPending = Result != 0 && Output.pos == Output.size;
      if (Input.pos == Input.size && !FPending) break;
    }
  }
  bool Ended() const override { return !FInFrame; }
  const char* Name() const override { return "zstd"; }

 private:
  ZSTD_DStream* FStream;
  bool FInFrame = false;
  bool FPending = false;
  std::array<char, Room> FOut{};
};

}  // namespace

std::vector<std::string> TContentDecoder::Codings(std::string_view ContentEncoding) {
  std::vector<std::string> Listed;
  while (!ContentEncoding.empty()) {
    const std::size_t Comma = ContentEncoding.find(',');
    std::string Coding = AsciiLowered(TrimBlanks(ContentEncoding.substr(0, Comma)));
    ContentEncoding.remove_prefix(Comma == std::string_view::npos ? ContentEncoding.size() : Comma + 1);
    if (!Coding.empty() && Coding != "identity") Listed.push_back(std::move(Coding));
  }
  return Listed;
}

bool TContentDecoder::Known(std::string_view Coding) {
  return Coding == "deflate" || Coding == "gzip" || Coding == "x-gzip" || Coding == "br" ||
         Coding == "zstd" || Coding == "identity";
}

TContentDecoder::TContentDecoder(std::string_view ContentEncoding, TLimits Limits)
    : FLimits(Limits) {
  const std::vector<std::string> Listed = Codings(ContentEncoding);
  if (Listed.size() > MaxCodings)
    throw EHttpContentError("Reject response due to more than " + IntToStr(MaxCodings) +
                            " content encodings");
  for (const std::string& Coding : Listed)
    if (!Known(Coding)) {
      FUnknown = Coding;
      return;
    }
  // The coding applied last is listed last and comes off first.
  for (auto It = Listed.rbegin(); It != Listed.rend(); ++It) {
    if (*It == "br")
      FStages.push_back(std::make_unique<TBrotliStage>());
    else if (*It == "zstd")
      FStages.push_back(std::make_unique<TZstdStage>());
    else
      FStages.push_back(std::make_unique<TZlibStage>(*It != "deflate"));
  }
  FMade.assign(FStages.size(), 0);
}

TContentDecoder::~TContentDecoder() = default;

std::int64_t TContentDecoder::Bound() const {
  return std::max(FLimits.Floor, FCoded > INT64_MAX / std::max<std::int64_t>(FLimits.Ratio, 1)
                                     ? INT64_MAX
                                     : FCoded * FLimits.Ratio);
}

void TContentDecoder::TooLarge() const {
  throw EHttpContentError("Decoded body too large: over " + IntToStr(Bound()) +
                          " bytes, more than " + IntToStr(FLimits.Ratio) +
                          " times its coded size");
}

void TContentDecoder::Deliver(std::string_view Block, const TBlockSink& Out) {
  const std::int64_t Left = std::max<std::int64_t>(Bound() - FDecoded, 0);
  const bool Over = static_cast<std::int64_t>(Block.size()) > Left;
  if (Over) Block = Block.substr(0, static_cast<std::size_t>(Left));
  FDecoded += static_cast<std::int64_t>(Block.size());
  if (!Block.empty()) Out(Block);
  if (Over) TooLarge();
}

void TContentDecoder::Run(std::size_t Index, std::string_view In, const TBlockSink& Out) {
  if (Index == FStages.size()) return Deliver(In, Out);
  FStages[Index]->Decode(In, [&](std::string_view Block) {
    FMade[Index] += static_cast<std::int64_t>(Block.size());
    if (Index + 1 < FStages.size() && FMade[Index] > Bound()) TooLarge();
    Run(Index + 1, Block, Out);
  });
}

void TContentDecoder::Feed(std::string_view Coded, const TBlockSink& Out) {
  FCoded += static_cast<std::int64_t>(Coded.size());
  if (!Active()) {
    FDecoded += static_cast<std::int64_t>(Coded.size());
    if (!Coded.empty()) Out(Coded);
    return;
  }
  Run(0, Coded, Out);
}

void TContentDecoder::Feed(std::string_view Coded, std::string& Out) {
  Feed(Coded, [&Out](std::string_view Block) { Out.append(Block); });
}

void TContentDecoder::Finish() {
  if (!Active()) return;
  for (const auto& Stage : FStages)
    if (!Stage->Ended())
      Corrupt(std::string("the coded body ends inside its ") + Stage->Name() + " stream");
}
