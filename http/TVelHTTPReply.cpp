// TVelHTTP's reply: the header block read line by line through TReplyHead (interim replies,
// fields, bounds), and the body: up to the announced length, the end of a chunked body's
// framing, or without either until the close, into Body, its file or the caller's sink.
#include <chrono>
#include <memory>
#include <utility>

#include "base/TFileStream.h"
#include "http/HttpErrors.h"
#include "http/TBodyOutput.h"
#include "http/TVelHTTP.h"

// --- Reading the reply --------------------------------------------------------------------

void TVelHTTP::ReadResponseHeader() {
  BytesTotal = 0;
  FHead = TReplyHead();
  std::unique_ptr<TFileStream> File;
  if (OutputFileMode)
    File = std::make_unique<TFileStream>(Header, TFileMode::fmCreate);
  else
    Header.clear();

  // Each ReadLn has the time-out of its own, so a server that sends a line now and then
  // would hold the header open for as long as it liked: the header as a whole gets it too.
  const auto Started = std::chrono::steady_clock::now();
  const auto CheckHeaderTime = [&] {
    if (TimeOut <= 0 ||
        std::chrono::steady_clock::now() - Started < std::chrono::milliseconds(TimeOut))
      return;
    TimedOut = true;
    throw EAbortError("Socket readln aborted", TSockStep::ssReceive, TSockCause::scTimedOut);
  };

  TReplyHead Head;
  // One buffer for every line of the block, its room taken over from the last reply's (a
  // local, so that a handler that frees the component leaves the line it was shown intact).
  std::string Line = std::move(FHeaderLine);
  for (bool Done = false; !Done;) {
    if (Head.HasStatusLine()) CheckHeaderTime();
    try {
      ReadLnInto(Line);
    } catch (const ELineTooLong&) {
      // A line is part of the block: one past the socket layer's bound makes the block too
      // large, a fault of the reply, not of the connection.
      throw EHttpHeaderTooLarge();
    }
    // The connection ended where the reply's first byte was due: no reply came at all.
    if (Line.empty() && !Head.HasStatusLine()) throw EHttpEmptyReply();
    const bool WasStatusLine = !Head.HasStatusLine();
    Done = Head.Take(Line);
    ReplyNumber = Head.Status();
    if (File)
      File->WriteBuffer(Line.data(), static_cast<std::int64_t>(Line.size()));
    else
      Header += Line;
    if (WasStatusLine && !Line.empty()) {
      TellOrStop([&](THttpObserver& O, THttpTime At) { O.StatusLine(At, Line); });
      FireOrStop(OnStage, this, hsStatusLine);
    }
  }
  FHeaderLine = std::move(Line);
  // Kept whole only once read: a block that ends in an error leaves the fields of none.
  FHead = std::move(Head);
  if (FHead.HasLocationLine()) Location = FHead.Location();
  BytesTotal = FHead.HasLength() ? FHead.Length() : 0;
  FHead.Check();
}

void TVelHTTP::CaptureBody(std::int64_t Announced, bool Chunked) {
  const TWaitScope Scope(*this);
  const TTransferScope Transfer(*this);
  BytesRecvd = 0;
  std::unique_ptr<TFileStream> File;
  if (InputFileMode)
    File = std::make_unique<TFileStream>(Body, TFileMode::fmCreate);
  else
    Body.clear();
  const bool ToSink = !File && BodySink;
  TBodyOutput Output(File || ToSink ? nullptr : &Body, File.get(), ToSink ? BodySink : nullptr,
                     File ? 0 : MaxBodySize, Chunked);
  // The observers are told the decoded blocks, not the bytes as they came.
  const TAliveGuard Untap(FAlive, [this] { FRun.BodyTapped = false; });
  FRun.BodyTapped = true;
  Output.Tap = [this](std::string_view Block) {
    TellOrStop([&](THttpObserver& O, THttpTime At) { O.BodyBlock(At, Block); });
  };
  std::int64_t Taken = 0;
  try {
    if (Announced != 0) {
      const TTransferTimeOut Armed(*this);
      ReceiveUntilClosed(
          Scope,
          {[&](char*& Target, std::size_t& Size, std::size_t& Wanted) {
             // Asking for no more than the announced rest leaves the next reply in the socket;
             // one block a receive lets BytesRecvd count the decoded bytes as each is told.
             Target = IOBuffer.data();
             Size = IOBufferData;
             Wanted = Announced < 0 ? IOBufferData
                                    : static_cast<std::size_t>(
                                          std::min<std::int64_t>(IOBufferData, Announced - Taken));
           },
           [&](const char* Data, std::size_t Count) {
             Taken += static_cast<std::int64_t>(Count);
             // The receive loop adds Count to BytesRecvd next: it is to count the body's bytes.
             BytesRecvd += Output.Take(Data, Count) - static_cast<std::int64_t>(Count);
           }},
          [&] { return (Announced < 0 || Taken < Announced) && !Output.Complete(); });
    }
    if (!Canceled) Output.Closed();
  } catch (const EHttpError&) {
    BytesRecvd = Output.Delivered();
    throw;
  }
  ThrowIfCanceled("Socket capture aborted", TSockStep::ssReceive);
}

void TVelHTTP::ReadBody() {
  // The body ends where the reply's framing says, whatever the connection does after it
  // (RFC 9112, 6.3): none for a reply that carries none or is no HTTP reply at all, the end
  // of a chunked body, or the announced length; only a reply without any of these ends with
  // the close. Reading stops there, and the close follows at once.
  const bool None = FHead.NotHttp() || ReplyWithoutBody(CurrentCmd, ReplyNumber);
  const bool Chunked = !None && FHead.Chunked();
  const std::int64_t Announced = None ? 0 : Chunked || !FHead.HasLength() ? -1 : BytesTotal;
  if (Chunked)
    CaptureBody(-1, true);
  else if (InputFileMode)
    CaptureFileAtMost(Body, Announced);
  else if (MaxBodySize > 0 || BodySink)
    CaptureBody(Announced, false);
  else
    CaptureStringAtMost(Body, Announced);
  // Only a body that the close ends can be cut by a close: a length or a last chunk tell
  // whether it came whole, whatever happens to TLS after it.
  FRun.BodyMayBeCut = Announced < 0 && !Chunked && TlsCut();
}

bool TVelHTTP::ReplyComplete() const {
  // Asked only while a body is read: a reset after the whole announced body (or after a
  // reply that has none) takes nothing from the reply. A chunked body's own end stops the
  // reading before any reset could be seen.
  if (FHead.Chunked()) return false;
  if (ReplyWithoutBody(CurrentCmd, ReplyNumber)) return true;
  return FHead.HasLength() && BytesRecvd >= BytesTotal;
}

bool TVelHTTP::BodyShort() const {
  if (FHead.Chunked() || ReplyWithoutBody(CurrentCmd, ReplyNumber)) return false;
  return FHead.HasLength() && BytesRecvd < BytesTotal;
}
