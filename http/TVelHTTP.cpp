// TVelHTTP: the request methods, URL splitting, composition and sending of a request, the
// request loop with its redirections, and the reading of the reply.
#include "http/TVelHTTP.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <string_view>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "base/TFileStream.h"
#include "base/TMemoryStream.h"
#include "http/HttpErrors.h"
#include "http/TBodyOutput.h"
#include "http/TChunkedDecoder.h"
#include "http/TVelURL.h"
#include "http/TVelUUProcessor.h"
#include "socket/Delimited.h"

namespace {

// Request-line words by CmdType; hcWrapped has none.
constexpr const char* CommandWords[] = {"GET ",    "OPTIONS ", "HEAD ", "POST ",   "PUT ",
                                        "PATCH ",  "COPY ",    "MOVE ", "DELETE ", "LINK ",
                                        "UNLINK ", "TRACE ",   nullptr};

constexpr std::size_t MaxSendPiece = 65535;  // SendBuffer's length is 16 bits

char AsciiUpper(char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C; }

char AsciiLower(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }

// Equal when the ASCII letters are folded to lower case; Lower is given in lower case.
bool SameLowerCase(std::string_view Text, std::string_view Lower) {
  if (Text.size() != Lower.size()) return false;
  for (std::size_t I = 0; I < Text.size(); ++I)
    if (AsciiLower(Text[I]) != Lower[I]) return false;
  return true;
}

std::string LowerCase(std::string S) {
  for (char& C : S) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return S;
}

bool SameHostName(const std::string& A, const std::string& B) {
  return LowerCase(A) == LowerCase(B);
}

// The text without its line end (the final LF and a CR before it).
std::string_view WithoutLineEnd(std::string_view S) {
  if (!S.empty() && S.back() == '\n') S.remove_suffix(1);
  if (!S.empty() && S.back() == '\r') S.remove_suffix(1);
  return S;
}

// A value that goes into a header line must not end that line early or add another one.
void CheckHeaderValue(const std::string& Value, const char* Field) {
  for (const char C : Value)
    if (C == '\r' || C == '\n' || C == '\0')
      throw Exception(std::string("Invalid character (CR, LF or NUL) in ") + Field);
}

// Reply header names, as the line's first blank-separated word, colon included; the value
// starts after the blank that must follow the word.
constexpr std::string_view SetCookieWord = "SET-COOKIE:";
constexpr std::string_view LocationWord = "LOCATION:";
constexpr std::string_view ContentLengthWord = "CONTENT-LENGTH:";

// Whether the line's first blank-separated word is Word (given in upper case) in any case
// of its ASCII letters. A name with no blank after its colon is another word, and so is
// one the text ends on: such a line is only stored, and its value is never looked for past
// the line's end.
bool HasHeaderWord(std::string_view Line, std::string_view Word) {
  if (Line.size() <= Word.size() || Line[Word.size()] != ' ') return false;
  for (std::size_t I = 0; I < Word.size(); ++I)
    if (AsciiUpper(Line[I]) != Word[I]) return false;
  return true;
}

// The value of a line that HasHeaderWord recognised: what follows the word and its blank,
// without the line end.
std::string_view HeaderValue(std::string_view Line, std::string_view Word) {
  return WithoutLineEnd(Line.substr(Word.size() + 1));
}

// The status code: the second blank-separated word of the status line, without the line
// end; 0 when that word is not a decimal number or does not fit the signed 16 bits.
std::int16_t StatusCode(const std::string& StatusLine) {
  const std::string_view Word = DelimitedFieldView(WithoutLineEnd(StatusLine), ' ', 2);
  if (Word.empty() || Word.size() > 5) return 0;
  int Value = 0;
  for (char C : Word) {
    if (C < '0' || C > '9') return 0;
    Value = Value * 10 + (C - '0');
  }
  return Value <= INT16_MAX ? static_cast<std::int16_t>(Value) : 0;
}

// A redirection's target has a scheme when it starts with a scheme name and its colon.
bool HasScheme(const std::string& Target) {
  if (Target.empty() || !std::isalpha(static_cast<unsigned char>(Target[0]))) return false;
  for (char C : Target) {
    if (C == ':') return true;
    if (!std::isalnum(static_cast<unsigned char>(C)) && C != '+' && C != '-' && C != '.')
      return false;
  }
  return false;
}

bool IsRedirectionWithLocation(int Status) {
  return (Status >= 300 && Status <= 303) || Status == 307 || Status == 308;
}

// The command of the pass that follows a redirection. 303 asks for a GET of another
// resource; a POST is not posted again on 301 and 302 either, as no client does, and HTTP/1.0
// forbids it without the user's consent. 307 and 308 keep the method and its body.
CmdType RedirectedCommand(CmdType Cmd, int Status) {
  if (Status == 303) return Cmd == hcHead ? hcHead : hcGet;
  if ((Status == 301 || Status == 302) && Cmd == hcPost) return hcGet;
  return Cmd;
}

}  // namespace

TVelHTTP::TVelHTTP(TComponent* AOwner) : TQuaywire(AOwner) {}

TVelHTTP::~TVelHTTP() {
  Destroying();
  // The base destructor can only reach its own Abort; this one also ends a look-up's wait.
  WaitDone = true;
}

void TVelHTTP::Abort() {
  // Remembered for the request: Connect clears Canceled, and a later pass must not run.
  if (FBusy) FAbortRequested = true;
  WaitDone = true;
  Cancel();
}

// --- Request methods ----------------------------------------------------------------------

void TVelHTTP::CheckIdle() const {
  if (FBusy)
    throw Exception("A request of this component is already running: wait until it has ended");
}

void TVelHTTP::Start(CmdType Cmd, const std::string& AURL) {
  CheckIdle();
  URL = AURL;
  CurrentCmd = Cmd;
}

void TVelHTTP::Options(const std::string& AURL) {
  Start(hcOptions, AURL);
  RunRequest();
}

void TVelHTTP::Get(const std::string& AURL) {
  Start(hcGet, AURL);
  RunRequest();
}

void TVelHTTP::Post(const std::string& AURL, const std::string& PostData) {
  Start(hcPost, AURL);
  if (EncodePostData && !OutputFileMode) {
    const TOwned<TVelURL> Encoder(new TVelURL(this));
    Encoder->InputString = PostData;
    SendData = Encoder->Encode();
  } else {
    SendData = PostData;
  }
  RunRequest();
}

void TVelHTTP::Put(const std::string& AURL, const std::string& Data) {
  Start(hcPut, AURL);
  SendData = Data;
  RunRequest();
}

void TVelHTTP::Head(const std::string& AURL) {
  Start(hcHead, AURL);
  RunRequest();
}

void TVelHTTP::Patch(const std::string& AURL, const std::string& Data) {
  Start(hcPatch, AURL);
  SendData = Data;
  RunRequest();
}

void TVelHTTP::Delete(const std::string& AURL) {
  Start(hcDelete, AURL);
  RunRequest();
}

void TVelHTTP::Trace(const std::string& AURL, const std::string& Data) {
  Start(hcTrace, AURL);
  SendData = Data;
  RunRequest();
}

void TVelHTTP::Copy(const std::string& AURL, const std::string& Destination) {
  Start(hcCopy, AURL);
  TargetURI = Destination;
  RunRequest();
}

void TVelHTTP::Move(const std::string& AURL, const std::string& Destination) {
  Start(hcMove, AURL);
  TargetURI = Destination;
  RunRequest();
}

void TVelHTTP::Link(const std::string& AURL, const std::string& LinkValue) {
  Start(hcLink, AURL);
  TargetURI = LinkValue;
  SendData = "Send.dat";
  RunRequest();
}

void TVelHTTP::UnLink(const std::string& AURL, const std::string& LinkValue) {
  Start(hcUnLink, AURL);
  TargetURI = LinkValue;
  SendData = "Send.dat";
  RunRequest();
}

void TVelHTTP::Wrapped(const std::string& AURL, const std::string& Data) {
  Start(hcWrapped, AURL);
  SendData = Data;
  RunRequest();
}

// --- URL splitting ------------------------------------------------------------------------

void TVelHTTP::SplitURL() {
  if (URL.empty()) throw Exception("Empty URL");
  CheckHeaderValue(URL, "URL");
  if (Port == 0) Port = 80;

  const bool HasSlashes = URL.find("//") != std::string::npos;
  const bool Absolute = !HasSlashes && URL[0] == '/';
  // The pieces are views into URL (which stays unchanged until the end) and are assigned
  // into the fields' own room: no copies on the way.
  if (HasSlashes) {
    const auto At = static_cast<std::size_t>(DelimiterPosition(URL, '/', 3));
    if (At <= URL.size())
      RequestPath.assign(URL, At - 1);
    else
      RequestPath.clear();
  } else if (const auto Slash = URL.find('/'); Slash != std::string::npos) {
    RequestPath.assign(URL, Slash);
  } else {
    RequestPath.clear();
  }

  // A path on the current server ("/x", also a redirection's) keeps its port even when a
  // ':' follows later in it.
  if (!Absolute && URL.find(':') != std::string::npos) {
    const std::string_view Scheme = DelimitedFieldView(URL, ':', 1);
    if (SameLowerCase(Scheme, "gopher"))
      Port = 70;
    else if (SameLowerCase(Scheme, "ftp"))
      Port = 21;
    else if (SameLowerCase(Scheme, "https"))
      throw Exception("HTTP Secure Socket is not supported");
    else
      Port = 80;
  }

  std::string_view HostPart;
  if (HasSlashes)
    HostPart = DelimitedFieldView(URL, '/', 3);
  else if (!Absolute)
    HostPart = DelimitedFieldView(URL, '/', 1);
  if (const auto Colon = HostPart.find(':'); Colon != std::string_view::npos) {
    const std::string PortText(DelimitedFieldView(HostPart, ':', 2));
    const int Value = StrToInt(PortText);
    // Only 16 bits reach the socket: a larger number would silently name another port.
    // Port 0 names no server at all.
    if (Value < 1 || Value > 65535) throw Exception("Invalid port in URL: " + PortText);
    Port = Value;
    HostPart = HostPart.substr(0, Colon);
  }
  if (!HostPart.empty()) Host.assign(HostPart);

  if (RequestPath.empty()) {
    RequestPath = "/";
    URL += "/";
  }
}

// --- Composition --------------------------------------------------------------------------

std::string TVelHTTP::ProxyTarget() const {
  if (const auto Slashes = URL.find("//"); Slashes != std::string::npos) {
    // Scheme and server as given, then the path as split: a URL that ends at its server's
    // "/" gained another one in SplitURL, and "http://host//" would name another resource.
    const auto PathAt = URL.find('/', Slashes + 2);
    return URL.substr(0, PathAt) + RequestPath;
  }
  // "host/path" or "/path": a proxy needs the absolute form to know where to go.
  return "http://" + Host + (Port != 80 ? ":" + IntToStr(Port) : std::string()) + RequestPath;
}

std::string TVelHTTP::BasicCredentials() {
  TMemoryStream Input;
  TMemoryStream Output;
  const std::string Plain = HeaderInfo.UserId + ":" + HeaderInfo.Password;
  Input.WriteBuffer(Plain.data(), static_cast<std::int64_t>(Plain.size()));
  {
    const TOwned<TVelUUProcessor> Encoder(new TVelUUProcessor(this));
    Encoder->InputStream = &Input;
    Encoder->OutputStream = &Output;
    Encoder->Method = uuMime;
    Encoder->Encode();
  }
  std::string Credentials;
  for (char C : Output.DataString())
    if (C != '\r' && C != '\n') Credentials += C;
  return Credentials;
}

void TVelHTTP::ComposeRequest() {
  CheckHeaderValue(HeaderInfo.LocalProgram, "HeaderInfo.LocalProgram");
  CheckHeaderValue(HeaderInfo.LocalMailAddress, "HeaderInfo.LocalMailAddress");
  CheckHeaderValue(HeaderInfo.Cookie, "HeaderInfo.Cookie");
  CheckHeaderValue(HeaderInfo.Referer, "HeaderInfo.Referer");
  CheckHeaderValue(HeaderInfo.UserId, "HeaderInfo.UserId");
  CheckHeaderValue(HeaderInfo.Password, "HeaderInfo.Password");
  CheckHeaderValue(URL, "URL");
  CheckHeaderValue(Host, "Host");
  const bool Linked = CurrentCmd == hcCopy || CurrentCmd == hcMove || CurrentCmd == hcLink ||
                      CurrentCmd == hcUnLink;
  if (Linked) CheckHeaderValue(TargetURI, "TargetURI");

  if (CurrentCmd > hcWrapped) throw Exception("Unknown request command");
  // The fixed lines are made once; Add copies them.
  static const std::string KeepAliveLine = "Proxy-Connection: Keep-Alive";
  static const std::string FirstAcceptLine =
      "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff";
  static const std::string SecondAcceptLine =
      "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript";
  static const std::string ContentTypeLine = "Content-type: application/x-www-form-urlencoded";

  RequestLines.Clear();
  FRequestHeaderSent.clear();
  const bool ViaProxy = !Proxy.empty();
  std::string Line;
  if (CurrentCmd != hcWrapped) {
    Line = CommandWords[CurrentCmd];
    if (ViaProxy)
      Line += ProxyTarget();
    else
      Line += RequestPath;
    Line += " HTTP/1.0";
    RequestLines.Add(Line);
  }
  if (ViaProxy) {
    RequestLines.Add(KeepAliveLine);
    Line.assign("Host: ").append(Host);
    RequestLines.Add(Line);
  }
  RequestLines.SetHeader("Host", Host);
  RequestLines.Add(FirstAcceptLine);
  RequestLines.Add(SecondAcceptLine);
  if (!HeaderInfo.LocalProgram.empty())
    RequestLines.SetHeader("User-Agent", HeaderInfo.LocalProgram);
  if (!HeaderInfo.LocalMailAddress.empty())
    RequestLines.SetHeader("From", HeaderInfo.LocalMailAddress);
  if (!HeaderInfo.Cookie.empty()) RequestLines.SetHeader("Cookie", HeaderInfo.Cookie);
  if (!HeaderInfo.Referer.empty()) RequestLines.SetHeader("Referer", HeaderInfo.Referer);
  // The credentials were given for the server of the first pass; a redirection elsewhere
  // must not carry them along.
  const bool SameServer = !FRedirected || (SameHostName(Host, FFirstHost) && Port == FFirstPort);
  if (!HeaderInfo.UserId.empty() && !HeaderInfo.Password.empty() && SameServer)
    RequestLines.SetHeader("Authorization", "Basic " + BasicCredentials());
  RequestLines.Add(ContentTypeLine);
  if (CurrentCmd == hcCopy || CurrentCmd == hcMove) RequestLines.Add("URI-header: " + TargetURI);
  if (CurrentCmd == hcLink || CurrentCmd == hcUnLink) RequestLines.Add("Link: " + TargetURI);
  if (HasRequestBody()) {
    std::int64_t Length = static_cast<std::int64_t>(SendData.size());
    if (OutputFileMode) {
      TFileStream File(SendData, TFileMode::fmOpenRead);
      Length = File.Size();
    }
    RequestLines.Add("Content-Length: " + IntToStr(Length));
  }
  // As SendRequest writes it (every line with CR LF, then the empty line), built in the
  // room of the last pass's copy.
  std::size_t Size = 2;
  for (const std::string& Each : RequestLines.Lines()) Size += Each.size() + 2;
  FRequestHeaderSent.reserve(Size);
  for (const std::string& Each : RequestLines.Lines()) {
    FRequestHeaderSent += Each;
    FRequestHeaderSent += "\r\n";
  }
  FRequestHeaderSent += "\r\n";
}

bool TVelHTTP::HasRequestBody() const { return CarriesBody(CurrentCmd); }

// --- Sending ------------------------------------------------------------------------------

void TVelHTTP::SendRequest() {
  WriteMore(RequestLines.Text());  // the empty line goes in the same segment
  Writeln("");
  if (!HasRequestBody()) return;
  if (OutputFileMode) {
    SendFile(SendData);
    return;
  }
  // Write would stop at a NUL byte; the body must match its Content-Length, so it goes out
  // whole, in pieces that fit SendBuffer (a length of 0 there would mean "up to the NUL").
  const std::string Data = SendData;
  for (std::size_t Offset = 0; Offset < Data.size(); Offset += MaxSendPiece) {
    const std::size_t Piece = std::min(Data.size() - Offset, MaxSendPiece);
    SendBuffer(Data.data() + Offset, static_cast<std::uint16_t>(Piece));
  }
}

// --- Reading the reply --------------------------------------------------------------------

void TVelHTTP::ReadResponseHeader() {
  BytesTotal = 0;
  FCookieIn.clear();
  FLengthAnnounced = false;
  FLocationInReply = false;
  std::unique_ptr<TFileStream> File;
  if (OutputFileMode)
    File = std::make_unique<TFileStream>(Header, TFileMode::fmCreate);
  else
    Header.clear();
  const auto Store = [&](const std::string& Line) {
    if (File)
      File->WriteBuffer(Line.data(), static_cast<std::int64_t>(Line.size()));
    else
      Header += Line;
  };

  // Each ReadLn has the time-out of its own, so a server that sends a line now and then
  // would hold the header open for as long as it liked: the header as a whole gets it too.
  const auto Started = std::chrono::steady_clock::now();
  const auto CheckHeaderTime = [&] {
    if (TimeOut <= 0 ||
        std::chrono::steady_clock::now() - Started < std::chrono::milliseconds(TimeOut))
      return;
    TimedOut = true;
    throw EAbortError("Socket readln aborted");
  };

  // One buffer for every line of the block: its room is kept from line to line.
  std::string Line;
  ReadLnInto(Line);
  if (!Line.empty()) ReplyNumber = StatusCode(Line);
  Store(Line);
  if (Line.empty()) return;
  if (!Fire(OnStage, this, hsStatusLine)) throw EComponentDestroyed();

  // The names are compared in place: an upper-cased copy of each line and of its first word
  // cost two heap strings a line, more than all the rest of the header's reading.
  const auto IsDigit = [](char C) { return C >= '0' && C <= '9'; };
  for (;;) {
    CheckHeaderTime();
    ReadLnInto(Line);
    if (HasHeaderWord(Line, SetCookieWord)) {
      FCookieIn.assign(HeaderValue(Line, SetCookieWord));
    } else if (HasHeaderWord(Line, LocationWord)) {
      Location.assign(HeaderValue(Line, LocationWord));
      FLocationInReply = true;
    } else if (HasHeaderWord(Line, ContentLengthWord)) {
      // Everything after the name, its colon and one blank, line end included.
      const std::string_view Value = std::string_view(Line).substr(ContentLengthWord.size() + 1);
      std::size_t At = 0;
      while (At < Value.size() && !IsDigit(Value[At])) ++At;
      std::int64_t Length = 0;
      std::size_t Digits = 0;
      for (; At < Value.size() && IsDigit(Value[At]); ++At) {
        // More than 18 digits is no length anyone can send: treat it as none. Counted
        // before the digit is taken, since a 19th would overflow the 64 bits.
        if (++Digits > 18) break;
        Length = Length * 10 + (Value[At] - '0');
      }
      BytesTotal = Digits > 0 && Digits <= 18 ? Length : 0;
      FLengthAnnounced = Digits > 0 && Digits <= 18;
    }
    Store(Line);
    if (Line.empty() || Line == "\r\n" || Line == "\n") break;
  }
}

namespace {

// Disarms the time-out on every way out of a body read, unless the component is gone.
class TTimeOutGuard {
 public:
  TTimeOutGuard(TQuaywire& Q, std::shared_ptr<bool> Alive) : FQ(Q), FAlive(std::move(Alive)) {
    FQ.StartTimeOut();
  }
  ~TTimeOutGuard() {
    if (!*FAlive) return;
    try {
      FQ.TimerOff();
    } catch (...) {
    }
  }
  TTimeOutGuard(const TTimeOutGuard&) = delete;
  TTimeOutGuard& operator=(const TTimeOutGuard&) = delete;

 private:
  TQuaywire& FQ;
  std::shared_ptr<bool> FAlive;
};

}  // namespace

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
  std::int64_t Taken = 0;
  try {
    if (Announced != 0) {
      const TTimeOutGuard Armed(*this, FAlive);
      ReceiveUntilClosed(
          Scope,
          {[&](char*& Target, std::size_t& Size) {
             // Asking for no more than the announced rest leaves the next reply in the socket;
             // one block a receive lets BytesRecvd count the decoded bytes as each is told.
             Target = IOBuffer.data();
             Size = Announced < 0 ? IOBufferData
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
  if (Canceled) {
    Canceled = false;
    throw EAbortError("Socket capture aborted");
  }
}

bool TVelHTTP::ReplyChunked() const {
  if (!OutputFileMode) return TChunkedDecoder::Announced(Header);
  // The header block went to its file: read it back, as far as a header block may go.
  TFileStream File(Header, TFileMode::fmOpenRead);
  std::string Block(static_cast<std::size_t>(std::min<std::int64_t>(File.Size(), 2 << 20)), '\0');
  Block.resize(
      static_cast<std::size_t>(File.Read(Block.data(), static_cast<std::int64_t>(Block.size()))));
  return TChunkedDecoder::Announced(Block);
}

void TVelHTTP::ReadBody() {
  const bool NoBody = CurrentCmd == hcHead || ReplyNumber == 204 || ReplyNumber == 304 ||
                      (ReplyNumber >= 100 && ReplyNumber < 200);
  if (!NoBody && ReplyChunked()) {
    // The framing tells where the body ends, whatever the connection does.
    CaptureBody(-1, true);
  } else if (!Proxy.empty() && (NoBody || FLengthAnnounced)) {
    // A proxy may keep the connection open after the reply: read what the reply announced.
    CaptureBody(NoBody ? 0 : BytesTotal, false);
  } else if (InputFileMode) {
    // A direct server closes the connection after the body.
    CaptureFile(Body);
  } else if (MaxBodySize > 0 || BodySink) {
    CaptureBody(-1, false);
  } else {
    CaptureString(Body, -1);
  }
}

// --- The request loop ---------------------------------------------------------------------

std::string TVelHTTP::RedirectionTarget() const {
  if (HasScheme(Location) || (!Location.empty() && Location[0] == '/')) return Location;
  // A relative reference: from the root of the server that sent it.
  return "http://" + Host + (Port != 80 ? ":" + IntToStr(Port) : std::string()) + "/" + Location;
}

bool TVelHTTP::FollowsRedirection() const {
  return IsRedirectionWithLocation(ReplyNumber) && FLocationInReply;
}

void TVelHTTP::CheckAborted() {
  if (!FAbortRequested) return;
  Canceled = false;
  throw EHttpRequestAborted();
}

void TVelHTTP::RunRequest() {
  CheckIdle();
  const std::shared_ptr<bool> Alive = FAlive;
  FBusy = true;
  FAbortRequested = false;
  FRequestedCmd = CurrentCmd;
  // On every way out: idle again, the caller's command back, and an abort that found no
  // network step to stop forgotten.
  struct TIdleAgain {
    TVelHTTP& Http;
    const std::shared_ptr<bool>& Alive;
    ~TIdleAgain() {
      if (!*Alive) return;
      Http.FBusy = false;
      Http.CurrentCmd = Http.FRequestedCmd;
      if (Http.FAbortRequested) Http.Canceled = false;
      Http.FAbortRequested = false;
    }
  } IdleAgain{*this, Alive};

  FRedirected = false;
  for (int Further = 0;; ++Further) {
    CheckAborted();
    FPassIndex = Further;
    SplitURL();
    if (!FRedirected) {
      FFirstHost = Host;
      FFirstPort = Port;
    }
    ComposeRequest();
    if (!Fire(OnAboutToSend, this)) throw EComponentDestroyed();
    if (!Fire(OnStage, this, hsPassStart)) throw EComponentDestroyed();
    CheckAborted();

    try {
      RunExchange();
    } catch (...) {
      if (*Alive) {
        try {
          Disconnect();
        } catch (...) {
          // The error that ended the request is the one to report.
        }
      }
      throw;
    }
    Disconnect();
    // An OnDisconnect handler may have freed the component: nothing of it may be touched.
    if (!*Alive) throw EComponentDestroyed();
    if (!AfterExchange(Further)) return;
  }
}

void TVelHTTP::RunExchange() {
  Connect();
  SendRequest();
  if (!Fire(OnStage, this, hsRequestSent)) throw EComponentDestroyed();
  CheckAborted();
  ReplyNumber = 0;
  ReadResponseHeader();
  if (!Fire(OnStage, this, hsHeaderEnd)) throw EComponentDestroyed();
  CheckAborted();
  ReadBody();
  if (!Fire(OnStage, this, hsBodyEnd)) throw EComponentDestroyed();
  FFollow = FollowsRedirection();
  // A redirection that is not followed (no Location of its own, 304, 305 ...) gets neither
  // result event: OnRedirect alone tells of it.
  if (ReplyNumber > 0 && ReplyNumber < 299) {
    if (!Fire(OnSuccess, FRequestedCmd)) throw EComponentDestroyed();
    StatusMessage(2, "Transaction Completed");
  } else if (ReplyNumber >= 400 || ReplyNumber <= 0) {
    // No usable status line is no success: the server sent nothing we can judge.
    if (!Fire(OnFailure, FRequestedCmd)) throw EComponentDestroyed();
  }
  if (FFollow) URL = RedirectionTarget();
}

bool TVelHTTP::AfterExchange(int Further) {
  // A cookie that cannot go into a header line is not taken into HeaderInfo: it would
  // make every later request of this component fail. The next pass would have to send it.
  bool CookieUnsendable = false;
  if (ReplyNumber >= 300 && ReplyNumber <= 398) {
    bool Handled = false;
    if (!FCookieIn.empty()) {
      if (FCookieIn.find_first_of(std::string("\r\n\0", 3)) == std::string::npos)
        HeaderInfo.Cookie = FCookieIn;
      else
        CookieUnsendable = true;
    }
    if (!Fire(OnRedirect, Handled)) throw EComponentDestroyed();
    if (Handled) return false;
  }
  if (ReplyNumber == 401)
    if (!Fire(OnAuthenticationNeeded, this)) throw EComponentDestroyed();
  if (!FFollow) return false;
  if (CookieUnsendable) CheckHeaderValue(FCookieIn, "Set-Cookie");
  if (Further == MaxRedirections) throw EHttpTooManyRedirections();
  FRedirected = true;
  CurrentCmd = RedirectedCommand(CurrentCmd, ReplyNumber);
  return true;
}
