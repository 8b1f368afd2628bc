// The exit statuses of orrery-cli. They are curl's numbers, which script writers know.
#pragma once

// How a request ended, as far as its exit status is concerned.
enum class TCliOutcome {
  Completed,      // a reply was read; its status decides
  HostNotFound,   // the host name has no address
  ConnectFailed,  // the connection was refused or could not be made
  TimedOut,       // a look-up, connection or read took longer than -m
  Failed,         // any other error (URL, file, reset, redirections, ...)
};

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitHostNotFound = 6;
constexpr int ExitConnectFailed = 7;
constexpr int ExitHttpError = 22;
constexpr int ExitTimedOut = 28;

// ReplyNumber counts only for a completed request. A reply without a usable status (0) is
// no answer at all, so it is an error, not a success.
int CliExitStatus(TCliOutcome Outcome, int ReplyNumber);
