// TCliOptions: the command line of orrery-cli, read without touching the network, so that a
// script's mistake gets a usage message and exit status 2 before anything is sent.
#pragma once

#include <string>
#include <vector>

#include "base/Exception.h"

// A command line that cannot be run: unknown option, missing value, bad number, no URL.
class EUsageError : public Exception {
 public:
  using Exception::Exception;
};

class TCliOptions {
 public:
  enum TAction { caRequest, caHelp, caVersion };

  // Reads the arguments that follow the program name. Options may be clustered ("-iv") and
  // a value may follow its letter directly ("-m500") or as the next argument; "--" ends
  // the options. Raises EUsageError with a one-line reason.
  static TCliOptions Parse(const std::vector<std::string>& Args);

  TAction Action = caRequest;
  bool Head = false;           // -I: HEAD; also prints the header block
  bool IncludeHeader = false;  // -i: the header block before the body
  bool Post = false;           // -d given
  std::string PostData;        // -d: form-encoded by the component
  std::string ProxyHost;       // -x HOST:PORT
  int ProxyPort = 0;
  std::string UserId;  // -u USER:PASSWORD
  std::string Password;
  std::string Agent;       // -A
  std::string Referer;     // -e
  std::string Cookie;      // -b
  int TimeOutMs = 0;       // -m; 0 waits without limit
  std::string OutputFile;  // -o; empty (or "-") for standard output
  bool Verbose = false;    // -v
  std::string URL;
};

// The one-line synopsis, the full help (for --help) and the version line (for --version).
std::string CliUsageText();
std::string CliHelpText();
std::string CliVersionText();
