// The socket layer's exceptions and its table of error texts.
#pragma once

#include <cstdint>
#include <string>

#include "base/Exception.h"

class ESockError : public Exception {
 public:
  using Exception::Exception;
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
  ELineTooLong() : ESockError("Line too long: no line end within 65536 bytes") {}
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
  EComponentDestroyed() : EAbortError("Aborted: the component was destroyed") {}
};
