// Fuzz target: URL splitting, reference resolution and request composition, fed arbitrary
// URLs, Location references, header values, caller's header lines, proxies and commands.
// Either the request is refused with an Exception before anything is sent, or the header
// block is well formed: every line ends in CR LF and holds no other CR, LF or NUL, each
// caller value arrives whole, the port fits 16 bits, the request target holds no CR, LF,
// NUL or blank, and the host is an ASCII name or a bare IPv6 address. A Location resolved against the request's
// URL is an absolute URL of a known scheme or an error, and one without a server keeps the
// request's host and port.
//
// Input: fields separated by the byte 0xFF: command and flags, URL, Proxy, User-Agent,
// From, Cookie, Referer, user, password, target URI, body, Host set beforehand, a Location
// reference, the caller's header lines (separated by 0xFE).
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/TComponent.h"
#include "fuzz/FuzzRequire.h"
#include "http/HostName.h"
#include "http/THttpUrl.h"
#include "http/TVelHTTP.h"

namespace {

constexpr const char* Words[] = {"GET ",    "OPTIONS ", "HEAD ", "POST ",   "PUT ",
                                 "PATCH ",  "COPY ",    "MOVE ", "DELETE ", "LINK ",
                                 "UNLINK ", "TRACE ",   ""};

std::vector<std::string> Fields(const std::uint8_t* Data, std::size_t Size, std::size_t Count) {
  std::vector<std::string> Out(1);
  for (std::size_t I = 0; I < Size; ++I) {
    if (Data[I] == 0xFF && Out.size() < Count)
      Out.emplace_back();
    else
      Out.back() += static_cast<char>(Data[I]);
  }
  Out.resize(Count);
  return Out;
}

std::string Base64Decode(const std::string& Text) {
  static const std::string Alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Out;
  std::uint32_t Bits = 0;
  int Held = 0;
  for (char C : Text) {
    if (C == '=') break;
    const auto V = Alphabet.find(C);
    Require(V != std::string::npos, "the credentials hold a byte outside Base64",
            [&] { return Escaped(Text); });
    Bits = (Bits << 6) | static_cast<std::uint32_t>(V);
    Held += 6;
    if (Held >= 8) {
      Held -= 8;
      Out += static_cast<char>((Bits >> Held) & 0xFF);
    }
  }
  return Out;
}

bool StartsWith(const std::string& S, const std::string& Prefix) {
  return S.compare(0, Prefix.size(), Prefix) == 0;
}

bool EndsWith(const std::string& S, const std::string& Suffix) {
  return S.size() >= Suffix.size() &&
         S.compare(S.size() - Suffix.size(), Suffix.size(), Suffix) == 0;
}

// The value of the one header line (from index First on) that starts with Name and ": ",
// or "" (checked to be unique).
std::string HeaderValue(const std::vector<std::string>& Lines, std::size_t First,
                        const std::string& Name) {
  std::string Found;
  int Seen = 0;
  for (std::size_t I = First; I < Lines.size(); ++I)
    if (StartsWith(Lines[I], Name + ": ")) {
      Found = Lines[I].substr(Name.size() + 2);
      ++Seen;
    }
  Require(Seen <= 1, "a header line appears twice", [&] { return Name; });
  return Found;
}

// What HTTP allows in a request target: no blank, control, DEL or byte above 0x7E, none of
// the characters that must be percent-encoded, and every "%" starting an escape.
void RequireWellFormedTarget(const std::string& Target, const char* Where) {
  Require(!Target.empty() && Target[0] == '/', "the target does not start with '/'",
          [&] { return std::string(Where) + ": " + Escaped(Target); });
  for (std::size_t I = 0; I < Target.size(); ++I) {
    const auto C = static_cast<unsigned char>(Target[I]);
    const bool Bad =
        C <= 0x20 || C >= 0x7F || std::string("\"<>\\^`{|}#").find(Target[I]) != std::string::npos;
    const bool BadEscape = C == '%' && (I + 2 >= Target.size() || !std::isxdigit(Target[I + 1]) ||
                                        !std::isxdigit(Target[I + 2]));
    Require(!Bad && !BadEscape, "the target holds a byte HTTP does not allow there",
            [&] { return std::string(Where) + ": " + Escaped(Target); });
  }
}

// A Location resolved against the URL of the request that received it.
void CheckResolution(const TVelHTTP& Http, const std::string& Scheme, const std::string& Ref) {
  const std::string Base = THttpUrl::AbsoluteForm(Scheme, Http.Host, Http.Port, Http.RequestPath);
  std::string Result;
  try {
    Result = THttpUrl::Resolve(Base, Ref);
  } catch (const Exception& E) {
    Require(*E.what() != '\0', "a refused Location without a message");
    return;
  }
  const auto Detail = [&] {
    return Escaped(Base) + " + " + Escaped(Ref) + " -> " + Escaped(Result);
  };
  const THttpUrl Parts = THttpUrl::SplitReference(Result);
  Require(THttpUrl::IsKnownScheme(Parts.Scheme) && Parts.HasAuthority,
          "a resolved Location is not an absolute URL of a known scheme", Detail);
  Require(Parts.Scheme == THttpUrl::SplitUser(Result).Scheme,
          "a resolved Location reads another way as the next pass's URL", Detail);
  Require(!Parts.HasUserInfo || THttpUrl::SplitReference(Ref).HasAuthority,
          "resolution made up credentials", Detail);
  RequireWellFormedTarget(Parts.RequestTarget(), "resolved");
  const THttpUrl Reference = THttpUrl::SplitReference(Ref);
  const bool SameScheme =
      Reference.Scheme.empty() || TExStringList::CompareHeaderNames(
                                      Reference.Scheme, THttpUrl::SplitReference(Base).Scheme) == 0;
  if (Reference.HasAuthority || !SameScheme) return;
  // No server of its own: the host and the port stay the request's.
  Require(Parts.Authority == THttpUrl::SplitReference(Base).Authority,
          "a reference without a server changed the server", Detail);
  int Port = 0;
  try {
    Port = Parts.PortNumber();
  } catch (const Exception&) {
    Broken("the request's own port does not read back", Detail());
  }
  Require((Port == 0 ? THttpUrl::SchemePort(Scheme.empty() ? "http" : Parts.Scheme) : Port) ==
              Http.Port,
          "a reference without a server changed the port", Detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::vector<std::string> F = Fields(Data, Size, 14);
  const std::string& Control = F[0];
  const auto Cmd =
      static_cast<CmdType>(Control.empty() ? 0 : static_cast<std::uint8_t>(Control[0]) % 13);
  const std::uint8_t Flags = Control.size() > 1 ? static_cast<std::uint8_t>(Control[1]) : 0;

  const TOwned<TVelHTTP> Http(new TVelHTTP(nullptr));
  Http->CurrentCmd = Cmd;
  Http->URL = F[1];
  Http->Proxy = F[2];
  Http->ProxyPort = 3128;
  Http->HeaderInfo.LocalProgram = F[3];
  Http->HeaderInfo.LocalMailAddress = F[4];
  Http->HeaderInfo.Cookie = F[5];
  Http->HeaderInfo.Referer = F[6];
  Http->HeaderInfo.UserId = F[7];
  Http->HeaderInfo.Password = F[8];
  Http->TargetURI = F[9];
  Http->SendData = F[10];
  Http->Host = F[11];
  Http->Port = (Flags & 1) ? 8080 : 0;
  for (std::size_t At = 0; !F[13].empty() && At <= F[13].size();) {
    const std::size_t End = std::min(F[13].find('\xFE', At), F[13].size());
    Http->CustomHeaders.push_back(F[13].substr(At, End - At));
    At = End + 1;
  }
  const std::string OriginalURL = F[1];

  try {
    Http->SplitURL();
    Http->ComposeRequest();
  } catch (const Exception& E) {
    Require(*E.what() != '\0', "a refusal without a message");
    return 0;
  }

  Require(Http->Port > 0 && Http->Port <= 65535, "the port does not fit 16 bits (or is 0)",
          [&] { return std::to_string(Http->Port) + " from " + Escaped(OriginalURL); });
  RequireWellFormedTarget(Http->RequestPath, "RequestPath");
  // What is looked up and sent in Host is an ASCII name or a bare IPv6 address: any other
  // byte came through the authority, the literal or the A-label conversion unchecked.
  Require(HostName::IsAddress6(Http->Host) ||
              std::all_of(Http->Host.begin(), Http->Host.end(), HostName::IsHostByte),
          "the host holds a byte no name holds",
          [&] { return Escaped(Http->Host) + " from " + Escaped(OriginalURL); });
  const THttpUrl Given = THttpUrl::SplitUser(OriginalURL);
  const bool Completed =
      Http->URL.size() == OriginalURL.size() + 1 && Http->URL.compare(Given.PathAt, 1, "/") == 0 &&
      Http->URL.substr(0, Given.PathAt) + Http->URL.substr(Given.PathAt + 1) == OriginalURL;
  Require(Http->URL == OriginalURL || (Given.Path.empty() && Completed),
          "the URL changed beyond a '/' for an empty path",
          [&] { return Escaped(OriginalURL) + " -> " + Escaped(Http->URL); });
  CheckResolution(*Http, Given.Scheme, F[12]);

  const std::string Block = Http->RequestHeaderSent();
  Require(Block == Http->RequestLines.Text() + "\r\n", "the header block is not the lines sent");
  Require(EndsWith(Block, "\r\n\r\n"), "the header block does not end with an empty line",
          [&] { return Escaped(Block); });
  std::vector<std::string> Lines;
  for (std::size_t At = 0; At + 2 < Block.size();) {
    const auto End = Block.find("\r\n", At);
    Lines.push_back(Block.substr(At, End - At));
    At = End + 2;
  }
  for (const std::string& Line : Lines)
    Require(Line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
            "a header line holds a CR, LF or NUL of its own", [&] { return Escaped(Block); });
  Require(!Lines.empty(), "no header lines");

  const bool ViaProxy = !Http->Proxy.empty();
  std::size_t First = 0;
  if (Cmd != hcWrapped) {
    const std::string& Line = Lines[0];
    Require(StartsWith(Line, Words[Cmd]) && EndsWith(Line, " HTTP/1.0"),
            "the request line has the wrong word or version", [&] { return Escaped(Line); });
    const std::string Target = Line.substr(std::string(Words[Cmd]).size(),
                                           Line.size() - std::string(Words[Cmd]).size() - 9);
    if (ViaProxy)
      Require(
          Target == THttpUrl::AbsoluteForm(Given.Scheme, Http->Host, Http->Port, Http->RequestPath),
          "through a proxy the request line has no absolute URL of the request",
          [&] { return Escaped(Line); });
    else
      Require(Target == Http->RequestPath, "the request line does not carry the whole path",
              [&] { return Escaped(Line) + " / " + Escaped(Http->RequestPath); });
    First = 1;
  }
  for (std::size_t I = First; I < Lines.size(); ++I)
    Require(Lines[I].find(": ") != std::string::npos, "a header line without ': '",
            [&] { return Escaped(Lines[I]); });

  // A line the caller's own header lines name is theirs to set; the others are checked.
  const auto Mine = [&](const std::string& Name) {
    for (const std::string& Custom : Http->CustomHeaders)
      if (TExStringList::CompareHeaderNames(Custom.substr(0, Custom.find(':')), Name) == 0)
        return false;
    return true;
  };
  const auto& Info = Http->HeaderInfo;
  const std::string HostValue =
      Http->Host.empty() ? "" : THttpUrl::HostValue(Http->Host, Http->Port);
  if (Mine("Host"))
    Require(HeaderValue(Lines, First, "Host") == HostValue, "the Host line differs from Host");
  if (Mine("User-Agent"))
    Require(HeaderValue(Lines, First, "User-Agent") == Info.LocalProgram, "User-Agent changed");
  if (Mine("From"))
    Require(HeaderValue(Lines, First, "From") == Info.LocalMailAddress, "From changed");
  if (Mine("Cookie")) Require(HeaderValue(Lines, First, "Cookie") == Info.Cookie, "Cookie changed");
  if (Mine("Referer"))
    Require(HeaderValue(Lines, First, "Referer") == Info.Referer, "Referer changed");
  const std::string Authorization = HeaderValue(Lines, First, "Authorization");
  const bool UrlUser = Given.HasUserInfo && !Given.User().empty();
  const std::string Expected =
      UrlUser ? Given.User() + ":" + Given.Password() : Info.UserId + ":" + Info.Password;
  if (!Mine("Authorization")) {
  } else if (UrlUser || (!Info.UserId.empty() && !Info.Password.empty())) {
    Require(StartsWith(Authorization, "Basic "), "no Basic credentials though they are given");
    Require(Base64Decode(Authorization.substr(6)) == Expected,
            "the credentials do not decode to user:password",
            [&] { return Escaped(Authorization); });
  } else {
    Require(Authorization.empty(), "credentials sent without both user and password");
  }
  // The caller's lines of one name (the last line's): the first replaces what the component
  // composed, every one with a value is sent, in the order given, and "Name:" alone sends
  // none of its own. The lines of that name in the block are exactly those values.
  if (!Http->CustomHeaders.empty()) {
    const std::string& Last = Http->CustomHeaders.back();
    const std::string Name = Last.substr(0, Last.find(':'));
    std::vector<std::string> Expected;
    for (const std::string& C : Http->CustomHeaders) {
      if (TExStringList::CompareHeaderNames(C.substr(0, C.find(':')), Name) != 0) continue;
      // Its value without the blanks at either end.
      const auto ValueAt = C.find_first_not_of(" \t", C.find(':') + 1);
      if (ValueAt != std::string::npos)
        Expected.push_back(Name + ": " + C.substr(ValueAt, C.find_last_not_of(" \t") + 1 - ValueAt));
    }
    std::vector<std::string> Sent;
    for (std::size_t I = First; I < Lines.size(); ++I)
      if (TExStringList::CompareHeaderNames(Lines[I].substr(0, Lines[I].find(':')), Name) == 0)
        Sent.push_back(Lines[I].substr(0, Name.size()) == Name ? Lines[I] : Name + Lines[I].substr(Name.size()));
    Require(Sent == Expected, "the caller's header lines of a name are not what was sent",
            [&] { return Escaped(Last) + " in " + Escaped(Block); });
  }
  const bool HasBody =
      Cmd == hcPost || Cmd == hcPut || Cmd == hcPatch || Cmd == hcTrace || Cmd == hcWrapped;
  const std::string Length = HeaderValue(Lines, First, "Content-Length");
  if (HasBody)
    Require(Length == std::to_string(Http->SendData.size()),
            "Content-Length is not the body's length", [&] { return Length; });
  else
    Require(Length.empty(), "a Content-Length for a command without a body",
            [&] { return Length; });
  if ((Cmd == hcCopy || Cmd == hcMove) && Mine("URI-header"))
    Require(HeaderValue(Lines, First, "URI-header") == Http->TargetURI, "URI-header changed");
  if ((Cmd == hcLink || Cmd == hcUnLink) && Mine("Link"))
    Require(HeaderValue(Lines, First, "Link") == Http->TargetURI, "Link changed");
  return 0;
}
