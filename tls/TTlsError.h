// The TLS layer's errors. The socket layer gives them their step (handshake or certificate
// check) when it passes them on.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "base/Exception.h"
#include "tls/TTlsReason.h"

enum class TTlsErrorKind : std::uint8_t {
  tkHandshake,     // the handshake failed (no common version, garbage, a reset ...)
  tkCheck,         // the certificate check failed; Reason() says why
  tkCredentials,   // the caller's certificate or key is unusable
  tkCaFile,        // the CA file cannot be read or holds no certificate
  tkCaPath,        // the CA directory does not exist or cannot be read
  tkPinned,        // the server's public key is none of those the caller pinned
  tkRecord         // after the handshake, a record from the peer could not be read
};

class ETlsError : public Exception {
 public:
  ETlsError(const std::string& Text, TTlsErrorKind AKind, TTlsReason AReason = {})
      : Exception(Text), FKind(AKind), FReason(std::move(AReason)) {}
  TTlsErrorKind Kind() const { return FKind; }
  const TTlsReason& Reason() const { return FReason; }

 private:
  TTlsErrorKind FKind;
  TTlsReason FReason;
};
