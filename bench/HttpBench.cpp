// Headless driver of TVelHTTP for scripts/bench.sh, and the small tools that script needs to
// measure our runs and the peer tools' runs the same way.
//
//   http_bench get URL N one|fresh [timeout-ms] N Gets in string mode on one component (or a
//                                               fresh component per request)
//   http_bench file URL PATH                   one Get with the body captured into PATH
//   http_bench string URL                      one Get with the body captured into the string
//   http_bench text BYTES                      writes BYTES of made-up prose to stdout, text
//                                               that gzip codes about as it codes real text
//   http_bench free-port                       prints a loopback port that is free now
//   http_bench silent-server SECONDS           listens on a free loopback port, prints it,
//                                               accepts and keeps every connection silent
//   http_bench measure CMD ARGS...             runs CMD and prints its wall time, CPU time and
//                                               peak resident size (from wait4), so that our
//                                               program and the peer tools are measured alike
//
// Before the mode, for https URLs: --cacert FILE turns SecureSocket on and trusts FILE's CA
// (TlsSettings.CaFile); --no-resume turns resumption off (TlsSettings.Resume) so that each
// request makes a full handshake on the context made once, as ab does; --fresh-context forgets
// every context, trust store and session before each request instead, so that each request
// also rebuilds its context, as a new process would. --http1.1 sets HttpVersion = hv11, so
// that the Gets of one component go on the connection it keeps.
//
// The request modes print one line "bytes=B requests=R failures=F passes=P handshakes=H
// full=U connections=C" (for https runs: P the passes, H their TLS handshakes, U those not
// resumed, 0 for plain runs; C the connections the components opened) and exit non-zero
// when a request
// failed (a time-out is the expected end in the silent-server case, so the caller decides
// what an error means).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <set>
#include <thread>
#include <vector>

#include "base/TComponent.h"
#include "http/TVelHTTP.h"
#include "tls/TTlsContext.h"
#include "tls/TTlsFacts.h"

namespace {

struct TTally {
  std::int64_t Bytes = 0;
  long Requests = 0;
  long Failures = 0;
  long Passes = 0;
  long Handshakes = 0;
  long FullHandshakes = 0;
  long Connections = 0;
  std::string LastError;
};

// How the requests reach the server: plain http unless a CA file is given, HTTP/1.0 unless
// asked for HTTP/1.1.
struct TOptions {
  std::string CaFile;
  bool Resume = true;
  bool FreshContext = false;
  bool Http11 = false;
  bool Http2 = false;
};

int Finish(const TTally& T) {
  std::printf(
      "bytes=%lld requests=%ld failures=%ld passes=%ld handshakes=%ld full=%ld connections=%ld\n",
      static_cast<long long>(T.Bytes), T.Requests, T.Failures, T.Passes, T.Handshakes,
      T.FullHandshakes, T.Connections);
  if (T.Failures > 0) std::fprintf(stderr, "last error: %s\n", T.LastError.c_str());
  return T.Failures > 0 ? 1 : 0;
}

// One request on Http, its outcome added to T. A reply status that is not a success counts
// as a failure too: a benchmark of error pages measures nothing useful.
void OneGet(TVelHTTP& Http, const std::string& URL, const TOptions& Tls, TTally& T) {
  ++T.Requests;
  try {
    if (Tls.FreshContext) TTlsContext::ClearCache();
    Http.Get(URL);
    if (Http.ReplyNumber != 200) {
      ++T.Failures;
      T.LastError = "status " + std::to_string(Http.ReplyNumber);
    }
    T.Bytes += Http.BytesRecvd;
  } catch (const std::exception& E) {
    ++T.Failures;
    T.LastError = E.what();
  }
}

// An https pass is counted once its request is sent: by then it has its session's facts. A
// plain run gets no handler, so that its figures stay those of the component alone.
TOwned<TVelHTTP> MakeHttp(int TimeOutMs, const TOptions& Tls, TTally& T) {
  TOwned<TVelHTTP> Http(new TVelHTTP(nullptr));
  Http->TimeOut = TimeOutMs;
  Http->ReportLevel = 2;  // what the desktop program asks for
  if (Tls.Http11) Http->HttpVersion = hv11;
  if (Tls.Http2) Http->HttpVersion = hv2;
  if (Tls.CaFile.empty()) return Http;
  Http->SecureSocket = true;
  Http->TlsSettings.CaFile = Tls.CaFile;
  Http->TlsSettings.Resume = Tls.Resume;
  TVelHTTP* Raw = Http.get();
  Http->OnStage = [Raw, &T](TObject*, THttpStage Stage) {
    if (Stage != hsRequestSent) return;
    ++T.Passes;
    // A kept connection still shows the facts of the handshake that opened it.
    if (Raw->ConnectionReused()) return;
    const TTlsFacts* Facts = Raw->TlsFacts();
    if (Facts == nullptr) return;
    ++T.Handshakes;
    if (!Facts->Resumed) ++T.FullHandshakes;
  };
  return Http;
}

int RunGets(const std::string& URL, long N, bool Fresh, int TimeOutMs, const TOptions& Tls) {
  TTally T;
  if (Fresh) {
    for (long I = 0; I < N; ++I) {
      const TOwned<TVelHTTP> Http = MakeHttp(TimeOutMs, Tls, T);
      OneGet(*Http, URL, Tls, T);
      T.Connections += Http->ConnectionsOpened();
    }
  } else {
    const TOwned<TVelHTTP> Http = MakeHttp(TimeOutMs, Tls, T);
    for (long I = 0; I < N; ++I) OneGet(*Http, URL, Tls, T);
    T.Connections = Http->ConnectionsOpened();
  }
  return Finish(T);
}

int RunCapture(const std::string& URL, const std::string* Path, const TOptions& Tls) {
  TTally T;
  const TOwned<TVelHTTP> Http = MakeHttp(60000, Tls, T);
  if (Path != nullptr) {
    Http->InputFileMode = true;
    Http->Body = *Path;
  }
  OneGet(*Http, URL, Tls, T);
  if (Path == nullptr && static_cast<std::int64_t>(Http->Body.size()) != Http->BytesRecvd) {
    ++T.Failures;
    T.LastError = "Body holds " + std::to_string(Http->Body.size()) + " bytes, " +
                  std::to_string(Http->BytesRecvd) + " received";
  }
  return Finish(T);
}

// Accepts every connection and never writes to it; exits after Seconds.
int SilentServer(int Seconds) {
  const int Listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof A;
  if (::bind(Listener, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
      ::listen(Listener, 16) != 0 ||
      ::getsockname(Listener, reinterpret_cast<sockaddr*>(&A), &Len) != 0) {
    std::perror("silent-server");
    return 1;
  }
  std::printf("%d\n", ntohs(A.sin_port));
  std::fflush(stdout);
  std::thread([Listener] {
    std::vector<int> Held;
    for (;;) {
      const int Fd = ::accept(Listener, nullptr, nullptr);
      if (Fd >= 0) Held.push_back(Fd);
    }
  }).detach();
  std::this_thread::sleep_for(std::chrono::seconds(Seconds));
  return 0;
}

// A port the kernel picks for a socket bound to port 0; it is free again once closed.
int FreePort() {
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof A;
  if (::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
      ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len) != 0) {
    std::perror("free-port");
    return 1;
  }
  std::printf("%d\n", ntohs(A.sin_port));
  ::close(Fd);
  return 0;
}

// Made-up prose for the coded bodies: words of a vocabulary drawn by Zipf's law (the frequent
// ones short, as in a real language), in sentences with commas, lines of at most 72 columns
// and paragraphs. gzip -6 makes it 2.6 times smaller (-1: 2.2), within the range it reaches
// on English prose; a repeated line would shrink a thousandfold and measure nothing of a
// decoder. The same bytes every run.
class TProse {
 public:
  TProse() {
    static const char* const Syllables[] = {
        "a",  "be", "ca", "de", "en", "fo", "ga", "he", "in", "jo", "ka", "le", "ma", "ne",
        "on", "pe", "qua", "re", "se", "ta", "un", "ve", "wa", "xe", "yo", "ze", "th", "st",
        "ar", "or", "ing", "ion", "er", "al", "ic", "ous", "ly", "nt", "ch", "sh", "ou", "ai"};
    constexpr std::size_t SyllableCount = sizeof Syllables / sizeof Syllables[0];
    std::set<std::string> Taken;
    while (FWords.size() < WordCount) {
      // One or two syllables for the most frequent words, up to four for the rarest.
      const std::size_t Rank = FWords.size();
      const std::size_t Parts = 1 + (Rank >= 20 || Next() % 2 == 0) + (Rank >= 600) +
                                (Rank >= 2000 && Next() % 3 == 0);
      std::string Word;
      for (std::size_t I = 0; I < Parts; ++I) Word += Syllables[Next() % SyllableCount];
      if (Taken.insert(Word).second) FWords.push_back(std::move(Word));
    }
    // Rank r is drawn with a weight of 1 / (r + 1): a table of 65536 slots, each rank given
    // its share of them.
    double Total = 0;
    for (std::size_t R = 0; R < WordCount; ++R) Total += 1.0 / static_cast<double>(R + 1);
    double Sum = 0;
    std::size_t Slot = 0;
    for (std::size_t R = 0; R < WordCount && Slot < FPick.size(); ++R) {
      Sum += 1.0 / static_cast<double>(R + 1);
      const auto End = static_cast<std::size_t>(Sum / Total * static_cast<double>(FPick.size()));
      for (; Slot < End && Slot < FPick.size(); ++Slot) FPick[Slot] = static_cast<std::uint16_t>(R);
    }
    for (; Slot < FPick.size(); ++Slot) FPick[Slot] = static_cast<std::uint16_t>(WordCount - 1);
  }

  // Writes Bytes of it to Out.
  bool Write(std::int64_t Bytes, std::FILE* Out) {
    std::string Block;
    std::size_t Column = 0;
    int WordsLeft = 0;
    int SentencesLeft = 4;
    while (Bytes > 0) {
      while (Block.size() < (1 << 20)) {
        std::string Word = FWords[FPick[Next() & 0xffff]];
        if (WordsLeft == 0) {
          WordsLeft = 4 + static_cast<int>(Next() % 20);
          Word[0] = static_cast<char>(Word[0] - 'a' + 'A');
        }
        if (--WordsLeft == 0) {
          Word += Next() % 10 == 0 ? '?' : '.';
        } else if (Next() % 9 == 0) {
          Word += ',';
        }
        if (Column > 0 && Column + 1 + Word.size() > 72) {
          Block += '\n';
          Column = 0;
        } else if (Column > 0) {
          Block += ' ';
          ++Column;
        }
        Block += Word;
        Column += Word.size();
        if (WordsLeft == 0 && --SentencesLeft == 0) {
          Block += "\n\n";
          Column = 0;
          SentencesLeft = 3 + static_cast<int>(Next() % 6);
        }
      }
      const std::size_t Take = static_cast<std::size_t>(std::min<std::int64_t>(Bytes, static_cast<std::int64_t>(Block.size())));
      if (std::fwrite(Block.data(), 1, Take, Out) != Take) return false;
      Bytes -= static_cast<std::int64_t>(Take);
      Block.clear();
    }
    return std::fflush(Out) == 0;
  }

 private:
  static constexpr std::size_t WordCount = 6000;
  std::uint64_t Next() {  // xorshift64*, seeded alike every run
    FState ^= FState >> 12;
    FState ^= FState << 25;
    FState ^= FState >> 27;
    return (FState * 0x2545f4914f6cdd1dULL) >> 32;
  }
  std::uint64_t FState = 0x6f72726572792021ULL;
  std::vector<std::string> FWords;
  std::array<std::uint16_t, 65536> FPick{};
};

int WriteProse(std::int64_t Bytes) {
  TProse Prose;
  if (!Prose.Write(Bytes, stdout)) {
    std::perror("text");
    return 1;
  }
  return 0;
}

double Seconds(const timeval& T) {
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_usec) / 1e6;
}

// Runs the command with its output discarded and reports what the kernel counted for it.
int Measure(char** Argv) {
  const auto Start = std::chrono::steady_clock::now();
  const pid_t Child = ::fork();
  if (Child < 0) {
    std::perror("fork");
    return 1;
  }
  if (Child == 0) {
    std::FILE* Null = std::fopen("/dev/null", "w");
    if (Null != nullptr) ::dup2(::fileno(Null), STDOUT_FILENO);
    ::execvp(Argv[0], Argv);
    std::perror(Argv[0]);
    ::_exit(127);
  }
  int Status = 0;
  rusage Usage{};
  if (::wait4(Child, &Status, 0, &Usage) < 0) {
    std::perror("wait4");
    return 1;
  }
  const double Wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  std::printf("wall=%.6f user=%.6f sys=%.6f maxrss_kib=%ld status=%d\n", Wall,
              Seconds(Usage.ru_utime), Seconds(Usage.ru_stime), Usage.ru_maxrss,
              WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status));
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: http_bench [--cacert FILE] [--no-resume] [--fresh-context] [--http1.1] [--http2] get URL N "
               "one|fresh [timeout-ms] |\n"
               "       file URL PATH | string URL | text BYTES |\n"
               "       free-port | silent-server SECONDS | measure CMD ARGS...\n");
  return 2;
}

// Takes the options in front of the mode off argc and argv.
TOptions LeadingOptions(int& argc, char**& argv) {
  TOptions Tls;
  while (argc >= 2) {
    if (std::strcmp(argv[1], "--cacert") == 0 && argc >= 3) {
      Tls.CaFile = argv[2];
      argc -= 2;
      argv += 2;
    } else if (std::strcmp(argv[1], "--no-resume") == 0) {
      Tls.Resume = false;
      argc -= 1;
      argv += 1;
    } else if (std::strcmp(argv[1], "--http1.1") == 0) {
      Tls.Http11 = true;
      argc -= 1;
      argv += 1;
    } else if (std::strcmp(argv[1], "--http2") == 0) {
      Tls.Http2 = true;
      argc -= 1;
      argv += 1;
    } else if (std::strcmp(argv[1], "--fresh-context") == 0) {
      Tls.FreshContext = true;
      argc -= 1;
      argv += 1;
    } else {
      break;
    }
  }
  return Tls;
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions Tls = LeadingOptions(argc, argv);
  if (argc == 2 && std::strcmp(argv[1], "free-port") == 0) return FreePort();
  if (argc < 3) return Usage();
  const std::string Mode = argv[1];
  if (Mode == "measure") return Measure(argv + 2);
  if (Mode == "silent-server") return SilentServer(std::atoi(argv[2]));
  if (Mode == "text") return WriteProse(std::atoll(argv[2]));
  const std::string URL = argv[2];
  if (Mode == "get" && argc >= 4) {
    const bool Fresh = argc >= 5 && std::strcmp(argv[4], "fresh") == 0;
    const int TimeOutMs = argc >= 6 ? std::atoi(argv[5]) : 30000;
    return RunGets(URL, std::atol(argv[3]), Fresh, TimeOutMs, Tls);
  }
  if (Mode == "file" && argc >= 4) {
    const std::string Path = argv[3];
    return RunCapture(URL, &Path, Tls);
  }
  if (Mode == "string") return RunCapture(URL, nullptr, Tls);
  return Usage();
}
