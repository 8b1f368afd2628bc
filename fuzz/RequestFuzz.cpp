// Fuzz target: URL splitting and request composition, fed arbitrary URLs, header values,
// proxies and commands. Either the request is refused with an Exception before anything is
// sent, or the header block is well formed: every line ends in CR LF and holds no other CR,
// LF or NUL, each caller value arrives whole, and the port fits 16 bits.
//
// Input: fields separated by the byte 0xFF: command and flags, URL, Proxy, User-Agent,
// From, Cookie, Referer, user, password, target URI, body, Host set beforehand.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/TComponent.h"
#include "fuzz/FuzzRequire.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::vector<std::string> F = Fields(Data, Size, 12);
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
  Require(!Http->RequestPath.empty() && Http->RequestPath[0] == '/',
          "the path does not start with '/'", [&] { return Escaped(Http->RequestPath); });
  Require(EndsWith(Http->URL, Http->RequestPath), "the path is not the end of the URL",
          [&] { return Escaped(Http->URL) + " / " + Escaped(Http->RequestPath); });
  Require(StartsWith(Http->URL, OriginalURL), "the URL lost some of what the caller gave",
          [&] { return Escaped(OriginalURL) + " -> " + Escaped(Http->URL); });

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
      Require(StartsWith(Target, "http://") || Target == Http->URL,
              "through a proxy the request line has no absolute URL",
              [&] { return Escaped(Line); });
    else
      Require(Target == Http->RequestPath, "the request line does not carry the whole path",
              [&] { return Escaped(Line) + " / " + Escaped(Http->RequestPath); });
    First = 1;
  }
  for (std::size_t I = First; I < Lines.size(); ++I)
    Require(Lines[I].find(": ") != std::string::npos, "a header line without ': '",
            [&] { return Escaped(Lines[I]); });

  const auto& Info = Http->HeaderInfo;
  Require(HeaderValue(Lines, First, "Host") == Http->Host, "the Host line differs from Host");
  Require(HeaderValue(Lines, First, "User-Agent") == Info.LocalProgram, "User-Agent changed");
  Require(HeaderValue(Lines, First, "From") == Info.LocalMailAddress, "From changed");
  Require(HeaderValue(Lines, First, "Cookie") == Info.Cookie, "Cookie changed");
  Require(HeaderValue(Lines, First, "Referer") == Info.Referer, "Referer changed");
  const std::string Authorization = HeaderValue(Lines, First, "Authorization");
  if (!Info.UserId.empty() && !Info.Password.empty()) {
    Require(StartsWith(Authorization, "Basic "), "no Basic credentials though both are set");
    Require(Base64Decode(Authorization.substr(6)) == Info.UserId + ":" + Info.Password,
            "the credentials do not decode to user:password",
            [&] { return Escaped(Authorization); });
  } else {
    Require(Authorization.empty(), "credentials sent without both user and password");
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
  if (Cmd == hcCopy || Cmd == hcMove)
    Require(HeaderValue(Lines, First, "URI-header") == Http->TargetURI, "URI-header changed");
  if (Cmd == hcLink || Cmd == hcUnLink)
    Require(HeaderValue(Lines, First, "Link") == Http->TargetURI, "Link changed");
  return 0;
}
