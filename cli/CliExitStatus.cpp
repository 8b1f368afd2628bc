// The exit statuses of orrery-cli, and the table that tells a run's end from what it raised.
#include "cli/CliExitStatus.h"

#include "cli/CliErrors.h"
#include "http/HttpErrors.h"
#include "http/TContentDecoder.h"
#include "socket/ETlsSockError.h"
#include "socket/SockErrors.h"

const TCliExitRow CliExitTable[27] = {
    {TCliOutcome::Completed, 0, "a complete reply (with -f, a status below 400)"},
    {TCliOutcome::Failed, 1, "any other error"},
    {TCliOutcome::UnsupportedScheme, 1, "an unsupported scheme (ftp, gopher, ...)"},
    {TCliOutcome::Usage, 2, "a command line that cannot be run"},
    {TCliOutcome::MalformedUrl, 3, "a malformed URL"},
    {TCliOutcome::HostNotFound, 6, "the host was not found"},
    {TCliOutcome::ConnectFailed, 7, "no connection could be made"},
    {TCliOutcome::WeirdReply, 8, "a reply that breaks HTTP's syntax (no status line, ...)"},
    {TCliOutcome::Http2, 16, "the HTTP/2 connection failed (GOAWAY, a protocol error, ...)"},
    {TCliOutcome::PartialFile, 18, "the body ended before its announced length or last chunk"},
    {TCliOutcome::HttpError, 22, "-f and a status of 400 or above"},
    {TCliOutcome::WriteError, 23, "the output could not be written"},
    {TCliOutcome::ReadError, 26, "a file given with @FILE could not be read"},
    {TCliOutcome::TimedOut, 28, "a wait took longer than -m"},
    {TCliOutcome::TlsHandshake, 35, "the TLS handshake failed (no common version, ...)"},
    {TCliOutcome::TooManyRedirections, 47, "more redirections than --max-redirs"},
    {TCliOutcome::EmptyReply, 52, "the server closed before sending any reply"},
    {TCliOutcome::SendFailed, 55, "the connection broke while sending"},
    {TCliOutcome::ReceiveFailed, 56, "the connection broke while receiving"},
    {TCliOutcome::TunnelRefused, 56, "the proxy refused the tunnel to an https server"},
    {TCliOutcome::TlsCredentials, 58, "the client certificate or its key cannot be used"},
    {TCliOutcome::TlsCheck, 60, "the server's certificate failed the check"},
    {TCliOutcome::ContentEncoding, 61, "--compressed and a body that cannot be decoded"},
    {TCliOutcome::FileTooLarge, 63, "a body longer than --max-filesize"},
    {TCliOutcome::TlsCaFile, 77, "the CA file cannot be read or holds no certificate"},
    {TCliOutcome::TlsPinnedKey, 90, "the server's public key does not match --pinnedpubkey"},
    {TCliOutcome::Http2Stream, 92, "the server reset the HTTP/2 stream of the request"},
};

int CliExitStatus(TCliOutcome Outcome) {
  for (const TCliExitRow& Row : CliExitTable)
    if (Row.Outcome == Outcome) return Row.Status;
  return 1;
}

namespace {

template <class E>
bool Is(const std::exception& Error) {
  return dynamic_cast<const E*>(&Error) != nullptr;
}

// A wait that the time-out ended, in whatever step.
bool TimeOut(const std::exception& Error) {
  const auto* Sock = dynamic_cast<const ESockError*>(&Error);
  return Sock && Sock->Cause() == TSockCause::scTimedOut;
}

// The HTTP/2 failure of the request's stream alone, or of its whole connection.
template <bool StreamOnly>
bool Http2Failure(const std::exception& Error) {
  const auto* H2 = dynamic_cast<const EHttp2Error*>(&Error);
  return H2 && H2->StreamOnly() == StreamOnly;
}

template <TTlsErrorKind Kind>
bool IsTls(const std::exception& Error) {
  const auto* Tls = dynamic_cast<const ETlsSockError*>(&Error);
  return Tls && Tls->Kind() == Kind;
}

}  // namespace

// The order matters: a write error ends the run whatever else was going on, and a time-out
// is a time-out in every step, not that step's failure.
const TCliErrorRow CliErrorTable[25] = {
    {Is<ECliWriteError>, std::nullopt, TCliOutcome::WriteError},
    {Is<ECliReadError>, std::nullopt, TCliOutcome::ReadError},
    {Is<EUsageError>, std::nullopt, TCliOutcome::Usage},
    {Is<ECliHttpFailure>, std::nullopt, TCliOutcome::HttpError},
    {TimeOut, std::nullopt, TCliOutcome::TimedOut},
    {Is<EHttpBodyTooLarge>, std::nullopt, TCliOutcome::FileTooLarge},
    {Is<EHttpTooManyRedirections>, std::nullopt, TCliOutcome::TooManyRedirections},
    {Is<EHttpSchemeError>, std::nullopt, TCliOutcome::UnsupportedScheme},
    {Is<EHttpUrlError>, std::nullopt, TCliOutcome::MalformedUrl},
    {Is<EHttpEmptyReply>, std::nullopt, TCliOutcome::EmptyReply},
    {Is<EHttpChunkedBodyCut>, std::nullopt, TCliOutcome::PartialFile},
    {Is<EHttpContentError>, std::nullopt, TCliOutcome::ContentEncoding},
    {Is<EHttpProtocolError>, std::nullopt, TCliOutcome::WeirdReply},
    {Http2Failure<true>, std::nullopt, TCliOutcome::Http2Stream},
    {Http2Failure<false>, std::nullopt, TCliOutcome::Http2},
    {Is<ESockError>, TSockStep::ssLookUp, TCliOutcome::HostNotFound},
    {Is<ESockError>, TSockStep::ssConnect, TCliOutcome::ConnectFailed},
    // The settings' files are read as the handshake starts; curl tells them apart by kind.
    // A CA directory that cannot be used leaves nothing to trust: the check fails, as curl's.
    {IsTls<TTlsErrorKind::tkCredentials>, std::nullopt, TCliOutcome::TlsCredentials},
    {IsTls<TTlsErrorKind::tkCaFile>, std::nullopt, TCliOutcome::TlsCaFile},
    {IsTls<TTlsErrorKind::tkCaPath>, std::nullopt, TCliOutcome::TlsCheck},
    {IsTls<TTlsErrorKind::tkPinned>, std::nullopt, TCliOutcome::TlsPinnedKey},
    {Is<ESockError>, TSockStep::ssHandshake, TCliOutcome::TlsHandshake},
    {Is<ESockError>, TSockStep::ssCertificate, TCliOutcome::TlsCheck},
    {Is<ESockError>, TSockStep::ssSend, TCliOutcome::SendFailed},
    {Is<ESockError>, TSockStep::ssReceive, TCliOutcome::ReceiveFailed},
};

TCliOutcome CliOutcomeOf(const std::exception& Error) {
  const auto* Sock = dynamic_cast<const ESockError*>(&Error);
  const TSockStep Step = Sock ? Sock->Step() : TSockStep::ssNone;
  for (const TCliErrorRow& Row : CliErrorTable)
    if (Row.Is(Error) && (!Row.Step || *Row.Step == Step)) return Row.Outcome;
  return TCliOutcome::Failed;
}

TCliOutcome CliOutcomeOfReply(int ReplyNumber, bool Fail, bool BodyShort, bool TunnelRefused) {
  if (TunnelRefused) return TCliOutcome::TunnelRefused;
  if (ReplyNumber <= 0) return TCliOutcome::WeirdReply;
  if (Fail && ReplyNumber >= 400) return TCliOutcome::HttpError;
  return BodyShort ? TCliOutcome::PartialFile : TCliOutcome::Completed;
}
