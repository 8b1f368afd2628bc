// TPassReplay: each entry decided on (refused, unsafe, not sendable), rebased, sent through a
// component of its own with the file's lines only, recorded and compared with the recording.
#include "inspect/TPassReplay.h"

#include <array>
#include <exception>
#include <utility>

#include "base/AsciiText.h"
#include "base/TComponent.h"
#include "http/CmdNames.h"
#include "http/CredentialScope.h"
#include "http/HttpErrors.h"
#include "http/TVelHTTP.h"
#include "inspect/TExchangeRecorder.h"

namespace {

// The lines the component composes from its own settings and fixed texts, each removed
// unless the file gives one: a replay sends the file's lines and nobody's defaults.
constexpr std::array<const char*, 9> ComposedByDefault = {
    "Accept:", "Content-type:",  "User-Agent:", "From:", "Referer:",
    "Cookie:", "Authorization:", "URI-header:", "Link:"};

// The value of the first field Name of Entry; empty when none.
std::string FieldValue(const THarEntry& Entry, std::string_view Name) {
  for (const THeaderField& F : Entry.Fields)
    if (SameNoCase(F.Name, Name)) return F.Value;
  return {};
}

void Send(TVelHTTP& Http, CmdType Cmd, const std::string& URL, const THarEntry& Entry) {
  const char* TargetField = Cmd == hcLink || Cmd == hcUnLink ? "Link" : "URI-header";
  Http.Perform(Cmd, URL, Entry.Pass.RequestBody,
               TakesTarget(Cmd) ? FieldValue(Entry, TargetField) : std::string());
}

}  // namespace

// One component for every entry, so that a nested call finds it busy instead of destroyed;
// the recorder goes before it.
struct TPassReplay::TImpl {
  TOwned<TVelHTTP> Http{new TVelHTTP(nullptr)};
  TExchangeRecorder Recorder{*Http};
  bool Running = false;
  // The URL of the first entry given: the caller's certificate goes to its server only.
  std::optional<std::string> FirstURL;

  // Why Entry is not sent; none when it is to be.
  static std::optional<std::string> SkipReason(const THarEntry& Entry, const TReplayOptions& O);
  void Configure(const THarEntry& Entry, const std::string& URL, const TReplayOptions& O);
  void SendAndCompare(const THarEntry& Entry, TReplayResult& R, const TReplayOptions& O);
};

TPassReplay::TPassReplay(TReplayOptions Options)
    : FOptions(std::move(Options)), FImpl(std::make_unique<TImpl>()) {}

TPassReplay::~TPassReplay() = default;

std::string TPassReplay::Rebase(const std::string& URL, const std::string& Base) {
  if (Base.empty()) return URL;
  // A base or URL the URL rules refuse names no server to rebase on or from.
  THttpUrl B, U;
  try {
    B = THttpUrl::SplitServer(Base);
    U = THttpUrl::SplitServer(URL);
  } catch (const EHttpUrlError&) {
    return {};
  }
  // A base names a server alone: a path or query of its own would have to be merged with
  // the entry's, and a user in it would be a credential sent to every entry.
  if (!B.NamesWebServer() || B.HasUserInfo || B.HasFragment || B.HasQuery ||
      (!B.Path.empty() && B.Path != "/") || !U.NamesWebServer())
    return {};
  return AsciiLowered(B.Scheme) + "://" + HostName::InAuthority(B.Host) + (B.PortText.empty() ? "" : ":" + B.PortText) +
         U.Target();
}

bool TPassReplay::SafeMethod(std::string_view Method) {
  return Method == "GET" || Method == "HEAD" || Method == "OPTIONS";
}

std::vector<std::string> TPassReplay::LinesFor(const THarEntry& Entry, const std::string& URL,
                                               bool KeepCredentials) {
  const bool Home = CredentialScope::SameServer(Entry.Pass.URL, URL);
  std::vector<std::string> Lines;
  Lines.reserve(Entry.Fields.size());
  for (const THeaderField& F : Entry.Fields) {
    // The component undoes no content coding: asked for none, the server sends the body as
    // the file holds it (a browser records it decoded).
    if (SameNoCase(F.Name, "Accept-Encoding")) continue;
    const bool Private = SameNoCase(F.Name, "Authorization") || SameNoCase(F.Name, "Cookie");
    if (Private && !Home && !KeepCredentials) continue;
    Lines.push_back(F.Name + ": " + F.Value);
  }
  return Lines;
}

std::optional<std::string> TPassReplay::TImpl::SkipReason(const THarEntry& Entry,
                                                          const TReplayOptions& O) {
  const TExchangePass& P = Entry.Pass;
  if (!Entry.Refused.empty()) return Entry.Refused;
  if (!O.Unsafe && !SafeMethod(P.Method))
    return "unsafe method " + P.Method + ": not re-sent unless asked";
  const std::optional<CmdType> Cmd = CommandNamed(P.Method);
  if (!Cmd) return "method " + P.Method + ": not one the component sends";
  if (P.RequestBodySize > 0 && !CarriesBody(*Cmd))
    return "method " + P.Method + " with a body: the component sends it without one";
  // Sending the start of a body as if it were all of it would be another request.
  if (P.RequestBodySize > static_cast<std::int64_t>(P.RequestBody.size()))
    return "request body: the file holds " + std::to_string(P.RequestBody.size()) + " of its " +
           std::to_string(P.RequestBodySize) + " bytes";
  return std::nullopt;
}

void TPassReplay::TImpl::Configure(const THarEntry& Entry, const std::string& URL,
                                   const TReplayOptions& O) {
  TVelHTTP& H = *Http;
  // Cleared each time: a redirecting reply's cookie is copied into HeaderInfo by the loop.
  H.HeaderInfo.LocalMailAddress.clear();
  H.HeaderInfo.LocalProgram.clear();
  H.HeaderInfo.Cookie.clear();
  H.HeaderInfo.Referer.clear();
  H.HeaderInfo.UserId.clear();
  H.HeaderInfo.Password.clear();
  // The removals first: each of the file's lines of those names then goes after the Host
  // line in the file's own order.
  H.CustomHeaders.assign(ComposedByDefault.begin(), ComposedByDefault.end());
  for (std::string& Line : LinesFor(Entry, URL, O.KeepCredentials))
    H.CustomHeaders.push_back(std::move(Line));
  H.EncodePostData = false;
  H.SecureSocket = true;
  H.TlsSettings = O.Tls;
  if (!CertificateGoes(*FirstURL, URL, O.Base)) {
    H.TlsSettings.CertFile.clear();
    H.TlsSettings.KeyFile.clear();
    H.TlsSettings.KeyPassphrase.clear();
  }
  H.Proxy = O.Proxy;
  H.ProxyPort = O.ProxyPort;
  H.TimeOut = O.TimeOutMs;
  H.InputFileMode = false;
  H.OutputFileMode = false;
  // The recorder keeps the body as the component tells it; the component keeps none, so a
  // server's endless body is not held whole.
  H.BodySink = [](std::string_view) {};
  H.OnRedirect = [](bool& Handled) { Handled = true; };
}

// A replay over HTTP/1.0 without a content coding frames its reply its own way: the
// framing and coding fields differ by construction, as the version does, while the body's
// size and bytes are compared all the same.
static TPassCompare::TOptions ReplayCompare(TPassCompare::TOptions Options) {
  for (const char* Name :
       {"Content-Length", "Content-Encoding", "Transfer-Encoding", "Connection", "Keep-Alive"})
    Options.Volatile.emplace_back(Name);
  return Options;
}

void TPassReplay::TImpl::SendAndCompare(const THarEntry& Entry, TReplayResult& R,
                                        const TReplayOptions& O) {
  Recorder.Clear();
  std::string Failure;
  try {
    Recorder.Run([&] { Send(*Http, *CommandNamed(Entry.Pass.Method), R.URL, Entry); });
  } catch (const std::exception& E) {
    Failure = E.what();
  } catch (...) {
    Failure = "unknown error";
  }
  if (!Recorder.Passes().empty()) R.Replayed = Recorder.Passes().back();
  if (Failure.empty() && !R.Replayed)
    Failure = Recorder.Error().empty() ? "no exchange was made" : Recorder.Error();
  if (Failure.empty() && !R.Replayed->Error.empty()) Failure = R.Replayed->Error;
  if (Failure.empty() && R.Replayed->BodyShort()) Failure = R.Replayed->ShortBodyError();
  // The component tells a reply without a status line as a failure, not as an error.
  if (Failure.empty() && R.Replayed->ReplyNumber == 0)
    Failure = "the server sent no usable status line";
  if (!Failure.empty()) {
    R.Outcome = TReplayOutcome::roFailed;
    R.Why = std::move(Failure);
    return;
  }
  R.Comparison = TPassCompare::Compare(Entry.Pass, *R.Replayed, ReplayCompare(O.Compare));
  R.Outcome = R.Comparison->Same() ? TReplayOutcome::roSame : TReplayOutcome::roDiffers;
}

bool TPassReplay::CertificateGoes(const std::string& FirstURL, const std::string& URL,
                                  const std::string& Base) {
  if (!Base.empty()) return true;
  return CredentialScope::SameServer(FirstURL, URL);
}

TReplayResult TPassReplay::Replay(const THarEntry& Entry) {
  if (!FImpl->FirstURL) FImpl->FirstURL = Entry.Pass.URL;
  TReplayResult R;
  R.Index = Entry.Index;
  R.Method = Entry.Pass.Method;
  const std::string Rebased = Rebase(Entry.Pass.URL, FOptions.Base);
  R.URL = Rebased.empty() ? Entry.Pass.URL : Rebased;
  if (std::optional<std::string> Why = TImpl::SkipReason(Entry, FOptions)) {
    R.Why = std::move(*Why);
    return R;
  }
  R.Outcome = TReplayOutcome::roFailed;
  if (Rebased.empty()) {
    R.Why = "cannot put " + Entry.Pass.URL + " on the base " + FOptions.Base +
            ": not an http(s) URL of a server alone";
    return R;
  }
  // Called again from a handler while an entry is being sent (the window pumps messages).
  if (FImpl->Running) {
    R.Why = "a replay is running";
    return R;
  }
  FImpl->Running = true;
  struct TDone {
    bool& Running;
    ~TDone() { Running = false; }
  } Done{FImpl->Running};
  FImpl->Configure(Entry, R.URL, FOptions);
  FImpl->SendAndCompare(Entry, R, FOptions);
  return R;
}

std::vector<TReplayResult> TPassReplay::ReplayAll(
    const THarLog& Log, const std::function<void(const TReplayResult&)>& Each) {
  FAborted = false;
  std::vector<TReplayResult> Results;
  Results.reserve(Log.Entries.size());
  for (const THarEntry& Entry : Log.Entries) {
    if (FAborted) break;
    Results.push_back(Replay(Entry));
    if (Each) Each(Results.back());
  }
  return Results;
}

void TPassReplay::Abort() {
  FAborted = true;
  if (FImpl->Http->Busy()) FImpl->Http->Abort();
}
