// The exit statuses of orrery-cli: curl's numbers, which script writers know, as one table
// from the way a run ended to its status, and one from what a run raised (its class, and
// for a socket error its step) to that way.
#pragma once

#include <exception>
#include <optional>

#include "socket/SockErrors.h"

// How a run ended, as far as its exit status is concerned.
enum class TCliOutcome {
  Completed,            // a complete reply (with -f, one below 400)
  UnsupportedScheme,    // ftp, gopher, or a Location's unknown scheme
  Usage,                // a command line that cannot be run
  MalformedUrl,         // a URL or Location that cannot be requested
  HostNotFound,         // the host name (or the proxy's) has no address
  ConnectFailed,        // the connection was refused or could not be made
  WeirdReply,           // no status line, conflicting lengths, header too large, ...
  PartialFile,          // the body ended before its announced length or its last chunk
  HttpError,            // -f and a status of 400 or above
  WriteError,           // the output could not be written
  ReadError,            // a file given with @FILE could not be read
  TimedOut,             // a look-up, connection or read took longer than -m
  TooManyRedirections,  // more than --max-redirs (or the component's 20)
  EmptyReply,           // the server closed before the first byte of its reply
  SendFailed,           // the connection broke while the request was being sent
  ReceiveFailed,        // the connection broke (a reset) while the reply was coming
  TunnelRefused,        // the proxy answered CONNECT with anything but a 2xx
  TlsHandshake,         // the TLS handshake failed (no common version, not TLS at all, ...)
  TlsCredentials,       // the caller's certificate or key cannot be used
  TlsCheck,             // the server's certificate failed the check
  TlsCaFile,            // the CA file cannot be read or holds no certificate
  TlsPinnedKey,         // the server's public key is not the one --pinnedpubkey names
  FileTooLarge,         // the body passed --max-filesize
  ContentEncoding,      // --compressed and a coded body that cannot be decoded
  Http2,                // the HTTP/2 connection failed (a GOAWAY, a protocol error, a flood)
  Http2Stream,          // the server reset the HTTP/2 stream of the request
  Failed,               // anything else
};

struct TCliExitRow {
  TCliOutcome Outcome;
  int Status;
  const char* When;  // for the help text
};

// Every outcome once, in the order of the statuses.
extern const TCliExitRow CliExitTable[27];

constexpr int ExitOk = 0;
constexpr int ExitUsage = 2;

int CliExitStatus(TCliOutcome Outcome);

// One row of CliErrorTable: an error of the class Is accepts, raised in Step (in any step
// when unset), ends the run as Outcome. The first row that matches decides; an error no row
// matches is TCliOutcome::Failed.
struct TCliErrorRow {
  bool (*Is)(const std::exception& Error);
  std::optional<TSockStep> Step;
  TCliOutcome Outcome;
};
extern const TCliErrorRow CliErrorTable[25];

// The outcome of a request that raised Error: its class, and for the socket layer's errors
// the step they happened in and their cause, looked up in CliErrorTable.
TCliOutcome CliOutcomeOf(const std::exception& Error);

// The outcome of a request that returned with its last reply's status: 0 means the reply
// had no usable status line, which is no answer at all. BodyShort: the body ended before
// its announced length, which -f's failure outranks, as in curl. TunnelRefused: the reply
// is the proxy's refusal of the tunnel, a failure whatever its status.
TCliOutcome CliOutcomeOfReply(int ReplyNumber, bool Fail, bool BodyShort = false,
                              bool TunnelRefused = false);
