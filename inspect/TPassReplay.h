// TPassReplay: the entries of a HAR sent again, one at a time and in order, through an HTTP
// component of its own, each new reply compared with the recorded one.
//
// A replay sends what the file recorded and nothing of anybody's settings: no login,
// password, cookie or From of a settings page, no agent or accept line the component would
// compose on its own; the component composes only Host, Content-Length and Connection. Each
// entry goes in the version its request line names (HTTP/1.0 or 1.1, one that names none as
// 1.0; an entry of HTTP/2 or 3 offers HTTP/2, by ALPN over https and by prior knowledge when
// it was recorded over plain http), on the connections the replay keeps, and offers the
// content codings the component undoes when the entry offered any of them, its Accept-Encoding
// line then the component's; bodies are compared decoded.
// It never follows a redirection (a browser records each hop as an entry of its own), and by
// default re-sends only GET, HEAD and OPTIONS. Against another base (scheme, host and port
// replaced, path and query kept) the file's Authorization and Cookie lines are dropped
// unless the caller keeps them. The caller's client certificate goes to the first entry's
// server only, or to the base. A failed entry is reported and the replay goes on.
//
// Like every component call, Replay waits by pumping the thread's messages: under the window
// it stays live, and Abort (from a handler or a button) ends the entry in progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/THarReader.h"
#include "inspect/TPassCompare.h"
#include "tls/TTlsSettings.h"

struct TReplayOptions {
  // "scheme://host[:port]" that replaces each entry's own; empty: each entry as recorded.
  std::string Base;
  // Methods other than GET, HEAD and OPTIONS are re-sent too.
  bool Unsafe = false;
  // Authorization and Cookie lines go to another base as well.
  bool KeepCredentials = false;
  std::string Proxy;  // empty: direct
  int ProxyPort = 0;
  int TimeOutMs = 0;  // per wait, as the component's TimeOut; 0: none
  TTlsSettings Tls;
  TPassCompare::TOptions Compare;
};

enum class TReplayOutcome : std::uint8_t {
  roSame,     // sent, and the reply compares the same
  roDiffers,  // sent, and the reply differs in what counts
  roFailed,   // sent or tried, and it failed: refused by the component, time-out, TLS check
  roSkipped   // not sent: a refused entry, an unsafe method without Unsafe, a method the
              // component does not send
};

struct TReplayResult {
  std::size_t Index = 0;   // the entry's place in log.entries
  std::string Method;      // as recorded
  std::string URL;         // as sent: the recorded one, or rebased
  TReplayOutcome Outcome = TReplayOutcome::roSkipped;
  // Why it failed or was skipped, in English ("unsafe method POST: not re-sent without
  // --unsafe" is the caller's wording to choose; this is the plain reason). For an entry
  // sent and compared, what the replay did otherwise than the recording: "recorded in
  // HTTP/2, answered in HTTP/1.1" when the server (or a proxy, or a plain http base) took
  // no HTTP/2; empty otherwise.
  std::string Why;
  std::optional<TExchangePass> Replayed;  // the new pass, when one was made (a failed one too)
  // Recorded against replayed, when the reply came whole: roSame and roDiffers only.
  std::optional<TPassComparison> Comparison;
};

class TPassReplay {
 public:
  explicit TPassReplay(TReplayOptions Options);
  ~TPassReplay();
  TPassReplay(const TPassReplay&) = delete;
  TPassReplay& operator=(const TPassReplay&) = delete;

  // Sends one entry (or skips it) and compares; never raises for the entry's own failure.
  TReplayResult Replay(const THarEntry& Entry);
  // Every entry of Log in order; Each (may be empty) is told each result as it comes. Stops
  // early, the results so far kept, once Abort was called.
  std::vector<TReplayResult> ReplayAll(const THarLog& Log,
                                       const std::function<void(const TReplayResult&)>& Each);
  // Ends the entry in progress (as a cancel) and the rest of ReplayAll.
  void Abort();

  const TReplayOptions& Options() const { return FOptions; }

  // --- Pure rules, tested by tables --------------------------------------------------------
  // URL with its scheme, host and port replaced by Base's ("" leaves it); path, query kept,
  // a user and a fragment of URL dropped. An IPv6 literal stays bracketed. Empty when Base or
  // URL is no http(s) URL, or when Base names more than a server: a user, a query, a fragment
  // or a path other than "/".
  static std::string Rebase(const std::string& URL, const std::string& Base);
  // GET, HEAD and OPTIONS.
  static bool SafeMethod(std::string_view Method);
  // The "Name: value" lines to send for Entry at URL: its Fields, with Authorization and
  // Cookie dropped when URL's server is not the recorded one, unless Keep. Servers compare
  // by scheme (an https credential never goes out in clear), host without case, and port
  // with the scheme's own filled in.
  static std::vector<std::string> LinesFor(const THarEntry& Entry, const std::string& URL,
                                           bool KeepCredentials);
  // The caller's client certificate goes with an entry sent to URL: as a request offers it
  // to its first server only, a replay offers it to the server of the first entry it was
  // given (FirstURL), by the same comparison as LinesFor's, or to Base's when there is one.
  // A file could otherwise aim the certificate, and a signature with its key, anywhere.
  static bool CertificateGoes(const std::string& FirstURL, const std::string& URL,
                              const std::string& Base);

 private:
  struct TImpl;
  TReplayOptions FOptions;
  std::unique_ptr<TImpl> FImpl;
  bool FAborted = false;
};
