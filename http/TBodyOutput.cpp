// TBodyOutput: one body's destination, decoding and bound.
#include "http/TBodyOutput.h"

#include "http/HttpErrors.h"

TBodyOutput::TBodyOutput(std::string* Text, TStream* File, TSink Sink, std::int64_t Limit,
                         bool Chunked, TContentDecoder* Decoder)
    : FText(Text), FFile(File), FSink(std::move(Sink)), FLimit(Limit), FContent(Decoder) {
  if (Chunked) FDecoder.emplace();
}

std::int64_t TBodyOutput::Take(const char* Data, std::size_t Count) {
  if (!FContent) {
    const std::int64_t Before = FDelivered;
    if (FDecoder)
      FOverran |=
          FDecoder->Feed(Data, Count, [this](std::string_view Block) { Deliver(Block); }) < Count;
    else
      Deliver(std::string_view(Data, Count));
    return FDelivered - Before;
  }
  const std::int64_t Before = FCoded;
  if (FDecoder)
    FOverran |=
        FDecoder->Feed(Data, Count, [this](std::string_view Block) { Decode(Block); }) < Count;
  else
    Decode(std::string_view(Data, Count));
  return FCoded - Before;
}

void TBodyOutput::Closed(bool Whole) const {
  if (FDecoder && !FDecoder->Finished()) throw EHttpChunkedBodyCut();
  if (FContent && FCoded > 0 && Whole) FContent->Finish();
}

void TBodyOutput::Decode(std::string_view Block) {
  if (Block.empty()) return;
  FCoded += static_cast<std::int64_t>(Block.size());
  // Each decoded block goes on at once: the bound and the destination see it before the
  // next is decoded, and what decoded before a fault is the body's all the same.
  FContent->Feed(Block, [this](std::string_view Decoded) { Deliver(Decoded); });
}

void TBodyOutput::Deliver(std::string_view Block) {
  if (Block.empty()) return;
  bool Over = false;
  if (FLimit > 0 && static_cast<std::int64_t>(Block.size()) > FLimit - FDelivered) {
    Block = Block.substr(0, static_cast<std::size_t>(FLimit - FDelivered));
    Over = true;
  }
  if (!Block.empty()) {
    if (Tap) Tap(Block);
    if (FText)
      FText->append(Block);
    else if (FFile)
      FFile->WriteBuffer(Block.data(), static_cast<std::int64_t>(Block.size()));
    else if (FSink)
      FSink(Block);
    FDelivered += static_cast<std::int64_t>(Block.size());
  }
  if (Over) throw EHttpBodyTooLarge(FLimit);
}
