// TExchangePass: the values derived from what a pass recorded.
#include "inspect/TExchangePass.h"

#include "http/HttpErrors.h"
#include "http/TReplyHead.h"
#include "inspect/HttpText.h"

std::optional<std::int64_t> TExchangePass::AnnouncedLength() const {
  std::optional<std::int64_t> Length;
  for (const THeaderField& F : HeaderFields(FinalReply(ReplyHeader), true))
    if (SameFieldName(F.Name, "Content-Length"))
      if (const std::int64_t Value = TReplyHead::LengthValue(F.Value); Value >= 0) Length = Value;
  return Length;
}

bool TExchangePass::ReplyHasBody() const {
  const int N = ReplyNumber;
  return Method != "HEAD" && N != 204 && N != 304 && !(N >= 100 && N < 200);
}

bool TExchangePass::BodyShort() const {
  if (!At[xsBodyEnd] || !ReplyHasBody()) return false;
  // A chunked body is framed by its chunks: a Content-Length beside them announces nothing.
  const auto Coding = FieldValue(HeaderFields(FinalReply(ReplyHeader), true), "Transfer-Encoding");
  if (Coding && TReplyHead::EndsWithChunked(*Coding)) return false;
  const auto Announced = AnnouncedLength();
  return Announced && BodyBytes < *Announced;
}

std::string TExchangePass::ShortBodyError() const {
  if (!BodyShort()) return "";
  return ShortBodyMessage(*AnnouncedLength() - BodyBytes);
}
