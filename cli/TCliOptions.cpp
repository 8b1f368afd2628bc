// TCliOptions: parsing of orrery-cli's command line, and its usage, help and version texts.
#include "cli/TCliOptions.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>

#include "base/AsciiText.h"
#include "cli/CliCommands.h"
#include "cli/CliExitStatus.h"
#include "http/HostName.h"
#include "inspect/THarReader.h"
#include "inspect/TPassReplay.h"
#include "platform/InetText.h"

#ifndef ORRERY_VERSION
#define ORRERY_VERSION "0"
#endif

namespace {

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// A decimal number of at most Max, digits only: no sign, no blank, no suffix.
bool ReadNumber(std::string_view Text, long long Max, long long& Value) {
  if (Text.empty() || Text.size() > 18) return false;
  Value = 0;
  for (char C : Text) {
    if (!IsDigit(C)) return false;
    Value = Value * 10 + (C - '0');
  }
  return Value <= Max;
}

void SetProxy(TCliOptions& O, const std::string& Given) {
  // curl's "http://HOST:PORT" (with or without a final "/") and the bare "HOST:PORT".
  std::string_view Value = Given;
  if (StartsWithNoCase(Value, "http://"))
    Value.remove_prefix(7);
  else if (Value.find("://") != std::string_view::npos)
    throw EUsageError("-x takes only an HTTP proxy, not '" + Given + "'");
  if (!Value.empty() && Value.back() == '/') Value.remove_suffix(1);
  // An IPv6 proxy is written in brackets, as in a URL: "[::1]:8888".
  const bool Bracketed = !Value.empty() && Value.front() == '[';
  const auto Close = Bracketed ? Value.find(']') : std::string_view::npos;
  const auto Colon = Bracketed ? (Close == std::string_view::npos ? Close : Close + 1)
                               : Value.rfind(':');
  long long Port = 0;
  if (Colon == std::string_view::npos || Colon == 0 || Colon >= Value.size() ||
      Value[Colon] != ':' || !ReadNumber(Value.substr(Colon + 1), 65535, Port) || Port == 0)
    throw EUsageError("-x needs HOST:PORT with a port from 1 to 65535, not '" + Given + "'");
  std::string Host(Value.substr(0, Colon));
  if (Bracketed) {
    Host = Host.substr(1, Host.size() - 2);
    in6_addr Parsed{};
    if (!win::ParseInet6(Host, Parsed))
      throw EUsageError("-x needs an IPv6 address within its brackets, not '" + Given + "'");
  }
  O.ProxyHost = Host;
  O.ProxyPort = static_cast<int>(Port);
}

void SetCredentials(TCliOptions& O, const std::string& Value) {
  // The password may hold a colon; the user name cannot.
  const auto Colon = Value.find(':');
  if (Colon == std::string::npos) throw EUsageError("-u needs USER:PASSWORD");
  O.UserId = Value.substr(0, Colon);
  O.Password = Value.substr(Colon + 1);
  O.HasUser = true;
}

// Seconds, with decimals as curl takes them ("0.5", ".5"), to whole milliseconds. A part of
// a millisecond counts as one: "-m 0.0001" must not become 0, which would mean no limit.
void SetTimeOut(TCliOptions& O, const std::string& Value) {
  const auto Refuse = [&Value] {
    return EUsageError("-m needs a number of seconds from 0 to 2147483.647, not '" + Value + "'");
  };
  const auto Dot = Value.find('.');
  const std::string_view Whole = std::string_view(Value).substr(0, Dot);
  const std::string_view Part =
      Dot == std::string::npos ? std::string_view() : std::string_view(Value).substr(Dot + 1);
  long long Seconds = 0;
  if ((Whole.empty() && Part.empty()) || (!Whole.empty() && !ReadNumber(Whole, INT_MAX, Seconds)) ||
      Part.find_first_not_of("0123456789") != std::string_view::npos)
    throw Refuse();
  long long Ms = Seconds * 1000;
  static constexpr int Weights[] = {100, 10, 1};
  for (std::size_t I = 0; I < Part.size() && I < 3; ++I) Ms += (Part[I] - '0') * Weights[I];
  if (Part.size() > 3 && Part.find_first_not_of('0', 3) != std::string_view::npos) ++Ms;
  if (Ms > INT_MAX) throw Refuse();
  O.TimeOutMs = static_cast<int>(Ms);
}

void SetMaxRedirs(TCliOptions& O, const std::string& Value) {
  // curl's -1 means "no bound": here that is the component's own bound.
  long long N = 0;
  if (Value == "-1")
    N = TVelHTTP::MaxRedirections;
  else if (!ReadNumber(Value, LLONG_MAX / 10, N))
    throw EUsageError("--max-redirs needs a number of redirections, not '" + Value + "'");
  O.MaxRedirs = static_cast<int>(std::min<long long>(N, TVelHTTP::MaxRedirections));
}

// Bytes, or with curl's suffixes k, M and G (powers of 1024).
void SetMaxFileSize(TCliOptions& O, const std::string& Value) {
  std::string_view Digits = Value;
  long long Unit = 1;
  if (!Digits.empty()) {
    switch (Digits.back()) {
      case 'k':
      case 'K': Unit = 1LL << 10; break;
      case 'm':
      case 'M': Unit = 1LL << 20; break;
      case 'g':
      case 'G': Unit = 1LL << 30; break;
      default: break;
    }
    if (Unit != 1) Digits.remove_suffix(1);
  }
  long long N = 0;
  if (!ReadNumber(Digits, INT64_MAX / Unit, N))
    throw EUsageError("--max-filesize needs a number of bytes (k, M or G may follow), not '" +
                      Value + "'");
  O.MaxFileSize = N * Unit;
}

void SetCommand(TCliOptions& O, const std::string& Value) {
  const auto Cmd = CliCommandFromWord(Value);
  if (!Cmd)
    throw EUsageError(
        "-X takes GET, HEAD, POST, PUT, PATCH, DELETE, OPTIONS, TRACE, COPY, "
        "MOVE, LINK or UNLINK, not '" +
        Value + "'");
  O.Command = *Cmd;
  O.CommandGiven = true;
}

void AddHeader(TCliOptions& O, const std::string& Value) {
  const auto Colon = Value.find(':');
  const std::string_view Name = std::string_view(Value).substr(0, Colon);
  if (Colon == std::string::npos || Name.empty() ||
      Name.find_first_of(" \t") != std::string_view::npos)
    throw EUsageError("-H needs 'Name: value' (or 'Name:' to leave a line out), not '" + Value +
                      "'");
  if (Value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw EUsageError("-H cannot hold a line end");
  if (StartsWithNoCase(Name, "content-length") && Name.size() == 14)
    throw EUsageError("-H cannot set Content-Length: it is computed from the body");
  O.Headers.push_back(Value);
}

void AddData(TCliOptions& O, TCliOptions::TDataKind Kind, const std::string& Value) {
  O.Data.push_back({Kind, Value});
  O.HasData = true;
}

void SetNonEmpty(std::string& Field, const char* Option, const std::string& Value) {
  if (Value.empty()) throw EUsageError(std::string(Option) + " needs a file name");
  Field = Value;
}

// -E FILE[:PASSWORD], as curl reads it: the first colon that no backslash escapes ends the
// file name, and "\:" is a colon of the name.
void SetCertificate(TCliOptions& O, const std::string& Value) {
  std::string File;
  std::size_t At = 0;
  for (; At < Value.size() && Value[At] != ':'; ++At) {
    if (Value[At] == '\\' && At + 1 < Value.size() && Value[At + 1] == ':') ++At;
    File += Value[At];
  }
  if (File.empty()) throw EUsageError("-E needs a file name");
  O.Tls.CertFile = File;
  if (At < Value.size()) O.Tls.KeyPassphrase = Value.substr(At + 1);
}

void SetTlsMax(TCliOptions& O, const std::string& Value) {
  if (Value == "1.2")
    O.Tls.MaxVersion = TTlsVersion::tv12;
  else if (Value == "1.3")
    O.Tls.MaxVersion = TTlsVersion::tv13;
  else if (Value == "default")
    O.Tls.MaxVersion = TTlsVersion::tvAny;
  else
    throw EUsageError("--tls-max takes 1.2, 1.3 or default (no older TLS is spoken), not '" +
                      Value + "'");
}

// Value split at its colons: "a:b::d" gives a, b, "", d.
std::vector<std::string_view> ColonParts(std::string_view Value) {
  std::vector<std::string_view> Parts;
  for (std::size_t From = 0;;) {
    const auto Colon = Value.find(':', From);
    Parts.push_back(Value.substr(From, Colon == std::string_view::npos ? Colon : Colon - From));
    if (Colon == std::string_view::npos) return Parts;
    From = Colon + 1;
  }
}

// A port from 1 to 65535, or (AnyWhenEmpty) 0 for an empty text; -1 when it is neither.
int PortOrAny(std::string_view Text, bool AnyWhenEmpty) {
  long long Port = 0;
  if (Text.empty()) return AnyWhenEmpty ? 0 : -1;
  return ReadNumber(Text, 65535, Port) && Port > 0 ? static_cast<int>(Port) : -1;
}

// curl's list of addresses, IPv6 ones in brackets or bare: the connection races over them.
void AddResolve(TCliOptions& O, const std::string& Value) {
  const std::vector<std::string_view> Parts = ColonParts(Value);
  const int Port = Parts.size() >= 3 ? PortOrAny(Parts[1], false) : -1;
  const std::size_t AddressAt = Parts.size() >= 3 ? Parts[0].size() + Parts[1].size() + 2 : 0;
  const std::string Addresses = Value.substr(AddressAt);
  if (Port < 0 || Parts[0].empty() || TVelHTTP::RuleAddresses(Addresses).empty())
    throw EUsageError("--resolve needs HOST:PORT:ADDRESS[,ADDRESS...], each address IPv4 or "
                      "IPv6 (as [::1]), not '" + Value + "'");
  O.Resolves.push_back({std::string(Parts[0]), Port, Addresses});
}

// Value split at its colons as --connect-to reads it: a part that opens with '[' runs to its
// ']', an IPv6 address kept bare (a connection takes it so), and must end there. Empty when a
// bracket does not hold an IPv6 address or does not close at the end of its part.
std::vector<std::string> HostColonParts(std::string_view Value) {
  std::vector<std::string> Parts;
  for (std::size_t From = 0;;) {
    std::size_t Colon = Value.find(':', From);
    if (From < Value.size() && Value[From] == '[') {
      const auto Close = Value.find(']', From);
      if (Close == std::string_view::npos) return {};
      const std::string Bare(Value.substr(From + 1, Close - From - 1));
      if (!HostName::IsAddress6(Bare) || (Close + 1 < Value.size() && Value[Close + 1] != ':'))
        return {};
      Parts.push_back(Bare);
      Colon = Close + 1 < Value.size() ? Close + 1 : std::string_view::npos;
    } else {
      Parts.emplace_back(
          Value.substr(From, Colon == std::string_view::npos ? Colon : Colon - From));
    }
    if (Colon == std::string_view::npos) return Parts;
    From = Colon + 1;
  }
}

void AddConnectTo(TCliOptions& O, const std::string& Value) {
  const std::vector<std::string> Parts = HostColonParts(Value);
  const int From = Parts.size() == 4 ? PortOrAny(Parts[1], true) : -1;
  const int To = Parts.size() == 4 ? PortOrAny(Parts[3], true) : -1;
  if (From < 0 || To < 0)
    throw EUsageError(
        "--connect-to needs HOST1:PORT1:HOST2:PORT2 (any part may be empty; an IPv6 host as "
        "[::1]), not '" + Value + "'");
  O.ConnectTos.push_back({Parts[0], From, Parts[2], To});
}

// --base: a server alone, as the replay rebases on it; a path or a query would be dropped
// without a word, since each entry keeps its own, so it is refused here.
void SetBase(TCliOptions& O, const std::string& Value) {
  if (TPassReplay::Rebase("http://base.test/", Value).empty())
    throw EUsageError("--base needs http[s]://HOST[:PORT] and no path, not '" + Value + "'");
  O.Base = Value;
}

void AddIgnoreHeader(TCliOptions& O, const std::string& Value) {
  if (!THarReader::IsToken(Value))
    throw EUsageError("--ignore-header needs a header field name, not '" + Value + "'");
  O.IgnoreHeaders.push_back(Value);
}

// The table of options: each row names its short letter (0 for none), its long name, whether
// it takes a value, and what it sets.
using TSetter = void (*)(TCliOptions&, const std::string&);
struct TOptionRow {
  char Short;
  std::string_view Long;
  bool TakesValue;
  TSetter Set;
};

const TOptionRow OptionRows[] = {
    {'m', "max-time", true, SetTimeOut},
    {'L', "location", false, [](TCliOptions& O, const std::string&) { O.FollowLocation = true; }},
    {0, "max-redirs", true, SetMaxRedirs},
    {0, "compressed", false, [](TCliOptions& O, const std::string&) { O.Compressed = true; }},
    {'f', "fail", false, [](TCliOptions& O, const std::string&) { O.Fail = true; }},
    {'s', "silent", false, [](TCliOptions& O, const std::string&) { O.Silent = true; }},
    {'S', "show-error", false, [](TCliOptions& O, const std::string&) { O.ShowError = true; }},
    {'X', "request", true, SetCommand},
    {'d', "data", true,
     [](TCliOptions& O, const std::string& V) { AddData(O, TCliOptions::dkText, V); }},
    {0, "data-ascii", true,
     [](TCliOptions& O, const std::string& V) { AddData(O, TCliOptions::dkText, V); }},
    {0, "data-binary", true,
     [](TCliOptions& O, const std::string& V) { AddData(O, TCliOptions::dkBinary, V); }},
    {0, "data-raw", true,
     [](TCliOptions& O, const std::string& V) { AddData(O, TCliOptions::dkRaw, V); }},
    {0, "data-urlencode", true,
     [](TCliOptions& O, const std::string& V) { AddData(O, TCliOptions::dkUrlEncode, V); }},
    {0, "target", true, [](TCliOptions& O, const std::string& V) { O.Target = V; }},
    {'H', "header", true, AddHeader},
    {'x', "proxy", true, SetProxy},
    {0, "max-filesize", true, SetMaxFileSize},
    {'I', "head", false, [](TCliOptions& O, const std::string&) { O.Head = true; }},
    {'i', "include", false, [](TCliOptions& O, const std::string&) { O.IncludeHeader = true; }},
    {'o', "output", true,
     [](TCliOptions& O, const std::string& V) {
       std::string File;
       SetNonEmpty(File, "-o", V);
       O.OutputFiles.push_back(V == "-" ? std::string() : File);
     }},
    {'u', "user", true, SetCredentials},
    {'A', "user-agent", true, [](TCliOptions& O, const std::string& V) { O.Agent = V; }},
    {'e', "referer", true, [](TCliOptions& O, const std::string& V) { O.Referer = V; }},
    {'b', "cookie", true, [](TCliOptions& O, const std::string& V) { O.Cookie = V; }},
    {'v', "verbose", false, [](TCliOptions& O, const std::string&) { ++O.Verbose; }},
    {'w', "write-out", true,
     [](TCliOptions& O, const std::string& V) {
       O.WriteOut = V;
       O.HasWriteOut = true;
     }},
    {0, "har", true,
     [](TCliOptions& O, const std::string& V) { SetNonEmpty(O.HarFile, "--har", V); }},
    {'k', "insecure", false, [](TCliOptions& O, const std::string&) { O.Tls.Verify = false; }},
    {0, "cacert", true,
     [](TCliOptions& O, const std::string& V) { SetNonEmpty(O.Tls.CaFile, "--cacert", V); }},
    {0, "capath", true,
     [](TCliOptions& O, const std::string& V) { SetNonEmpty(O.Tls.CaPath, "--capath", V); }},
    {0, "pinnedpubkey", true,
     [](TCliOptions& O, const std::string& V) {
       SetNonEmpty(O.Tls.PinnedPublicKey, "--pinnedpubkey", V);
     }},
    {'E', "cert", true, SetCertificate},
    {0, "key", true,
     [](TCliOptions& O, const std::string& V) { SetNonEmpty(O.Tls.KeyFile, "--key", V); }},
    {0, "pass", true, [](TCliOptions& O, const std::string& V) { O.Tls.KeyPassphrase = V; }},
    {0, "tlsv1.2", false,
     [](TCliOptions& O, const std::string&) { O.Tls.MinVersion = TTlsVersion::tv12; }},
    {0, "tlsv1.3", false,
     [](TCliOptions& O, const std::string&) { O.Tls.MinVersion = TTlsVersion::tv13; }},
    {0, "tls-max", true, SetTlsMax},
    {'4', "ipv4", false,
     [](TCliOptions& O, const std::string&) { O.AddressFamily = afIPv4; }},
    {'6', "ipv6", false,
     [](TCliOptions& O, const std::string&) { O.AddressFamily = afIPv6; }},
    {0, "resolve", true, AddResolve},
    {0, "connect-to", true, AddConnectTo},
    {0, "replay", true,
     [](TCliOptions& O, const std::string& V) { SetNonEmpty(O.ReplayFile, "--replay", V); }},
    {0, "compare", false, [](TCliOptions&, const std::string&) {}},
    {0, "base", true, SetBase},
    {0, "ignore-header", true, AddIgnoreHeader},
    {0, "unsafe", false, [](TCliOptions& O, const std::string&) { O.Unsafe = true; }},
    {0, "keep-credentials", false,
     [](TCliOptions& O, const std::string&) { O.KeepCredentials = true; }},
    {0, "json", false, [](TCliOptions& O, const std::string&) { O.Json = true; }},
    {'0', "http1.0", false, [](TCliOptions& O, const std::string&) { O.HttpVersion = hv10; }},
    {0, "http1.1", false, [](TCliOptions& O, const std::string&) { O.HttpVersion = hv11; }},
    {0, "http2", false, [](TCliOptions& O, const std::string&) { O.HttpVersion = hv2; }},
    {0, "http2-prior-knowledge", false,
     [](TCliOptions& O, const std::string&) { O.HttpVersion = hv2Prior; }},
    // --help and --version win over the rest of the line, as scripts and people expect.
    {'h', "help", false,
     [](TCliOptions& O, const std::string&) { O.Action = TCliOptions::caHelp; }},
    {'V', "version", false,
     [](TCliOptions& O, const std::string&) {
       if (O.Action != TCliOptions::caHelp) O.Action = TCliOptions::caVersion;
     }},
};

const TOptionRow* FindShort(char Letter) {
  for (const TOptionRow& Row : OptionRows)
    if (Row.Short == Letter) return &Row;
  return nullptr;
}

const TOptionRow* FindLong(std::string_view Name) {
  for (const TOptionRow& Row : OptionRows)
    if (Row.Long == Name) return &Row;
  return nullptr;
}

// "--name", "--name=value" or "--name value"; I moves past a value taken from the next one.
void ReadLong(TCliOptions& O, const std::vector<std::string>& Args, std::size_t& I) {
  const std::string& Arg = Args[I];
  const auto Equals = Arg.find('=');
  const std::string Name =
      Arg.substr(2, Equals == std::string::npos ? std::string::npos : Equals - 2);
  const TOptionRow* Row = FindLong(Name);
  if (!Row) throw EUsageError("unknown option --" + Name);
  O.Given.emplace_back(Row->Long);
  if (!Row->TakesValue) {
    if (Equals != std::string::npos) throw EUsageError("option --" + Name + " takes no value");
    Row->Set(O, std::string());
  } else if (Equals != std::string::npos) {
    Row->Set(O, Arg.substr(Equals + 1));
  } else {
    if (I + 1 >= Args.size()) throw EUsageError("option --" + Name + " needs a value");
    Row->Set(O, Args[++I]);
  }
}

// "-abc", where a letter that takes a value ends the cluster with it ("-m5", "-m 5").
void ReadShort(TCliOptions& O, const std::vector<std::string>& Args, std::size_t& I) {
  const std::string& Arg = Args[I];
  for (std::size_t At = 1; At < Arg.size(); ++At) {
    const char Letter = Arg[At];
    const TOptionRow* Row = FindShort(Letter);
    if (!Row) throw EUsageError(std::string("unknown option -") + Letter);
    O.Given.emplace_back(Row->Long);
    if (!Row->TakesValue) {
      Row->Set(O, std::string());
      continue;
    }
    if (At + 1 < Arg.size()) {
      Row->Set(O, Arg.substr(At + 1));
    } else {
      if (I + 1 >= Args.size())
        throw EUsageError(std::string("option -") + Letter + " needs a value");
      Row->Set(O, Args[++I]);
    }
    return;
  }
}

std::string Word(CmdType Cmd) { return std::string(CliCommandWord(Cmd)); }

// The command, from -X, -I and the body, and the refusals of what cannot go together.
void ResolveCommand(TCliOptions& O) {
  if (O.Head) {
    if (O.HasData) throw EUsageError("-I and -d cannot be used together: HEAD sends no body");
    if (O.CommandGiven && O.Command != hcHead)
      throw EUsageError("-I and -X " + Word(O.Command) + " cannot be used together");
    O.Command = hcHead;
  } else if (!O.CommandGiven) {
    O.Command = O.HasData ? hcPost : hcGet;
  }
  if (O.HasData && !CliCommandTakesBody(O.Command))
    throw EUsageError("-X " + Word(O.Command) + " sends no body: -d cannot be used with it");
  bool Encoded = false;
  bool Plain = false;
  for (const TCliOptions::TDataPiece& Piece : O.Data)
    (Piece.Kind == TCliOptions::dkUrlEncode ? Encoded : Plain) = true;
  if (Encoded && Plain)
    throw EUsageError("--data-urlencode cannot be mixed with -d, --data-binary or --data-raw");
  const bool Linked = CliCommandTakesTarget(O.Command);
  if (Linked && O.Target.empty())
    throw EUsageError("-X " + Word(O.Command) + " needs --target URI");
  if (!Linked && !O.Target.empty())
    throw EUsageError("--target is only for COPY, MOVE, LINK and UNLINK");
}

bool WasGiven(const TCliOptions& O, std::string_view Name) {
  return std::find(O.Given.begin(), O.Given.end(), Name) != O.Given.end();
}

// The options each mode of HAR files takes: a replay sends through its own component with
// the TLS options, the proxy and the time-out of a request; a comparison sends nothing.
// Any other option of a request would be ignored there, so it is refused.
constexpr std::string_view ReplayTakes[] = {
    "replay",  "base",    "ignore-header", "unsafe", "keep-credentials", "har",
    "json",    "insecure", "cacert",       "capath", "cert",             "key",
    "pass",    "tlsv1.2", "tlsv1.3",       "tls-max", "proxy",           "max-time",
    "silent",  "show-error", "http1.0"};
constexpr std::string_view CompareTakes[] = {"compare", "ignore-header", "json", "silent",
                                             "show-error"};
// Options that mean something only with --replay, or with either.
constexpr std::string_view ReplayOnly[] = {"base", "unsafe", "keep-credentials"};
constexpr std::string_view HarOnly[] = {"ignore-header", "json"};

template <std::size_t N>
bool Among(const std::string_view (&List)[N], std::string_view Name) {
  return std::find(std::begin(List), std::end(List), Name) != std::end(List);
}

void ResolveHarMode(TCliOptions& O, const std::vector<std::string>& Files) {
  const bool Replay = O.Action == TCliOptions::caReplay;
  const char* Mode = Replay ? "--replay" : "--compare";
  for (const std::string& Name : O.Given)
    if (Replay ? !Among(ReplayTakes, Name) : !Among(CompareTakes, Name))
      throw EUsageError("--" + Name + " cannot be used with " + Mode);
  if (Replay && !Files.empty())
    throw EUsageError("--replay takes one HAR file and no URL ('" + Files.front() + "')");
  if (!Replay && Files.size() != 2) throw EUsageError("--compare needs two HAR files: A and B");
  if (!Replay && Files[0] == "-" && Files[1] == "-")
    throw EUsageError("--compare can read only one of its files from standard input");
  if (!Replay) O.CompareFiles = Files;
}

// --replay FILE, --compare A B, or a request, whose options are checked here.
void ResolveMode(TCliOptions& O, const std::vector<std::string>& Positional) {
  const bool Replay = !O.ReplayFile.empty();
  const bool Compare = WasGiven(O, "compare");
  if (Replay && Compare) throw EUsageError("--replay and --compare cannot be used together");
  if (Replay || Compare) {
    O.Action = Replay ? TCliOptions::caReplay : TCliOptions::caCompare;
    ResolveHarMode(O, Positional);
    return;
  }
  for (const std::string& Name : O.Given) {
    if (Among(ReplayOnly, Name)) throw EUsageError("--" + Name + " is only for --replay");
    if (Among(HarOnly, Name))
      throw EUsageError("--" + Name + " is only for --replay and --compare");
  }
  // An empty URL is no URL: the request would fail only after the options were accepted.
  if (Positional.empty()) throw EUsageError("no URL given");
  for (const std::string& URL : Positional)
    if (URL.empty()) throw EUsageError("an empty URL was given");
  O.URLs = Positional;
  ResolveCommand(O);
}

}  // namespace

TCliOptions TCliOptions::Parse(const std::vector<std::string>& Args) {
  TCliOptions O;
  bool OptionsEnded = false;
  std::vector<std::string> Positional;  // the URLs, or --compare's two files
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& Arg = Args[I];
    if (OptionsEnded || Arg.size() < 2 || Arg[0] != '-') {
      Positional.push_back(Arg);
    } else if (Arg == "--") {
      OptionsEnded = true;
    } else if (Arg[1] == '-') {
      ReadLong(O, Args, I);
    } else {
      ReadShort(O, Args, I);
    }
  }
  if (O.Action != caRequest) return O;
  ResolveMode(O, Positional);
  return O;
}

std::string CliUsageText() { return "Usage: orrery-cli [options] URL...\n"; }

namespace {

std::string HarHelpText() {
  return
      "HAR files (HTTP Archives, as browsers and --har write them):\n"
      "  orrery-cli --replay FILE.har [options]  send each entry again and compare the replies\n"
      "  orrery-cli --compare A.har B.har [options]  compare two files, sending nothing\n"
      "      --base URL           replay against http[s]://HOST[:PORT]; paths and queries kept\n"
      "      --ignore-header NAME a reply field whose changes do not count (Date, ETag and\n"
      "                           their like never do); may be given more than once\n"
      "      --unsafe             re-send methods other than GET, HEAD and OPTIONS as well\n"
      "      --keep-credentials   send the file's Authorization and Cookie to --base's host\n"
      "      --har FILE           with --replay: the new passes as an HTTP Archive\n"
      "      --json               the result as one JSON document (see the README)\n"
      "  --replay takes -k, --cacert, --capath, -E, --key, --pass, --tlsv1.2, --tlsv1.3,\n"
      "  --tls-max, -x, -m, -s and -S as a request does. One line per entry: same, differs,\n"
      "  failed, skipped (not sent, and why), only-in-A, only-in-B; each difference follows.\n"
      "  Exit status: 0 every entry the same, 1 any other, 2 trouble (a bad command line, a\n"
      "  file that cannot be read or is no HAR).\n"
      "\n";
}

// The options, one or two lines each.
const char* const OptionsText =
    "  -X, --request METHOD     GET, HEAD, POST, PUT, PATCH, DELETE, OPTIONS, TRACE, COPY,\n"
    "                           MOVE, LINK or UNLINK (default: GET, or POST with -d)\n"
    "  -d, --data DATA          send DATA as the body, as it is; @FILE reads FILE without\n"
    "                           its line ends, @- standard input; pieces join with '&'\n"
    "      --data-binary DATA   as -d, but @FILE is sent byte for byte\n"
    "      --data-raw DATA      as -d, with no meaning for '@'\n"
    "      --data-urlencode DATA  send DATA form-encoded (names and values)\n"
    "      --target URI         the second argument of COPY, MOVE, LINK and UNLINK\n"
    "  -H, --header 'NAME: VALUE'  replace (or add) that request line; 'NAME:' leaves it out\n"
    "  -I, --head               send HEAD and write the header block\n"
    "  -i, --include            write each reply's header block before the body\n"
    "  -L, --location           follow redirections\n"
    "      --max-redirs N       follow at most N of them (at most 20, the default)\n"
    "  -f, --fail               on a status of 400 or above write no body and exit 22\n"
    "      --compressed         ask for deflate, gzip, br or zstd and write the body decoded\n"
    "  -o, --output FILE        write the body to FILE (\"-\": standard output); the n-th -o\n"
    "                           is the n-th URL's, a URL without one writes to standard output\n"
    "  -m, --max-time SECONDS   bound every wait (0.5 and the like; 0: no bound)\n"
    "      --max-filesize BYTES end with status 63 on a longer body (k, M, G may follow)\n"
    "  -x, --proxy [http://]HOST:PORT  go through this HTTP proxy\n"
    "  -u, --user USER:PASSWORD send Basic credentials (only to the first server)\n"
    "  -A, --user-agent AGENT   send AGENT as User-Agent\n"
    "  -e, --referer URL        send URL as Referer\n"
    "  -b, --cookie COOKIE      send COOKIE as Cookie\n"
    "  -s, --silent             write no error messages\n"
    "  -S, --show-error         with -s, write them all the same\n"
    "  -v, --verbose            trace the exchange on standard error; -vv: every status too\n"
    "  -w, --write-out FORMAT   write FORMAT after each transfer, with %{http_code},\n"
    "                           %{time_total}, %{num_connects}, %{http_version}, ...\n"
    "      --har FILE           write every URL's exchange to FILE as an HTTP Archive (HAR 1.2)\n"
    "  -k, --insecure           go on when the server's certificate fails the check\n"
    "      --cacert FILE        trust the authorities in FILE (PEM) instead of the system's\n"
    "      --capath DIR         trust the authorities in DIR (hashed, as c_rehash makes it)\n"
    "      --pinnedpubkey PINS  the server's public key must be one of PINS, checked or not:\n"
    "                           sha256//BASE64[;sha256//...] or a public-key file (PEM, DER)\n"
    "  -E, --cert FILE[:PASS]   send the client certificate in FILE (PEM); PASS opens its key\n"
    "      --key FILE           the certificate's key, when it is not in FILE\n"
    "      --pass PASS          the passphrase of an encrypted key\n"
    "      --tlsv1.2, --tlsv1.3 the lowest TLS version to accept (default 1.2)\n"
    "      --tls-max VERSION    the highest: 1.2, 1.3 or default\n"
    "  -4, --ipv4               connect to IPv4 addresses only\n"
    "  -6, --ipv6               connect to IPv6 addresses only\n"
    "      --resolve HOST:PORT:ADDRESS[,ADDRESS...]  connect to these for HOST at PORT\n"
    "      --connect-to HOST1:PORT1:HOST2:PORT2  connect to HOST2:PORT2 instead; the name\n"
    "                           checked, sent as SNI and in Host stays the URL's\n"
    "  -0, --http1.0            send HTTP/1.0 requests, each on a connection of its own\n"
    "      --http1.1            send HTTP/1.1 requests, keeping a connection open for the\n"
    "                           next URL to the same server\n"
    "      --http2              offer h2 and http/1.1 to an https server and speak HTTP/2\n"
    "                           where it takes h2, HTTP/1.1 over http (the default); the\n"
    "                           URLs to one server are streams of one connection\n"
    "      --http2-prior-knowledge  speak HTTP/2 over http too, without asking first (h2c)\n"
    "  -h, --help               write this help and exit\n"
    "  -V, --version            write the version and exit\n";

}  // namespace

std::string CliHelpText() {
  std::string Text =
      "orrery-cli sends an HTTP/1.1 request (https over TLS, as HTTP/2 where the server takes\n"
      "it) for each URL, one after the other, and writes each reply's body to standard output\n"
      "as it arrives. Its options are curl's; they apply to every URL, and the exit status is\n"
      "the last transfer's.\n"
      "\n" +
      CliUsageText() + "\n" + OptionsText + "\n" + HarHelpText() + "Exit status:\n";
  for (const TCliExitRow& Row : CliExitTable) {
    const std::string Number = std::to_string(Row.Status);
    Text += "  " + std::string(3 - Number.size(), ' ') + Number + "  " + Row.When + "\n";
  }
  return Text;
}

std::string CliVersionText() { return std::string("orrery-cli ") + ORRERY_VERSION + "\n"; }
