// -w FORMAT: the text a script asks for at the end of a run, with curl's variables
// ("%{http_code} %{time_total}\n"), rendered from the values the run collected.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/TExchangePass.h"

// What -w can show of a run. Times are seconds from the start of the first pass; a stage the
// run did not reach is negative and shows as 0.000000, as curl shows it.
struct TWriteOutValues {
  int HttpCode = 0;  // of the last reply; 0 when none was read
  std::string UrlEffective;
  int NumRedirects = 0;
  std::string Method;  // of the last pass
  int ExitCode = 0;
  std::string ErrorMsg;  // empty when the run succeeded
  std::string ContentType;
  std::string RemoteIp;  // bare: "::1", "127.0.0.1"
  int RemotePort = 0;
  std::string LocalIp;  // the connection's own address and port
  int LocalPort = 0;
  std::int64_t SizeDownload = 0;  // body bytes of the last reply
  std::int64_t SizeHeader = 0;    // header bytes of every reply
  std::int64_t SizeRequest = 0;   // request header bytes of every pass
  std::int64_t SizeUpload = 0;    // body bytes sent
  double SpeedDownload = 0;       // bytes per second
  double TimeNamelookup = -1;
  double TimeConnect = -1;
  double TimeAppconnect = -1;  // the TLS handshake and check passed; -1 without TLS
  double TimePretransfer = -1;
  double TimeStarttransfer = -1;
  double TimeRedirect = 0;  // the passes before the last
  double TimeTotal = 0;
  // OpenSSL's verify result of the last pass's session (0: verified, as with -k when the
  // chain passes); 0 without TLS, and 1 when a handshake began but gave none, as curl says.
  long SslVerifyResult = 0;
  int NumCerts = 0;    // certificates the server sent in the last pass's handshake
  std::string Scheme;  // "HTTP" or "HTTPS" of the last pass, once connected
  int NumConnects = 0;  // connections the transfer opened: 0 when it went on a kept one
  bool Reused = false;  // the last pass went on a connection kept from an earlier exchange
  // The last reply's version as curl writes it: "1.0", "1.1"; "0" without a reply.
  std::string HttpVersion = "0";
};

// FORMAT with every %{name} replaced by its value, "%%" by "%", and "\n", "\r" and "\t" by
// their characters; anything else is copied. The names of unknown variables are added to
// Unknown (when given), and the variable itself gives nothing, as in curl.
std::string RenderWriteOut(std::string_view Format, const TWriteOutValues& Values,
                           std::vector<std::string>* Unknown = nullptr);

// The values of a recorded exchange that ended at Now: those of its last pass, the sizes of
// every pass, and the times on the first pass's clock, read from the last pass's spans. A
// stage the last pass did not reach stays negative; the name look-up counts as done where
// the connection started, so that a dotted address, which needs none, has it at the pass's
// start once it connected. The run's own values (method and URL when no pass
// began, exit code, error message, remote and local addresses) are the caller's to fill in.
TWriteOutValues WriteOutValuesOf(const std::vector<TExchangePass>& Passes,
                                 std::chrono::steady_clock::time_point Now);
