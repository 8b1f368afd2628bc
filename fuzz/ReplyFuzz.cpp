// Fuzz target: the reply reader and the request loop. Arbitrary server bytes, cut into
// arbitrary pieces, one reply per connection, go through ReadLn, ReadResponseHeader, the
// body capture and the redirections. Whatever arrives, the request ends (normally or with an
// Exception), keeps the body its framing gives and reads nothing past it, never passes a
// reset off as a normal end, leaves no descriptor or socket behind, and the same component
// then completes a normal request.
//
// Input: one flags byte, then the replies of the connections separated by "|#|", each cut
// into pieces by "|~|". Flags: bits 0-1 the command (GET, HEAD, POST, PUT), bit 2 through a
// proxy, bit 3 every scripted connection ends with a reset, bit 4 OnRedirect sets Handled,
// bit 5 file modes, bit 6 credentials set.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/TApplication.h"
#include "base/TComponent.h"
#include "fuzz/FuzzRequire.h"
#include "fuzz/TReplyFeed.h"
#include "http/TReplyHead.h"
#include "http/TVelHTTP.h"
#include "platform/MessageQueue.h"
#include "platform/WinSock.h"
#include "tests/support/TestHelpers.h"

namespace {

constexpr std::size_t MaxConnections = 8;
constexpr std::size_t MaxPieces = 256;

std::vector<std::string> SplitAt(const std::string& Text, const std::string& Marker,
                                 std::size_t Limit) {
  std::vector<std::string> Out;
  std::size_t At = 0;
  while (Out.size() + 1 < Limit) {
    const auto Next = Text.find(Marker, At);
    if (Next == std::string::npos) break;
    Out.push_back(Text.substr(At, Next - At));
    At = Next + Marker.size();
  }
  Out.push_back(Text.substr(At));
  return Out;
}

std::string FileText(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

// A scratch folder for the file modes, made once per process.
const std::string& Scratch() {
  static const std::string Dir = [] {
    char Template[] = "/tmp/orrery-replyfuzz-XXXXXX";
    const char* Made = ::mkdtemp(Template);
    Require(Made != nullptr, "cannot make a scratch folder");
    return std::string(Made);
  }();
  return Dir;
}

// Header read again as the component read it; Over tells whether its lines end the block
// (with an empty line after a final reply, or with a first line that is no status line).
TReplyHead HeadOf(const std::string& Header, bool* Over = nullptr) {
  TReplyHead Reading;
  std::string_view Rest = Header;
  bool Ended = false;
  while (!Rest.empty()) {
    const std::size_t End = std::min(Rest.find('\n'), Rest.size() - 1);
    Ended = Reading.Take(Rest.substr(0, End + 1));
    Rest.remove_prefix(End + 1);
  }
  if (Over) *Over = Ended;
  return Reading;
}

// The reply in Header (its final part) needs nothing after BodySize bytes of body: it is no
// HTTP reply, carries none, or announced a length that has arrived, without a chunked coding.
bool WholeByItsLength(const std::string& Header, std::size_t BodySize, bool Head, int Status) {
  const TReplyHead Reading = HeadOf(Header);
  if (Reading.NotHttp() || ReplyWithoutBody(Head ? hcHead : hcGet, Status)) return true;
  return !Reading.Chunked() && Reading.HasLength() &&
         static_cast<std::int64_t>(BodySize) >= Reading.Length();
}

struct TWorld {
  TReplyFeed Feed;
  TWorld() {
    // The platform opens its queue with the first component: do that before any count.
    TOwned<TVelHTTP>(new TVelHTTP(nullptr)).reset();
    Application.OnWaitForEvent = [this](int TimeoutMs) {
      Feed.Step();
      win::WaitMessage(TimeoutMs);
    };
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  static TWorld World;
  TReplyFeed& Feed = World.Feed;
  if (Size == 0) return 0;
  const std::uint8_t Flags = Data[0];
  const std::string Rest(reinterpret_cast<const char*>(Data + 1), Size - 1);

  std::vector<TReplyFeed::TConnection> Script;
  for (const std::string& Reply : SplitAt(Rest, "|#|", MaxConnections))
    Script.push_back({SplitAt(Reply, "|~|", MaxPieces), (Flags & 8) != 0});
  Feed.Load(Script);

  const bool ViaProxy = Flags & 4;
  const bool FileModes = Flags & 32;
  const std::string HeaderFile = Scratch() + "/head.txt";
  const std::string BodyFile = Scratch() + "/body.htm";
  const std::string SendFileName = Scratch() + "/send.dat";
  if (FileModes) std::ofstream(SendFileName, std::ios::binary) << "a=1&b=2";

  const int FdsBefore = OpenDescriptors();
  const std::size_t SocketsBefore = win::GetQueueStats().Sockets;
  {
    const TOwned<TVelHTTP> Http(new TVelHTTP(nullptr));
    Http->TimeOut = 5000;  // tripwire: the feed never leaves the client waiting
    const std::string Origin = "http://127.0.0.1:" + std::to_string(Feed.Port()) + "/start";
    if (ViaProxy) {
      Http->Proxy = "127.0.0.1";
      Http->ProxyPort = Feed.Port();
    } else {
      // Wherever a redirection points, the connection goes to the feed.
      Http->OnAboutToSend = [&](TObject*) {
        Http->Host = "127.0.0.1";
        Http->Port = Feed.Port();
      };
    }
    Http->OnRedirect = [&](bool& Handled) { Handled = (Flags & 16) != 0; };
    if (Flags & 64) {
      Http->HeaderInfo.UserId = "user";
      Http->HeaderInfo.Password = "secret";
    }
    if (FileModes) {
      Http->InputFileMode = true;
      Http->OutputFileMode = true;
      Http->Header = HeaderFile;
      Http->Body = BodyFile;
    }

    bool Failed = false;
    try {
      const std::string Payload = FileModes ? SendFileName : "a=1&b=2";
      switch (Flags & 3) {
        case 0: Http->Get(Origin); break;
        case 1: Http->Head(Origin); break;
        case 2: Http->Post(Origin, Payload); break;
        default: Http->Put(Origin, Payload); break;
      }
    } catch (const Exception& E) {
      Failed = true;
      Require(*E.what() != '\0', "an error without a message");
    } catch (const std::exception& E) {
      Require(false, "an error outside the Exception classes", [&] { return E.what(); });
    }

    Require(!Http->Busy(), "the component still counts itself busy");
    Require(!Http->Connected, "the connection was left open");

    const std::size_t Index = static_cast<std::size_t>(Feed.Accepted()) - 1;
    const bool Scripted = Feed.Accepted() > 0 && Index < Script.size();
    if (!Failed && Feed.Accepted() > 0) {
      const std::string Header = FileModes ? FileText(HeaderFile) : Http->Header;
      const std::string Body = FileModes ? FileText(BodyFile) : Http->Body;
      const std::string& Sent = Feed.LastSent();
      Require(Sent.compare(0, Header.size() + Body.size(), Header + Body) == 0 &&
                  Header.size() + Body.size() <= Sent.size(),
              "header and body are not what the server sent",
              [&] { return Escaped(Sent) + "  ->  " + Escaped(Header) + " | " + Escaped(Body); });
      // Ended by its empty line, but not by the empty line of an interim (1xx) reply, after
      // which another status line is due; or by a first line that is no status line (a
      // blank one too), which is all that is read of a stream that is no reply.
      bool HeaderComplete = false;
      HeadOf(Header, &HeaderComplete);
      const bool Head = (Flags & 3) == 1;
      if (Feed.LastEnded()) {
        // The body runs to the close unless its framing ended it first (then nothing after
        // it is read). Otherwise only a last header line without its LF may be missing, and
        // only when the header never ended.
        const std::string Missing = Sent.substr(Header.size() + Body.size());
        const bool Framed =
            HeaderComplete && WholeByItsLength(Header, Body.size(), Head, Http->ReplyNumber);
        Require(Missing.empty() || Framed ||
                    (!HeaderComplete && Body.empty() && Missing.find('\n') == std::string::npos),
                "bytes the server sent were lost",
                [&] { return Escaped(Sent) + "  lost: " + Escaped(Missing); });
        // A reset passes only after a reply whole by its own framing: one that carries no
        // body, or one whose announced length has arrived.
        if (Scripted && Script[Index].Reset)
          Require(HeaderComplete && WholeByItsLength(Header, Body.size(), Head, Http->ReplyNumber),
                  "a reset passed before the end of the reply", [&] { return Escaped(Sent); });
      }
      if (HeaderComplete && Http->BytesTotal > 0 && !HeadOf(Header).Chunked())
        Require(static_cast<std::int64_t>(Body.size()) <= Http->BytesTotal,
                "more body was kept than announced");
    }

    // The same component must serve the next request as if nothing had happened.
    Feed.Load({{{"HTTP/1.0 200 OK\r\n", "Content-Length: 2\r\n\r\n", "ok"}, false}});
    Http->InputFileMode = false;
    Http->OutputFileMode = false;
    Http->OnRedirect = nullptr;
    try {
      Http->Get(Origin);
    } catch (const std::exception& E) {
      Require(false, "the component failed a normal request after this input",
              [&] { return E.what(); });
    }
    Require(Http->ReplyNumber == 200 && Http->Body == "ok",
            "the component got a normal reply wrong after this input",
            [&] { return std::to_string(Http->ReplyNumber) + " " + Escaped(Http->Body); });
    Require(!Http->Connected, "the normal request left its connection open");
  }
  Feed.Drop();
  Require(win::GetQueueStats().Sockets == SocketsBefore, "a platform socket was left behind");
  Require(OpenDescriptors() == FdsBefore, "a descriptor was left open",
          [&] { return std::to_string(FdsBefore) + " -> " + std::to_string(OpenDescriptors()); });
  return 0;
}
