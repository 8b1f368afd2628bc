// Header blocks, URLs and body bytes read as HTTP and JSON need them.
#include "inspect/HttpText.h"

#include <cstdint>
#include <string>

#include "http/TReplyHead.h"

namespace {

// Length of the UTF-8 sequence a lead byte starts, 0 for a byte that cannot lead one.
int SequenceLength(unsigned char B) {
  if (B < 0x80) return 1;
  if (B >= 0xC2 && B <= 0xDF) return 2;
  if (B >= 0xE0 && B <= 0xEF) return 3;
  if (B >= 0xF0 && B <= 0xF4) return 4;
  return 0;
}

// Whether the continuation byte at Index of a sequence led by Lead is allowed: the second
// byte's range excludes overlong forms, surrogates and code points above U+10FFFF.
bool ContinuationFits(unsigned char Lead, int Index, unsigned char B) {
  if ((B & 0xC0) != 0x80) return false;
  if (Index != 1) return true;
  if (Lead == 0xE0) return B >= 0xA0;
  if (Lead == 0xED) return B <= 0x9F;
  if (Lead == 0xF0) return B >= 0x90;
  if (Lead == 0xF4) return B <= 0x8F;
  return true;
}

}  // namespace

std::vector<std::string_view> HeaderLines(std::string_view Block) {
  std::vector<std::string_view> Lines;
  while (!Block.empty()) {
    const auto End = Block.find('\n');
    std::string_view Line = Block.substr(0, End);
    if (!Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
    if (Line.empty()) break;
    Lines.push_back(Line);
    if (End == std::string_view::npos) break;
    Block.remove_prefix(End + 1);
  }
  return Lines;
}

std::vector<THeaderField> HeaderFields(std::string_view Block, bool HasStartLine) {
  std::vector<THeaderField> Fields;
  const auto Lines = HeaderLines(Block);
  for (std::size_t I = HasStartLine ? 1 : 0; I < Lines.size(); ++I) {
    const std::string_view Line = Lines[I];
    // A folded line (it starts with a blank) goes on with the field before it, joined with
    // one space, as the component reads it; one with no field before it belongs to none.
    if (IsBlank(Line[0])) {
      const std::string_view More = TrimBlanks(Line);
      if (Fields.empty() || More.empty()) continue;
      std::string& Value = Fields.back().Value;
      Value += (Value.empty() ? "" : " ") + std::string(More);
      continue;
    }
    const auto Colon = Line.find(':');
    if (Colon == std::string_view::npos) {
      Fields.push_back({std::string(Line), std::string()});
      continue;
    }
    Fields.push_back(
        {std::string(Line.substr(0, Colon)), std::string(TrimBlanks(Line.substr(Colon + 1)))});
  }
  return Fields;
}

std::optional<std::string> FieldValue(const std::vector<THeaderField>& Fields,
                                      std::string_view Name) {
  std::optional<std::string> Value;
  for (const THeaderField& F : Fields)
    if (SameNoCase(F.Name, Name)) Value = F.Value;
  return Value;
}

std::string_view FinalReply(std::string_view Head) {
  for (;;) {
    const auto StatusEnd = Head.find('\n');
    if (StatusEnd == std::string_view::npos) return Head;
    if (!TReplyHead::IsInterim(TReplyHead::StatusCode(Head.substr(0, StatusEnd)))) return Head;
    // The interim block ends with its empty line; the next status line follows it.
    std::size_t At = StatusEnd + 1;
    for (;;) {
      const auto End = Head.find('\n', At);
      if (End == std::string_view::npos) return Head;
      const std::string_view Line = Head.substr(At, End - At);
      At = End + 1;
      if (Line.empty() || Line == "\r") break;
    }
    if (At == Head.size()) return Head;
    Head.remove_prefix(At);
  }
}

std::vector<THeaderField> QueryFields(std::string_view URL) {
  std::vector<THeaderField> Fields;
  URL = URL.substr(0, URL.find('#'));
  const auto Mark = URL.find('?');
  if (Mark == std::string_view::npos) return Fields;
  std::string_view Query = URL.substr(Mark + 1);
  while (!Query.empty()) {
    const auto Amp = Query.find('&');
    const std::string_view Pair = Query.substr(0, Amp);
    if (!Pair.empty()) {
      const auto Eq = Pair.find('=');
      Fields.push_back({std::string(Pair.substr(0, Eq)), Eq == std::string_view::npos
                                                             ? std::string()
                                                             : std::string(Pair.substr(Eq + 1))});
    }
    if (Amp == std::string_view::npos) break;
    Query.remove_prefix(Amp + 1);
  }
  return Fields;
}

std::optional<std::size_t> TextLength(std::string_view Bytes, bool Cut) {
  std::size_t I = 0;
  while (I < Bytes.size()) {
    const auto Lead = static_cast<unsigned char>(Bytes[I]);
    if (Lead == 0) return std::nullopt;
    const int Length = SequenceLength(Lead);
    if (Length == 0) return std::nullopt;
    for (int K = 1; K < Length; ++K) {
      if (I + static_cast<std::size_t>(K) == Bytes.size()) {
        if (Cut) return I;  // the character was cut where the kept bytes end
        return std::nullopt;
      }
      if (!ContinuationFits(Lead, K, static_cast<unsigned char>(Bytes[I + K]))) return std::nullopt;
    }
    I += static_cast<std::size_t>(Length);
  }
  return I;
}
