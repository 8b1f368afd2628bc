// Exceptions carrying a message text, and the framework's classes the components rely on.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& Msg) : std::runtime_error(Msg) {}
  std::string Message() const { return what(); }
};

// Text that is not a number ("'abc' is not a valid integer value").
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A value outside the range its destination accepts.
class ERangeError : public Exception {
 public:
  using Exception::Exception;
};

// File errors; the message names the file.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// A list index outside 0 .. Count-1.
class EStringListError : public Exception {
 public:
  using Exception::Exception;
};
