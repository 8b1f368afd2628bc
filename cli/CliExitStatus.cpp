// The exit statuses of orrery-cli, and how a run's end is told from what it raised.
#include "cli/CliExitStatus.h"

#include "cli/CliErrors.h"
#include "http/HttpErrors.h"
#include "socket/SockErrors.h"

const TCliExitRow CliExitTable[17] = {
    {TCliOutcome::Completed, 0, "a complete reply (with -f, a status below 400)"},
    {TCliOutcome::Failed, 1, "any other error"},
    {TCliOutcome::UnsupportedScheme, 1, "an unsupported scheme (https, ftp, gopher, ...)"},
    {TCliOutcome::Usage, 2, "a command line that cannot be run"},
    {TCliOutcome::MalformedUrl, 3, "a malformed URL"},
    {TCliOutcome::HostNotFound, 6, "the host was not found"},
    {TCliOutcome::ConnectFailed, 7, "no connection could be made"},
    {TCliOutcome::WeirdReply, 8, "a reply that breaks HTTP's syntax (no status line, ...)"},
    {TCliOutcome::PartialFile, 18, "the body ended before its announced length"},
    {TCliOutcome::HttpError, 22, "-f and a status of 400 or above"},
    {TCliOutcome::WriteError, 23, "the output could not be written"},
    {TCliOutcome::ReadError, 26, "a file given with @FILE could not be read"},
    {TCliOutcome::TimedOut, 28, "a wait took longer than -m"},
    {TCliOutcome::TooManyRedirections, 47, "more redirections than --max-redirs"},
    {TCliOutcome::SendFailed, 55, "the connection broke while sending"},
    {TCliOutcome::ReceiveFailed, 56, "the connection broke while receiving"},
    {TCliOutcome::FileTooLarge, 63, "a body longer than --max-filesize"},
};

int CliExitStatus(TCliOutcome Outcome) {
  for (const TCliExitRow& Row : CliExitTable)
    if (Row.Outcome == Outcome) return Row.Status;
  return 1;
}

TCliOutcome CliOutcomeOf(const std::exception& Error, const TCliFailureFacts& Facts) {
  // The order matters: a write error ends the run whatever else was going on, and a
  // time-out also shows as the abort of the wait it ended.
  if (dynamic_cast<const ECliWriteError*>(&Error)) return TCliOutcome::WriteError;
  if (dynamic_cast<const ECliReadError*>(&Error)) return TCliOutcome::ReadError;
  if (dynamic_cast<const EUsageError*>(&Error)) return TCliOutcome::Usage;
  if (Facts.TimedOut) return TCliOutcome::TimedOut;
  if (dynamic_cast<const EHttpBodyTooLarge*>(&Error)) return TCliOutcome::FileTooLarge;
  if (dynamic_cast<const EHttpTooManyRedirections*>(&Error))
    return TCliOutcome::TooManyRedirections;
  if (dynamic_cast<const EHttpSchemeError*>(&Error)) return TCliOutcome::UnsupportedScheme;
  if (dynamic_cast<const EHttpUrlError*>(&Error)) return TCliOutcome::MalformedUrl;
  // Before anything is sent, a text that is no number can only be the URL's port
  // ("host:abc/" keeps the component's conversion error): a malformed URL too.
  if (dynamic_cast<const EConvertError*>(&Error) && !Facts.RequestSent && !Facts.ConnectFailed)
    return TCliOutcome::MalformedUrl;
  if (dynamic_cast<const EHttpProtocolError*>(&Error)) return TCliOutcome::WeirdReply;
  if (dynamic_cast<const ESockError*>(&Error)) {
    if (Facts.HostNotFound) return TCliOutcome::HostNotFound;
    if (Facts.ConnectFailed) return TCliOutcome::ConnectFailed;
    return Facts.RequestSent ? TCliOutcome::ReceiveFailed : TCliOutcome::SendFailed;
  }
  return TCliOutcome::Failed;
}

TCliOutcome CliOutcomeOfReply(int ReplyNumber, bool Fail, bool BodyShort) {
  if (ReplyNumber <= 0) return TCliOutcome::WeirdReply;
  if (Fail && ReplyNumber >= 400) return TCliOutcome::HttpError;
  return BodyShort ? TCliOutcome::PartialFile : TCliOutcome::Completed;
}
