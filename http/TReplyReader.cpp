// TReplyReader: the head read line by line, the body by the framing its head gives.
#include "http/TReplyReader.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "base/AsciiText.h"
#include "base/TFileStream.h"
#include "http/HttpErrors.h"
#include "socket/SockErrors.h"

void THeadClock::Check(int TimeOut, bool& TimedOut) const {
  if (TimeOut <= 0 ||
      std::chrono::steady_clock::now() - FStarted < std::chrono::milliseconds(TimeOut))
    return;
  TimedOut = true;
  throw EAbortError("Socket readln aborted", TSockStep::ssReceive, TSockCause::scTimedOut);
}

void TReplyReader::ReadHead(const THeadWire& Wire, const TReplyFields& To) {
  To.BytesTotal = 0;
  FHead = TReplyHead();
  std::unique_ptr<TFileStream> File;
  if (To.HeaderToFile)
    File = std::make_unique<TFileStream>(To.Header, TFileMode::fmCreate);
  else
    To.Header.clear();

  const THeadClock Clock;
  TReplyHead Head;
  if (To.Http2) Head.OverHttp2();
  // One buffer for every line of the block, its room taken over from the last reply's (a
  // local, so that a handler that frees the component leaves the line it was shown intact).
  std::string Line = std::move(FLine);
  for (bool Done = false; !Done;) {
    if (Head.HasStatusLine()) Clock.Check(To.TimeOut, To.TimedOut);
    Wire.HeadLine(Line);
    // The connection ended where the reply's first byte was due: no reply came at all.
    if (Line.empty() && !Head.HasStatusLine()) throw EHttpEmptyReply();
    const bool WasStatusLine = !Head.HasStatusLine();
    Done = Head.Take(Line);
    To.ReplyNumber = Head.Status();
    if (File)
      File->WriteBuffer(Line.data(), static_cast<std::int64_t>(Line.size()));
    else
      To.Header += Line;
    if (WasStatusLine && !Line.empty()) Wire.StatusLineHeard(Line);
  }
  FLine = std::move(Line);
  // Kept whole only once read: a block that ends in an error leaves the fields of none.
  FHead = std::move(Head);
  if (FHead.HasLocationLine()) To.Location = FHead.Location();
  To.BytesTotal = FHead.HasLength() ? FHead.Length() : 0;
  FHead.Check();
}

bool TReplyReader::ReadBody(const TBodyWire& Wire, const TBodyFields& To, CmdType Cmd, int Status,
                            std::int64_t Total) {
  // The body ends where the reply's framing says, whatever the connection does after it
  // (RFC 9112, 6.3): none for a reply that carries none or is no HTTP reply at all, the end
  // of a chunked body, or the announced length; only a reply without any of these ends with
  // the close. Reading stops there, and the close follows at once.
  const bool None = FHead.NotHttp() || ReplyWithoutBody(Cmd, Status);
  const bool Chunked = !None && FHead.Chunked();
  const std::int64_t Announced = None ? 0 : Chunked || !FHead.HasLength() ? -1 : Total;
  // The codings come off only when every one is known; otherwise the bytes stay as they came.
  std::optional<TContentDecoder> Decoder;
  FDecoded = false;
  FDecodedBytes = 0;
  FFramed = false;
  FOverran = false;
  if (To.Decode && HasBody(Cmd, Status, Total) && !FHead.ContentEncoding().empty()) {
    Decoder.emplace(FHead.ContentEncoding());
    if (!Decoder->Active()) Decoder.reset();
  }
  TContentDecoder* const Content = Decoder ? &*Decoder : nullptr;
  if (Chunked)
    CaptureBody(Wire, To, -1, true, Content);
  else if (To.BodyToFile && !Content)
    Wire.CaptureFileUpTo(To.Body, Announced);
  else if (To.MaxBodySize > 0 || To.Sink || Content)
    CaptureBody(Wire, To, Announced, false, Content);
  else
    Wire.CaptureTextUpTo(To.Body, Announced);
  // The connection can carry another exchange only when this one ended where its framing
  // said and nothing more came: a chunked body's last chunk, the whole length, or no body.
  if (!FHead.NotHttp() && !To.Canceled)
    FFramed = None || (Chunked ? !FOverran : FHead.HasLength() && To.BytesRecvd >= Total);
  // Only a body that the close ends can be cut by a close: a length or a last chunk tell
  // whether it came whole, whatever happens to TLS after it.
  return Announced < 0 && !Chunked && Wire.SessionCut();
}

std::string TReplyReader::UnknownCoding(CmdType Cmd, int Status, std::int64_t Total) const {
  if (!HasBody(Cmd, Status, Total)) return {};
  for (const std::string& Coding : TContentDecoder::Codings(FHead.ContentEncoding()))
    if (!TContentDecoder::Known(Coding)) return Coding;
  return {};
}

bool TReplyReader::HasBody(CmdType Cmd, int Status, std::int64_t Total) const {
  if (FHead.NotHttp() || ReplyWithoutBody(Cmd, Status)) return false;
  return FHead.Chunked() || !FHead.HasLength() || Total > 0;
}

void TReplyReader::CaptureBody(const TBodyWire& Wire, const TBodyFields& To, std::int64_t Announced,
                               bool Chunked, TContentDecoder* Decoder) {
  Wire.InTransfer([&] {
    To.BytesRecvd = 0;
    std::unique_ptr<TFileStream> File;
    if (To.BodyToFile)
      File = std::make_unique<TFileStream>(To.Body, TFileMode::fmCreate);
    else
      To.Body.clear();
    const bool ToSink = !File && To.Sink;
    TBodyOutput Output(File || ToSink ? nullptr : &To.Body, File.get(), ToSink ? To.Sink : nullptr,
                       File ? 0 : To.MaxBodySize, Chunked, Decoder);
    // Whole or not, the body's decoded size is the record's; but a component destroyed by a
    // sink or an observer has no record left to write.
    const auto RecordSizes = [&] {
      FDecoded = Decoder != nullptr;
      FDecodedBytes = Decoder != nullptr ? Output.Delivered() : 0;
    };
    // The observers are told the decoded blocks, not the bytes as they came.
    Output.Tap = [&Wire](std::string_view Block) { Wire.BlockHeard(Block); };
    std::int64_t Taken = 0;
    try {
      if (Announced != 0)
        Wire.ReceiveBlocks(
            [&](std::size_t Room) {
              // Asking for no more than the announced rest leaves the next reply in the
              // socket; one block a receive lets BytesRecvd count the body's bytes as each
              // is told.
              return Announced < 0 ? Room
                                   : static_cast<std::size_t>(std::min<std::int64_t>(
                                         static_cast<std::int64_t>(Room), Announced - Taken));
            },
            [&](const char* Data, std::size_t Count) {
              Taken += static_cast<std::int64_t>(Count);
              // The receive loop adds Count to BytesRecvd next: it is to count the body's
              // bytes as they came, framing off, codings on.
              To.BytesRecvd += Output.Take(Data, Count) - static_cast<std::int64_t>(Count);
            },
            [&] { return (Announced < 0 || Taken < Announced) && !Output.Complete(); });
      // A body cut short of its length is the length check's to tell, not its coding's.
      if (!To.Canceled) Output.Closed(Announced < 0 || Taken >= Announced);
    } catch (const EHttpError&) {
      RecordSizes();
      To.BytesRecvd = Output.Received();
      throw;
    } catch (const EComponentDestroyed&) {
      throw;
    } catch (...) {
      RecordSizes();
      throw;
    }
    RecordSizes();
    FOverran = Output.Overran();
  });
}

bool TReplyReader::Complete(CmdType Cmd, int Status, std::int64_t Recvd, std::int64_t Total) const {
  // Asked only while a body is read: a reset after the whole announced body (or after a
  // reply that has none) takes nothing from the reply. A chunked body's own end stops the
  // reading before any reset could be seen.
  if (FHead.Chunked()) return false;
  if (ReplyWithoutBody(Cmd, Status)) return true;
  return FHead.HasLength() && Recvd >= Total;
}

bool TReplyReader::Short(CmdType Cmd, int Status, std::int64_t Recvd, std::int64_t Total) const {
  if (FHead.Chunked() || ReplyWithoutBody(Cmd, Status)) return false;
  return FHead.HasLength() && Recvd < Total;
}

bool TReplyReader::EndsSend(std::string_view Peeked) {
  // An interim reply ("100 Continue") asks for the rest of the body; any other status line,
  // or whatever else the server sends, is its answer, and the body is not wanted.
  const auto Space = Peeked.find(' ');
  const bool Interim = Peeked.substr(0, 5) == "HTTP/" && Space != std::string_view::npos &&
                       Space + 1 < Peeked.size() && Peeked[Space + 1] == '1';
  return !Interim;
}
