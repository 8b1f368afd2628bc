// TCliSession: the request of orrery-cli, its output, its trace and its outcome.
#include "cli/TCliSession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>

#include <nlohmann/json.hpp>
#include "base/AsciiText.h"
#include "cli/CliCommands.h"
#include "cli/CliRequestBody.h"
#include "http/Base64.h"
#include "http/HttpErrors.h"
#include "http/THttpUrl.h"
#include "socket/ETlsSockError.h"

#include "inspect/THarWriter.h"

namespace {

std::string Address(const win::SOCKADDR_INET& A) { return ObserverFacts::AddressText(A); }

int PortOf(const win::SOCKADDR_INET& A) {
  return ntohs(A.si_family == AF_INET6 ? A.Ipv6.sin6_port : A.Ipv4.sin_port);
}

// The component would send HTTP to an FTP or gopher server; curl refuses a protocol it was
// built without, in these words. A URL that does not split is the component's to refuse.
void RefuseOtherProtocols(const std::string& URL) {
  std::string Scheme;
  try {
    Scheme = THttpUrl::SplitUser(URL).Scheme;
  } catch (const EHttpError&) {
    return;
  }
  Scheme = AsciiLowered(Scheme);
  if (Scheme == "ftp" || Scheme == "gopher")
    throw EHttpSchemeError("Protocol " + Scheme + " not supported");
}

bool HasField(const std::vector<std::string>& Lines, std::string_view Name) {
  for (const std::string& Line : Lines)
    if (SameNoCase(std::string_view(Line).substr(0, Line.find(':')), Name)) return true;
  return false;
}

// -u's line is the command line's own, as curl's is: the component sends none unless both
// parts are given, and curl sends "-u ann:" and "-u :secret" too. As a caller's line it goes
// to the first server only, and it comes before a user in the URL, as in curl; a line of
// -H comes before it.
void AddCredentials(const TCliOptions& O, std::vector<std::string>& Lines) {
  if (O.HasUser && !HasField(Lines, "Authorization"))
    Lines.push_back("Authorization: Basic " + Base64(O.UserId + ":" + O.Password));
}

}  // namespace

// With -i (or -I), the head of the proxy's reply that opened a tunnel goes out before the
// server's, as curl writes it; a refusal is the pass's reply and goes out as every reply.
class TCliSession::TTunnelHead final : public THttpObserver {
 public:
  explicit TTunnelHead(const std::unique_ptr<TCliOutput>& Out) : FOut(Out) {}

 private:
  void TunnelAnswered(THttpTime, std::string_view Head, int Status) override {
    if (Status >= 200 && Status <= 299) FOut->Write(Head);
  }
  const std::unique_ptr<TCliOutput>& FOut;  // the transfer's
};

TCliSession::TCliSession(const TCliOptions& Options, int OutFd, std::FILE* Err,
                         std::chrono::steady_clock::time_point Start)
    : FOptions(Options),
      FOutFd(OutFd),
      FErr(Err),
      FStart(Start),
      FVerbose(Options.Verbose,
               [Err](const std::string& Line) { std::fwrite(Line.data(), 1, Line.size(), Err); }) {}

TCliSession::~TCliSession() = default;

std::int64_t TCliSession::Milliseconds() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               FStart)
      .count();
}

void TCliSession::Stage(std::int64_t Ms, const std::string& Text) const {
  FVerbose.Stage(Ms, Text);
}

void TCliSession::Complain(int Status, const std::string& Message) const {
  if (FOptions.Silent && !FOptions.ShowError) return;
  std::fprintf(FErr, "orrery-cli: (%d) %s\n", Status, TCliVerbose::Printable(Message).c_str());
}

std::string TCliSession::ServerName(const TVelHTTP& Http) const {
  return Http.Proxy.empty() ? Http.Host + " port " + std::to_string(Http.Port)
                            : Http.Proxy + " port " + std::to_string(Http.ProxyPort);
}

void TCliSession::Configure(TVelHTTP& Http) {
  Http.HttpVersion = FOptions.HttpVersion;
  Http.TimeOut = FOptions.TimeOutMs;
  Http.Proxy = FOptions.ProxyHost;
  Http.ProxyPort = FOptions.ProxyPort;
  Http.AddressFamily = FOptions.AddressFamily;
  Http.HeaderInfo.LocalProgram = FOptions.Agent;
  Http.HeaderInfo.Referer = FOptions.Referer;
  Http.HeaderInfo.Cookie = FOptions.Cookie;
  Http.HeaderInfo.UserId = FOptions.UserId;
  Http.HeaderInfo.Password = FOptions.Password;
  Http.CustomHeaders = FOptions.Headers;
  AddCredentials(FOptions, Http.CustomHeaders);
  Http.SecureSocket = true;
  Http.TlsSettings = FOptions.Tls;
  Http.MaxBodySize = FOptions.MaxFileSize;
  Http.AcceptEncoding = FOptions.Compressed;
  Http.EncodePostData = FOptions.UrlEncodeData();
  Http.InputFileMode = false;
  Http.OutputFileMode = false;
  Http.ReportLevel = FOptions.Verbose >= 2 ? 8 : 0;
  for (const TCliOptions::TConnectTo& C : FOptions.ConnectTos)
    Http.ConnectRules.push_back({C.Host, C.Port, C.ToHost, C.ToPort});
  for (const TCliOptions::TResolve& R : FOptions.Resolves)
    Http.ResolveRules.push_back({R.Host, R.Port, R.Address});
  Http.BodySink = [this](std::string_view Block) {
    if (FBodyWanted) FOut->Write(Block);
  };
  // Asked for another host after a failed look-up, the command line names none; it answers
  // all the same, so that the recorder times the failed look-up (the HAR's dns).
  Http.OnInvalidHost = [](bool&) {};
  Http.OnRedirect = [this, &Http](bool& Handled) { Redirected(Http, Handled); };
  Http.OnStage = [this, &Http](TObject*, THttpStage Stage) {
    if (Stage == hsRequestSent) {
      FSentRemote = Http.RemoteAddress;
      FSentLocal = Http.LocalAddress();
    }
    if (Stage == hsHeaderEnd) HeaderArrived(Http);
  };
}

void TCliSession::Record(TVelHTTP& Http) {
  // The recorder comes first: the trace reads each step's facts from it.
  if (FOptions.Verbose > 0 || FOptions.HasWriteOut || !FOptions.HarFile.empty())
    FRecorder = std::make_unique<TExchangeRecorder>(Http);
  if (FOptions.Verbose > 0) {
    FTrace = std::make_unique<TCliTrace>(FVerbose, FStart, *FRecorder);
    const THttpVersion V = FOptions.HttpVersion;
    FTrace->Alpn = V == hv10 ? "http/1.0" : V == hv11 ? "http/1.1" : "h2,http/1.1";
    FTrace->PriorKnowledge = V == hv2Prior;
    FTrace->Handle = &Http;
    Http.AddObserver(*FTrace);
  }
  if (FOptions.IncludeHeader || FOptions.Head) {
    FTunnelHead = std::make_unique<TTunnelHead>(FOut);
    Http.AddObserver(*FTunnelHead);
  }
}

void TCliSession::HeaderArrived(TVelHTTP& Http) {
  const bool Failed = FOptions.Fail && Http.ReplyNumber >= 400;
  const bool Followed = FOptions.FollowLocation && Http.ReplyClass() == rcRedirection;
  // A reply to HEAD has no body; bytes a server sends after its header anyway are not one.
  // Nor is the proxy's refusal of a tunnel the body asked for: curl writes none of it.
  FBodyWanted = !Failed && !Followed && FOptions.Command != hcHead && !Http.TunnelRefused();
  // Each reply's header block goes out as it arrives, so a later failure keeps it; with -f
  // a failing reply's too, as curl writes it, only its body is left out.
  if (FOptions.IncludeHeader || FOptions.Head) FOut->Write(Http.Header);
  if (Failed)
    throw ECliHttpFailure("the requested URL returned error: " + std::to_string(Http.ReplyNumber));
  // A coding it cannot take off ends the run before any of the body is written, as curl's.
  if (FBodyWanted && !Http.ContentNotDecoded().empty())
    throw EHttpContentError("Unrecognized content encoding type. libcurl understands deflate, "
                            "gzip, br, zstd content encodings.");
  // An announced length over the bound ends the run before any of the body is written, as
  // curl does; an unannounced one ends it when the component's bound is passed.
  if (FBodyWanted && FOptions.MaxFileSize > 0 && Http.BytesTotal > FOptions.MaxFileSize)
    throw EHttpBodyTooLarge(FOptions.MaxFileSize);
}

void TCliSession::Redirected(TVelHTTP& Http, bool& Handled) {
  // A 3xx that is no redirection to follow ends the request anyway.
  if (Http.ReplyClass() != rcRedirection) return;
  // Without -L the first reply is the result, as in curl.
  if (!FOptions.FollowLocation) {
    Handled = true;
    return;
  }
  if (FRedirects >= FOptions.MaxRedirs) throw EHttpTooManyRedirections();
  RefuseOtherProtocols(Http.URL);
  ++FRedirects;
  // The next pass's connection is its own: until its request goes, the component's ends.
  FSentRemote = FSentLocal = win::SOCKADDR_INET();
  Stage(Milliseconds(), "Following the redirection to " + Http.URL);
}

void TCliSession::Request(TVelHTTP& Http) {
  const std::string& URL = FOptions.URLs[FIndex];
  RefuseOtherProtocols(URL);
  TellInternationalName(URL);
  // Read once for every URL, as curl reads it with its options: standard input is gone after.
  if (!FRequestBody) FRequestBody = CliRequestBody(FOptions.Data, CliReadFile);
  Http.Perform(FOptions.Command, URL, *FRequestBody, FOptions.Target);
}

void TCliSession::TellInternationalName(const std::string& URL) const {
  if (FVerbose.Level() < 1) return;
  try {
    const THttpUrl Split = THttpUrl::SplitUser(URL);
    if (!Split.UnicodeHost.empty() && Split.UnicodeHost != Split.Host)
      Stage(Milliseconds(), "Host " + Split.UnicodeHost + " goes by its ASCII form " + Split.Host);
  } catch (const EHttpError&) {
    // The component refuses the URL in its own words.
  }
}

std::string TCliSession::FailureText(const TVelHTTP& Http, TCliOutcome Outcome,
                                     const std::string& Error) const {
  switch (Outcome) {
    case TCliOutcome::HostNotFound:
      return "host not found: " + (Http.Proxy.empty() ? Http.Host : Http.Proxy) + " (" + Error +
             ")";
    case TCliOutcome::ConnectFailed:
      return "could not connect to " + ServerName(Http) + " (" + Error + ")";
    case TCliOutcome::TimedOut:
      return "timed out: a wait took longer than " + std::to_string(FOptions.TimeOutMs) + " ms (" +
             Error + ")";
    case TCliOutcome::HttpError:
      return "the requested URL returned error: " + std::to_string(Http.ReplyNumber);
    case TCliOutcome::TunnelRefused:
      return "CONNECT tunnel failed, response " + std::to_string(Http.ReplyNumber);
    case TCliOutcome::WeirdReply:
      return Error.empty() ? "the server sent no usable status line" : Error;
    default: return Error;
  }
}

void TCliSession::WriteOut(const TVelHTTP& Http, const TWriteOutValues& Values, int Status,
                           const std::string& Message) {
  TWriteOutValues V = Values;
  if (!FRecorder || FRecorder->Passes().size() <= FFirstPass) {
    V.UrlEffective = FOptions.URLs[FIndex];
    V.Method = std::string(CliCommandWord(FOptions.Command));
  }
  V.ExitCode = Status;
  V.ErrorMsg = Message;
  V.NumConnects = Http.ConnectionsOpened() - FOpenedBefore;
  if (V.TimeConnect >= 0 || V.Reused) {
    // A kept connection went back to the component's pool with its addresses: those noted
    // as the request went out are the ones it had.
    const win::SOCKADDR_INET& Remote =
        FSentRemote.si_family != 0 ? FSentRemote : Http.RemoteAddress;
    const win::SOCKADDR_INET Local = FSentLocal.si_family != 0 ? FSentLocal : Http.LocalAddress();
    V.RemoteIp = Address(Remote);
    V.RemotePort = PortOf(Remote);
    if (Local.si_family != 0) {
      V.LocalIp = Address(Local);
      V.LocalPort = PortOf(Local);
    }
  }
  // -w goes to standard output, unless that is the stream that broke.
  if (FOptions.OutputFileOf(FIndex).empty() && FOut->Failed()) return;
  TCliOutput Stdout("", FOutFd);
  try {
    Stdout.Write(RenderWriteOut(FOptions.WriteOut, V));
  } catch (const ECliWriteError&) {
    // Nothing more can be said on a stream that does not take it.
  }
}

bool TCliSession::SaveHar(int Status) {
  try {
    const auto Document = THarWriter::Document(*FRecorder);
    // --har naming the file the reply went to (standard output sent to a file, and
    // --har /dev/stdout; or -o's own name): saving it anew would take the body away, so
    // the archive follows the body there, as a second write to one stream would.
    if (const int Fd = ReplyFileOf(FOptions.HarFile); Fd >= 0) {
      const struct TCloser {
        int Fd;
        bool Own;
        ~TCloser() {
          if (Own) ::close(Fd);
        }
      } Closer{Fd, Fd != FOutFd};
      TCliOutput Reply("", Fd);
      Reply.Write(THarWriter::Text(Document));
      return true;
    }
    THarWriter::Save(FOptions.HarFile, Document);
    return true;
  } catch (const std::exception& E) {
    // The run's own failure is the one its status tells; this one is told all the same.
    Complain(Status != 0 ? Status : CliExitStatus(TCliOutcome::WriteError), E.what());
    return false;
  }
}

int TCliSession::ReplyFileOf(const std::string& FileName) const {
  struct stat Named {}, Reply {};
  if (::stat(FileName.c_str(), &Named) != 0 || !S_ISREG(Named.st_mode)) return -1;
  const auto Same = [&Named](const struct stat& Other) {
    return Other.st_dev == Named.st_dev && Other.st_ino == Named.st_ino;
  };
  bool ToStdout = false;
  for (std::size_t I = 0; I < FOptions.URLs.size(); ++I) {
    const std::string Output = FOptions.OutputFileOf(I);
    ToStdout = ToStdout || Output.empty();
    // -o's file is closed by now: the archive goes after the body.
    if (!Output.empty() && ::stat(Output.c_str(), &Reply) == 0 && Same(Reply))
      return ::open(Output.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  }
  return ToStdout && ::fstat(FOutFd, &Reply) == 0 && Same(Reply) ? FOutFd : -1;
}

int TCliSession::Finish(TVelHTTP& Http, TCliOutcome Outcome, const std::string& Error, bool Last) {
  // -w's times end with the transfer: writing the HAR, and creating and closing -o's file,
  // come after it and do not count.
  TWriteOutValues Values;
  if (FOptions.HasWriteOut && FRecorder) {
    const auto& All = FRecorder->Passes();
    const std::vector<TExchangePass> Passes(
        All.begin() + static_cast<std::ptrdiff_t>(std::min(FFirstPass, All.size())), All.end());
    Values = WriteOutValuesOf(Passes, std::chrono::steady_clock::now());
  }
  // With -f and a failing status no body is written, not even an empty file; a body cut
  // short is kept as it came, as curl keeps it.
  if (Outcome == TCliOutcome::Completed || Outcome == TCliOutcome::PartialFile) {
    try {
      FOut->Finish();
    } catch (const ECliWriteError&) {
      Outcome = TCliOutcome::WriteError;
    }
  }
  int Status = CliExitStatus(Outcome);
  const std::string Message = Status == 0 ? std::string() : FailureText(Http, Outcome, Error);
  if (Status != 0) {
    Stage(Milliseconds(), "Failed: " + Message);
    Complain(Status, Message);
    if (FTlsReason.Problem != TTlsProblem::tpNone && (!FOptions.Silent || FOptions.ShowError))
      std::fprintf(FErr, "orrery-cli: %s\n",
                   TCliVerbose::Printable(ReasonInEnglish(FTlsReason)).c_str());
  } else if (Http.BodyMayBeCut() && !FOptions.Silent) {
    // The body is written, as curl writes it; whoever reads it is told it may be short.
    std::fprintf(FErr, "orrery-cli: %s\n", TlsCutMessage);
  }
  if (Last && !FOptions.HarFile.empty() && !SaveHar(Status) && Status == 0)
    Status = CliExitStatus(TCliOutcome::WriteError);
  if (FOptions.HasWriteOut) WriteOut(Http, Values, Status, Message);
  return Status;
}

int TCliSession::Run() {
  try {
    FHttp.reset(new TVelHTTP(nullptr));
  } catch (const std::exception& E) {
    Complain(1, E.what());
    return 1;
  }
  TVelHTTP& Http = *FHttp;
  Configure(Http);
  Record(Http);
  if (FOptions.OutputFiles.size() > FOptions.URLs.size() && !FOptions.Silent)
    std::fputs("Warning: Got more output options than URLs\n", FErr);
  int Status = ExitOk;
  for (std::size_t I = 0; I < FOptions.URLs.size(); ++I) Status = Transfer(Http, I);
  return Status;
}

int TCliSession::Transfer(TVelHTTP& Http, std::size_t Index) {
  FIndex = Index;
  FOut = std::make_unique<TCliOutput>(FOptions.OutputFileOf(Index), FOutFd);
  // The recorder keeps every transfer's passes for one HAR of the whole run; without one, each
  // transfer's only, so that a run of many URLs does not hold every body it read.
  const bool KeepPasses = FRecorder && !FOptions.HarFile.empty() && Index > 0;
  FFirstPass = KeepPasses ? FRecorder->Passes().size() : 0;
  FOpenedBefore = Http.ConnectionsOpened();
  FRedirects = 0;
  FBodyWanted = false;
  FTlsReason = TTlsReason();
  FSentRemote = FSentLocal = win::SOCKADDR_INET();
  TCliOutcome Outcome = TCliOutcome::Completed;
  std::string Error;
  try {
    if (KeepPasses)
      FRecorder->Continue([&] { Request(Http); });
    else if (FRecorder)
      FRecorder->Run([&] { Request(Http); });
    else
      Request(Http);
    Outcome = CliOutcomeOfReply(Http.ReplyNumber, FOptions.Fail, Http.BodyShort(),
                                Http.TunnelRefused());
    if (Outcome == TCliOutcome::PartialFile)
      Error = ShortBodyMessage(Http.BytesTotal - Http.BytesRecvd);
  } catch (const std::exception& E) {
    Outcome = CliOutcomeOf(E);
    Error = E.what();
    if (const auto* Tls = dynamic_cast<const ETlsSockError*>(&E)) FTlsReason = Tls->Reason();
  } catch (...) {
    Outcome = TCliOutcome::Failed;
    Error = "unknown error";
  }
  return Finish(Http, Outcome, Error, Index + 1 == FOptions.URLs.size());
}
