// Reading a reply's header block by RFC 9112 (message syntax) and RFC 9110 (semantics).
#include "http/TReplyHead.h"

#include "http/HttpChars.h"
#include "http/HttpErrors.h"

namespace {

std::string_view WithoutLineEnd(std::string_view S) {
  if (!S.empty() && S.back() == '\n') S.remove_suffix(1);
  if (!S.empty() && S.back() == '\r') S.remove_suffix(1);
  return S;
}

// The number of 1 to 18 decimal digits, or -1.
std::int64_t Digits(std::string_view S) {
  if (S.empty() || S.size() > 18) return -1;
  std::int64_t Value = 0;
  for (const char C : S) {
    if (C < '0' || C > '9') return -1;
    Value = Value * 10 + (C - '0');
  }
  return Value;
}

// A field given on several lines is one list (RFC 9110, 5.3).
void Join(std::string& List, std::string_view Value) {
  if (!List.empty()) List += ',';
  List.append(Value);
}

}  // namespace

bool TReplyHead::Take(std::string_view Line) {
  if (Line.size() > MaxSize - FSize) throw EHttpHeaderTooLarge();
  FSize += Line.size();
  if (Line.empty()) {
    TakeHeldField();
    // The connection ended where the final reply's status line was due: an interim reply
    // alone is no answer, so there is no status to judge, as for a reply without one.
    if (FAwaitingStatus && FStatusLines > 0) {
      FStatus = 0;
      Forget();
    }
    return true;
  }
  if (FAwaitingStatus) {
    FAwaitingStatus = false;
    ++FStatusLines;
    Forget();
    FNotHttp = !IsHttpStatusLine(Line, FHttp2);
    FStatus = FNotHttp ? 0 : StatusCode(Line);
    FVersion = FNotHttp ? 0 : (Line[5] - '0') * 10 + (Line[6] == '.' ? Line[7] - '0' : 0);
    return FNotHttp;
  }
  const std::string_view Bare = WithoutLineEnd(Line);
  if (Bare.empty()) {
    TakeHeldField();
    if (!IsInterim(FStatus)) return true;
    FAwaitingStatus = true;
    return false;
  }
  if (IsBlank(Bare[0])) {
    // RFC 9112, 5.2: a user agent replaces the folding with a space. A folded line with no
    // field before it (right after the status line) belongs to none and is only stored.
    if (FHeld != fNone) FHeldValue.append(" ").append(TrimBlanks(Bare));
    return false;
  }
  TakeHeldField();
  HoldField(Line);
  return false;
}

void TReplyHead::Check() const {
  if (FStatus == 101) throw EHttpProtocolSwitch();
  if (FConflict) throw EHttpConflictingLength();
}

void TReplyHead::Forget() {
  FHeld = fNone;
  FNotHttp = false;
  FHasLocation = false;
  FLocation.clear();
  FCookieIn.clear();
  FHasLength = false;
  FConflict = false;
  FLength = 0;
  FChunked = false;
  FContentEncoding.clear();
  FConnection.clear();
  FKeepAlive.clear();
  FProxyConnection.clear();
}

void TReplyHead::HoldField(std::string_view Line) {
  // Most fields are none of these: their first letter tells at once.
  std::string_view Value;
  const char First = AsciiLower(Line[0]);
  if (First != 's' && First != 'l' && First != 'c' && First != 't' && First != 'k' && First != 'p')
    return;
  if (First == 's' && IsField(Line, "set-cookie", Value))
    FHeld = fCookie;
  else if (First == 'l' && IsField(Line, "location", Value))
    FHeld = fLocation;
  else if (First == 'c' && IsField(Line, "content-length", Value))
    FHeld = fLength;
  else if (First == 'c' && IsField(Line, "content-encoding", Value))
    FHeld = fContentCoding;
  else if (First == 't' && IsField(Line, "transfer-encoding", Value))
    FHeld = fCoding;
  else if (First == 'c' && IsField(Line, "connection", Value))
    FHeld = fConnection;
  else if (First == 'k' && IsField(Line, "keep-alive", Value))
    FHeld = fKeepAlive;
  else if (First == 'p' && IsField(Line, "proxy-connection", Value))
    FHeld = fProxyConnection;
  else
    return;
  FHeldValue.assign(Value);
}

void TReplyHead::TakeHeldField() {
  const TField Field = FHeld;
  FHeld = fNone;
  const std::string_view Value = TrimBlanks(FHeldValue);
  switch (Field) {
    case fNone: break;
    case fCookie: FCookieIn.assign(Value); break;
    case fLocation:
      FHasLocation = true;
      FLocation.assign(Value);
      break;
    case fLength: {
      const std::int64_t Length = LengthValue(Value);
      if (Length == -2 || (Length >= 0 && FHasLength && Length != FLength)) FConflict = true;
      if (Length >= 0) {
        FHasLength = true;
        FLength = Length;
      }
      break;
    }
    case fCoding: FChunked = EndsWithChunked(Value); break;
    case fContentCoding: Join(FContentEncoding, Value); break;
    case fConnection: Join(FConnection, Value); break;
    case fKeepAlive: Join(FKeepAlive, Value); break;
    case fProxyConnection: Join(FProxyConnection, Value); break;
  }
}

bool TReplyHead::IsHttpStatusLine(std::string_view Line, bool Http2) {
  const std::string_view Bare = WithoutLineEnd(Line);
  const auto Digit = [](char C) { return C >= '0' && C <= '9'; };
  if (Bare.size() < 6 || Bare.substr(0, 5) != "HTTP/" || !Digit(Bare[5])) return false;
  // HTTP/2 names no minor version: its status line (as the HTTP/2 transport gives one) is
  // "HTTP/2 200".
  if (Http2 && Bare[5] == '2' && (Bare.size() == 6 || Bare[6] == ' ')) return true;
  return Bare.size() >= 8 && Bare[6] == '.' && Digit(Bare[7]) &&
         (Bare.size() == 8 || Bare[8] == ' ');
}

std::int16_t TReplyHead::StatusCode(std::string_view StatusLine) {
  const std::string_view Bare = WithoutLineEnd(StatusLine);
  const auto First = Bare.find(' ');
  if (First == std::string_view::npos) return 0;
  std::string_view Word = Bare.substr(First + 1);
  Word = Word.substr(0, Word.find(' '));
  if (Word.empty() || Word.size() > 5) return 0;
  int Value = 0;
  for (const char C : Word) {
    if (C < '0' || C > '9') return 0;
    Value = Value * 10 + (C - '0');
  }
  return Value <= INT16_MAX ? static_cast<std::int16_t>(Value) : 0;
}

TReplyClass TReplyHead::Classify(int Status, bool HasLocation) {
  if (Status <= 0 || Status >= 400) return rcFailure;
  if (Status < 299) return rcSuccess;
  const bool Followed = (Status >= 300 && Status <= 303) || Status == 307 || Status == 308;
  return Followed && HasLocation ? rcRedirection : rcFinal;
}

bool TReplyHead::IsField(std::string_view Line, std::string_view LowerName,
                         std::string_view& Value) {
  if (Line.size() <= LowerName.size() || Line[LowerName.size()] != ':') return false;
  for (std::size_t I = 0; I < LowerName.size(); ++I)
    if (AsciiLower(Line[I]) != LowerName[I]) return false;
  Value = TrimBlanks(WithoutLineEnd(Line.substr(LowerName.size() + 1)));
  return true;
}

std::int64_t TReplyHead::LengthValue(std::string_view Value) {
  std::int64_t Result = -1;
  for (;;) {
    const auto Comma = Value.find(',');
    const std::int64_t One = Digits(TrimBlanks(Value.substr(0, Comma)));
    if (One < 0) return -1;
    if (Result >= 0 && One != Result) return -2;
    Result = One;
    if (Comma == std::string_view::npos) return Result;
    Value.remove_prefix(Comma + 1);
  }
}

bool TReplyHead::EndsWithChunked(std::string_view Value) {
  const auto Comma = Value.rfind(',');
  const std::string_view Last =
      TrimBlanks(Comma == std::string_view::npos ? Value : Value.substr(Comma + 1));
  return SameNoCase(Last, "chunked");
}
