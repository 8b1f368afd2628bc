// The header block of one pass: its lines in the order the component has always sent them,
// the caller's lines applied over them, and the bytes that go on the wire.
#include "http/RequestComposer.h"

#include <algorithm>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "base/TFileStream.h"
#include "http/Base64.h"
#include "http/FixedLines.h"
#include "http/HostName.h"
#include "http/HttpChars.h"
#include "http/HttpErrors.h"
#include "http/THttpUrl.h"

namespace {

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

std::string BasicCredentials(std::string_view User, std::string_view Password) {
  return "Basic " + Base64(std::string(User) + ":" + std::string(Password));
}

// The credentials were given for the server of the first pass; a redirection elsewhere
// must not carry them along.
void AddCredentials(const TRequestPlan& Plan, TExStringList& Lines) {
  if (!Plan.FirstServer) return;
  if (Plan.UrlCredentials)
    Lines.SetHeader("Authorization", BasicCredentials(Plan.UrlUser, Plan.UrlPassword));
  else if (!Plan.Info.UserId.empty() && !Plan.Info.Password.empty())
    Lines.SetHeader("Authorization", BasicCredentials(Plan.Info.UserId, Plan.Info.Password));
}

// The server's cookie while HeaderInfo holds the loop's copy of it; the caller's otherwise.
void AddCookie(const TRequestPlan& Plan, TExStringList& Lines) {
  const TServerCookie& Server = Plan.ServerCookie;
  if (Server.Set && Plan.Info.Cookie == Server.Copied) {
    if (!Server.Pair.empty() && CredentialScope::ServerCookieGoes(Server.Setter, Plan.Pass))
      Lines.SetHeader("Cookie", Server.Pair);
  } else if (!Plan.Info.Cookie.empty() && Plan.FirstServer) {
    Lines.SetHeader("Cookie", Plan.Info.Cookie);
  }
}

// Whether line I of Lines is a header line named Field (the request line is none).
bool IsLineOf(const TExStringList& Lines, int I, const std::string& Field, bool Wrapped) {
  if (I == 0 && !Wrapped) return false;
  const std::string& Each = Lines[I];
  const auto Colon = Each.find(':');
  return Colon != std::string::npos &&
         TExStringList::CompareHeaderNames(Each.substr(0, Colon), Field) == 0;
}

// The first caller's line of Field: it takes the place of the composed lines of that name,
// or removes them when Value is empty; true when the component had composed one.
bool ReplaceComposed(TExStringList& Lines, const std::string& Field, std::string_view Value,
                     bool Wrapped) {
  // The first line of the name takes the caller's; the others of that name go.
  int First = -1;
  for (int I = Lines.Count() - 1; I >= 0; --I) {
    if (!IsLineOf(Lines, I, Field, Wrapped)) continue;
    if (First >= 0) Lines.Delete(First);
    First = I;
  }
  if (First >= 0 && !Value.empty())
    Lines.SetStrings(First, Field + ": " + std::string(Value));
  else if (First >= 0)
    Lines.Delete(First);
  else if (!Value.empty())
    Lines.Add(Field + ": " + std::string(Value));
  return First >= 0;
}

// A further caller's line of Field, after the last line of that name.
void AddAfterLast(TExStringList& Lines, const std::string& Field, std::string_view Value,
                  bool Wrapped) {
  int Last = Lines.Count() - 1;
  while (Last >= 0 && !IsLineOf(Lines, Last, Field, Wrapped)) --Last;
  const std::string Line = Field + ": " + std::string(Value);
  if (Last < 0)
    Lines.Add(Line);
  else
    Lines.Insert(Last + 1, Line);
}

void ApplyCustomHeaders(const TRequestPlan& Plan, TExStringList& Lines) {
  // The names the caller's lines have given so far: only the first line of a name replaces
  // what the component composed, so that repeated lines are all sent, as curl sends them.
  // A later line of a name the component composed joins the lines of that name; one of a
  // name of the caller's own goes at the end, so those lines leave in the order given.
  struct TGiven {
    std::string Field;
    bool Composed;
  };
  const bool Wrapped = Plan.Cmd == hcWrapped;
  std::vector<TGiven> Given;
  for (const std::string& Line : Plan.CustomHeaders) {
    const std::string Field = CustomName(Line);
    const std::string_view Value = TrimBlanks(std::string_view(Line).substr(Field.size() + 1));
    // The caller's own credentials go by their rule; a removal carries none and always holds.
    const bool Private = SameNoCase(Field, "authorization") || SameNoCase(Field, "cookie");
    if (Private && !Plan.FirstServer && !Value.empty()) continue;
    const auto Earlier = std::find_if(Given.begin(), Given.end(), [&](const TGiven& G) {
      return TExStringList::CompareHeaderNames(G.Field, Field) == 0;
    });
    if (Earlier == Given.end())
      Given.push_back({Field, ReplaceComposed(Lines, Field, Value, Wrapped)});
    else if (!Value.empty() && Earlier->Composed)
      AddAfterLast(Lines, Field, Value, Wrapped);
    else if (!Value.empty())
      Lines.Add(Field + ": " + std::string(Value));
  }
}

// The request line and, through a proxy, its own lines; then the Host line.
void AddRequestLine(const TRequestPlan& Plan, TExStringList& Lines) {
  static const std::string KeepAliveLine(ProxyConnectionLine);
  // Through a tunnel the request is the server's, in origin form.
  const bool ViaProxy = Plan.Proxied && !Plan.Tls;
  // The port goes into the Host line unless it is the scheme's own (RFC 9110, 7.2).
  const bool OwnPort = Plan.Port == (Plan.Tls ? 443 : 80);
  const std::string Host = HostName::InAuthority(Plan.Host);
  const std::string HostValue =
      Plan.Host.empty() || OwnPort ? Host : Host + ":" + std::to_string(Plan.Port);
  if (Plan.Cmd != hcWrapped) {
    const std::string Target = ViaProxy
                                   ? THttpUrl::AbsoluteForm(std::string(Plan.Scheme), Plan.Host,
                                                            Plan.Port, Plan.RequestPath)
                                   : Plan.RequestPath;
    Lines.Add(std::string(CommandWord(Plan.Cmd)) + " " + Target +
              (Plan.Http11 ? " HTTP/1.1" : " HTTP/1.0"));
  }
  if (ViaProxy) {
    Lines.Add(KeepAliveLine);
    Lines.Add("Host: " + HostValue);
  }
  Lines.SetHeader("Host", HostValue);
}

}  // namespace

namespace RequestComposer {

void CheckHeaderValue(const std::string& Value, const char* Field, bool InUrl) {
  // A value that goes into a header line must not end that line early or add another one.
  if (!HasLineBreak(Value)) return;
  const std::string Text = std::string("Invalid character (CR, LF or NUL) in ") + Field;
  if (InUrl) throw EHttpUrlError(Text);
  throw EHttpSettingError(Text);
}

void CheckSettings(const TRequestPlan& Plan, const std::string& URL, int ProxyPort) {
  const THeaderInfo& Info = Plan.Info;
  CheckHeaderValue(Info.LocalProgram, "HeaderInfo.LocalProgram");
  CheckHeaderValue(Info.LocalMailAddress, "HeaderInfo.LocalMailAddress");
  CheckHeaderValue(Info.Cookie, "HeaderInfo.Cookie");
  CheckHeaderValue(Info.Referer, "HeaderInfo.Referer");
  CheckHeaderValue(Info.UserId, "HeaderInfo.UserId");
  CheckHeaderValue(Info.Password, "HeaderInfo.Password");
  CheckHeaderValue(URL, "URL", true);
  CheckHeaderValue(Plan.Host, "Host");
  if (TakesTarget(Plan.Cmd)) CheckHeaderValue(Plan.TargetURI, "TargetURI");
  for (const std::string& Line : Plan.CustomHeaders) {
    CheckHeaderValue(Line, "CustomHeaders");
    if (SameNoCase(CustomName(Line), "content-length"))
      throw EHttpSettingError("Content-Length cannot be set in CustomHeaders");
  }
  // Only 16 bits reach the socket: 99999 would silently name port 34463.
  if (Plan.Proxied && (ProxyPort < 1 || ProxyPort > 65535))
    throw EHttpSettingError("Invalid proxy port: " + IntToStr(ProxyPort));
  if (Plan.Cmd > hcWrapped) throw Exception("Unknown request command");
}

void ComposeLines(const TRequestPlan& Plan, TExStringList& Lines) {
  // The fixed lines are made once; Add copies them.
  static const std::string FirstAccept(FirstAcceptLine);
  static const std::string SecondAccept(SecondAcceptLine);
  static const std::string ContentType(ContentTypeLine);

  Lines.Clear();
  AddRequestLine(Plan, Lines);
  Lines.Add(FirstAccept);
  Lines.Add(SecondAccept);
  // Where curl puts its own, after Accept; a caller's line of that name takes its place.
  if (Plan.AcceptEncoding) Lines.Add(std::string(RequestComposer::AcceptEncodingLine));
  if (!Plan.Info.LocalProgram.empty()) Lines.SetHeader("User-Agent", Plan.Info.LocalProgram);
  if (!Plan.Info.LocalMailAddress.empty()) Lines.SetHeader("From", Plan.Info.LocalMailAddress);
  AddCookie(Plan, Lines);
  if (!Plan.Info.Referer.empty()) Lines.SetHeader("Referer", Plan.Info.Referer);
  AddCredentials(Plan, Lines);
  Lines.Add(ContentType);
  if (Plan.Cmd == hcCopy || Plan.Cmd == hcMove) Lines.Add("URI-header: " + Plan.TargetURI);
  if (Plan.Cmd == hcLink || Plan.Cmd == hcUnLink) Lines.Add("Link: " + Plan.TargetURI);
  ApplyCustomHeaders(Plan, Lines);
}

void AddContentLength(TExStringList& Lines, std::int64_t Size) {
  Lines.Add("Content-Length: " + IntToStr(Size));
}

std::int64_t BodySize(const std::string& SendData, bool FromFile) {
  if (!FromFile) return static_cast<std::int64_t>(SendData.size());
  TFileStream File(SendData, TFileMode::fmOpenRead);
  return File.Size();
}

void ComposeBlock(const TExStringList& Lines, std::string& Block) {
  // Built in the room of the last pass's block.
  Block.clear();
  std::size_t Size = 2;
  for (const std::string& Each : Lines.Lines()) Size += Each.size() + 2;
  Block.reserve(Size);
  for (const std::string& Each : Lines.Lines()) {
    Block += Each;
    Block += "\r\n";
  }
  Block += "\r\n";
}

}  // namespace RequestComposer
