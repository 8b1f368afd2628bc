// TExchangePass: the values derived from what a pass recorded.
#include "inspect/TExchangePass.h"

#include "inspect/HttpText.h"

std::optional<std::int64_t> TExchangePass::AnnouncedLength() const {
  std::optional<std::int64_t> Length;
  for (const THeaderField& F : HeaderFields(ReplyHeader, true))
    if (SameFieldName(F.Name, "Content-Length"))
      if (const auto Value = ContentLengthValue(F.Value)) Length = Value;
  return Length;
}
