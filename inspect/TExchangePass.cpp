// TExchangePass: the values derived from what a pass recorded, its spans among them.
#include "inspect/TExchangePass.h"

#include <algorithm>

#include "http/HttpErrors.h"
#include "http/TReplyHead.h"
#include "inspect/HttpText.h"

std::optional<std::int64_t> TExchangePass::AnnouncedLength() const {
  std::optional<std::int64_t> Length;
  for (const THeaderField& F : HeaderFields(FinalReply(ReplyHeader), true))
    if (SameNoCase(F.Name, "Content-Length"))
      if (const std::int64_t Value = TReplyHead::LengthValue(F.Value); Value >= 0) Length = Value;
  return Length;
}

int TExchangePass::RequestVersion() const {
  if (Method.empty()) return 0;
  const std::string_view Header = RequestHeader;
  const std::string_view First = Header.substr(0, Header.find("\r\n"));
  const std::size_t Space = First.rfind(' ');
  if (Space == std::string_view::npos) return 0;
  const std::string_view Version = First.substr(Space + 1);
  if (SameNoCase(Version, "HTTP/1.1")) return 11;
  if (SameNoCase(Version, "HTTP/1.0")) return 10;
  if (SameNoCase(Version, "HTTP/2")) return 20;
  return 0;
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

std::vector<TPassSpan> TExchangePass::Spans(std::optional<double> Now) const {
  std::vector<TPassSpan> Out;
  double Last = 0;
  const auto Add = [&](TSpanKind Kind, double To, bool Reached) {
    Out.push_back({Kind, Last, std::max(Last, To), Reached});
    Last = Out.back().To;
  };
  if (HostQuestion) {
    Add(TSpanKind::skLookUp, HostQuestion->Asked, true);
    Add(TSpanKind::skQuestion, HostQuestion->Answered, true);
  }
  // Where the stage in progress ends, if it has a span at all.
  bool Open = false;
  double Until = 0;
  // A pass stopped once connected (mid-upload, or in the reply) lasts until its stop; one
  // that never connected has no stage in progress to speak of. A pass on a kept connection
  // was connected from its start.
  const bool Connected = At[xsConnected] || ConnectionReused;
  if (EndedAt && Connected) {
    Open = true;
    Until = *EndedAt;
  } else if (Now && Error.empty()) {
    Open = true;
    Until = *Now;
  }
  struct TStep {
    TSpanKind Kind;
    std::optional<double> End;
    // A dotted address needs no look-up, plain http no handshake; a handshake begun is a
    // stage of the pass, in progress until it passes. A kept connection made none of the
    // three: the pass begins with its sending.
    bool Optional;
  };
  // Through the proxy, the tunnel's CONNECT is part of the connection to the origin: the
  // handshake's span is the handshake alone.
  const std::optional<double> ConnectEnd = TlsStartedAt ? TlsStartedAt : At[xsConnected];
  const TStep Steps[] = {{TSpanKind::skLookUp, At[xsLookedUp], true},
                         {TSpanKind::skConnect, ConnectEnd, ConnectionReused},
                         {TSpanKind::skTls, SecuredAt, !TlsStartedAt || ConnectionReused},
                         {TSpanKind::skSend, At[xsRequestSent], false},
                         {TSpanKind::skWait, FirstByte(), false},
                         {TSpanKind::skReceive, At[xsBodyEnd], false}};
  for (const TStep& S : Steps) {
    if (S.End) {
      Add(S.Kind, *S.End, true);
    } else if (!S.Optional) {
      if (Open) Add(S.Kind, Until, false);
      break;
    }
  }
  return Out;
}

const TPassSpan* TExchangePass::Find(const std::vector<TPassSpan>& Spans, TSpanKind Kind) {
  const auto It =
      std::find_if(Spans.begin(), Spans.end(), [Kind](const TPassSpan& S) { return S.Kind == Kind; });
  return It == Spans.end() ? nullptr : &*It;
}

TSockStep TExchangePass::ErrorStepOf(const std::exception& Error) {
  if (const auto* Sock = dynamic_cast<const ESockError*>(&Error)) return Sock->Step();
  if (dynamic_cast<const EHttpProtocolError*>(&Error) ||
      dynamic_cast<const EHttpBodyTooLarge*>(&Error) ||
      dynamic_cast<const EHttpChunkedBodyCut*>(&Error))
    return TSockStep::ssReceive;
  return TSockStep::ssNone;
}

bool TExchangePass::IsStop(const std::exception& Error) {
  if (dynamic_cast<const EHttpRequestAborted*>(&Error)) return true;
  const auto* Sock = dynamic_cast<const ESockError*>(&Error);
  return Sock && Sock->Cause() == TSockCause::scCanceled;
}
