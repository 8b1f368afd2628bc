// TH2Peer: the scripted HTTP/2 server of the tests, on 127.0.0.1, port 0, in clear text (prior
// knowledge: the client opens with the preface) or over TLS with the test PKI's good certificate,
// choosing "h2" by ALPN. Each connection runs its own list of steps at the frame level: the peer
// writes every frame itself, HPACK coded by nghttp2's deflater, so that a step can break any rule
// of the protocol. It records every frame the client sent, each header block as nghttp2's
// inflater decodes it, and each request's body.
//
// Between the steps' own frames the peer behaves as a server must, unless its options say not:
// it acknowledges the client's SETTINGS once its own SETTINGS went out, answers PING, gives back
// the window each DATA frame took, and sends DATA only as far as the client's windows (and its
// SETTINGS_INITIAL_WINDOW_SIZE and SETTINGS_MAX_FRAME_SIZE) allow, reading the client's frames
// while it waits for a WINDOW_UPDATE.
#pragma once

#include <nghttp2/nghttp2.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/LoopbackPeer.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"

namespace testsupport {

// Header fields in order, names as written on the wire (pseudo-header fields included).
using TH2Fields = std::vector<std::pair<std::string, std::string>>;
// SETTINGS parameters in order: identifier (NGHTTP2_SETTINGS_...), value.
using TH2Settings = std::vector<std::pair<std::uint16_t, std::uint32_t>>;

// Where a step names a stream: the stream of the request the peer read last.
inline constexpr std::uint32_t LastRequest = 0xFFFFFFFFu;

inline constexpr std::string_view H2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

inline std::string H2Be32(std::uint32_t V) {
  return {static_cast<char>(V >> 24), static_cast<char>(V >> 16), static_cast<char>(V >> 8),
          static_cast<char>(V)};
}

// A frame's 9-byte header, with whatever length it is told to announce.
inline std::string H2FrameHeader(std::uint32_t Length, std::uint8_t Type, std::uint8_t Flags,
                                 std::uint32_t Stream) {
  return H2Be32(Length).substr(1) + static_cast<char>(Type) + static_cast<char>(Flags) +
         H2Be32(Stream);
}

// One whole frame: the header announcing the payload's length, then the payload.
inline std::string H2FrameBytes(std::uint8_t Type, std::uint8_t Flags, std::uint32_t Stream,
                                std::string_view Payload) {
  return H2FrameHeader(static_cast<std::uint32_t>(Payload.size()), Type, Flags, Stream) +
         std::string(Payload);
}

// One frame the client sent: its header's fields (the stream's reserved bit cleared) and payload.
struct TH2Frame {
  std::uint8_t Type = 0;
  std::uint8_t Flags = 0;
  std::uint32_t Stream = 0;
  std::uint32_t Length = 0;
  std::string Payload;
};

// A header block the client sent (HEADERS and its CONTINUATION frames), as decoded.
struct TH2HeaderBlock {
  std::uint32_t Stream = 0;
  TH2Fields Fields;
  bool EndStream = false;
  int Frames = 1;  // the HEADERS frame and its CONTINUATION frames
};

// A stream the client opened with a header block.
struct TH2Request {
  std::uint32_t Stream = 0;
  TH2Fields Headers;   // its first header block
  std::string Body;    // its DATA frames' data, padding removed
  TH2Fields Trailers;  // a later header block
  bool Ended = false;  // END_STREAM came
  bool Reset = false;  // the client sent RST_STREAM on it
  // The value of the first field named exactly Name, or "" when there is none.
  std::string Field(std::string_view Name) const {
    for (const auto& [N, V] : Headers)
      if (N == Name) return V;
    return {};
  }
  bool Has(std::string_view Name) const {
    return std::any_of(Headers.begin(), Headers.end(),
                       [&](const auto& F) { return F.first == Name; });
  }
};

// What one connection saw of the client.
struct TH2Record {
  bool Tls = false;
  bool Handshaken = false;               // TLS: the handshake succeeded
  std::vector<std::string> AlpnOffered;  // TLS: the protocols the client offered, in its order
  std::string Alpn;                      // TLS: the protocol the peer selected, "" for none
  bool Preface = false;                  // the client's first 24 bytes were the preface
  std::vector<TH2Frame> Frames;          // every frame the client sent, in order
  std::vector<TH2HeaderBlock> HeaderBlocks;
  std::vector<TH2Request> Requests;        // in the order the client opened them
  std::vector<std::string> Http1Requests;  // what ReadHttp1Request read, each as read
  TH2Settings Settings;                    // every setting the client sent, in order
  bool ClientClosed = false;               // the client closed or reset the connection
  // What went wrong on the peer's side: a time-out, no preface, an HPACK error, a window that
  // never opened, a CONTINUATION out of place, a TLS handshake that failed ...
  std::vector<std::string> Errors;

  int Count(std::uint8_t Type) const {
    return static_cast<int>(std::count_if(Frames.begin(), Frames.end(),
                                          [&](const TH2Frame& F) { return F.Type == Type; }));
  }
  // Frames of Type with every flag of Flags set (NGHTTP2_FLAG_ACK, NGHTTP2_FLAG_END_STREAM ...).
  int Count(std::uint8_t Type, std::uint8_t Flags) const {
    return static_cast<int>(std::count_if(Frames.begin(), Frames.end(), [&](const TH2Frame& F) {
      return F.Type == Type && (F.Flags & Flags) == Flags;
    }));
  }
  const TH2Request* Request(std::uint32_t Stream) const {
    for (const TH2Request& R : Requests)
      if (R.Stream == Stream) return &R;
    return nullptr;
  }
  // The last value the client gave the setting Id.
  std::optional<std::uint32_t> Setting(std::uint16_t Id) const {
    std::optional<std::uint32_t> Value;
    for (const auto& [I, V] : Settings)
      if (I == Id) Value = V;
    return Value;
  }
};

// clang-format off
enum class TH2StepKind : std::uint8_t {
  ReadPreface, ReadRequest, ReadHeaders, AwaitFrame, ReadHttp1Request,
  Settings, SettingsAck, Headers, Data, Reply, RstStream, GoAway, PushPromise, Ping, WindowUpdate,
  Frame, Raw, Flood, Idle, Stall, Close, Reset
};
// clang-format on

struct TH2Step {
  TH2StepKind Kind;
  std::uint32_t Stream = 0;  // or LastRequest; GOAWAY's last stream
  std::uint32_t Value = 0;   // error code, promised stream, increment, frame type, status
  std::uint8_t Flags = 0;
  TH2Fields Fields{};
  std::string Bytes{};
  TH2Settings Settings{};
  int Count = 0;  // CONTINUATION frames, copies
  int Millis = 0;
  bool IgnoreWindows = false;
};
using TH2Script = std::vector<TH2Step>;

// The step makers. In header values and Raw bytes, "{P}" is the peer's own port.
namespace h2steps {

// The 24-byte preface and the client's first frame, which must be SETTINGS.
inline TH2Step ReadPreface() { return {TH2StepKind::ReadPreface}; }
// Frames until a request stream not yet taken by ReadRequest ends (END_STREAM, on HEADERS or on
// its last DATA, or the client's RST_STREAM); that stream becomes LastRequest.
inline TH2Step ReadRequest() { return {TH2StepKind::ReadRequest}; }
// Frames until a request's header block arrived, not yet taken by ReadHeaders or ReadRequest,
// whether or not its body is done; that stream becomes LastRequest.
inline TH2Step ReadHeaders() { return {TH2StepKind::ReadHeaders}; }
// Frames until the client sent a frame of Type not yet taken by an AwaitFrame of that type.
inline TH2Step AwaitFrame(std::uint8_t Type) { return {TH2StepKind::AwaitFrame, 0, Type}; }
// An HTTP/1 request (head, and the body its Content-Length announces), as after an ALPN fallback.
inline TH2Step ReadHttp1Request() { return {TH2StepKind::ReadHttp1Request}; }

// The peer's SETTINGS frame; the first one sent lets the polite answers go out.
inline TH2Step Settings(TH2Settings S = {}) {
  TH2Step Step{TH2StepKind::Settings};
  Step.Settings = std::move(S);
  return Step;
}
inline TH2Step SettingsAck() { return {TH2StepKind::SettingsAck}; }
// A header block: HEADERS with Flags (NGHTTP2_FLAG_END_STREAM, NGHTTP2_FLAG_END_HEADERS), split
// into Continuations CONTINUATION frames more (and as the client's frame size needs); the block's
// last frame carries END_HEADERS only when Flags has it.
inline TH2Step Headers(std::uint32_t Stream, TH2Fields F,
                       std::uint8_t Flags = NGHTTP2_FLAG_END_HEADERS, int Continuations = 0) {
  TH2Step Step{TH2StepKind::Headers, Stream, 0, Flags, std::move(F)};
  Step.Count = Continuations;
  return Step;
}
// DATA frames as the client's windows and frame size allow, the last with END_STREAM if asked.
inline TH2Step Data(std::uint32_t Stream, std::string Bytes, bool EndStream = true) {
  TH2Step Step{TH2StepKind::Data, Stream, 0, 0, {}, std::move(Bytes)};
  Step.Flags = EndStream ? NGHTTP2_FLAG_END_STREAM : 0;
  return Step;
}
// The same, in frames of the client's frame size but with no regard to its windows.
inline TH2Step DataIgnoringWindows(std::uint32_t Stream, std::string Bytes, bool EndStream = true) {
  TH2Step Step = Data(Stream, std::move(Bytes), EndStream);
  Step.IgnoreWindows = true;
  return Step;
}
// A whole answer: HEADERS with ":status" then Fields, and the body as Data does, if any.
inline TH2Step Reply(std::uint32_t Stream, int Status, TH2Fields F = {}, std::string Body = {}) {
  return {TH2StepKind::Reply, Stream,         static_cast<std::uint32_t>(Status), 0,
          std::move(F),       std::move(Body)};
}
inline TH2Step RstStream(std::uint32_t Stream, std::uint32_t Code) {
  return {TH2StepKind::RstStream, Stream, Code};
}
inline TH2Step GoAway(std::uint32_t LastStream, std::uint32_t Code, std::string Debug = {}) {
  return {TH2StepKind::GoAway, LastStream, Code, 0, {}, std::move(Debug)};
}
inline TH2Step PushPromise(std::uint32_t Stream, std::uint32_t Promised, TH2Fields F,
                           std::uint8_t Flags = NGHTTP2_FLAG_END_HEADERS) {
  return {TH2StepKind::PushPromise, Stream, Promised, Flags, std::move(F)};
}
inline TH2Step Ping(std::string Opaque = std::string(8, '\0'), bool Ack = false) {
  return {TH2StepKind::Ping, 0, 0, Ack ? std::uint8_t{NGHTTP2_FLAG_ACK} : std::uint8_t{0}, {},
          std::move(Opaque)};
}
inline TH2Step WindowUpdate(std::uint32_t Stream, std::uint32_t Increment) {
  return {TH2StepKind::WindowUpdate, Stream, Increment};
}
// Any frame, its length the payload's (H2FrameHeader and Raw for one that lies).
inline TH2Step Frame(std::uint8_t Type, std::uint8_t Flags, std::uint32_t Stream,
                     std::string Payload = {}) {
  return {TH2StepKind::Frame, Stream, Type, Flags, {}, std::move(Payload)};
}
inline TH2Step Raw(std::string Bytes) { return {TH2StepKind::Raw, 0, 0, 0, {}, std::move(Bytes)}; }
// Count copies of Bytes (H2FrameBytes(...) for a frame), one every Millis ms if Millis > 0;
// it stops when the client is gone.
inline TH2Step Flood(std::string Bytes, int Count, int Millis = 0) {
  TH2Step Step{TH2StepKind::Flood, 0, 0, 0, {}, std::move(Bytes)};
  Step.Count = Count, Step.Millis = Millis;
  return Step;
}
// Frames, answered politely, until the client closes the connection (or the peer is destroyed).
inline TH2Step Idle() { return {TH2StepKind::Idle}; }
// The same, but nothing at all is sent: no SETTINGS ACK, no PING ACK, no WINDOW_UPDATE.
inline TH2Step Stall() { return {TH2StepKind::Stall}; }
// Ends the connection now (the steps left are skipped) as when the steps run out: close_notify
// under TLS, the peer's side shut, and the client's frames read until it closes too, so that
// nothing it sent resets the connection before it read everything.
inline TH2Step Close() { return {TH2StepKind::Close}; }
// Ends the connection now with a TCP reset.
inline TH2Step Reset() { return {TH2StepKind::Reset}; }

// A connection that reads one request, answers 200 with Fields and Body, and stays open.
inline TH2Script Answer(TH2Fields F = {}, std::string Body = {}) {
  return {ReadPreface(), Settings(), ReadRequest(),
          Reply(LastRequest, 200, std::move(F), std::move(Body)), Idle()};
}

}  // namespace h2steps

struct TH2PeerOptions {
  bool Tls = false;         // TLS with TTestPki::Get().Good
  std::string Alpn = "h2";  // TLS: selected when the client offers it; "" selects none
  bool AckSettings = true;  // acknowledge the client's SETTINGS
  bool AnswerPings = true;  // answer the client's PING
  bool OpenWindows = true;  // a WINDOW_UPDATE (connection and stream) for each DATA received
};

// Serves Script.size() connections, one after another, each with its own steps: a connection
// that waits for the client to close (Idle, Stall, the end of the steps) holds the next one in
// the backlog until then.
class TH2Peer {
 public:
  explicit TH2Peer(std::vector<TH2Script> Script, TH2PeerOptions Options = {})
      : FScript(std::move(Script)), FOptions(std::move(Options)), FRecords(FScript.size()) {
    if (FOptions.Tls) {
      std::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes with write(): a client gone mid-write
      const TPkiCert& Cert = TTestPki::Get().Good;
      FCtx = SSL_CTX_new(TLS_server_method());
      SSL_CTX_use_certificate_chain_file(FCtx, Cert.Chain.c_str());
      SSL_CTX_use_PrivateKey_file(FCtx, Cert.Key.c_str(), SSL_FILETYPE_PEM);
      SSL_CTX_set_alpn_select_cb(FCtx, &TH2Peer::SelectAlpn, this);
    }
    FPeer = std::make_unique<LoopbackPeer>([this](int Fd) { Serve(Fd); },
                                           static_cast<int>(FScript.size()));
  }
  ~TH2Peer() {
    FPeer.reset();  // joins the thread before the context goes
    if (FCtx) SSL_CTX_free(FCtx);
  }
  TH2Peer(const TH2Peer&) = delete;
  TH2Peer& operator=(const TH2Peer&) = delete;

  std::uint16_t Port() const { return FPeer->Port(); }
  int Accepted() const { return FPeer->Accepted(); }
  // False when the last connection's steps had not ended within the peer's tripwire.
  bool Finished() { return FPeer->Finished.Wait(); }
  // What each connection begun so far saw, as it stands now.
  std::vector<TH2Record> Records() {
    std::lock_guard<std::mutex> Lock(FMutex);
    return {FRecords.begin(), FRecords.begin() + static_cast<std::ptrdiff_t>(FBegun)};
  }
  TH2Record Record(std::size_t Connection = 0) {
    std::lock_guard<std::mutex> Lock(FMutex);
    return Connection < FRecords.size() ? FRecords[Connection] : TH2Record{};
  }

 private:
  // One connection's side of the protocol; peer thread only, but for its record.
  class TSession {
   public:
    TSession(TH2Peer& Peer, std::size_t Index, int Fd) : FPeer(Peer), FIndex(Index), FFd(Fd) {
      nghttp2_hd_deflate_new(&FDeflater, 4096);
      nghttp2_hd_inflate_new(&FInflater);
      sockaddr_in Local{};
      socklen_t Length = sizeof Local;
      ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &Length);
      FOwnPort = std::to_string(ntohs(Local.sin_port));
    }
    ~TSession() {
      if (FSsl) SSL_free(FSsl);
      ERR_clear_error();
      nghttp2_hd_deflate_del(FDeflater);
      nghttp2_hd_inflate_del(FInflater);
    }
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    void Run(const TH2Script& Steps) {
      if (FPeer.FCtx && !Handshake()) return;
      bool Ended = false;
      for (const TH2Step& S : Steps) {
        Step(S);
        if ((Ended = S.Kind == TH2StepKind::Close || S.Kind == TH2StepKind::Reset)) break;
      }
      if (!Ended) Step(h2steps::Close());
    }

    // Called from the ALPN callback during the handshake.
    int SelectAlpn(const unsigned char** Out, unsigned char* OutLength, const unsigned char* In,
                   unsigned int InLength) {
      std::vector<std::string> Offered;
      int Result = SSL_TLSEXT_ERR_NOACK;
      for (unsigned int At = 0; At < InLength && At + 1 + In[At] <= InLength; At += 1 + In[At]) {
        Offered.emplace_back(reinterpret_cast<const char*>(In + At + 1), In[At]);
        if (Result != SSL_TLSEXT_ERR_OK && !FPeer.FOptions.Alpn.empty() &&
            Offered.back() == FPeer.FOptions.Alpn) {
          *Out = In + At + 1, *OutLength = In[At];
          Result = SSL_TLSEXT_ERR_OK;
        }
      }
      Note([&](TH2Record& R) {
        R.AlpnOffered = Offered;
        if (Result == SSL_TLSEXT_ERR_OK) R.Alpn = FPeer.FOptions.Alpn;
      });
      return Result;
    }

   private:
    template <class F>
    void Note(F&& Change) {
      std::lock_guard<std::mutex> Lock(FPeer.FMutex);
      Change(FPeer.FRecords[FIndex]);
    }
    void Error(std::string What) {
      Note([&](TH2Record& R) { R.Errors.push_back(std::move(What)); });
    }

    bool Handshake() {
      FSsl = SSL_new(FPeer.FCtx);
      SSL_set_fd(FSsl, FFd);
      SSL_set_app_data(FSsl, this);
      const bool Done = SSL_accept(FSsl) == 1;
      if (!Done) {
        char Why[256] = "";
        ERR_error_string_n(ERR_peek_last_error(), Why, sizeof Why);
        Error(std::string("TLS handshake failed: ") + Why);
      }
      Note([&](TH2Record& R) { R.Handshaken = Done; });
      return Done;
    }

    std::uint32_t Resolve(std::uint32_t Stream) const {
      return Stream == LastRequest ? FLast : Stream;
    }
    std::string Expanded(const std::string& Text) const { return Replaced(Text, "{P}", FOwnPort); }

    // --- reading ---

    // False when the connection gave out.
    bool Fill(std::size_t Need) {
      while (FIn.size() < Need) {
        if (FDead) return false;
        char B[16384];
        ssize_t N;
        bool TimedOut;
        if (FSsl) {
          const int R = SSL_read(FSsl, B, sizeof B);
          const int E = R > 0 ? SSL_ERROR_NONE : SSL_get_error(FSsl, R);
          N = R;
          // A blocking socket's receive time-out comes back from OpenSSL as a want-read.
          TimedOut = E == SSL_ERROR_WANT_READ ||
                     (E == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK));
        } else {
          N = ::recv(FFd, B, sizeof B, 0);
          TimedOut = N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        if (N <= 0) {
          FDead = true;
          Note([&](TH2Record& R) {
            if (TimedOut)
              R.Errors.push_back("timed out waiting for the client");
            else
              R.ClientClosed = true;
          });
          return false;
        }
        FIn.append(B, static_cast<std::size_t>(N));
      }
      return true;
    }

    std::optional<TH2Frame> ReadFrame() {
      if (FGarbled || !Fill(9)) return std::nullopt;
      const auto* U = reinterpret_cast<const unsigned char*>(FIn.data());
      TH2Frame F;
      F.Length = std::uint32_t{U[0]} << 16 | std::uint32_t{U[1]} << 8 | U[2];
      F.Type = U[3], F.Flags = U[4];
      F.Stream = Be32(U + 5) & 0x7FFFFFFFu;
      if (!Fill(9 + std::size_t{F.Length})) return std::nullopt;
      F.Payload = FIn.substr(9, F.Length);
      FIn.erase(0, 9 + std::size_t{F.Length});
      return F;
    }

    // One frame read, recorded and acted on.
    bool ReadOne() {
      std::optional<TH2Frame> F = ReadFrame();
      if (!F) return false;
      Note([&](TH2Record& R) { R.Frames.push_back(*F); });
      ++FSeen[F->Type];
      Take(*F);
      return true;
    }

    static std::uint32_t Be32(const unsigned char* P) {
      return std::uint32_t{P[0]} << 24 | std::uint32_t{P[1]} << 16 | std::uint32_t{P[2]} << 8 |
             P[3];
    }

    // The frame's payload without its padding (and a HEADERS frame's priority fields).
    std::optional<std::string> Fragment(const TH2Frame& F) {
      std::string_view P = F.Payload;
      std::size_t Pad = 0;
      if (F.Flags & NGHTTP2_FLAG_PADDED) {
        if (P.empty()) return std::nullopt;
        Pad = static_cast<unsigned char>(P[0]);
        P.remove_prefix(1);
      }
      if (F.Type == NGHTTP2_HEADERS && (F.Flags & NGHTTP2_FLAG_PRIORITY)) {
        if (P.size() < 5) return std::nullopt;
        P.remove_prefix(5);
      }
      if (Pad > P.size()) return std::nullopt;
      P.remove_suffix(Pad);
      return std::string(P);
    }

    void Take(const TH2Frame& F) {
      const bool Ack = F.Flags & NGHTTP2_FLAG_ACK;
      switch (F.Type) {
        case NGHTTP2_SETTINGS:
          if (Ack) break;
          TakeSettings(F.Payload);
          if (FPeer.FOptions.AckSettings && !FQuiet) {
            if (FSettingsSent)
              SendFrame(NGHTTP2_SETTINGS, NGHTTP2_FLAG_ACK, 0, "");
            else
              ++FAcksOwed;  // a server's first frame is its own SETTINGS
          }
          break;
        case NGHTTP2_PING:
          if (!Ack && FPeer.FOptions.AnswerPings && FSettingsSent && !FQuiet)
            SendFrame(NGHTTP2_PING, NGHTTP2_FLAG_ACK, 0, F.Payload);
          break;
        case NGHTTP2_WINDOW_UPDATE:
          if (F.Payload.size() != 4) break;
          if (const auto Increment =
                  Be32(reinterpret_cast<const unsigned char*>(F.Payload.data())) & 0x7FFFFFFFu;
              F.Stream == 0)
            FConnectionWindow += Increment;
          else
            Window(F.Stream) += Increment;
          break;
        case NGHTTP2_HEADERS:
          if (FBlockStream != 0) Error("HEADERS inside the header block of another frame");
          FBlockStream = F.Stream, FBlockEndStream = F.Flags & NGHTTP2_FLAG_END_STREAM;
          FBlockFrames = 1;
          if (auto Piece = Fragment(F))
            FBlock = std::move(*Piece);
          else
            Error("HEADERS frame with bad padding or priority fields");
          if (F.Flags & NGHTTP2_FLAG_END_HEADERS) EndBlock();
          break;
        case NGHTTP2_CONTINUATION:
          if (FBlockStream == 0 || F.Stream != FBlockStream) {
            Error("CONTINUATION outside a header block on stream " + std::to_string(F.Stream));
            break;
          }
          FBlock += F.Payload, ++FBlockFrames;
          if (F.Flags & NGHTTP2_FLAG_END_HEADERS) EndBlock();
          break;
        case NGHTTP2_DATA: TakeData(F); break;
        case NGHTTP2_RST_STREAM:
          FResetStreams.insert(F.Stream);
          Change(F.Stream, [](TH2Request& R) { R.Reset = true; });
          if (FOpen.erase(F.Stream)) FEnded.push_back(F.Stream);  // ReadRequest waits no more
          break;
        default: break;
      }
    }

    void TakeSettings(const std::string& Payload) {
      TH2Settings Got;
      const auto* U = reinterpret_cast<const unsigned char*>(Payload.data());
      for (std::size_t At = 0; At + 6 <= Payload.size(); At += 6)
        Got.emplace_back(static_cast<std::uint16_t>(U[At] << 8 | U[At + 1]), Be32(U + At + 2));
      for (const auto& [Id, Value] : Got) {
        if (Id == NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE) {
          // The change applies to every stream's window, even into the negative (RFC 9113 6.9.2).
          const std::int64_t Delta = std::int64_t{Value} - FInitialWindow;
          for (auto& [Stream, W] : FWindows) W += Delta;
          FInitialWindow = Value;
        } else if (Id == NGHTTP2_SETTINGS_MAX_FRAME_SIZE && Value >= 16384 && Value <= 16777215) {
          FMaxFrame = Value;
        } else if (Id == NGHTTP2_SETTINGS_HEADER_TABLE_SIZE) {
          nghttp2_hd_deflate_change_table_size(FDeflater, Value);
        }
      }
      Note([&](TH2Record& R) { R.Settings.insert(R.Settings.end(), Got.begin(), Got.end()); });
    }

    void TakeData(const TH2Frame& F) {
      const std::optional<std::string> Piece = Fragment(F);
      if (!Piece) Error("DATA frame with bad padding on stream " + std::to_string(F.Stream));
      if (!FKnown.count(F.Stream)) {
        Error("DATA on stream " + std::to_string(F.Stream) + ", which no HEADERS opened");
      } else {
        Change(F.Stream, [&](TH2Request& R) { R.Body += Piece.value_or(""); });
        if (F.Flags & NGHTTP2_FLAG_END_STREAM) Ended(F.Stream);
      }
      if (F.Length > 0 && FPeer.FOptions.OpenWindows && FSettingsSent && !FQuiet) {
        SendFrame(NGHTTP2_WINDOW_UPDATE, 0, 0, H2Be32(F.Length));
        if (!(F.Flags & NGHTTP2_FLAG_END_STREAM))
          SendFrame(NGHTTP2_WINDOW_UPDATE, 0, F.Stream, H2Be32(F.Length));
      }
    }

    void EndBlock() {
      TH2HeaderBlock Block{FBlockStream, {}, FBlockEndStream, FBlockFrames};
      if (!Inflate(FBlock, Block.Fields))
        Error("HPACK could not decode the header block on stream " + std::to_string(FBlockStream));
      const std::uint32_t Stream = FBlockStream;
      FBlockStream = 0, FBlock.clear();
      Note([&](TH2Record& R) { R.HeaderBlocks.push_back(Block); });
      if (FKnown.insert(Stream).second) {
        FOpen.insert(Stream);
        FOpened.push_back(Stream);
        TH2Request Request;
        Request.Stream = Stream, Request.Headers = Block.Fields;
        Note([&](TH2Record& R) { R.Requests.push_back(std::move(Request)); });
      } else {
        Change(Stream, [&](TH2Request& R) { R.Trailers = Block.Fields; });
      }
      if (Block.EndStream) Ended(Stream);
    }

    bool Inflate(const std::string& Block, TH2Fields& Out) {
      auto* In = reinterpret_cast<const std::uint8_t*>(Block.data());
      std::size_t Left = Block.size();
      for (;;) {
        nghttp2_nv Nv;
        int Flags = 0;
        const ssize_t N = nghttp2_hd_inflate_hd2(FInflater, &Nv, &Flags, In, Left, 1);
        if (N < 0) return false;
        In += N, Left -= static_cast<std::size_t>(N);
        if (Flags & NGHTTP2_HD_INFLATE_EMIT)
          Out.emplace_back(std::string(reinterpret_cast<const char*>(Nv.name), Nv.namelen),
                           std::string(reinterpret_cast<const char*>(Nv.value), Nv.valuelen));
        if (Flags & NGHTTP2_HD_INFLATE_FINAL) {
          nghttp2_hd_inflate_end_headers(FInflater);
          return true;
        }
        if (!(Flags & NGHTTP2_HD_INFLATE_EMIT) && Left == 0) return false;
      }
    }

    void Ended(std::uint32_t Stream) {
      Change(Stream, [](TH2Request& R) { R.Ended = true; });
      if (FOpen.erase(Stream)) FEnded.push_back(Stream);
    }

    template <class F>
    void Change(std::uint32_t Stream, F&& Edit) {
      Note([&](TH2Record& R) {
        for (TH2Request& Q : R.Requests)
          if (Q.Stream == Stream) Edit(Q);
      });
    }

    std::int64_t& Window(std::uint32_t Stream) {
      return FWindows.try_emplace(Stream, FInitialWindow).first->second;
    }

    // --- writing ---

    // False when the client is gone.
    bool Send(const std::string& Bytes) {
      if (FSsl)
        return Bytes.empty() || SSL_write(FSsl, Bytes.data(), static_cast<int>(Bytes.size())) > 0;
      for (std::size_t Done = 0; Done < Bytes.size();) {
        const ssize_t N = ::send(FFd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
        if (N <= 0) return false;
        Done += static_cast<std::size_t>(N);
      }
      return true;
    }
    bool SendFrame(std::uint8_t Type, std::uint8_t Flags, std::uint32_t Stream,
                   std::string_view Payload) {
      return Send(H2FrameBytes(Type, Flags, Stream, Payload));
    }

    std::string Deflate(const TH2Fields& Fields) {
      TH2Fields Values;
      for (const auto& [N, V] : Fields) Values.emplace_back(N, Expanded(V));
      std::vector<nghttp2_nv> Nv;
      for (auto& [N, V] : Values)
        Nv.push_back({reinterpret_cast<std::uint8_t*>(N.data()),
                      reinterpret_cast<std::uint8_t*>(V.data()), N.size(), V.size(),
                      NGHTTP2_NV_FLAG_NONE});
      std::string Out(nghttp2_hd_deflate_bound(FDeflater, Nv.data(), Nv.size()), '\0');
      const ssize_t N = nghttp2_hd_deflate_hd(
          FDeflater, reinterpret_cast<std::uint8_t*>(Out.data()), Out.size(), Nv.data(), Nv.size());
      if (N < 0) Error("HPACK could not encode a header block");
      Out.resize(N < 0 ? 0 : static_cast<std::size_t>(N));
      return Out;
    }

    // HEADERS or PUSH_PROMISE (Prefix: its promised stream) with its CONTINUATION frames.
    void SendBlock(std::uint8_t Type, std::uint8_t Flags, std::uint32_t Stream,
                   const std::string& Prefix, const TH2Fields& Fields, int Continuations) {
      const std::string Block = Deflate(Fields);
      const std::size_t Room = FMaxFrame - 4;
      const std::size_t Pieces =
          std::max<std::size_t>(static_cast<std::size_t>(std::max(Continuations, 0)) + 1,
                                (Block.size() + Room - 1) / Room);
      const std::size_t Each = (Block.size() + Pieces - 1) / Pieces;
      for (std::size_t I = 0; I < Pieces; ++I) {
        const bool First = I == 0, Last = I + 1 == Pieces;
        std::uint8_t F = First ? static_cast<std::uint8_t>(Flags & ~NGHTTP2_FLAG_END_HEADERS) : 0;
        if (Last) F |= Flags & NGHTTP2_FLAG_END_HEADERS;
        const std::string Piece = Block.substr(std::min(I * Each, Block.size()), Each);
        if (!SendFrame(First ? Type : std::uint8_t{NGHTTP2_CONTINUATION}, F, Stream,
                       (First ? Prefix : std::string()) + Piece))
          return;
      }
    }

    void SendData(std::uint32_t Stream, const std::string& Bytes, bool EndStream, bool Ignore) {
      std::size_t At = 0;
      do {
        std::size_t N = std::min<std::size_t>(Bytes.size() - At, FMaxFrame);
        if (!Ignore && N > 0) {
          while (!FResetStreams.count(Stream) && (FConnectionWindow <= 0 || Window(Stream) <= 0))
            if (!ReadOne()) {
              Error("the client's window on stream " + std::to_string(Stream) + " never opened");
              return;
            }
          if (FResetStreams.count(Stream)) return;  // the client gave the stream up
          N = static_cast<std::size_t>(std::min<std::int64_t>(
              static_cast<std::int64_t>(N), std::min(FConnectionWindow, Window(Stream))));
        }
        const bool Last = At + N == Bytes.size();
        if (!SendFrame(NGHTTP2_DATA, Last && EndStream ? NGHTTP2_FLAG_END_STREAM : 0, Stream,
                       std::string_view(Bytes).substr(At, N)))
          return;
        FConnectionWindow -= static_cast<std::int64_t>(N);
        Window(Stream) -= static_cast<std::int64_t>(N);
        At += N;
      } while (At < Bytes.size());
    }

    void SendSettings(const TH2Settings& List) {
      std::string Payload;
      for (const auto& [Id, Value] : List) {
        Payload += static_cast<char>(Id >> 8), Payload += static_cast<char>(Id);
        Payload += H2Be32(Value);
        // The client may use a larger table once it has the setting; a smaller one it must say.
        if (Id == NGHTTP2_SETTINGS_HEADER_TABLE_SIZE)
          nghttp2_hd_inflate_change_table_size(FInflater, Value);
      }
      SendFrame(NGHTTP2_SETTINGS, 0, 0, Payload);
      FSettingsSent = true;
      for (; FAcksOwed > 0; --FAcksOwed) SendFrame(NGHTTP2_SETTINGS, NGHTTP2_FLAG_ACK, 0, "");
    }

    // --- steps ---

    void ReadPreface() {
      if (!Fill(H2Preface.size())) return;
      if (FIn.compare(0, H2Preface.size(), H2Preface) != 0) {
        std::string Shown;
        for (const char C : FIn.substr(0, H2Preface.size()))
          Shown += std::isprint(static_cast<unsigned char>(C)) ? std::string(1, C) : "\\x" + Hex(C);
        Error("the connection did not open with the preface: " + Shown);
        FGarbled = true;
        return;
      }
      FIn.erase(0, H2Preface.size());
      Note([](TH2Record& R) { R.Preface = true; });
      if (!Fill(9)) return;
      if (static_cast<std::uint8_t>(FIn[3]) != NGHTTP2_SETTINGS)
        Error("the preface was not followed by SETTINGS");
      ReadOne();
    }
    static std::string Hex(char C) {
      const char* Digits = "0123456789abcdef";
      const auto U = static_cast<unsigned char>(C);
      return {Digits[U >> 4], Digits[U & 15]};
    }

    void ReadHttp1Request() {
      std::size_t End;
      while ((End = FIn.find("\r\n\r\n")) == std::string::npos)
        if (!Fill(FIn.size() + 1)) break;
      std::size_t Want = FIn.size();
      if (End != std::string::npos) {
        std::string Lower = FIn.substr(0, End);
        for (char& C : Lower) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
        std::size_t Length = 0;
        if (const auto At = Lower.find("\r\ncontent-length:"); At != std::string::npos)
          Length = std::strtoul(Lower.c_str() + At + 17, nullptr, 10);
        Want = End + 4 + Length;
        Fill(Want);
      }
      const std::string Request = FIn.substr(0, Want);
      FIn.erase(0, Request.size());
      Note([&](TH2Record& R) { R.Http1Requests.push_back(Request); });
    }

    void Drain() {
      FQuiet = true;
      while (ReadOne()) {
      }
      // Bytes that are no frames are read all the same: unread, they would reset the connection.
      if (FGarbled)
        while (FIn.clear(), Fill(1)) {
        }
    }

    void Step(const TH2Step& S) {
      const std::uint32_t Stream = Resolve(S.Stream);
      switch (S.Kind) {
        case TH2StepKind::ReadPreface: ReadPreface(); break;
        case TH2StepKind::ReadRequest:
          while (FEnded.empty())
            if (!ReadOne()) return;
          FLast = FEnded.front();
          FEnded.pop_front();
          FOpened.erase(std::remove(FOpened.begin(), FOpened.end(), FLast), FOpened.end());
          break;
        case TH2StepKind::ReadHeaders:
          while (FOpened.empty())
            if (!ReadOne()) return;
          FLast = FOpened.front();
          FOpened.pop_front();
          break;
        case TH2StepKind::AwaitFrame: {
          const auto Type = static_cast<std::uint8_t>(S.Value);
          while (FSeen[Type] <= FAwaited[Type])
            if (!ReadOne()) return;
          ++FAwaited[Type];
          break;
        }
        case TH2StepKind::ReadHttp1Request: ReadHttp1Request(); break;
        case TH2StepKind::Settings: SendSettings(S.Settings); break;
        case TH2StepKind::SettingsAck: SendFrame(NGHTTP2_SETTINGS, NGHTTP2_FLAG_ACK, 0, ""); break;
        case TH2StepKind::Headers:
          SendBlock(NGHTTP2_HEADERS, S.Flags, Stream, "", S.Fields, S.Count);
          break;
        case TH2StepKind::Data:
          SendData(Stream, S.Bytes, S.Flags & NGHTTP2_FLAG_END_STREAM, S.IgnoreWindows);
          break;
        case TH2StepKind::Reply: {
          TH2Fields Fields{{":status", std::to_string(S.Value)}};
          Fields.insert(Fields.end(), S.Fields.begin(), S.Fields.end());
          const std::uint8_t Flags =
              NGHTTP2_FLAG_END_HEADERS | (S.Bytes.empty() ? NGHTTP2_FLAG_END_STREAM : 0);
          SendBlock(NGHTTP2_HEADERS, Flags, Stream, "", Fields, 0);
          if (!S.Bytes.empty()) SendData(Stream, S.Bytes, true, false);
          break;
        }
        case TH2StepKind::RstStream:
          SendFrame(NGHTTP2_RST_STREAM, 0, Stream, H2Be32(S.Value));
          break;
        case TH2StepKind::GoAway:
          SendFrame(NGHTTP2_GOAWAY, 0, 0, H2Be32(Stream) + H2Be32(S.Value) + S.Bytes);
          break;
        case TH2StepKind::PushPromise:
          SendBlock(NGHTTP2_PUSH_PROMISE, S.Flags, Stream, H2Be32(S.Value), S.Fields, S.Count);
          break;
        case TH2StepKind::Ping: SendFrame(NGHTTP2_PING, S.Flags, 0, S.Bytes); break;
        case TH2StepKind::WindowUpdate:
          SendFrame(NGHTTP2_WINDOW_UPDATE, 0, Stream, H2Be32(S.Value));
          break;
        case TH2StepKind::Frame:
          SendFrame(static_cast<std::uint8_t>(S.Value), S.Flags, Stream, S.Bytes);
          break;
        case TH2StepKind::Raw: Send(Expanded(S.Bytes)); break;
        case TH2StepKind::Flood: Flood(S); break;
        case TH2StepKind::Idle:
          while (ReadOne()) {
          }
          break;
        case TH2StepKind::Stall:
          FQuiet = true;
          while (ReadOne()) {
          }
          break;
        case TH2StepKind::Close:
          if (FSsl) SSL_shutdown(FSsl);
          ::shutdown(FFd, SHUT_WR);
          Drain();
          break;
        case TH2StepKind::Reset: ResetOnClose(FFd); break;
      }
    }

    void Flood(const TH2Step& S) {
      if (S.Bytes.empty()) return;
      if (S.Millis > 0) {
        for (int I = 0; I < S.Count; ++I) {
          if (!Send(S.Bytes)) return;
          // Pacing the server, not synchronising with the client.
          std::this_thread::sleep_for(std::chrono::milliseconds(S.Millis));
        }
        return;
      }
      // Copies gathered into writes of about 64 KiB.
      const int PerWrite = std::max<int>(1, static_cast<int>(65536 / S.Bytes.size()));
      for (int Done = 0; Done < S.Count;) {
        const int N = std::min(PerWrite, S.Count - Done);
        std::string Chunk;
        Chunk.reserve(S.Bytes.size() * static_cast<std::size_t>(N));
        for (int I = 0; I < N; ++I) Chunk += S.Bytes;
        if (!Send(Chunk)) return;
        Done += N;
      }
    }

    TH2Peer& FPeer;
    const std::size_t FIndex;
    const int FFd;
    SSL* FSsl = nullptr;
    std::string FOwnPort;
    std::string FIn;  // bytes read and not yet taken as frames
    nghttp2_hd_deflater* FDeflater = nullptr;
    nghttp2_hd_inflater* FInflater = nullptr;
    bool FDead = false;          // the connection gave out: closed, reset or timed out
    bool FGarbled = false;       // what it brings are no frames
    bool FQuiet = false;         // Stall, Close: nothing sent of the peer's own accord
    bool FSettingsSent = false;  // the peer's own SETTINGS went out
    int FAcksOwed = 0;           // the client's SETTINGS read before that
    // The client's windows for the peer's DATA and its largest frame.
    std::int64_t FConnectionWindow = 65535;
    std::int64_t FInitialWindow = 65535;
    std::map<std::uint32_t, std::int64_t> FWindows;
    std::uint32_t FMaxFrame = 16384;
    // The header block being read.
    std::uint32_t FBlockStream = 0;
    std::string FBlock;
    bool FBlockEndStream = false;
    int FBlockFrames = 0;
    // The client's streams: every one opened, those not ended yet, those it reset; those opened
    // and those ended that ReadHeaders and ReadRequest have not taken yet.
    std::set<std::uint32_t> FKnown, FOpen, FResetStreams;
    std::deque<std::uint32_t> FOpened, FEnded;
    std::uint32_t FLast = 0;
    std::map<std::uint8_t, int> FSeen, FAwaited;  // frames per type read, taken by AwaitFrame
  };

  static int SelectAlpn(SSL* Ssl, const unsigned char** Out, unsigned char* OutLength,
                        const unsigned char* In, unsigned int InLength, void*) {
    return static_cast<TSession*>(SSL_get_app_data(Ssl))->SelectAlpn(Out, OutLength, In, InLength);
  }

  void Serve(int Fd) {
    const std::size_t Index = FServed++;
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      FRecords[Index].Tls = FCtx != nullptr;
      FBegun = Index + 1;
    }
    TSession Session(*this, Index, Fd);
    Session.Run(FScript[Index]);
  }

  std::vector<TH2Script> FScript;
  TH2PeerOptions FOptions;
  SSL_CTX* FCtx = nullptr;
  std::mutex FMutex;
  std::vector<TH2Record> FRecords;  // one per connection of the script
  std::size_t FBegun = 0;           // connections begun so far
  std::size_t FServed = 0;          // peer thread only
  std::unique_ptr<LoopbackPeer> FPeer;
};

}  // namespace testsupport
