// THttp2Transport: the stream's message in HTTP/1.x form on one side, nghttp2's session and
// its frames on the other.
#include "http/Http2Transport.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "http/Http2Request.h"
#include "http/HttpErrors.h"
#include "platform/WinSock.h"
#include "socket/SockErrors.h"

namespace {

// Bytes one pull reads from the transport below; the reply's bytes a pull may add are about as
// many, which bounds what waits here for the reader.
constexpr std::size_t PullSize = 64 * 1024;
// Body bytes taken from the sender ahead of the DATA frames that carry them.
constexpr std::size_t BodyQueueSize = 256 * 1024;
// The status line of a reply as HTTP/2 gives it to the HTTP/1.x reader, as curl writes it.
constexpr const char* StatusLineStart = "HTTP/2 ";

std::string Named(std::uint32_t Code) { return Http2Names::ErrorCode(Code); }

THttp2Frame FrameOf(const nghttp2_frame& F, bool Sent) {
  THttp2Frame Frame;
  Frame.Sent = Sent;
  Frame.Type = F.hd.type;
  Frame.Flags = F.hd.flags;
  Frame.Stream = F.hd.stream_id;
  Frame.Length = static_cast<std::uint32_t>(F.hd.length);
  switch (F.hd.type) {
    case NGHTTP2_RST_STREAM: Frame.ErrorCode = F.rst_stream.error_code; break;
    case NGHTTP2_GOAWAY:
      Frame.ErrorCode = F.goaway.error_code;
      Frame.LastStream = F.goaway.last_stream_id;
      break;
    case NGHTTP2_WINDOW_UPDATE:
      Frame.Detail = std::to_string(F.window_update.window_size_increment);
      break;
    case NGHTTP2_SETTINGS: {
      static constexpr const char* Names[] = {"",
                                              "HEADER_TABLE_SIZE",
                                              "ENABLE_PUSH",
                                              "MAX_CONCURRENT_STREAMS",
                                              "INITIAL_WINDOW_SIZE",
                                              "MAX_FRAME_SIZE",
                                              "MAX_HEADER_LIST_SIZE",
                                              "",
                                              "ENABLE_CONNECT_PROTOCOL",
                                              "NO_RFC7540_PRIORITIES"};
      for (std::size_t I = 0; I < F.settings.niv; ++I) {
        const nghttp2_settings_entry& E = F.settings.iv[I];
        const auto Id = static_cast<std::size_t>(E.settings_id);
        const std::string Name =
            Id < std::size(Names) && *Names[Id] ? Names[Id] : "0x" + std::to_string(Id);
        Frame.Detail += (Frame.Detail.empty() ? "" : " ") + Name + "=" + std::to_string(E.value);
      }
      break;
    }
    case NGHTTP2_HEADERS:
      // A header list we sent is in the frame; one that came is gathered by the header
      // callback (nghttp2 does not keep it).
      if (Sent)
        for (std::size_t I = 0; I < F.headers.nvlen; ++I) {
          const nghttp2_nv& Nv = F.headers.nva[I];
          Frame.Headers.append(reinterpret_cast<const char*>(Nv.name), Nv.namelen)
              .append(": ")
              .append(reinterpret_cast<const char*>(Nv.value), Nv.valuelen)
              .append("\r\n");
        }
      break;
    default: break;
  }
  return Frame;
}

}  // namespace

// The session's callbacks: plain functions of the library's, each handing its work to the
// transport. None lets an exception through the library: what must be raised is kept in
// FFailure and raised once the library returns.
struct THttp2Transport::TCallbacks {
  static THttp2Transport& Of(void* User) { return *static_cast<THttp2Transport*>(User); }

  static int BeginFrame(nghttp2_session*, const nghttp2_frame_hd* Hd, void* User) {
    THttp2Transport& T = Of(User);
    T.Counted(Hd->type, Hd->length, Hd->stream_id, Hd->flags);
    return T.FFailure ? NGHTTP2_ERR_CALLBACK_FAILURE : 0;
  }

  static int FrameReceived(nghttp2_session*, const nghttp2_frame* F, void* User) {
    THttp2Transport& T = Of(User);
    THttp2Frame Frame = FrameOf(*F, false);
    if (F->hd.type == NGHTTP2_HEADERS && F->hd.stream_id == T.FStream && T.FInHead) {
      T.FInHead = false;
      T.FIn.append(T.FHeadOut).append("\r\n");
      T.FHeadOut.clear();
      Frame.Headers = std::move(T.FHeadList);
      T.FHeadList.clear();
    }
    if (F->hd.type == NGHTTP2_GOAWAY) {
      T.FGoAway = true;
      T.FGoAwayLast = F->goaway.last_stream_id;
      T.FGoAwayCode = F->goaway.error_code;
    }
    if ((F->hd.type == NGHTTP2_DATA || F->hd.type == NGHTTP2_HEADERS) &&
        F->hd.stream_id == T.FStream && (F->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0)
      T.FStreamEnded = true;
    T.Seen(Frame);
    return 0;
  }

  static int FrameSent(nghttp2_session*, const nghttp2_frame* F, void* User) {
    THttp2Transport& T = Of(User);
    if (F->hd.type == NGHTTP2_RST_STREAM && F->hd.stream_id == T.FStream) T.FWeReset = true;
    if (F->hd.type == NGHTTP2_GOAWAY) {
      T.FWeEnded = true;
      T.FOurCode = F->goaway.error_code;
    }
    T.Seen(FrameOf(*F, true));
    return 0;
  }

  static int BeginHeaders(nghttp2_session*, const nghttp2_frame* F, void* User) {
    THttp2Transport& T = Of(User);
    if (F->hd.type != NGHTTP2_HEADERS || F->hd.stream_id != T.FStream) return 0;
    // Trailers after the final head are not part of the message the reader reads.
    if (T.FFinalHead) return 0;
    T.FReplyBegun = true;
    T.FInHead = true;
    T.FHeadSize = 0;
    T.FHeadList.clear();
    T.FHeadOut.clear();
    return 0;
  }

  static int Header(nghttp2_session*, const nghttp2_frame* F, const std::uint8_t* Name,
                    std::size_t NameLen, const std::uint8_t* Value, std::size_t ValueLen,
                    std::uint8_t, void* User) {
    THttp2Transport& T = Of(User);
    if (F->hd.type != NGHTTP2_HEADERS || F->hd.stream_id != T.FStream || !T.FInHead) return 0;
    // As SETTINGS_MAX_HEADER_LIST_SIZE counts: each field's name and value and 32.
    T.FHeadSize += NameLen + ValueLen + 32;
    if (T.FHeadSize > MaxHeaderList) {
      T.FFailure = std::make_exception_ptr(EHttpHeaderTooLarge());
      return NGHTTP2_ERR_CALLBACK_FAILURE;
    }
    const std::string_view N(reinterpret_cast<const char*>(Name), NameLen);
    const std::string_view V(reinterpret_cast<const char*>(Value), ValueLen);
    T.FHeadList.append(N).append(": ").append(V).append("\r\n");
    // The head reaches the reader once its block is whole and the library found it valid
    // (a :status, and first): a block it refuses gives the reader nothing.
    if (N == ":status") {
      T.FHeadOut.insert(0, std::string(StatusLineStart).append(V).append(" \r\n"));
      if (V.empty() || V[0] != '1') T.FFinalHead = true;
    } else if (!N.starts_with(':')) {
      T.FHeadOut.append(N).append(": ").append(V).append("\r\n");
    }
    return 0;
  }

  static int DataChunk(nghttp2_session*, std::uint8_t, std::int32_t Stream,
                       const std::uint8_t* Data, std::size_t Length, void* User) {
    THttp2Transport& T = Of(User);
    if (Stream == T.FStream) T.FIn.append(reinterpret_cast<const char*>(Data), Length);
    return 0;
  }

  static int StreamClosed(nghttp2_session*, std::int32_t Stream, std::uint32_t Code, void* User) {
    THttp2Transport& T = Of(User);
    if (Stream != T.FStream) return 0;
    T.FStreamClosed = true;
    T.FStreamCode = Code;
    return 0;
  }

  static int InvalidFrame(nghttp2_session*, const nghttp2_frame* F, int LibError, void* User) {
    THttp2Transport& T = Of(User);
    T.FReason = std::string(nghttp2_strerror(LibError)) + " (" + Http2Names::FrameType(F->hd.type) +
                " on stream " + std::to_string(F->hd.stream_id) + ")";
    return 0;
  }

  static int Error(nghttp2_session*, int, const char* Msg, std::size_t Len, void* User) {
    THttp2Transport& T = Of(User);
    if (T.FReason.empty()) T.FReason.assign(Msg, Len);
    return 0;
  }

  static ssize_t ReadBody(nghttp2_session*, std::int32_t, std::uint8_t* Buf, std::size_t Length,
                          std::uint32_t* Flags, nghttp2_data_source*, void* User) {
    THttp2Transport& T = Of(User);
    const std::size_t Have = T.FBodyQueue.size() - T.FBodyAt;
    const std::size_t Count = std::min(Have, Length);
    std::memcpy(Buf, T.FBodyQueue.data() + T.FBodyAt, Count);
    T.FBodyAt += Count;
    if (T.FBodyAt == T.FBodyQueue.size()) {
      T.FBodyQueue.clear();
      T.FBodyAt = 0;
    }
    if (T.FBodyLeft == 0 && T.FBodyQueue.empty()) {
      *Flags |= NGHTTP2_DATA_FLAG_EOF;
      return static_cast<ssize_t>(Count);
    }
    if (Count == 0) return NGHTTP2_ERR_DEFERRED;
    return static_cast<ssize_t>(Count);
  }
};

THttp2Transport::THttp2Transport(TTransport& Below, std::string Scheme)
    : FBelow(&Below), FScheme(std::move(Scheme)), FRead(new char[PullSize]) {
  nghttp2_session_callbacks* Callbacks = nullptr;
  nghttp2_option* Options = nullptr;
  if (nghttp2_session_callbacks_new(&Callbacks) != 0 || nghttp2_option_new(&Options) != 0) {
    nghttp2_session_callbacks_del(Callbacks);
    throw EHttp2Error("HTTP/2: out of memory", 2, false);
  }
  nghttp2_session_callbacks_set_on_begin_frame_callback(Callbacks, TCallbacks::BeginFrame);
  nghttp2_session_callbacks_set_on_frame_recv_callback(Callbacks, TCallbacks::FrameReceived);
  nghttp2_session_callbacks_set_on_frame_send_callback(Callbacks, TCallbacks::FrameSent);
  nghttp2_session_callbacks_set_on_begin_headers_callback(Callbacks, TCallbacks::BeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(Callbacks, TCallbacks::Header);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(Callbacks, TCallbacks::DataChunk);
  nghttp2_session_callbacks_set_on_stream_close_callback(Callbacks, TCallbacks::StreamClosed);
  nghttp2_session_callbacks_set_on_invalid_frame_recv_callback(Callbacks, TCallbacks::InvalidFrame);
  nghttp2_session_callbacks_set_error_callback2(Callbacks, TCallbacks::Error);
  nghttp2_option_set_max_continuations(Options, MaxContinuations);
  const int Made = nghttp2_session_client_new2(&FSession, Callbacks, this, Options);
  nghttp2_session_callbacks_del(Callbacks);
  nghttp2_option_del(Options);
  if (Made != 0) throw EHttp2Error("HTTP/2: the session could not be made", 2, false);
  const nghttp2_settings_entry Settings[] = {
      {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, static_cast<std::uint32_t>(StreamWindow)},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, static_cast<std::uint32_t>(MaxHeaderList)}};
  nghttp2_submit_settings(FSession, NGHTTP2_FLAG_NONE, Settings, std::size(Settings));
  nghttp2_session_set_local_window_size(FSession, NGHTTP2_FLAG_NONE, 0, ConnectionWindow);
}

THttp2Transport::~THttp2Transport() { nghttp2_session_del(FSession); }

void THttp2Transport::NextRequest() {
  FPhase = TPhase::Idle;
  FHeadText.clear();
  FStream = 0;
  FBodyLeft = 0;
  FBodyQueue.clear();
  FBodyAt = 0;
  FStaged = 0;
  FAwaitsPeer = false;
  FIn.clear();
  FInAt = 0;
  FReplyBegun = FFinalHead = FInHead = false;
  FHeadSize = 0;
  FStreamEnded = FStreamClosed = FWeReset = FCancelled = false;
  FStreamCode = 0;
  FIdleFrames = 0;
}

bool THttp2Transport::SessionOver() const {
  return FBelowEnded || FWeEnded || FFailure != nullptr ||
         (nghttp2_session_want_read(FSession) == 0 && nghttp2_session_want_write(FSession) == 0);
}

bool THttp2Transport::Reusable() const {
  if (SessionOver() || FGoAway) return false;
  if (FStream != 0 && !(FStreamClosed && (FStreamEnded || FCancelled))) return false;
  return nghttp2_session_get_next_stream_id(FSession) < (1U << 31) - 2;
}

bool THttp2Transport::Standing() {
  while (Pull()) {
  }
  return !FBelowEnded && win::WSAGetLastError() == win::WSAEWOULDBLOCK && Reusable();
}

void THttp2Transport::Settle() {
  try {
    while (FStream != 0 && !FStreamEnded && !FStreamClosed && InLeft() == 0 && Pull()) {
    }
  } catch (const std::exception&) {
    // Whatever broke is the connection's: Reusable says no.
  }
}

void THttp2Transport::Cancel() {
  if (FStream == 0 || FStreamClosed || SessionOver()) return;
  FCancelled = true;
  nghttp2_submit_rst_stream(FSession, NGHTTP2_FLAG_NONE, FStream, NGHTTP2_CANCEL);
  try {
    Flush();
  } catch (const std::exception&) {
    // The connection broke: it is not kept, and nothing more is owed on it.
  }
}

std::vector<THttp2Transport::TSeen> THttp2Transport::TakeFrames() {
  std::vector<TSeen> Frames;
  Frames.swap(FFrames);
  return Frames;
}

void THttp2Transport::Seen(const THttp2Frame& Frame) {
  FFrames.push_back({std::chrono::steady_clock::now(), Frame});
}

void THttp2Transport::Counted(std::uint8_t Type, std::size_t Length, std::int32_t OnStream,
                              std::uint8_t Flags) {
  // Frames that move the stream on (its head, its data) reset the count; frames that carry
  // nothing for it count, and a run of them too long is a flood.
  const bool Ours = OnStream != 0 && OnStream == FStream;
  const bool Carries = Ours && ((Type == NGHTTP2_DATA && (Length > 0 || (Flags & 1) != 0)) ||
                                Type == NGHTTP2_HEADERS);
  if (Carries) {
    FIdleFrames = 0;
    return;
  }
  // Data costs the server its window: no flood, whichever stream it is on (a cancelled one
  // still gets what was on its way).
  if (Type == NGHTTP2_DATA && Length > 0) return;
  if (Type == NGHTTP2_WINDOW_UPDATE && FPhase == TPhase::Body) return;
  if (++FIdleFrames <= MaxIdleFrames) return;
  FFailure = std::make_exception_ptr(EHttp2Error(
      "HTTP/2 flood: the server sent " + std::to_string(MaxIdleFrames) +
          " frames in a row that carried nothing (the last " + Http2Names::FrameType(Type) + ")",
      NGHTTP2_ENHANCE_YOUR_CALM, false));
}

bool THttp2Transport::Pull() {
  const int Got = FBelow->Receive(FRead.get(), static_cast<int>(PullSize), 0);
  // The end of the peer's bytes, a reset, or the socket already closed on its close
  // notification: the connection is over, and the streams on it with it.
  if (Got == 0 || (Got < 0 && win::WSAGetLastError() != win::WSAEWOULDBLOCK)) {
    FBelowEnded = true;
    return false;
  }
  if (Got < 0) return false;
  const ssize_t Fed = nghttp2_session_mem_recv(
      FSession, reinterpret_cast<const std::uint8_t*>(FRead.get()), static_cast<std::size_t>(Got));
  if (FFailure) std::rethrow_exception(FFailure);
  if (Fed < 0)
    FFailure = std::make_exception_ptr(
        EHttp2Error("HTTP/2 error: " + std::string(nghttp2_strerror(static_cast<int>(Fed))) +
                        (FReason.empty() ? "" : ": " + FReason),
                    NGHTTP2_PROTOCOL_ERROR, false));
  // What the session has to say back (SETTINGS ACK, WINDOW_UPDATE, PING ACK, a GOAWAY of ours)
  // goes as soon as it can.
  Flush();
  return true;
}

bool THttp2Transport::Flush() {
  for (;;) {
    if (FOutAt == FOut.size()) {
      FOut.clear();
      FOutAt = 0;
      // Every frame ready is gathered into one send.
      for (;;) {
        const std::uint8_t* Data = nullptr;
        const ssize_t Count = nghttp2_session_mem_send(FSession, &Data);
        if (FFailure) std::rethrow_exception(FFailure);
        if (Count < 0)
          throw EHttp2Error(
              "HTTP/2 error: " + std::string(nghttp2_strerror(static_cast<int>(Count))),
              NGHTTP2_INTERNAL_ERROR, false);
        if (Count == 0) break;
        FOut.append(reinterpret_cast<const char*>(Data), static_cast<std::size_t>(Count));
        if (FOut.size() >= PullSize) break;
      }
      if (FOut.empty()) return true;
    }
    const int Sent = FBelow->Send(FOut.data() + FOutAt, static_cast<int>(FOut.size() - FOutAt), 0);
    if (Sent > 0) {
      FOutAt += static_cast<std::size_t>(Sent);
      continue;
    }
    if (Sent < 0 && win::WSAGetLastError() == win::WSAEWOULDBLOCK) return false;
    const char* Text = FindSocketErrorText(win::WSAGetLastError());
    throw ESockError(Text != nullptr ? Text : "Socket send failed", TSockStep::ssSend);
  }
}

void THttp2Transport::Submit() {
  const std::vector<Http2Request::TField> Fields = Http2Request::HeaderList(FHeadText, FScheme);
  if (Fields.empty())
    throw EHttp2Error("HTTP/2 cannot send a request without a request line", 0, true);
  std::vector<nghttp2_nv> List;
  List.reserve(Fields.size());
  for (const Http2Request::TField& F : Fields)
    List.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(F.Name.data())),
                    reinterpret_cast<std::uint8_t*>(const_cast<char*>(F.Value.data())),
                    F.Name.size(), F.Value.size(), NGHTTP2_NV_FLAG_NONE});
  FBodyLeft = Http2Request::ContentLength(FHeadText);
  nghttp2_data_provider Provider{};
  Provider.read_callback = TCallbacks::ReadBody;
  const std::int32_t Stream = nghttp2_submit_request(FSession, nullptr, List.data(), List.size(),
                                                     FBodyLeft > 0 ? &Provider : nullptr, nullptr);
  if (Stream < 0)
    throw EHttp2Error("HTTP/2 cannot open a stream: " + std::string(nghttp2_strerror(Stream)),
                      NGHTTP2_REFUSED_STREAM, false);
  FStream = Stream;
  FPhase = FBodyLeft > 0 ? TPhase::Body : TPhase::Sent;
}

namespace {
// A send that cannot go on now, with the platform's error Error.
int Refused(int Error) {
  win::WSASetLastError(Error);
  return -1;
}
}  // namespace

int THttp2Transport::SendStaged() {
  // The same bytes offered again: they are taken, and go once the socket or the peer lets.
  if (FAwaitsPeer) Pull();
  FAwaitsPeer = false;
  if (FStreamClosed || FStreamEnded) {
    // The server ended the stream meanwhile: what is still queued will not go.
    FStaged = 0;
    return Refused(win::WSAECONNRESET);
  }
  if (!Flush()) return Refused(win::WSAEWOULDBLOCK);
  if (FPhase == TPhase::Body && FBodyLeft == 0 && !FBodyQueue.empty()) {
    FAwaitsPeer = true;
    return Refused(win::WSAEWOULDBLOCK);
  }
  return std::exchange(FStaged, 0);
}

std::size_t THttp2Transport::TakeHead(const char* Data, std::size_t Count) {
  FPhase = TPhase::Head;
  const std::size_t Before = FHeadText.size();
  FHeadText.append(Data, Count);
  const std::size_t End = FHeadText.find("\r\n\r\n", Before >= 3 ? Before - 3 : 0);
  if (End == std::string::npos) return Count;
  FHeadText.resize(End + 4);
  Submit();
  FHeadText.clear();
  return End + 4 - Before;
}

std::size_t THttp2Transport::TakeBody(const char* Data, std::size_t Count) {
  if (FPhase != TPhase::Body || Count == 0) return 0;
  if (FBodyAt > 0) {
    FBodyQueue.erase(0, FBodyAt);
    FBodyAt = 0;
  }
  const std::size_t Room = BodyQueueSize - std::min(BodyQueueSize, FBodyQueue.size());
  const std::size_t Want =
      std::min<std::size_t>({Count, Room, static_cast<std::size_t>(FBodyLeft)});
  FBodyQueue.append(Data, Want);
  FBodyLeft -= static_cast<long long>(Want);
  if (Want > 0) nghttp2_session_resume_data(FSession, FStream);
  return Want;
}

int THttp2Transport::Send(const char* Data, int Count, int) {
  RaiseFailure();
  if (FStaged > 0) return SendStaged();
  // The server ended the stream while the body went: it wants no more of it.
  if (FStreamClosed || FStreamEnded) return Refused(win::WSAECONNRESET);
  const auto Offered = static_cast<std::size_t>(Count);
  std::size_t Taken = 0;
  if (FPhase == TPhase::Idle || FPhase == TPhase::Head) {
    Taken = TakeHead(Data, Offered);
    if (FPhase == TPhase::Head) return Count;
    // The HEADERS frame waits for the body's first bytes, to leave in one write with them: two
    // small writes before a read wait for the server's delayed ACK.
    if (FPhase == TPhase::Body && Taken == Offered) return Count;
  }
  Taken += TakeBody(Data + Taken, Offered - Taken);
  if (Taken == 0) {
    // The queue is full: what the peer said meanwhile (its windows opened) lets some go.
    Pull();
    const bool Out = Flush();
    RaiseFailure();
    if (FStreamClosed || FStreamEnded) return Refused(win::WSAECONNRESET);
    Taken = TakeBody(Data, Offered);
    if (Taken == 0) {
      // Still full: held by the socket's room, or (all handed to it) by the peer's window.
      FAwaitsPeer = Out;
      return Refused(win::WSAEWOULDBLOCK);
    }
  }
  const bool AllOut = Flush();
  const bool RequestWhole = FPhase == TPhase::Sent || (FPhase == TPhase::Body && FBodyLeft == 0);
  // More of the request is to come: what did not go yet goes with it.
  if (!RequestWhole) return static_cast<int>(Taken);
  if (AllOut && (FPhase == TPhase::Sent || FBodyQueue.empty())) return static_cast<int>(Taken);
  // The request's last bytes are handed over only once they are on the wire: the reader that
  // comes next waits for the reply, and the reply waits for them. Held back by the socket's
  // room, or (everything handed to it) by the peer's window.
  FStaged = static_cast<int>(Taken);
  FAwaitsPeer = AllOut;
  return Refused(win::WSAEWOULDBLOCK);
}

void THttp2Transport::RaiseFailure() {
  if (FFailure) std::rethrow_exception(FFailure);
}

int THttp2Transport::Receive(char* Buffer, int Size, int Flags) {
  for (;;) {
    if (InLeft() > 0) {
      const std::size_t Count = std::min(InLeft(), static_cast<std::size_t>(std::max(Size, 0)));
      std::memcpy(Buffer, FIn.data() + FInAt, Count);
      if ((Flags & MSG_PEEK) == 0) {
        FInAt += Count;
        if (FInAt == FIn.size()) {
          FIn.clear();
          FInAt = 0;
        }
      }
      return static_cast<int>(Count);
    }
    RaiseFailure();
    // The reply ends with its stream's end, whether or not the stream is closed on our side.
    if (FStream != 0 && (FStreamEnded || (FStreamClosed && FCancelled))) return 0;
    if (FStream != 0 && FStreamClosed) {
      const std::string On = "HTTP/2 stream " + std::to_string(FStream);
      if (FStreamCode == NGHTTP2_REFUSED_STREAM && !FReplyBegun)
        throw EHttp2Refused(On + " was refused by the server (REFUSED_STREAM)");
      if (FWeReset)
        throw EHttp2Error(On + " was reset for a reply that breaks HTTP/2 (" + Named(FStreamCode) +
                              ")" + (FReason.empty() ? "" : ": " + FReason),
                          FStreamCode, true);
      throw EHttp2Error(On + " was reset by the server (" + Named(FStreamCode) + ")", FStreamCode,
                        true);
    }
    if (FGoAway && FStream > FGoAwayLast && !FReplyBegun)
      throw EHttp2Refused("HTTP/2 stream " + std::to_string(FStream) +
                          " was refused by the server's GOAWAY (" + Named(FGoAwayCode) + ")");
    if (SessionOver()) {
      // Nothing of the reply came: the reader finds the connection ended, as before a reply
      // over HTTP/1.x.
      if (FStream == 0 || (!FReplyBegun && !FWeEnded && FGoAwayCode == 0)) return 0;
      std::string Why;
      if (FWeEnded)
        Why = "the server broke the protocol (" + Named(FOurCode) + ")" +
              (FReason.empty() ? "" : ": " + FReason);
      else if (FGoAway)
        Why = "the server ended the connection (GOAWAY " + Named(FGoAwayCode) + ")";
      else
        Why = "the connection closed";
      throw EHttp2Error("HTTP/2 stream " + std::to_string(FStream) + " did not end: " + Why,
                        FWeEnded ? FOurCode : FGoAwayCode, false);
    }
    if (!Pull()) return FBelowEnded ? Receive(Buffer, Size, Flags) : -1;
  }
}

bool THttp2Transport::Pending() const {
  return InLeft() > 0 || (FStream != 0 && (FStreamEnded || FStreamClosed || SessionOver())) ||
         FFailure || FBelow->Pending();
}

std::size_t THttp2Transport::Waiting() const {
  return InLeft() + (Pending() && InLeft() == 0 ? 1 : 0) + FBelow->Waiting();
}

bool THttp2Transport::Close(bool Connected) {
  if (Connected && !SessionOver()) {
    nghttp2_submit_goaway(FSession, NGHTTP2_FLAG_NONE,
                          nghttp2_session_get_last_proc_stream_id(FSession), NGHTTP2_NO_ERROR,
                          nullptr, 0);
    try {
      Flush();
    } catch (const std::exception&) {
      // Going anyway: the goodbye is a courtesy.
    }
  }
  return FBelow->Close(Connected);
}
