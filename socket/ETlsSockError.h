// A TLS failure as the socket layer raises it: an ESockError with its step (the handshake,
// the certificate check, or a transfer over the session), keeping the TLS layer's kind and
// its plain-words reason for whoever explains it.
#pragma once

#include "socket/SockErrors.h"
#include "tls/TTlsError.h"

class ETlsSockError : public ESockError {
 public:
  ETlsSockError(const ETlsError& Error, TSockStep AStep)
      : ESockError(Error.Message(), AStep), FKind(Error.Kind()), FReason(Error.Reason()) {}
  TTlsErrorKind Kind() const { return FKind; }
  const TTlsReason& Reason() const { return FReason; }

 private:
  TTlsErrorKind FKind;
  TTlsReason FReason;
};
