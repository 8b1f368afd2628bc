// TVelHTTP's request: the header block composed for the current pass (request line, Host
// with its port, the fixed Accept lines, HeaderInfo's fields, credentials and cookies by the
// one rule of CredentialScope, the caller's CustomHeaders, Content-Length), the checks that
// refuse what cannot go on the wire, the header block made once into the bytes that are
// sent, and the sending of the block and the body, which stops early when the server
// answers before it has read the body.
#include <algorithm>
#include <string_view>
#include <vector>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "base/TFileStream.h"
#include "http/Base64.h"
#include "http/FixedLines.h"
#include "http/HttpChars.h"
#include "http/HttpErrors.h"
#include "http/THttpUrl.h"
#include "http/TVelHTTP.h"

namespace {

constexpr std::size_t MaxSendPiece = 65535;  // SendBuffer's length is 16 bits

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

}  // namespace

void TVelHTTP::CheckHeaderValue(const std::string& Value, const char* Field, bool InUrl) {
  // A value that goes into a header line must not end that line early or add another one.
  if (!HasLineBreak(Value)) return;
  const std::string Text = std::string("Invalid character (CR, LF or NUL) in ") + Field;
  if (InUrl) throw EHttpUrlError(Text);
  throw EHttpSettingError(Text);
}

// --- Composition --------------------------------------------------------------------------

std::string TVelHTTP::ProxyTarget() const {
  return THttpUrl::AbsoluteForm(FRun.UrlScheme, Host, Port, RequestPath);
}

std::string TVelHTTP::BasicCredentials(const std::string& User, const std::string& Password) {
  return Base64(User + ":" + Password);
}

void TVelHTTP::CheckRequestSettings() const {
  CheckHeaderValue(HeaderInfo.LocalProgram, "HeaderInfo.LocalProgram");
  CheckHeaderValue(HeaderInfo.LocalMailAddress, "HeaderInfo.LocalMailAddress");
  CheckHeaderValue(HeaderInfo.Cookie, "HeaderInfo.Cookie");
  CheckHeaderValue(HeaderInfo.Referer, "HeaderInfo.Referer");
  CheckHeaderValue(HeaderInfo.UserId, "HeaderInfo.UserId");
  CheckHeaderValue(HeaderInfo.Password, "HeaderInfo.Password");
  CheckHeaderValue(URL, "URL", true);
  CheckHeaderValue(Host, "Host");
  if (TakesTarget(CurrentCmd)) CheckHeaderValue(TargetURI, "TargetURI");
  for (const std::string& Line : CustomHeaders) {
    CheckHeaderValue(Line, "CustomHeaders");
    if (SameNoCase(CustomName(Line), "content-length"))
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
  if (FRun.UrlCredentials)
    RequestLines.SetHeader("Authorization",
                           "Basic " + BasicCredentials(FRun.UrlUser, FRun.UrlPassword));
  else if (!HeaderInfo.UserId.empty() && !HeaderInfo.Password.empty())
    RequestLines.SetHeader("Authorization",
                           "Basic " + BasicCredentials(HeaderInfo.UserId, HeaderInfo.Password));
}

void TVelHTTP::AddCookie(bool FirstServer) {
  // The server's cookie while HeaderInfo holds the loop's copy of it; the caller's otherwise.
  const TServerCookie& Server = FServerCookie;
  if (Server.Set && HeaderInfo.Cookie == Server.Copied) {
    if (!Server.Pair.empty() && CredentialScope::ServerCookieGoes(Server.Setter, PassServer()))
      RequestLines.SetHeader("Cookie", Server.Pair);
  } else if (!HeaderInfo.Cookie.empty() && FirstServer) {
    RequestLines.SetHeader("Cookie", HeaderInfo.Cookie);
  }
}

namespace {

// Whether line I of Lines is a header line named Field (the request line is none).
bool IsLineOf(const TExStringList& Lines, int I, const std::string& Field, bool Wrapped) {
  if (I == 0 && !Wrapped) return false;
  const std::string& Each = Lines[I];
  const auto Colon = Each.find(':');
  return Colon != std::string::npos &&
         TExStringList::CompareHeaderNames(Each.substr(0, Colon), Field) == 0;
}

}  // namespace

bool TVelHTTP::ReplaceComposed(const std::string& Field, std::string_view Value) {
  // The first line of the name takes the caller's; the others of that name go.
  int First = -1;
  for (int I = RequestLines.Count() - 1; I >= 0; --I) {
    if (!IsLineOf(RequestLines, I, Field, CurrentCmd == hcWrapped)) continue;
    if (First >= 0) RequestLines.Delete(First);
    First = I;
  }
  if (First >= 0 && !Value.empty())
    RequestLines.SetStrings(First, Field + ": " + std::string(Value));
  else if (First >= 0)
    RequestLines.Delete(First);
  else if (!Value.empty())
    RequestLines.Add(Field + ": " + std::string(Value));
  return First >= 0;
}

void TVelHTTP::AddAfterLast(const std::string& Field, std::string_view Value) {
  int Last = RequestLines.Count() - 1;
  while (Last >= 0 && !IsLineOf(RequestLines, Last, Field, CurrentCmd == hcWrapped)) --Last;
  const std::string Line = Field + ": " + std::string(Value);
  if (Last < 0)
    RequestLines.Add(Line);
  else
    RequestLines.Insert(Last + 1, Line);
}

void TVelHTTP::ApplyCustomHeaders(bool FirstServer) {
  // The names the caller's lines have given so far: only the first line of a name replaces
  // what the component composed, so that repeated lines are all sent, as curl sends them.
  // A later line of a name the component composed joins the lines of that name; one of a
  // name of the caller's own goes at the end, so those lines leave in the order given.
  struct TGiven {
    std::string Field;
    bool Composed;
  };
  std::vector<TGiven> Given;
  for (const std::string& Line : CustomHeaders) {
    const std::string Field = CustomName(Line);
    const std::string_view Value = TrimBlanks(std::string_view(Line).substr(Field.size() + 1));
    // The caller's own credentials go by their rule; a removal carries none and always holds.
    const bool Private = SameNoCase(Field, "authorization") || SameNoCase(Field, "cookie");
    if (Private && !FirstServer && !Value.empty()) continue;
    const auto Earlier = std::find_if(Given.begin(), Given.end(), [&](const TGiven& G) {
      return TExStringList::CompareHeaderNames(G.Field, Field) == 0;
    });
    if (Earlier == Given.end())
      Given.push_back({Field, ReplaceComposed(Field, Value)});
    else if (!Value.empty() && Earlier->Composed)
      AddAfterLast(Field, Value);
    else if (!Value.empty())
      RequestLines.Add(Field + ": " + std::string(Value));
  }
}

void TVelHTTP::ComposeRequest() {
  CheckRequestSettings();
  // The fixed lines are made once; Add copies them.
  static const std::string KeepAliveLine(ProxyConnectionLine);
  static const std::string FirstAccept(FirstAcceptLine);
  static const std::string SecondAccept(SecondAcceptLine);
  static const std::string ContentType(ContentTypeLine);

  RequestLines.Clear();
  FRequestHeaderSent.clear();
  // Through a tunnel the request is the server's, in origin form.
  const bool ViaProxy = !Proxy.empty() && !PassIsTls();
  // The port goes into the Host line unless it is the scheme's own (RFC 9110, 7.2).
  const bool OwnPort = Port == (PassIsTls() ? 443 : 80);
  const std::string HostValue = Host.empty() || OwnPort ? Host : Host + ":" + std::to_string(Port);
  if (CurrentCmd != hcWrapped)
    RequestLines.Add(std::string(CommandWord(CurrentCmd)) + " " +
                     (ViaProxy ? ProxyTarget() : RequestPath) + " HTTP/1.0");
  if (ViaProxy) {
    RequestLines.Add(KeepAliveLine);
    RequestLines.Add("Host: " + HostValue);
  }
  RequestLines.SetHeader("Host", HostValue);
  RequestLines.Add(FirstAccept);
  RequestLines.Add(SecondAccept);
  if (!HeaderInfo.LocalProgram.empty())
    RequestLines.SetHeader("User-Agent", HeaderInfo.LocalProgram);
  if (!HeaderInfo.LocalMailAddress.empty())
    RequestLines.SetHeader("From", HeaderInfo.LocalMailAddress);
  const bool FirstServer = AtFirstServer();
  AddCookie(FirstServer);
  if (!HeaderInfo.Referer.empty()) RequestLines.SetHeader("Referer", HeaderInfo.Referer);
  AddCredentials(FirstServer);
  RequestLines.Add(ContentType);
  if (CurrentCmd == hcCopy || CurrentCmd == hcMove) RequestLines.Add("URI-header: " + TargetURI);
  if (CurrentCmd == hcLink || CurrentCmd == hcUnLink) RequestLines.Add("Link: " + TargetURI);
  ApplyCustomHeaders(FirstServer);
  FRun.BodySize = 0;
  if (HasRequestBody()) {
    FRun.BodySize = static_cast<std::int64_t>(SendData.size());
    if (OutputFileMode) {
      TFileStream File(SendData, TFileMode::fmOpenRead);
      FRun.BodySize = File.Size();
    }
    RequestLines.Add("Content-Length: " + IntToStr(FRun.BodySize));
  }
  ComposeHeaderBlock();
}

void TVelHTTP::ComposeHeaderBlock() {
  // Every line with CR LF, then the empty line, built in the room of the last pass's block.
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

void TVelHTTP::SendHeaderBlock() {
  // The block is the lines' write and the empty line's: their reports are those of the two
  // writes, in their order, but the empty line travels in the lines' last send when both
  // fit one, so that the block takes one system call.
  const std::string& Block = FRequestHeaderSent;
  const std::size_t Lines = Block.size() - 2;
  StatusMessage(8, "Write");
  std::size_t Offset = 0;
  for (; Lines - Offset > MaxSendPiece; Offset += MaxSendPiece)
    SendBuffer(Block.data() + Offset, static_cast<std::uint16_t>(MaxSendPiece));
  if (Block.size() - Offset > MaxSendPiece) {
    SendBuffer(Block.data() + Offset, static_cast<std::uint16_t>(Lines - Offset));
    Writeln("");
    return;
  }
  SendBuffer(Block.data() + Offset, static_cast<std::uint16_t>(Block.size() - Offset));
  // The empty line's own write, its bytes gone already: Writeln, its Write and SendBuffer
  // with its time-out; a cancel made meanwhile still ends the send.
  for (const char* Text : {"Writeln", "Write"}) StatusMessage(8, Text);
  StatusMessage(4, "Sending Buffer");
  for (const char* Text : {"Timer On", "Timer Off"}) StatusMessage(8, Text);
  ThrowIfCanceled("Socket send aborted", TSockStep::ssSend);
}

void TVelHTTP::SendRequest() {
  SendHeaderBlock();
  if (!HasRequestBody()) return;
  if (OutputFileMode) {
    SendFile(SendData);
    return;
  }
  // Write would stop at a NUL byte; the body must match its Content-Length, so it goes out
  // whole, in pieces that fit SendBuffer (a length of 0 there would mean "up to the NUL").
  const std::string Data = SendData;
  // A server that answers before it has read the body (413, 401) stops the sending.
  for (std::size_t Offset = 0; Offset < Data.size() && !SendCutShort(); Offset += MaxSendPiece) {
    const std::size_t Piece = std::min(Data.size() - Offset, MaxSendPiece);
    SendBuffer(Data.data() + Offset, static_cast<std::uint16_t>(Piece));
  }
}

bool TVelHTTP::AnswerEndsSend() {
  // An interim reply ("100 Continue") asks for the rest of the body; any other status line,
  // or whatever else the server sends, is its answer, and the body is not wanted.
  char Start[16];
  const int Got = ReceiveData(Start, sizeof Start, MSG_PEEK);
  if (Got <= 0) return false;
  const std::string_view Seen(Start, static_cast<std::size_t>(Got));
  const auto Space = Seen.find(' ');
  const bool Interim = Seen.substr(0, 5) == "HTTP/" && Space != std::string_view::npos &&
                       Space + 1 < Seen.size() && Seen[Space + 1] == '1';
  return !Interim;
}
