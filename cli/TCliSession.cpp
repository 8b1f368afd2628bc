// TCliSession: the request of orrery-cli, its output, its trace and its outcome.
#include "cli/TCliSession.h"

#include <arpa/inet.h>

#include <cctype>
#include <exception>
#include <string_view>

#include "cli/CliCommands.h"
#include "cli/CliRequestBody.h"
#include "http/HttpErrors.h"

namespace {

// The value of the header field Name (given in lower case) in a reply's header block, without
// the blanks around it; empty when the block has none.
std::string HeaderField(std::string_view Block, std::string_view Name) {
  for (std::size_t From = 0; From < Block.size();) {
    auto End = Block.find('\n', From);
    if (End == std::string_view::npos) End = Block.size();
    const std::string_view Line = Block.substr(From, End - From);
    From = End + 1;
    if (Line.size() <= Name.size() || Line[Name.size()] != ':') continue;
    bool Same = true;
    for (std::size_t I = 0; I < Name.size() && Same; ++I)
      Same = static_cast<char>(std::tolower(static_cast<unsigned char>(Line[I]))) == Name[I];
    if (!Same) continue;
    const std::string_view Value = Line.substr(Name.size() + 1);
    const auto First = Value.find_first_not_of(" \t");
    if (First == std::string_view::npos) return std::string();
    return std::string(Value.substr(First, Value.find_last_not_of(" \t\r") - First + 1));
  }
  return std::string();
}

// Whether the reply just read is a redirection the component goes on from: one of the
// redirecting statuses with a Location line of its own.
bool IsFollowedRedirection(const TVelHTTP& Http) {
  const int Status = Http.ReplyNumber;
  return ((Status >= 300 && Status <= 303) || Status == 307 || Status == 308) &&
         !HeaderField(Http.Header, "location").empty();
}

std::string Address(const sockaddr_in& A) {
  char Text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &A.sin_addr, Text, sizeof Text);
  return Text;
}

// The component form-encodes Post's data unless told otherwise; -d sends it as it is.
class TCliHttp : public TVelHTTP {
 public:
  using TVelHTTP::TVelHTTP;
  void SetEncodePostData(bool Encode) { EncodePostData = Encode; }
};

}  // namespace

TCliSession::TCliSession(const TCliOptions& Options, int OutFd, std::FILE* Err,
                         std::chrono::steady_clock::time_point Start)
    : FOptions(Options),
      FOutFd(OutFd),
      FErr(Err),
      FStart(Start),
      FVerbose(Options.Verbose,
               [Err](const std::string& Line) { std::fwrite(Line.data(), 1, Line.size(), Err); }),
      FOut(Options.OutputFile, OutFd) {}

std::int64_t TCliSession::Milliseconds() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               FStart)
      .count();
}

double TCliSession::Seconds() const {
  if (!FStarted) return 0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - FFirstPass).count();
}

void TCliSession::Stage(const std::string& Text) const { FVerbose.Stage(Milliseconds(), Text); }

void TCliSession::Complain(int Status, const std::string& Message) const {
  if (FOptions.Silent && !FOptions.ShowError) return;
  std::fprintf(FErr, "orrery-cli: (%d) %s\n", Status, TCliVerbose::Printable(Message).c_str());
}

std::string TCliSession::ServerName(const TVelHTTP& Http) const {
  return Http.Proxy.empty() ? Http.Host + " port " + std::to_string(Http.Port)
                            : Http.Proxy + " port " + std::to_string(Http.ProxyPort);
}

void TCliSession::Configure(TVelHTTP& Http) {
  Http.TimeOut = FOptions.TimeOutMs;
  Http.Proxy = FOptions.ProxyHost;
  Http.ProxyPort = FOptions.ProxyPort;
  Http.HeaderInfo.LocalProgram = FOptions.Agent;
  Http.HeaderInfo.Referer = FOptions.Referer;
  Http.HeaderInfo.Cookie = FOptions.Cookie;
  Http.HeaderInfo.UserId = FOptions.UserId;
  Http.HeaderInfo.Password = FOptions.Password;
  Http.InputFileMode = false;
  Http.OutputFileMode = false;
  Http.ReportLevel = FOptions.Verbose >= 2 ? 8 : 0;
  // These tell how a request ended, with or without the trace.
  Http.OnInvalidHost = [this](bool&) { FFacts.HostNotFound = true; };
  Http.OnConnectionFailed = [this](TObject*) { FFacts.ConnectFailed = true; };
  Http.OnRedirect = [this, &Http](bool& Handled) { Redirected(Http, Handled); };
  HookStages(Http);
  if (FOptions.Verbose > 0) HookTrace(Http);
}

void TCliSession::HookStages(TVelHTTP& Http) {
  Http.OnHostResolved = [this, &Http](TObject*) {
    FTimes.Resolved = Seconds();
    Stage("Resolved " + Http.Host + " to " + Address(Http.RemoteAddress));
  };
  Http.OnConnect = [this, &Http](TObject*) {
    FTimes.Connected = Seconds();
    if (FTimes.Resolved < 0) FTimes.Resolved = FTimes.Start;
    Stage("Connected to " + (Http.Proxy.empty() ? Http.Host : Http.Proxy) + " (" +
          Address(Http.RemoteAddress) + ") port " +
          std::to_string(Http.Proxy.empty() ? Http.Port : Http.ProxyPort));
    FVerbose.RequestHeader(Http.RequestHeaderSent());
  };
  Http.OnStage = [this, &Http](TObject*, THttpStage Stage) {
    switch (Stage) {
      case hsPassStart:
        if (!FStarted) FFirstPass = std::chrono::steady_clock::now();
        FStarted = true;
        FTimes = TPassTimes{Seconds()};
        FRequestBytes += static_cast<std::int64_t>(Http.RequestHeaderSent().size());
        this->Stage(std::string(CliCommandWord(Http.CurrentCmd)) + " " + Http.URL +
                    (Http.Proxy.empty() ? std::string() : " through " + ServerName(Http)));
        break;
      case hsRequestSent:
        FFacts.RequestSent = true;
        this->Stage("Request sent");
        break;
      case hsStatusLine: FTimes.FirstByte = Seconds(); break;
      case hsHeaderEnd: HeaderArrived(Http); break;
      case hsBodyEnd:
        FBodyBytes = Http.BytesRecvd;
        if (FBodyWanted && !Http.Body.empty()) FOut.Write(Http.Body);
        this->Stage("Received " + std::to_string(Http.BytesRecvd) + " bytes of body");
        break;
    }
  };
}

void TCliSession::HookTrace(TVelHTTP& Http) {
  Http.OnDisconnect = [this](TObject*) { Stage("Connection closed"); };
  if (FOptions.Verbose < 2) return;
  Http.OnStatus = [this](TObject*, const std::string& Status) {
    FVerbose.Status(Milliseconds(), Status);
  };
  Http.OnPacketSent = [this, &Http](TObject*) {
    FVerbose.Status(Milliseconds(), "OnPacketSent " + std::to_string(Http.BytesSent) + " bytes");
  };
  Http.OnPacketRecvd = [this, &Http](TObject*) {
    FVerbose.Status(
        Milliseconds(),
        "OnPacketRecvd " + std::to_string(Http.BytesRecvd) + " bytes" +
            (Http.BytesTotal > 0 ? " of " + std::to_string(Http.BytesTotal) : std::string()));
  };
  Http.OnError = [this](TObject*, std::uint16_t, const std::string& Text) {
    FVerbose.Status(Milliseconds(), "OnError " + Text);
  };
}

void TCliSession::HeaderArrived(TVelHTTP& Http) {
  FHeaderBytes += static_cast<std::int64_t>(Http.Header.size());
  FVerbose.ReplyHeader(Http.Header);
  const bool Failed = FOptions.Fail && Http.ReplyNumber >= 400;
  const bool Followed = FOptions.FollowLocation && IsFollowedRedirection(Http);
  // A reply to HEAD has no body; bytes a server sends after its header anyway are not one.
  FBodyWanted = !Failed && !Followed && FOptions.Command != hcHead;
  // Each reply's header block goes out as it arrives, so a later failure keeps it.
  if ((FOptions.IncludeHeader || FOptions.Head) && !Failed) {
    FOut.Write(Http.Header);
    FHeaderWritten = true;
  }
}

void TCliSession::Redirected(TVelHTTP& Http, bool& Handled) {
  // Without -L the first reply is the result, as in curl.
  if (!FOptions.FollowLocation) {
    Handled = true;
    return;
  }
  if (FRedirects >= FOptions.MaxRedirs) throw EHttpTooManyRedirections();
  ++FRedirects;
  Stage("Following the redirection to " + Http.URL);
}

void TCliSession::Request(TVelHTTP& Http) {
  const std::string& URL = FOptions.URL;
  const std::string Body = CliRequestBody(FOptions.Data, CliReadFile);
  FUploadBytes = static_cast<std::int64_t>(Body.size());
  switch (FOptions.Command) {
    case hcHead: Http.Head(URL); break;
    case hcPost: Http.Post(URL, Body); break;
    case hcPut: Http.Put(URL, Body); break;
    case hcPatch: Http.Patch(URL, Body); break;
    case hcTrace: Http.Trace(URL, Body); break;
    case hcDelete: Http.Delete(URL); break;
    case hcOptions: Http.Options(URL); break;
    case hcCopy: Http.Copy(URL, FOptions.Target); break;
    case hcMove: Http.Move(URL, FOptions.Target); break;
    case hcLink: Http.Link(URL, FOptions.Target); break;
    case hcUnLink: Http.UnLink(URL, FOptions.Target); break;
    default: Http.Get(URL); break;
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
    case TCliOutcome::WeirdReply:
      return Error.empty() ? "the server sent no usable status line" : Error;
    default: return Error;
  }
}

TWriteOutValues TCliSession::WriteOutValues(const TVelHTTP& Http, int Status,
                                            const std::string& Error) const {
  TWriteOutValues V;
  V.HttpCode = Http.ReplyNumber;
  V.UrlEffective = Http.URL.empty() ? FOptions.URL : Http.URL;
  V.NumRedirects = FRedirects;
  V.Method = std::string(CliCommandWord(Http.CurrentCmd));
  V.ExitCode = Status;
  V.ErrorMsg = Error;
  V.ContentType = HeaderField(Http.Header, "content-type");
  if (FFacts.RequestSent || FTimes.Connected >= 0) {
    V.RemoteIp = Address(Http.RemoteAddress);
    V.RemotePort = Http.Proxy.empty() ? Http.Port : Http.ProxyPort;
  }
  V.SizeDownload = FBodyBytes;
  V.SizeHeader = FHeaderBytes;
  V.SizeRequest = FRequestBytes;
  V.SizeUpload = FUploadBytes;
  V.TimeTotal = Seconds();
  V.SpeedDownload = V.TimeTotal > 0 ? static_cast<double>(FBodyBytes) / V.TimeTotal : 0;
  V.TimeNamelookup = FTimes.Resolved;
  V.TimeConnect = FTimes.Connected;
  V.TimePretransfer = FTimes.Connected;
  V.TimeStarttransfer = FTimes.FirstByte;
  V.TimeRedirect = FRedirects > 0 ? FTimes.Start : 0;
  return V;
}

int TCliSession::Finish(TVelHTTP& Http, TCliOutcome Outcome, const std::string& Error) {
  // With -f and a failing status nothing is written, not even an empty file.
  if (Outcome == TCliOutcome::Completed) {
    try {
      FOut.Finish();
    } catch (const ECliWriteError&) {
      Outcome = TCliOutcome::WriteError;
    }
  }
  const int Status = CliExitStatus(Outcome);
  const std::string Message = Status == 0 ? std::string() : FailureText(Http, Outcome, Error);
  if (Status != 0) {
    Stage("Failed: " + Message);
    Complain(Status, Message);
  }
  if (FOptions.HasWriteOut) {
    const std::string Text =
        RenderWriteOut(FOptions.WriteOut, WriteOutValues(Http, Status, Message));
    // -w goes to standard output, unless that is the stream that broke.
    const bool StdoutBroken = FOptions.OutputFile.empty() && FOut.Failed();
    if (!StdoutBroken) {
      TCliOutput Stdout("", FOutFd);
      try {
        Stdout.Write(Text);
      } catch (const ECliWriteError&) {
      }
    }
  }
  return Status;
}

int TCliSession::Run() {
  try {
    auto* Http = new TCliHttp(nullptr);
    FHttp.reset(Http);
    Http->SetEncodePostData(FOptions.UrlEncodeData());
  } catch (const std::exception& E) {
    Complain(1, E.what());
    return 1;
  }
  TVelHTTP& Http = *FHttp;
  Configure(Http);
  TCliOutcome Outcome = TCliOutcome::Completed;
  std::string Error;
  try {
    Request(Http);
    Outcome = CliOutcomeOfReply(Http.ReplyNumber, FOptions.Fail);
  } catch (const std::exception& E) {
    FFacts.TimedOut = Http.TimedOut;
    Outcome = CliOutcomeOf(E, FFacts);
    Error = E.what();
  } catch (...) {
    Outcome = TCliOutcome::Failed;
    Error = "unknown error";
  }
  return Finish(Http, Outcome, Error);
}
