// The errors of orrery-cli itself, as against those of the HTTP component it drives: a
// command line that cannot be run, and output that cannot be written.
#pragma once

#include "base/Exception.h"

// A command line that cannot be run: unknown option, missing value, bad number, no URL,
// options that contradict each other.
class EUsageError : public Exception {
 public:
  using Exception::Exception;
};

// The reply could not be written where it was asked to go: a closed pipe, a full disk, an
// output file that cannot be created.
class ECliWriteError : public Exception {
 public:
  using Exception::Exception;
};

// A file named by "@FILE" (or standard input, "@-") could not be read. curl sends an empty
// body then and says so only in a warning; a script is better served by a refusal.
class ECliReadError : public Exception {
 public:
  using Exception::Exception;
};

// -f and a status of 400 or above: the run stops at the reply's header, as curl's does, so that
// the body is not read and the connection is not kept for the next URL.
class ECliHttpFailure : public Exception {
 public:
  using Exception::Exception;
};
