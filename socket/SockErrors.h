// The socket layer's exceptions, each with the step it happened in and its cause, and the
// table of error texts.
#pragma once

#include <cstdint>
#include <string>

#include "base/Exception.h"

// Where a socket error happened. ssNone: outside any step of an exchange (the socket's
// creation, a call refused because another one is running). The TLS steps come between the
// connection and the sending.
enum class TSockStep : std::uint8_t {
  ssNone,
  ssLookUp,
  ssConnect,
  ssHandshake,
  ssCertificate,
  ssSend,
  ssReceive
};
// Why: the platform reported an error, the time-out ended the wait, or a cancel did.
enum class TSockCause : std::uint8_t { scError, scTimedOut, scCanceled };

// The step's word, as the HAR's "_errorStep" gives it: "lookup", "connect", "handshake",
// "certificate", "send", "receive"; "" for ssNone.
const char* SockStepName(TSockStep Step);

class ESockError : public Exception {
 public:
  explicit ESockError(const std::string& Text, TSockStep AStep = TSockStep::ssNone,
                      TSockCause ACause = TSockCause::scError)
      : Exception(Text), FStep(AStep), FCause(ACause) {}
  TSockStep Step() const { return FStep; }
  TSockCause Cause() const { return FCause; }

 private:
  TSockStep FStep;
  TSockCause FCause;
};

// A transfer ended by a cancel or a time-out.
class EAbortError : public ESockError {
 public:
  using ESockError::ESockError;
};

// A line that found no line end within ReadLn's 65,536 bytes. A reader of a protocol with
// its own name for an over-long line (a reply header too large) can tell it from a
// connection's failure by its class; the text stays the socket layer's.
class ELineTooLong : public ESockError {
 public:
  ELineTooLong()
      : ESockError("Line too long: no line end within 65536 bytes", TSockStep::ssReceive) {}
};

// A host look-up whose wait ended by a time-out or a cancel, before any reply. Connect
// passes it on; a look-up that failed is a plain ESockError, after which Connect asks
// OnInvalidHost.
class EHostLookupEnded : public ESockError {
 public:
  using ESockError::ESockError;
};

struct TSocketErrorRow {
  std::int32_t ErrorNo;
  const char* Text;
};

// The known error numbers with their English texts, searched in order.
extern const TSocketErrorRow SocketErrorTable[51];

// The row's text for ErrorNo, or nullptr when the table has none. Number 0 is never looked up.
const char* FindSocketErrorText(std::int32_t ErrorNo);

// A wait that ended because its component was destroyed under it (for example when the
// window that owns it closed). Raised without touching the destroyed component.
class EComponentDestroyed : public EAbortError {
 public:
  EComponentDestroyed()
      : EAbortError("Aborted: the component was destroyed", TSockStep::ssNone,
                    TSockCause::scCanceled) {}
};
