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
#include "http/THttpUrl.h"
#include "http/TVelURL.h"
#include "http/TVelUUProcessor.h"

namespace {

// Request-line words by CmdType; hcWrapped has none.
constexpr const char* CommandWords[] = {"GET ",    "OPTIONS ", "HEAD ", "POST ",   "PUT ",
                                        "PATCH ",  "COPY ",    "MOVE ", "DELETE ", "LINK ",
                                        "UNLINK ", "TRACE ",   nullptr};

constexpr std::size_t MaxSendPiece = 65535;  // SendBuffer's length is 16 bits

std::string LowerCase(std::string S) {
  for (char& C : S) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return S;
}

bool SameHostName(const std::string& A, const std::string& B) {
  return LowerCase(A) == LowerCase(B);
}

// A value that goes into a header line must not end that line early or add another one.
template <class E = EHttpSettingError>
void CheckHeaderValue(const std::string& Value, const char* Field) {
  if (Value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw E(std::string("Invalid character (CR, LF or NUL) in ") + Field);
}

// The name of a caller's header line: the text before its colon, which must be there and
// hold no blank or control byte.
std::string CustomName(const std::string& Line) {
  const auto Colon = Line.find(':');
  bool Valid = Colon != std::string::npos && Colon > 0;
  for (std::size_t I = 0; Valid && I < Colon; ++I)
    Valid = static_cast<unsigned char>(Line[I]) > 0x20 && Line[I] != 0x7F;
  if (!Valid) throw EHttpSettingError("Invalid header line in CustomHeaders: " + Line);
  return Line.substr(0, Colon);
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
    SendData = Encoder->EncodeFields();
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
  if (URL.empty()) throw EHttpUrlError("Empty URL");
  CheckHeaderValue<EHttpUrlError>(URL, "URL");
  const THttpUrl Parts = THttpUrl::SplitUser(URL);
  int NewPort = Port == 0 ? 80 : Port;
  if (!Parts.Scheme.empty()) NewPort = THttpUrl::SchemePort(Parts.Scheme);
  if (const int Given = Parts.PortNumber(); Given != 0) NewPort = Given;
  // A URL without a server ("/x") keeps the host of the previous request or the caller's.
  const std::string NewHost = Parts.Host.empty() ? Host : Parts.Host;
  CheckHeaderValue(NewHost, "Host");
  THttpUrl::CheckHost(NewHost);

  Port = NewPort;
  Host = NewHost;
  FUrlScheme = Parts.Scheme;
  RequestPath = Parts.RequestTarget();
  // Credentials in the URL are the user's, given for the first server; a Location's are not.
  if (!FRedirected) {
    FUrlCredentials = Parts.HasUserInfo && !Parts.User().empty();
    FUrlUser = FUrlCredentials ? Parts.User() : std::string();
    FUrlPassword = FUrlCredentials ? Parts.Password() : std::string();
  }
  if (Parts.Path.empty()) URL.insert(Parts.PathAt, "/");
}

// --- Composition --------------------------------------------------------------------------

std::string TVelHTTP::ProxyTarget() const {
  return THttpUrl::AbsoluteForm(FUrlScheme, Host, Port, RequestPath);
}

std::string TVelHTTP::BasicCredentials(const std::string& User, const std::string& Password) {
  TMemoryStream Input;
  TMemoryStream Output;
  const std::string Plain = User + ":" + Password;
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

void TVelHTTP::CheckRequestSettings() const {
  CheckHeaderValue(HeaderInfo.LocalProgram, "HeaderInfo.LocalProgram");
  CheckHeaderValue(HeaderInfo.LocalMailAddress, "HeaderInfo.LocalMailAddress");
  CheckHeaderValue(HeaderInfo.Cookie, "HeaderInfo.Cookie");
  CheckHeaderValue(HeaderInfo.Referer, "HeaderInfo.Referer");
  CheckHeaderValue(HeaderInfo.UserId, "HeaderInfo.UserId");
  CheckHeaderValue(HeaderInfo.Password, "HeaderInfo.Password");
  CheckHeaderValue<EHttpUrlError>(URL, "URL");
  CheckHeaderValue(Host, "Host");
  const bool Linked = CurrentCmd == hcCopy || CurrentCmd == hcMove || CurrentCmd == hcLink ||
                      CurrentCmd == hcUnLink;
  if (Linked) CheckHeaderValue(TargetURI, "TargetURI");
  for (const std::string& Line : CustomHeaders) {
    CheckHeaderValue(Line, "CustomHeaders");
    if (SameHostName(CustomName(Line), "content-length"))
      throw EHttpSettingError("Content-Length cannot be set in CustomHeaders");
  }
  // Only 16 bits reach the socket: 99999 would silently name port 34463.
  if (!Proxy.empty() && (ProxyPort < 1 || ProxyPort > 65535))
    throw EHttpSettingError("Invalid proxy port: " + IntToStr(ProxyPort));
  if (CurrentCmd > hcWrapped) throw Exception("Unknown request command");
}

void TVelHTTP::AddCredentials(bool FirstServer) {
  // The credentials were given for the server of the first pass; a redirection elsewhere
  // must not carry them along.
  if (!FirstServer) return;
  if (FUrlCredentials)
    RequestLines.SetHeader("Authorization", "Basic " + BasicCredentials(FUrlUser, FUrlPassword));
  else if (!HeaderInfo.UserId.empty() && !HeaderInfo.Password.empty())
    RequestLines.SetHeader("Authorization",
                           "Basic " + BasicCredentials(HeaderInfo.UserId, HeaderInfo.Password));
}

void TVelHTTP::ApplyCustomHeaders(bool FirstServer) {
  for (const std::string& Line : CustomHeaders) {
    const std::string Field = CustomName(Line);
    const bool Private = SameHostName(Field, "authorization") || SameHostName(Field, "cookie");
    std::string_view Value = std::string_view(Line).substr(Field.size() + 1);
    while (!Value.empty() && (Value.front() == ' ' || Value.front() == '\t'))
      Value.remove_prefix(1);
    // The first line of the name takes the caller's; the others of that name go.
    int First = -1;
    for (int I = RequestLines.Count() - 1; I >= 0; --I) {
      const std::string& Each = RequestLines[I];
      const auto Colon = Each.find(':');
      if (Colon == std::string::npos || (I == 0 && CurrentCmd != hcWrapped)) continue;
      if (TExStringList::CompareHeaderNames(Each.substr(0, Colon), Field) != 0) continue;
      if (First >= 0) RequestLines.Delete(First);
      First = I;
    }
    const bool Keep = !Value.empty() && (FirstServer || !Private);
    if (First >= 0 && Keep)
      RequestLines.SetStrings(First, Field + ": " + std::string(Value));
    else if (First >= 0)
      RequestLines.Delete(First);
    else if (Keep)
      RequestLines.Add(Field + ": " + std::string(Value));
  }
}

void TVelHTTP::ComposeRequest() {
  CheckRequestSettings();
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
  const std::string HostValue = Host.empty() ? Host : THttpUrl::HostValue(Host, Port);
  if (CurrentCmd != hcWrapped)
    RequestLines.Add(std::string(CommandWords[CurrentCmd]) +
                     (ViaProxy ? ProxyTarget() : RequestPath) + " HTTP/1.0");
  if (ViaProxy) {
    RequestLines.Add(KeepAliveLine);
    RequestLines.Add("Host: " + HostValue);
  }
  RequestLines.SetHeader("Host", HostValue);
  RequestLines.Add(FirstAcceptLine);
  RequestLines.Add(SecondAcceptLine);
  if (!HeaderInfo.LocalProgram.empty())
    RequestLines.SetHeader("User-Agent", HeaderInfo.LocalProgram);
  if (!HeaderInfo.LocalMailAddress.empty())
    RequestLines.SetHeader("From", HeaderInfo.LocalMailAddress);
  const bool FirstServer = !FRedirected || (SameHostName(Host, FFirstHost) && Port == FFirstPort);
  // The caller's cookie is for the first server; one a redirection just set (the loop
  // copies it into HeaderInfo) goes to the server it leads to.
  const bool CookieHere = FirstServer || HeaderInfo.Cookie == FCookieIn;
  if (!HeaderInfo.Cookie.empty() && CookieHere) RequestLines.SetHeader("Cookie", HeaderInfo.Cookie);
  if (!HeaderInfo.Referer.empty()) RequestLines.SetHeader("Referer", HeaderInfo.Referer);
  AddCredentials(FirstServer);
  RequestLines.Add(ContentTypeLine);
  if (CurrentCmd == hcCopy || CurrentCmd == hcMove) RequestLines.Add("URI-header: " + TargetURI);
  if (CurrentCmd == hcLink || CurrentCmd == hcUnLink) RequestLines.Add("Link: " + TargetURI);
  ApplyCustomHeaders(FirstServer);
  if (HasRequestBody()) {
    std::int64_t Length = static_cast<std::int64_t>(SendData.size());
    if (OutputFileMode) {
      TFileStream File(SendData, TFileMode::fmOpenRead);
      Length = File.Size();
    }
    RequestLines.Add("Content-Length: " + IntToStr(Length));
  }
  KeepHeaderSent();
}

void TVelHTTP::KeepHeaderSent() {
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
  FChunked = false;
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
    throw EAbortError("Socket readln aborted");
  };

  TReplyHead Head;
  // One buffer for every line of the block: its room is kept from line to line.
  std::string Line;
  for (bool Done = false; !Done;) {
    if (Head.HasStatusLine()) CheckHeaderTime();
    ReadLnInto(Line);
    const bool WasStatusLine = !Head.HasStatusLine();
    Done = Head.Take(Line);
    ReplyNumber = Head.Status();
    if (File)
      File->WriteBuffer(Line.data(), static_cast<std::int64_t>(Line.size()));
    else
      Header += Line;
    if (WasStatusLine && !Line.empty() && !Fire(OnStage, this, hsStatusLine))
      throw EComponentDestroyed();
  }
  FCookieIn = Head.CookieIn();
  if (Head.HasLocation()) Location = Head.Location();
  FLocationInReply = Head.HasLocation() && !Head.Location().empty();
  FLengthAnnounced = Head.HasLength();
  BytesTotal = Head.HasLength() ? Head.Length() : 0;
  FChunked = Head.Chunked();
  Head.Check();
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

void TVelHTTP::ReadBody() {
  const bool NoBody = CurrentCmd == hcHead || ReplyNumber == 204 || ReplyNumber == 304 ||
                      (ReplyNumber >= 100 && ReplyNumber < 200);
  if (!NoBody && FChunked) {
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
  return THttpUrl::Resolve(ProxyTarget(), Location);
}

TReplyClass TVelHTTP::ReplyClass() const {
  return TReplyHead::Classify(ReplyNumber, FLocationInReply);
}

bool TVelHTTP::FollowsRedirection() const { return ReplyClass() == rcRedirection; }

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
