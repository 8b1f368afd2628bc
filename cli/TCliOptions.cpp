// TCliOptions: parsing of orrery-cli's command line, and its usage, help and version texts.
#include "cli/TCliOptions.h"

#include <climits>

#ifndef ORRERY_VERSION
#define ORRERY_VERSION "0"
#endif

namespace {

// A decimal number of at most Max, digits only: no sign, no blank, no suffix.
bool ReadNumber(const std::string& Text, long long Max, long long& Value) {
  if (Text.empty() || Text.size() > 10) return false;
  Value = 0;
  for (char C : Text) {
    if (C < '0' || C > '9') return false;
    Value = Value * 10 + (C - '0');
  }
  return Value <= Max;
}

void SetProxy(TCliOptions& O, const std::string& Value) {
  const auto Colon = Value.rfind(':');
  long long Port = 0;
  if (Colon == std::string::npos || Colon == 0 ||
      !ReadNumber(Value.substr(Colon + 1), 65535, Port) || Port == 0)
    throw EUsageError("-x needs HOST:PORT with a port from 1 to 65535, not '" + Value + "'");
  O.ProxyHost = Value.substr(0, Colon);
  O.ProxyPort = static_cast<int>(Port);
}

void SetCredentials(TCliOptions& O, const std::string& Value) {
  // The password may hold a colon; the user name cannot.
  const auto Colon = Value.find(':');
  if (Colon == std::string::npos) throw EUsageError("-u needs USER:PASSWORD");
  O.UserId = Value.substr(0, Colon);
  O.Password = Value.substr(Colon + 1);
}

void SetTimeOut(TCliOptions& O, const std::string& Value) {
  long long Ms = 0;
  if (!ReadNumber(Value, INT_MAX, Ms))
    throw EUsageError("-m needs a number of milliseconds from 0 to " + std::to_string(INT_MAX) +
                      ", not '" + Value + "'");
  O.TimeOutMs = static_cast<int>(Ms);
}

bool TakesValue(char Letter) {
  switch (Letter) {
    case 'd':
    case 'x':
    case 'u':
    case 'A':
    case 'e':
    case 'b':
    case 'm':
    case 'o': return true;
    default: return false;
  }
}

void SetValue(TCliOptions& O, char Letter, const std::string& Value) {
  switch (Letter) {
    case 'd':
      O.Post = true;
      O.PostData = Value;
      break;
    case 'x': SetProxy(O, Value); break;
    case 'u': SetCredentials(O, Value); break;
    case 'A': O.Agent = Value; break;
    case 'e': O.Referer = Value; break;
    case 'b': O.Cookie = Value; break;
    case 'm': SetTimeOut(O, Value); break;
    case 'o':
      if (Value.empty()) throw EUsageError("-o needs a file name");
      O.OutputFile = Value == "-" ? std::string() : Value;
      break;
    default: break;
  }
}

void SetFlag(TCliOptions& O, char Letter) {
  switch (Letter) {
    case 'I': O.Head = true; break;
    case 'i': O.IncludeHeader = true; break;
    case 'v': O.Verbose = true; break;
    default: throw EUsageError(std::string("unknown option -") + Letter);
  }
}

}  // namespace

TCliOptions TCliOptions::Parse(const std::vector<std::string>& Args) {
  TCliOptions O;
  bool OptionsEnded = false;
  bool HaveURL = false;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& Arg = Args[I];
    if (OptionsEnded || Arg.size() < 2 || Arg[0] != '-') {
      if (HaveURL) throw EUsageError("only one URL may be given ('" + Arg + "' is a second one)");
      O.URL = Arg;
      HaveURL = true;
      continue;
    }
    if (Arg == "--") {
      OptionsEnded = true;
      continue;
    }
    if (Arg[1] == '-') {
      // --help and --version win over the rest of the line, as scripts and people expect.
      if (Arg == "--help")
        O.Action = caHelp;
      else if (Arg == "--version")
        O.Action = O.Action == caHelp ? caHelp : caVersion;
      else
        throw EUsageError("unknown option " + Arg);
      continue;
    }
    for (std::size_t At = 1; At < Arg.size(); ++At) {
      const char Letter = Arg[At];
      if (!TakesValue(Letter)) {
        SetFlag(O, Letter);
        continue;
      }
      if (At + 1 < Arg.size()) {
        SetValue(O, Letter, Arg.substr(At + 1));
      } else {
        if (I + 1 >= Args.size())
          throw EUsageError(std::string("option -") + Letter + " needs a value");
        SetValue(O, Letter, Args[++I]);
      }
      break;
    }
  }
  if (O.Action != caRequest) return O;
  if (O.Head && O.Post) throw EUsageError("-I and -d cannot be used together");
  // An empty URL is no URL: the request would fail only after the options were accepted.
  if (O.URL.empty()) throw EUsageError("no URL given");
  return O;
}

std::string CliUsageText() {
  return "Usage: orrery-cli [-I] [-i] [-d DATA] [-x HOST:PORT] [-u USER:PASSWORD] [-A AGENT]\n"
         "                  [-e REFERER] [-b COOKIE] [-m MILLISECONDS] [-o FILE] [-v] URL\n";
}

std::string CliHelpText() {
  return "orrery-cli sends one HTTP/1.0 request, follows its redirections and prints the reply.\n"
         "\n" +
         CliUsageText() +
         "\n"
         "  -I               send HEAD instead of GET, and print the header block\n"
         "  -i               print the header block of every reply before the body\n"
         "  -d DATA          send POST with DATA, form-encoded\n"
         "  -x HOST:PORT     go through the HTTP proxy at HOST:PORT\n"
         "  -u USER:PASSWORD send Basic credentials (only to the first server)\n"
         "  -A AGENT         send AGENT as User-Agent\n"
         "  -e REFERER       send REFERER as Referer\n"
         "  -b COOKIE        send COOKIE as Cookie\n"
         "  -m MILLISECONDS  give up when the look-up, the connection, a reply line or the\n"
         "                   body takes longer (0, the default, waits without limit)\n"
         "  -o FILE          write the body to FILE instead of standard output (\"-\": stdout)\n"
         "  -v               trace every status report and event on standard error, each\n"
         "                   line with the milliseconds since the start\n"
         "      --help       print this help and exit\n"
         "      --version    print the version and exit\n"
         "\n"
         "Exit status: 0 when the reply's status is below 400, 22 when it is 400 or above,\n"
         "7 when the connection failed, 6 when the host was not found, 28 on a time-out,\n"
         "1 on any other error, 2 for a bad command line.\n";
}

std::string CliVersionText() { return std::string("orrery-cli ") + ORRERY_VERSION + "\n"; }
