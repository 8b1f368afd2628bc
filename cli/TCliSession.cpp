// TCliSession: the request of orrery-cli, its trace, its output and its outcome.
#include "cli/TCliSession.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <exception>

namespace {

// A server's bytes must not drive the terminal: control bytes are shown escaped.
std::string Printable(const std::string& Text) {
  static const char Hex[] = "0123456789abcdef";
  std::string Shown;
  Shown.reserve(Text.size());
  for (const char C : Text) {
    const auto Byte = static_cast<unsigned char>(C);
    if ((Byte < 0x20 && Byte != '\t') || Byte == 0x7f) {
      Shown += "\\x";
      Shown += Hex[Byte >> 4];
      Shown += Hex[Byte & 15];
    } else {
      Shown += C;
    }
  }
  return Shown;
}

// Calls Each with every line of Block, without its line end; a final empty line (the one
// that ends a header block) is left out.
template <class F>
void ForEachLine(const std::string& Block, F Each) {
  std::size_t From = 0;
  while (From < Block.size()) {
    auto Lf = Block.find('\n', From);
    const bool Ended = Lf != std::string::npos;
    if (!Ended) Lf = Block.size();
    std::size_t To = Lf;
    if (Ended && To > From && Block[To - 1] == '\r') --To;
    if (To > From || !Ended || Lf + 1 < Block.size()) Each(Block.substr(From, To - From));
    From = Lf + 1;
  }
}

}  // namespace

TCliSession::TCliSession(const TCliOptions& Options, std::FILE* Out, std::FILE* Err,
                         std::chrono::steady_clock::time_point Start)
    : FOptions(Options), FOut(Out), FErr(Err), FStart(Start) {}

void TCliSession::Trace(const std::string& Text) {
  const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - FStart)
                      .count();
  std::fprintf(FErr, "[%6lld ms] %s\n", static_cast<long long>(Ms), Printable(Text).c_str());
}

void TCliSession::Complain(const std::string& Message) {
  std::fprintf(FErr, "orrery-cli: %s\n", Printable(Message).c_str());
}

void TCliSession::TraceReplyHeader(const TVelHTTP& Http) {
  if (FReplyHeaderTraced || Http.Header.empty()) return;
  FReplyHeaderTraced = true;
  ForEachLine(Http.Header, [this](const std::string& Line) { Trace("< " + Line); });
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
  // The body goes straight to the file; the header block always stays in memory.
  Http.InputFileMode = !FOptions.OutputFile.empty();
  Http.OutputFileMode = false;
  if (Http.InputFileMode) Http.Body = FOptions.OutputFile;

  // These three are needed with or without the trace: they tell how a request ended.
  const bool V = FOptions.Verbose;
  Http.OnInvalidHost = [this, V](bool&) {
    FHostNotFound = true;
    if (V) Trace("OnInvalidHost");
  };
  Http.OnConnectionFailed = [this, V](TObject*) {
    FConnectFailed = true;
    if (V) Trace("OnConnectionFailed");
  };
  const bool KeepHeaders = FOptions.IncludeHeader || FOptions.Head;
  Http.OnRedirect = [this, &Http, V, KeepHeaders](bool&) {
    if (KeepHeaders) FHeaders += Http.Header;
    if (V) Trace("OnRedirect " + std::to_string(Http.ReplyNumber) + " to " + Http.URL);
  };
  if (!V) {
    Http.ReportLevel = 0;
    return;
  }

  // Every status text of the socket layer, down to its trace level.
  Http.ReportLevel = 8;
  Http.OnStatus = [this](TObject*, const std::string& Status) { Trace(Status); };
  Http.OnAboutToSend = [this, &Http](TObject*) {
    FReplyHeaderTraced = false;
    Trace("OnAboutToSend " + std::string(CommandWord(Http.CurrentCmd)) + " " + Http.URL +
          (Http.Proxy.empty() ? std::string()
                              : " through " + Http.Proxy + ":" + std::to_string(Http.ProxyPort)) +
          (Http.PassIndex() > 0 ? " (pass " + std::to_string(Http.PassIndex() + 1) + ")"
                                : std::string()));
    ForEachLine(Http.RequestHeaderSent(), [this](const std::string& Line) { Trace("> " + Line); });
  };
  Http.OnHostResolved = [this, &Http](TObject*) {
    char Address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &Http.RemoteAddress.sin_addr, Address, sizeof Address);
    Trace("OnHostResolved " + ServerName(Http) + " is " + Address);
  };
  Http.OnConnect = [this, &Http](TObject*) { Trace("OnConnect " + ServerName(Http)); };
  Http.OnDataAvailable = [this](TObject*) { Trace("OnDataAvailable"); };
  Http.OnPacketSent = [this, &Http](TObject*) {
    Trace("OnPacketSent " + std::to_string(Http.BytesSent) + " bytes");
  };
  Http.OnPacketRecvd = [this, &Http](TObject*) {
    Trace("OnPacketRecvd " + std::to_string(Http.BytesRecvd) + " bytes" +
          (Http.BytesTotal > 0 ? " of " + std::to_string(Http.BytesTotal) : std::string()));
  };
  Http.OnError = [this](TObject*, std::uint16_t, const std::string& Text) {
    Trace("OnError " + Text);
  };
  Http.OnSuccess = [this, &Http](CmdType Cmd) {
    Trace(std::string("OnSuccess ") + CommandWord(Cmd) + " " + std::to_string(Http.ReplyNumber));
  };
  Http.OnFailure = [this, &Http](CmdType Cmd) {
    Trace(std::string("OnFailure ") + CommandWord(Cmd) + " " + std::to_string(Http.ReplyNumber));
  };
  Http.OnDisconnect = [this, &Http](TObject*) {
    // A reply cut off in its header has no header end: show what came.
    TraceReplyHeader(Http);
    Trace("OnDisconnect");
  };
  Http.OnStage = [this, &Http](TObject*, THttpStage Stage) {
    static const char* const Names[] = {"PassStart", "RequestSent", "StatusLine", "HeaderEnd",
                                        "BodyEnd"};
    Trace(std::string("OnStage ") + Names[Stage]);
    if (Stage == hsHeaderEnd) TraceReplyHeader(Http);
  };
  Http.OnAuthenticationNeeded = [this](TObject*) { Trace("OnAuthenticationNeeded"); };
}

std::string TCliSession::ServerName(const TVelHTTP& Http) const {
  return Http.Proxy.empty() ? Http.Host + ":" + std::to_string(Http.Port)
                            : Http.Proxy + ":" + std::to_string(Http.ProxyPort);
}

void TCliSession::Request(TVelHTTP& Http) {
  if (FOptions.Head)
    Http.Head(FOptions.URL);
  else if (FOptions.Post)
    Http.Post(FOptions.URL, FOptions.PostData);
  else
    Http.Get(FOptions.URL);
}

TCliOutcome TCliSession::Classify(const TVelHTTP& Http) const {
  // The time-out is checked first: a connection that timed out also reports its failure.
  if (Http.TimedOut) return TCliOutcome::TimedOut;
  if (FHostNotFound) return TCliOutcome::HostNotFound;
  if (FConnectFailed) return TCliOutcome::ConnectFailed;
  return TCliOutcome::Failed;
}

bool TCliSession::WriteOut(const std::string& Bytes) {
  if (!Bytes.empty() && std::fwrite(Bytes.data(), 1, Bytes.size(), FOut) != Bytes.size())
    return false;
  return true;
}

int TCliSession::Run() {
  std::string Error;
  try {
    FHttp.reset(new TVelHTTP(nullptr));
  } catch (const std::exception& E) {
    Complain(E.what());
    return ExitFailed;
  }
  TVelHTTP& Http = *FHttp;
  Configure(Http);
  TCliOutcome Outcome = TCliOutcome::Completed;
  try {
    Request(Http);
  } catch (const std::exception& E) {
    Outcome = Classify(Http);
    Error = E.what();
  } catch (...) {
    Outcome = TCliOutcome::Failed;
    Error = "unknown error";
  }
  if (FOptions.Verbose && !Error.empty()) Trace("Error: " + Error);

  switch (Outcome) {
    case TCliOutcome::Completed: break;
    case TCliOutcome::HostNotFound:
      Complain("host not found: " + (Http.Proxy.empty() ? Http.Host : Http.Proxy) + " (" + Error +
               ")");
      return ExitHostNotFound;
    case TCliOutcome::ConnectFailed:
      Complain("could not connect to " + ServerName(Http) + " (" + Error + ")");
      return ExitConnectFailed;
    case TCliOutcome::TimedOut:
      Complain("timed out after " + std::to_string(FOptions.TimeOutMs) + " ms (" + Error + ")");
      return ExitTimedOut;
    case TCliOutcome::Failed: Complain(Error); return ExitFailed;
  }

  const int Status = CliExitStatus(Outcome, Http.ReplyNumber);
  if (Http.ReplyNumber <= 0) {
    Complain("the server sent no usable status line");
    return Status;
  }
  bool Written = true;
  if (FOptions.IncludeHeader || FOptions.Head) Written = WriteOut(FHeaders + Http.Header);
  // A reply to HEAD has no body; bytes a server sends after its header anyway are not one.
  if (Written && !FOptions.Head && !Http.InputFileMode) Written = WriteOut(Http.Body);
  if (std::fflush(FOut) != 0 || !Written) {
    Complain(std::string("cannot write the reply to standard output: ") + std::strerror(errno));
    return ExitFailed;
  }
  return Status;
}
