// TCliOptions: the command line of orrery-cli, read without touching the network, so that a
// script's mistake gets a usage message and exit status 2 before anything is sent. The
// options and their meaning are curl's wherever the component can do what curl does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/CliErrors.h"
#include "http/TVelHTTP.h"
#include "tls/TTlsSettings.h"

class TCliOptions {
 public:
  // caReplay: --replay FILE sends a HAR's entries again; caCompare: --compare A B compares two
  // HARs without sending anything.
  enum TAction { caRequest, caHelp, caVersion, caReplay, caCompare };

  // How a piece of request body given on the command line becomes bytes.
  enum TDataKind {
    dkText,       // -d, --data, --data-ascii: "@FILE" reads FILE without its CR and LF
    dkBinary,     // --data-binary: "@FILE" reads FILE as it is
    dkRaw,        // --data-raw: the text as given, "@" included
    dkUrlEncode,  // --data-urlencode: the text, form-encoded by the component
  };
  struct TDataPiece {
    TDataKind Kind;
    std::string Value;
  };
  // --resolve HOST:PORT:ADDR[,ADDR...]: HOST looked up for a connection to PORT has these.
  struct TResolve {
    std::string Host;
    int Port = 0;
    std::string Address;  // dotted IPv4 or IPv6 (bare or in brackets), comma-separated
  };
  // --connect-to HOST1:PORT1:HOST2:PORT2: a connection to HOST1:PORT1 goes to HOST2:PORT2. An
  // empty HOST1 or a PORT1 of 0 stands for any; an empty HOST2 or a PORT2 of 0 keeps the
  // URL's. An IPv6 host is written in brackets and kept bare, as the URL's host is.
  struct TConnectTo {
    std::string Host;
    int Port = 0;
    std::string ToHost;
    int ToPort = 0;
  };

  // Reads the arguments that follow the program name. Short options may be clustered
  // ("-sSL"), and a value may follow its letter directly ("-m5") or come as the next
  // argument; a long option takes its value as "--name=value" or as the next argument;
  // "--" ends the options. Raises EUsageError with a one-line reason.
  static TCliOptions Parse(const std::vector<std::string>& Args);

  // Whether the body of the request is to be form-encoded by the component.
  bool UrlEncodeData() const { return !Data.empty() && Data.front().Kind == dkUrlEncode; }
  // Where the body of the URL at Index goes: its -o's file, or "" for standard output.
  std::string OutputFileOf(std::size_t Index) const {
    return Index < OutputFiles.size() ? OutputFiles[Index] : std::string();
  }

  TAction Action = caRequest;
  // The command sent: -X, else HEAD for -I, POST when a body is given, else GET.
  CmdType Command = hcGet;
  bool Head = false;            // -I: the header block is the output, there is no body
  bool IncludeHeader = false;   // -i: each reply's header block before the body
  bool FollowLocation = false;  // -L
  bool Compressed = false;      // --compressed: offer the codings, decode the body
  int MaxRedirs = TVelHTTP::MaxRedirections;  // --max-redirs, bounded by the component's
  bool Fail = false;                          // -f: 400 and above writes no body, exits 22
  bool Silent = false;                        // -s: no error messages...
  bool ShowError = false;                     // -S: ...except these
  std::vector<TDataPiece> Data;               // joined with "&", as curl joins them
  bool HasData = false;                       // some -d was given, even an empty one
  std::string Target;                         // --target: for COPY, MOVE, LINK and UNLINK
  std::vector<std::string> Headers;           // -H, as given: "Name: value" or "Name:"
  std::string ProxyHost;                      // -x [http://]HOST:PORT; an IPv6 one bare
  int ProxyPort = 0;
  TAddressFamily AddressFamily = afAny;       // -4, -6: the addresses connected to
  std::int64_t MaxFileSize = 0;  // --max-filesize; 0 sets no bound
  std::string UserId;            // -u USER:PASSWORD; either may be empty
  std::string Password;
  bool HasUser = false;    // -u was given, even as "-u :"
  std::string Agent;       // -A
  std::string Referer;     // -e
  std::string Cookie;      // -b
  int TimeOutMs = 0;       // -m, given in seconds; 0 waits without limit
  // -o, in the order given: the n-th is the n-th URL's; "" (given as "-") is standard output,
  // as is a URL beyond the last.
  std::vector<std::string> OutputFiles;
  int Verbose = 0;         // -v: 1, -vv: 2 (every status report too)
  std::string WriteOut;    // -w FORMAT
  bool HasWriteOut = false;
  std::string HarFile;  // --har FILE
  // TLS, as curl names it: -k, --cacert, --capath, --pinnedpubkey, -E FILE[:PASSWORD], --key,
  // --pass, --tlsv1.2 and --tlsv1.3 (the lowest version), --tls-max.
  TTlsSettings Tls;
  std::vector<TResolve> Resolves;      // --resolve, in the order given: the first match counts
  std::vector<TConnectTo> ConnectTos;  // --connect-to, likewise
  // Each URL is a transfer of its own, in this order, through one component, so that those
  // to one server go on one kept connection; the options above apply to every one.
  std::vector<std::string> URLs;
  // -0/--http1.0, --http1.1, --http2 or --http2-prior-knowledge, the last given. As Debian's
  // curl: unless one says otherwise, HTTP/2 where an https server takes h2, else HTTP/1.1.
  THttpVersion HttpVersion = hv2;
  bool CommandGiven = false;  // -X was given: Command is what it named

  // --replay and --compare. A request's options that mean nothing there are refused.
  std::string ReplayFile;                  // --replay FILE
  std::vector<std::string> CompareFiles;   // --compare A B: the two files, in their order
  std::string Base;                        // --base URL: scheme, host and port replaced
  std::vector<std::string> IgnoreHeaders;  // --ignore-header NAME, beside the volatile ones
  bool Unsafe = false;                     // --unsafe: methods other than GET, HEAD, OPTIONS
  bool KeepCredentials = false;            // --keep-credentials: with --base as well
  bool Json = false;                       // --json: one JSON document on standard output
  std::vector<std::string> Given;          // the long names of the options given, in order
};

// The one-line synopsis, the full help (for --help) and the version line (for --version).
std::string CliUsageText();
std::string CliHelpText();
std::string CliVersionText();
