// TPassReplay: each entry decided on (refused, unsafe, not sendable), rebased, sent through a
// component of its own with the file's lines only, recorded and compared with the recording.
#include "inspect/TPassReplay.h"

#include <algorithm>
#include <array>
#include <exception>
#include <utility>

#include "base/AsciiText.h"
#include "base/TComponent.h"
#include "http/CmdNames.h"
#include "http/CredentialScope.h"
#include "http/HttpErrors.h"
#include "http/TContentDecoder.h"
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

// The version the entry's request line names, when it is one the component speaks. An entry
// made over HTTP/2 (or HTTP/3, the nearest then) offers HTTP/2: by ALPN over https, and by
// prior knowledge when it was recorded over plain http, which only h2c without an upgrade
// does (a browser never speaks HTTP/2 there). A line that names none goes as HTTP/1.0, the
// component's own.
struct TRecordedVersion {
  THttpVersion Version = hv10;
  bool Spoken = false;  // the line named the version the replay asks for
};

TRecordedVersion RecordedVersion(const THarEntry& Entry) {
  if (Entry.Http2) return {StartsWithNoCase(Entry.Pass.URL, "http:") ? hv2Prior : hv2, true};
  const int Named = Entry.Pass.RequestVersion();
  if (Named == 11) return {hv11, true};
  if (Named == 10) return {hv10, true};
  return {hv10, false};
}

std::string VersionName(int Version) {
  return Version == 20 ? "HTTP/2" : Version == 11 ? "HTTP/1.1" : "HTTP/1.0";
}

// For an entry recorded over HTTP/2 or later whose replay was spoken in another version (a
// server or a proxy that took no HTTP/2, a base of plain http): which one, in the replay's
// words; empty when it was the same.
std::string VersionNote(const THarEntry& Entry, const TExchangePass& Replayed) {
  const int Recorded = Entry.Pass.RequestVersion();
  const int Spoken = Replayed.RequestVersion();
  if (!Entry.Http2 || Recorded == Spoken) return {};
  return "recorded in " + (Recorded == 20 ? VersionName(20) : std::string("HTTP/3")) +
         ", answered in " + VersionName(Spoken);
}

// The content codings the entry's Accept-Encoding offered that the component undoes: "*" is
// all of them, q=0 none.
struct TOfferedCodings {
  int Known = 0;       // of deflate, gzip, br and zstd
  bool All = false;    // every one of them
};

TOfferedCodings OfferedCodings(const THarEntry& Entry) {
  std::string Offered[4];
  int Count = 0;
  bool Star = false;
  for (const THeaderField& F : Entry.Fields) {
    if (!SameNoCase(F.Name, "Accept-Encoding")) continue;
    std::string_view Rest = F.Value;
    while (!Rest.empty()) {
      const std::size_t Comma = Rest.find(',');
      std::string_view Item = Rest.substr(0, Comma);
      Rest = Comma == std::string_view::npos ? std::string_view() : Rest.substr(Comma + 1);
      const std::size_t Semi = Item.find(';');
      const std::string Name = AsciiLowered(TrimBlanks(Item.substr(0, Semi)));
      if (Semi != std::string_view::npos) {
        std::string Q = AsciiLowered(TrimBlanks(Item.substr(Semi + 1)));
        Q.erase(std::remove(Q.begin(), Q.end(), ' '), Q.end());
        if (Q.rfind("q=0", 0) == 0 && Q.find_first_not_of("0.", 2) == std::string::npos) continue;
      }
      if (Name == "*") Star = true;
      if (!TContentDecoder::Known(Name) || Count == 4) continue;
      if (std::find(Offered, Offered + Count, Name) == Offered + Count) Offered[Count++] = Name;
    }
  }
  if (Star) return {4, true};
  return {Count, Count == 4};
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
    // The component offers the codings it undoes itself (AcceptEncoding), and would leave
    // another coded: the file's line is not sent.
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
  // Sent as it was made where the component can: its version, and the codings offered,
  // which the component then undoes itself.
  H.HttpVersion = RecordedVersion(Entry).Version;
  H.AcceptEncoding = OfferedCodings(Entry).Known > 0;
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

// A replay made otherwise than its entry frames its reply its own way: sent in another
// version (an entry whose line names none), the framing fields differ by construction as the
// version does (between HTTP/2 and HTTP/1.x the comparison itself sets them apart);
// offering other codings than the entry did, the coding and the coded length do. The body's decoded bytes are compared all the same. Keep-Alive
// counts the connection's requests, and a replay's connections are its own.
static TPassCompare::TOptions ReplayCompare(TPassCompare::TOptions Options,
                                            const THarEntry& Entry) {
  Options.Volatile.emplace_back("Keep-Alive");
  const TOfferedCodings Codings = OfferedCodings(Entry);
  if (!RecordedVersion(Entry).Spoken) {
    Options.Volatile.insert(Options.Volatile.end(), {"Transfer-Encoding", "Connection"});
  }
  if (!RecordedVersion(Entry).Spoken || (Codings.Known > 0 && !Codings.All))
    Options.Volatile.insert(Options.Volatile.end(), {"Content-Length", "Content-Encoding"});
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
  R.Comparison = TPassCompare::Compare(Entry.Pass, *R.Replayed, ReplayCompare(O.Compare, Entry));
  R.Outcome = R.Comparison->Same() ? TReplayOutcome::roSame : TReplayOutcome::roDiffers;
  R.Why = VersionNote(Entry, *R.Replayed);
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
