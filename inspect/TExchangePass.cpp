// TExchangePass: the values derived from what a pass recorded.
#include "inspect/TExchangePass.h"

#include "http/TReplyHead.h"
#include "inspect/HttpText.h"

std::optional<std::int64_t> TExchangePass::AnnouncedLength() const {
  std::optional<std::int64_t> Length;
  for (const THeaderField& F : HeaderFields(FinalReply(ReplyHeader), true))
    if (SameFieldName(F.Name, "Content-Length"))
      if (const std::int64_t Value = TReplyHead::LengthValue(F.Value); Value >= 0) Length = Value;
  return Length;
}
