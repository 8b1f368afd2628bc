// URL splitting, reference resolution and request-target encoding, by RFC 3986 and RFC 9112.
#include "http/THttpUrl.h"

#include "base/SysUtils.h"
#include "http/HostName.h"
#include "http/HttpChars.h"
#include "http/HttpErrors.h"
#include "platform/InetText.h"

namespace {

constexpr auto Npos = std::string_view::npos;

// A set of bytes as a table: one look-up a byte where a search of a list would cost a call.
struct TByteSet {
  bool In[256] = {};
  constexpr TByteSet(std::string_view Chars, bool ControlsAndBlank) {
    for (const char C : Chars) In[static_cast<unsigned char>(C)] = true;
    if (!ControlsAndBlank) return;
    for (int C = 0; C <= 0x20; ++C) In[C] = true;
    In[0x7F] = true;
  }
  bool operator()(char C) const { return In[static_cast<unsigned char>(C)]; }
};

// Where an authority ends.
constexpr TByteSet AuthorityEnd("/?#", false);
// Bytes a request target may not carry as they are (besides 0x80-0xFF).
constexpr TByteSet TargetUnsafe("\"<>\\^`{|}", true);

bool IsAlpha(char C) { return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z'); }
bool IsDigit(char C) { return C >= '0' && C <= '9'; }
bool IsHex(char C) { return HexDigit(C) >= 0; }

// Length of an RFC 3986 scheme name at the start of Text followed by ":", or 0.
std::size_t SchemeLength(std::string_view Text) {
  if (Text.empty() || !IsAlpha(Text[0])) return 0;
  for (std::size_t I = 1; I < Text.size(); ++I) {
    const char C = Text[I];
    if (C == ':') return I;
    if (!IsAlpha(C) && !IsDigit(C) && C != '+' && C != '-' && C != '.') return 0;
  }
  return 0;
}


// The host as it is looked up (see HostName::LookupName), the name as typed kept beside it;
// the authority written again around a host that changed.
void ReadHost(std::string_view Text, THttpUrl& Url) {
  // The port has its own check, which names it (PortNumber).
  HostName::CheckAuthority(Url.UserInfo, Text);
  HostName::CheckAuthority(Url.Host, Text);
  Url.UnicodeHost = Url.Host;
  if (Url.Host.empty() || Url.Host[0] == '[') return;
  std::string Name = HostName::LookupName(Url.Host, Text);
  if (Name == Url.Host) return;
  if (Url.Host.find('%') != std::string::npos) Url.UnicodeHost = HostName::PercentDecoded(Url.Host);
  Url.Host = std::move(Name);
}

// Why HostPort, which starts with "[", holds no IP literal (RFC 3986, 3.2.2) this component
// connects to; "" when it does, Address then holding the address in its canonical text
// (RFC 5952), as curl sends it. A zone identifier (RFC 6874) names an interface of this
// machine, which a URL sent to a server or kept in a recording cannot carry: refused with
// words of its own, as is the IPvFuture form, which no socket speaks.
std::string LiteralFault(std::string_view HostPort, std::string& Address) {
  const auto Close = HostPort.find(']');
  const bool PortNext =
      Close != Npos && (Close + 1 == HostPort.size() || HostPort[Close + 1] == ':');
  const std::string Shown = HostName::Shown(PortNext ? HostPort.substr(0, Close + 1) : HostPort);
  if (!PortNext) return "Invalid IPv6 address in URL: " + Shown;
  const std::string_view Inside = HostPort.substr(1, Close - 1);
  if (!Inside.empty() && (Inside[0] == 'v' || Inside[0] == 'V'))
    return "IPvFuture addresses are not supported: " + Shown;
  in6_addr Bytes{};
  const auto Percent = Inside.find('%');
  if (!win::ParseInet6(Inside.substr(0, Percent), Bytes))
    return "Invalid IPv6 address in URL: " + Shown;
  if (Percent != Npos) return "IPv6 zone identifiers are not supported: " + Shown;
  Address = win::FormatInet6(Bytes);
  return {};
}

// Cuts the authority that starts at From (ending at "/", "?", "#" or the end) into Url,
// and returns where the path starts. An IP literal that does not read is refused, unless
// KeepLiteral: the host and port are then the host as written.
std::size_t TakeAuthority(std::string_view Text, std::size_t From, THttpUrl& Url,
                          bool KeepLiteral = false) {
  std::size_t End = From;
  while (End < Text.size() && !AuthorityEnd(Text[End])) ++End;
  Url.HasAuthority = true;
  Url.Authority.assign(Text.substr(From, End - From));
  std::string_view HostPort = Url.Authority;
  if (const auto At = HostPort.rfind('@'); At != std::string_view::npos) {
    Url.HasUserInfo = true;
    Url.UserInfo.assign(HostPort.substr(0, At));
    HostPort.remove_prefix(At + 1);
  }
  std::size_t PortFrom = 0;
  std::string Address;
  if (!HostPort.empty() && HostPort[0] == '[') {
    HostName::CheckAuthority(Url.UserInfo, Text);
    HostName::CheckAuthority(HostPort, Text);
    const std::string Fault = LiteralFault(HostPort, Address);
    if (!Fault.empty() && !KeepLiteral) throw EHttpUrlError(Fault);
    PortFrom = Fault.empty() ? HostPort.find(']') + 1 : HostPort.size();
  }
  const auto Colon = HostPort.find(':', PortFrom);
  Url.Host.assign(HostPort.substr(0, Colon));
  if (Colon != std::string_view::npos) {
    Url.HasPort = true;
    Url.PortText.assign(HostPort.substr(Colon + 1));
  }
  if (Address.empty()) {
    ReadHost(Text, Url);
  } else {
    Url.Host = Url.UnicodeHost = std::move(Address);
  }
  const std::string Written = HostName::InAuthority(Url.Host);
  if (HostPort.substr(0, Colon) != Written)
    Url.Authority = (Url.HasUserInfo ? Url.UserInfo + "@" : std::string()) + Written +
                    (Url.HasPort ? ":" + Url.PortText : std::string());
  return End;
}

// Cuts path and query from From on; the fragment is dropped.
void TakePathAndQuery(std::string_view Text, std::size_t From, THttpUrl& Url) {
  Url.PathAt = From;
  const std::size_t Fragment = std::min(Text.find('#', From), Text.size());
  Url.HasFragment = Fragment < Text.size();
  const std::size_t Question = std::min(Text.find('?', From), Fragment);
  Url.Path.assign(Text.substr(From, Question - From));
  if (Question < Fragment) {
    Url.HasQuery = true;
    Url.Query.assign(Text.substr(Question + 1, Fragment - Question - 1));
  }
}

// RFC 3986, 5.2.3: the reference's path after the base's last "/".
std::string Merged(const THttpUrl& Base, const std::string& Path) {
  if (Base.HasAuthority && Base.Path.empty()) return "/" + Path;
  const auto Slash = Base.Path.rfind('/');
  return Slash == std::string::npos ? Path : Base.Path.substr(0, Slash + 1) + Path;
}

// An RFC 3986 reference; an IP literal that does not read refused unless KeepLiteral (see
// SplitServer).
THttpUrl SplitRfc3986(std::string_view Text, bool KeepLiteral) {
  THttpUrl Url;
  std::size_t At = 0;
  if (const std::size_t Length = SchemeLength(Text); Length > 0) {
    Url.Scheme.assign(Text.substr(0, Length));
    At = Length + 1;
  }
  if (Text.substr(At, 2) == "//") At = TakeAuthority(Text, At + 2, Url, KeepLiteral);
  TakePathAndQuery(Text, At, Url);
  return Url;
}

// The port a scheme's server listens on when its URL names none.
int OwnPort(std::string_view Scheme) {
  return SameNoCase(Scheme, "https") ? 443 : THttpUrl::SchemePort(Scheme);
}

}  // namespace

THttpUrl THttpUrl::SplitUser(std::string_view Text) {
  THttpUrl Url;
  std::size_t At = 0;
  if (const std::size_t Length = SchemeLength(Text);
      Length > 0 && IsKnownScheme(Text.substr(0, Length))) {
    Url.Scheme.assign(Text.substr(0, Length));
    At = Length + 1;
  }
  if (Text.substr(At, 2) == "//")
    At = TakeAuthority(Text, At + 2, Url);
  else if (Url.Scheme.empty() && At < Text.size() && Text[At] != '/')
    At = TakeAuthority(Text, At, Url);
  TakePathAndQuery(Text, At, Url);
  return Url;
}

THttpUrl THttpUrl::SplitReference(std::string_view Text) { return SplitRfc3986(Text, false); }

THttpUrl THttpUrl::SplitServer(std::string_view Text) { return SplitRfc3986(Text, true); }

std::string THttpUrl::RemoveDotSegments(std::string_view In) {
  std::string Out;
  while (!In.empty()) {
    if (In.substr(0, 3) == "../") {
      In.remove_prefix(3);
    } else if (In.substr(0, 2) == "./") {
      In.remove_prefix(2);
    } else if (In.substr(0, 3) == "/./") {
      In.remove_prefix(2);
    } else if (In == "/.") {
      In = "/";
    } else if (In.substr(0, 4) == "/../" || In == "/..") {
      In = In.size() == 3 ? std::string_view("/") : In.substr(3);
      const auto Slash = Out.rfind('/');
      Out.erase(Slash == std::string::npos ? 0 : Slash);
    } else if (In == "." || In == "..") {
      In = {};
    } else {
      const std::size_t End = std::min(In.find('/', In[0] == '/' ? 1 : 0), In.size());
      Out.append(In.substr(0, End));
      In.remove_prefix(End);
    }
  }
  return Out;
}

std::string THttpUrl::Resolve(std::string_view BaseText, std::string_view Reference) {
  const THttpUrl Base = SplitReference(BaseText);
  THttpUrl R = SplitReference(Reference);
  if (!R.Scheme.empty() && !R.HasAuthority && SameNoCase(R.Scheme, Base.Scheme))
    R.Scheme.clear();
  THttpUrl T = R;
  if (!R.Scheme.empty() || R.HasAuthority) {
    T.Path = RemoveDotSegments(R.Path);
  } else {
    T.HasAuthority = Base.HasAuthority;
    T.Authority = Base.Authority;
    if (R.Path.empty()) {
      T.Path = Base.Path;
      if (!R.HasQuery) {
        T.HasQuery = Base.HasQuery;
        T.Query = Base.Query;
      }
    } else {
      T.Path = RemoveDotSegments(R.Path[0] == '/' ? R.Path : Merged(Base, R.Path));
    }
  }
  T.Scheme = AsciiLowered(R.Scheme.empty() ? Base.Scheme : R.Scheme);
  if (!IsKnownScheme(T.Scheme)) throw EHttpSchemeError("Unsupported scheme in URL: " + T.Scheme);
  // A server named and left empty ("http:///x") is no server either (RFC 9110, 4.2.1).
  const bool EmptyHost = R.HasAuthority ? R.Host.empty() : Base.Host.empty();
  if (!T.HasAuthority || EmptyHost) throw EHttpUrlError("No server in URL: " + T.Text());
  return T.Text();
}

std::string THttpUrl::Text() const {
  std::string Out;
  if (!Scheme.empty()) Out.append(Scheme).append(":");
  if (HasAuthority) Out.append("//").append(Authority);
  Out += Path;
  if (HasQuery) Out.append("?").append(Query);
  return Out;
}

int THttpUrl::PortNumber() const {
  // An empty port is the scheme's own (RFC 3986, 3.2.3).
  if (!HasPort || PortText.empty()) return 0;
  int Value = 0;
  for (const char C : PortText) {
    if (!IsDigit(C)) {
      // Text that is no integer at all keeps the conversion's words, as a URL error; an
      // integer written any other way than in decimal digits ("+80", "0x50", " 80") names
      // no port either.
      try {
        StrToInt(PortText);
      } catch (const EConvertError& E) {
        throw EHttpUrlError(E.what());
      }
      throw EHttpUrlError("Invalid port in URL: " + PortText);
    }
    if (Value <= 65535) Value = Value * 10 + (C - '0');
  }
  // Only 16 bits reach the socket: a larger number would silently name another port.
  // Port 0 names no server at all.
  if (Value < 1 || Value > 65535) throw EHttpUrlError("Invalid port in URL: " + PortText);
  return Value;
}

int THttpUrl::ServerPort() const {
  const int Port = PortNumber();
  if (Port != 0) return Port;
  return OwnPort(Scheme);
}

bool THttpUrl::NamesWebServer() const {
  if (!HasAuthority || !IsWebScheme(Scheme) || Host.empty()) return false;
  if (Host[0] == '[') return false;
  try {
    PortNumber();
  } catch (const EHttpUrlError&) {
    return false;
  }
  return true;
}

std::string THttpUrl::HostPort() const {
  return HasUserInfo ? Authority.substr(UserInfo.size() + 1) : Authority;
}

std::string THttpUrl::Target() const {
  std::string Out = Path.empty() || Path[0] != '/' ? "/" + Path : Path;
  if (HasQuery) Out.append("?").append(Query);
  return Out;
}

std::string THttpUrl::User() const {
  return HostName::PercentDecoded(std::string_view(UserInfo).substr(0, UserInfo.find(':')));
}

std::string THttpUrl::Password() const {
  const auto Colon = UserInfo.find(':');
  return Colon == std::string::npos ? std::string()
                                    : HostName::PercentDecoded(std::string_view(UserInfo).substr(Colon + 1));
}

std::string THttpUrl::RequestTarget() const { return EncodeTarget(Target()); }

std::string THttpUrl::EncodeTarget(std::string_view Target) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(Target.size());
  for (std::size_t I = 0; I < Target.size(); ++I) {
    const auto C = static_cast<unsigned char>(Target[I]);
    const bool Escape = C >= 0x80 || TargetUnsafe(static_cast<char>(C));
    if (C == '%' && !(I + 2 < Target.size() && IsHex(Target[I + 1]) && IsHex(Target[I + 2]))) {
      Out += "%25";
    } else if (Escape) {
      Out += '%';
      Out += Hex[C >> 4];
      Out += Hex[C & 15];
    } else {
      Out += static_cast<char>(C);
    }
  }
  return Out;
}

int THttpUrl::SchemePort(std::string_view Scheme) {
  if (SameNoCase(Scheme, "gopher")) return 70;
  if (SameNoCase(Scheme, "ftp")) return 21;
  if (SameNoCase(Scheme, "https")) throw EHttpSchemeError("HTTP Secure Socket is not supported");
  return 80;
}

bool THttpUrl::IsKnownScheme(std::string_view Scheme) {
  return IsWebScheme(Scheme) || SameNoCase(Scheme, "ftp") || SameNoCase(Scheme, "gopher");
}

bool THttpUrl::IsWebScheme(std::string_view Scheme) {
  return SameNoCase(Scheme, "http") || SameNoCase(Scheme, "https");
}

std::string THttpUrl::HostValue(const std::string& Host, int Port) {
  const std::string Written = HostName::InAuthority(Host);
  return Port == 80 ? Written : Written + ":" + std::to_string(Port);
}

std::string THttpUrl::AbsoluteForm(std::string_view Scheme, const std::string& Host, int Port,
                                   const std::string& Target) {
  const std::string S = Scheme.empty() ? std::string("http") : std::string(Scheme);
  const bool Own = Port == OwnPort(S);
  return S + "://" + HostName::InAuthority(Host) + (Own ? std::string() : ":" + std::to_string(Port)) + Target;
}

void THttpUrl::CheckHost(const std::string& Host) {
  if (HostName::IsAddress6(Host)) return;
  for (const char C : Host)
    if (!HostName::IsHostByte(C)) throw EHttpUrlError("Invalid host in URL: " + Host);
}
