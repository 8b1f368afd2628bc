// TCommandRenderer: the orrery-cli and curl commands of a recorded request.
#include "inspect/TCommandRenderer.h"

#include <algorithm>
#include <vector>

#include "http/CredentialScope.h"
#include "http/FixedLines.h"
#include "http/HostName.h"
#include "http/RequestComposer.h"
#include "http/THttpUrl.h"
#include "inspect/HttpText.h"

namespace {

// The server and target of a pass's URL, which the recorder writes in absolute form.
struct TServer {
  std::string Host;
  int Port = 80;
  std::string Target;
};

TServer ServerOf(const TExchangePass& P) {
  TServer S;
  // A pass put together by hand may name what the component refuses (an IP literal that does
  // not read, a port out of range, https): then no Host line is taken for the URL's own.
  try {
    const THttpUrl U = THttpUrl::SplitReference(P.URL);
    S.Host = U.Host;
    S.Target = U.RequestTarget();
    S.Port = U.ServerPort();
  } catch (const std::exception&) {
    S.Port = -1;
  }
  return S;
}

// The lines the component composes by itself, as the command line would compose them too.

// A header line of the pass, with its name.
struct TLine {
  std::string_view Text;
  std::string_view Name;
};

std::vector<TLine> Lines(const TExchangePass& P) {
  std::vector<TLine> Result;
  const auto All = HeaderLines(P.RequestHeader);
  for (std::size_t I = P.Method.empty() ? 0 : 1; I < All.size(); ++I)
    Result.push_back({All[I], All[I].substr(0, All[I].find(':'))});
  return Result;
}

bool Has(const std::vector<TLine>& Lines, std::string_view Name) {
  for (const TLine& L : Lines)
    if (SameNoCase(L.Name, Name)) return true;
  return false;
}

std::string_view ValueOf(const TLine& L) {
  return SkipBlanks(L.Text.substr(std::min(L.Text.size(), L.Name.size() + 1)));
}

// Linux refuses to start a program with a word longer than 128 KiB ("Argument list too
// long"), and all words together are bounded too: a body well short of that stays a word.
constexpr std::size_t LongestBodyWord = 64 * 1024;

// Whether the body must come through a pipe rather than as a word on the command line. The
// shell's printf is a builtin, which no such bound applies to.
bool NeedsPipe(std::string_view Body) {
  if (Body.size() > LongestBodyWord) return true;
  if (!Body.empty() && Body[0] == '@') return true;
  for (const char C : Body) {
    const auto B = static_cast<unsigned char>(C);
    if ((B < 0x20 && B != '\n' && B != '\t') || B == 0x7F) return true;
  }
  return false;
}

class TCommand {
 public:
  explicit TCommand(std::string Program) : FWords(Program) {}
  void Word(std::string_view W) { FWords += " " + TCommandRenderer::ShellQuote(W); }
  void Option(std::string_view Name, std::string_view Value) {
    FWords += " ";
    FWords += Name;
    Word(Value);
  }
  void Flag(std::string_view Name) {
    FWords += " ";
    FWords += Name;
  }
  void Method(const TExchangePass& P) {
    if (P.Method == "HEAD")
      Flag("-I");
    else if (!P.Method.empty())
      Option("-X", P.Method);
  }
  // The body as the last option before the proxy and the URL.
  void Body(const TExchangePass& P) {
    const std::string_view Data = P.RequestBody;
    if (!NeedsPipe(Data)) {
      Option("--data-binary", Data);
      return;
    }
    FPipe = "printf " + TCommandRenderer::ShellQuote(TCommandRenderer::PrintfFormat(Data)) + " | ";
    Option("--data-binary", "@-");
  }
  void Proxy(const TExchangePass& P) {
    // An IPv6 proxy in brackets, as -x reads it in both programs.
    if (!P.Proxy.empty())
      Option("-x", HostName::InAuthority(P.Proxy) + ":" + std::to_string(P.ProxyPort));
  }
  std::string Text() const { return FPipe + FWords; }

 private:
  std::string FWords;
  std::string FPipe;
};

// The request line's version as both programs name it: "-0" for HTTP/1.0, "--http1.1" for
// HTTP/1.1, "--http2" for HTTP/2 over TLS (offered by ALPN, as the pass offered it) and
// "--http2-prior-knowledge" for HTTP/2 over plain http (h2c without an upgrade, the only way
// the component speaks it there); empty when the line says none (a wrapped request).
std::string_view VersionFlag(const TExchangePass& P) {
  const int Version = P.RequestVersion();
  if (Version == 20)
    return StartsWithNoCase(P.URL, "https:") ? "--http2" : "--http2-prior-knowledge";
  return Version == 11 ? "--http1.1" : Version == 10 ? "-0" : "";
}

bool SendsBody(const TExchangePass& P, const std::vector<TLine>& L) {
  return Has(L, "Content-Length") || P.RequestBodySize > 0;
}

// Where the pass really connected when the owner named another host after a failed look-up
// (direct passes only: through a proxy the proxy is looked up).
std::string HostUsed(const TExchangePass& P) { return P.Proxy.empty() ? P.HostUsed() : ""; }

// Whether curl would read URL as a glob pattern ("[1-3]", "{a,b}") unless told -g: a bracket
// or brace anywhere but around the IPv6 literal of the host, which curl knows for one.
bool CurlGlobs(std::string_view URL) {
  constexpr std::string_view Glob = "[]{}";
  try {
    const THttpUrl U = THttpUrl::SplitReference(URL);
    if (U.HasAuthority && HostName::IsAddress6(U.Host)) {
      const std::size_t Open = URL.find("//") + 2 + (U.HasUserInfo ? U.UserInfo.size() + 1 : 0);
      const std::size_t Close = URL.find(']', Open);
      return URL.substr(0, Open).find_first_of(Glob) != std::string_view::npos ||
             URL.find_first_of(Glob, Close + 1) != std::string_view::npos;
    }
  } catch (const std::exception&) {
  }
  return URL.find_first_of(Glob) != std::string_view::npos;
}

}  // namespace

namespace {

// Whether the caller accepted this pass's leaf for its server after seeing it refused: the
// server as the credential scope tells servers apart (443 when the URL names no port).
// The pass offered the content codings as the component offers them (--compressed).
bool AskedCodings(const std::vector<TLine>& L) {
  return std::any_of(L.begin(), L.end(),
                     [](const TLine& Line) { return Line.Text == RequestComposer::AcceptEncodingLine; });
}

bool LeafAccepted(const TExchangePass& P, const TTlsSettings& S) {
  if (!P.Tls || P.Tls->Chain.empty()) return false;
  const std::optional<TPassServer> U = CredentialScope::ServerOf(P.URL);
  return U && std::any_of(S.Accepted.begin(), S.Accepted.end(), [&](const TTlsAccepted& A) {
           return A.Port == U->Port && HostName::SameHost(A.Host, U->Host) &&
                  A.Sha256 == P.Tls->Chain.front().Sha256;
         });
}

}  // namespace

std::string TCommandRenderer::TlsOptions(const TExchangePass& P, const TTlsSettings& S) {
  if (!StartsWithNoCase(P.URL, "https:")) return "";
  std::string Options;
  const bool Accepted = S.Verify && LeafAccepted(P, S);
  if (!S.Verify || Accepted || (P.Tls && P.Tls->VerifyWaived)) Options += " -k";
  if (Accepted && !P.Tls->Chain.front().PublicKeySha256.empty())
    Options += " --pinnedpubkey " + ShellQuote("sha256//" + P.Tls->Chain.front().PublicKeySha256);
  for (const auto& [Option, File] :
       {std::pair{" --cacert ", &S.CaFile}, {" --cert ", &S.CertFile}, {" --key ", &S.KeyFile}})
    if (!File->empty()) Options += Option + ShellQuote(*File);
  return Options;
}

std::string TCommandRenderer::ShellQuote(std::string_view Word) {
  static constexpr std::string_view Safe =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_@%+=:,./-";
  if (!Word.empty() && Word.find_first_not_of(Safe) == std::string_view::npos)
    return std::string(Word);
  std::string Quoted = "'";
  for (const char C : Word) {
    if (C == '\'')
      Quoted += "'\\''";
    else
      Quoted += C;
  }
  return Quoted + "'";
}

std::string TCommandRenderer::PrintfFormat(std::string_view Bytes) {
  std::string Format;
  for (std::size_t I = 0; I < Bytes.size(); ++I) {
    const auto B = static_cast<unsigned char>(Bytes[I]);
    if (B == '%') {
      Format += "%%";
    } else if (B == '\\') {
      Format += "\\\\";
    } else if ((B < 0x20 && B != '\n' && B != '\t') || B == 0x7F || (I == 0 && B == '-')) {
      const char Octal[] = {'\\', static_cast<char>('0' + (B >> 6)),
                            static_cast<char>('0' + ((B >> 3) & 7)),
                            static_cast<char>('0' + (B & 7)), '\0'};
      Format += Octal;
    } else {
      Format += static_cast<char>(B);
    }
  }
  return Format;
}

std::string TCommandRenderer::OrreryCli(const TExchangePass& P) {
  const auto L = Lines(P);
  TServer U = ServerOf(P);
  // The command line cannot be told to connect elsewhere than its URL says: the URL names
  // the host used, and the Host line, which then differs from the URL's, is given as sent.
  std::string URL = P.URL;
  if (const std::string Used = HostUsed(P); !Used.empty() && U.Port > 0) {
    URL = THttpUrl::AbsoluteForm(THttpUrl::SplitReference(P.URL).Scheme, Used, U.Port, U.Target);
    U.Host = Used;
  }
  const std::string Written = HostName::InAuthority(U.Host);
  const std::string HostPort = Written + ":" + std::to_string(U.Port);
  TCommand C("orrery-cli");
  if (const std::string_view Version = VersionFlag(P); !Version.empty()) C.Flag(Version);
  if (AskedCodings(L)) C.Flag("--compressed");
  C.Method(P);
  for (const TLine& Line : L) {
    if (Line.Text == RequestComposer::AcceptEncodingLine) continue;
    if (SameNoCase(Line.Name, "Host") && (ValueOf(Line) == Written || ValueOf(Line) == HostPort))
      continue;
    if (Line.Text == FirstAcceptLine || Line.Text == SecondAcceptLine || Line.Text == ContentTypeLine)
      continue;
    if (SameNoCase(Line.Name, "Content-Length")) continue;
    if (!P.Proxy.empty() && Line.Text == ProxyConnectionLine) continue;
    if (!P.TargetURI.empty() &&
        (SameNoCase(Line.Name, "URI-header") || SameNoCase(Line.Name, "Link")) &&
        ValueOf(Line) == P.TargetURI)
      continue;
    C.Option("-H", Line.Text);
  }
  for (const std::string_view Composed : {"Host", "Accept", "Content-type"})
    if (!Has(L, Composed)) C.Option("-H", std::string(Composed) + ":");
  if (!P.TargetURI.empty()) C.Option("--target", P.TargetURI);
  if (SendsBody(P, L)) C.Body(P);
  C.Proxy(P);
  C.Word(URL);
  return C.Text();
}

std::string TCommandRenderer::Curl(const TExchangePass& P) {
  const auto L = Lines(P);
  const TServer U = ServerOf(P);
  // What curl sends as Host (or :authority) for the URL: the port only when it is not the
  // scheme's own.
  const int OwnPort = StartsWithNoCase(P.URL, "https:") ? 443 : 80;
  const std::string CurlHost =
      HostName::InAuthority(U.Host) + (U.Port != OwnPort ? ":" + std::to_string(U.Port) : "");
  // curl's own choice would be HTTP/2 over https: the pass's version is named, 1.0 when the
  // request line says none.
  const std::string_view Version = VersionFlag(P);
  TCommand C("curl");
  C.Flag(Version.empty() ? "-0" : Version);
  const std::string_view Target = U.Target;
  if (CurlGlobs(P.URL)) C.Flag("-g");
  if (Target.find("/./") != std::string_view::npos ||
      Target.find("/../") != std::string_view::npos || Target.ends_with("/.") ||
      Target.ends_with("/.."))
    C.Flag("--path-as-is");
  // The line stays as sent, where it was; the flag has curl decode what comes back.
  if (AskedCodings(L)) C.Flag("--compressed");
  C.Method(P);
  for (const TLine& Line : L) {
    if (SameNoCase(Line.Name, "Host") && ValueOf(Line) == CurlHost) continue;
    if (SameNoCase(Line.Name, "Content-Length")) continue;
    C.Option("-H", Line.Text);
  }
  for (const std::string_view Added : {"Host", "User-Agent", "Accept"})
    if (!Has(L, Added)) C.Option("-H", std::string(Added) + ":");
  const bool Body = SendsBody(P, L);
  // With a body curl adds its form Content-Type, unless told not to.
  if (Body && !Has(L, "Content-Type")) C.Option("-H", "Content-Type:");
  if (Body) C.Body(P);
  C.Proxy(P);
  if (const std::string Used = HostUsed(P); !Used.empty() && U.Port > 0) {
    const std::string Port = std::to_string(U.Port);
    C.Option("--connect-to", HostName::InAuthority(U.Host) + ":" + Port + ":" +
                                 HostName::InAuthority(Used) + ":" + Port);
  }
  C.Word(P.URL);
  return C.Text();
}
