// Throughput of TQuaywire's captures over loopback: a peer thread sends N MiB as fast as it
// can, the component captures it into a string and into a file. For reference it also
// times what those captures cannot avoid: the copies into memory (touched, and a growing
// string) and into a file, and a bare blocking recv() loop over the same kind of loopback
// connection. A capture should cost about the recv loop plus the copy into its target.
//
//   capture_bench [MiB]     (default 1024)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "socket/TQuaywire.h"
#include "tests/support/LoopbackPeer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration D) { return std::chrono::duration<double>(D).count(); }

void Report(const char* What, std::size_t Bytes, Clock::duration D) {
  std::printf("%-28s %8.1f MiB in %6.3f s  = %8.1f MiB/s\n", What,
              static_cast<double>(Bytes) / (1 << 20), Seconds(D),
              static_cast<double>(Bytes) / (1 << 20) / Seconds(D));
}

// A peer that sends Bytes bytes and closes.
testsupport::LoopbackPeer::Script Sender(std::size_t Bytes) {
  return [Bytes](int Fd) {
    std::vector<char> Block(1 << 20, 'x');
    std::size_t Left = Bytes;
    while (Left > 0) {
      const std::size_t N = std::min(Left, Block.size());
      const ssize_t Sent = ::send(Fd, Block.data(), N, MSG_NOSIGNAL);
      if (Sent <= 0) return;
      Left -= static_cast<std::size_t>(Sent);
    }
  };
}

// A component connected to Peer.
TOwned<TQuaywire> ConnectedTo(const testsupport::LoopbackPeer& Peer) {
  TOwned<TQuaywire> Q(new TQuaywire(nullptr));
  Q->Host = "127.0.0.1";
  Q->Port = Peer.Port();
  Q->Connect();
  return Q;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t MiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  const std::size_t Bytes = MiB << 20;

  {
    std::vector<char> From(65536, 'x'), To(Bytes);
    const auto Start = Clock::now();
    for (std::size_t Off = 0; Off < Bytes; Off += From.size())
      std::memcpy(To.data() + Off, From.data(), From.size());
    Report("memcpy into touched memory", Bytes, Clock::now() - Start);
  }

  {
    // What a capture into a new string must pay whatever the socket does: fresh pages and
    // the string's growth.
    std::vector<char> From(65536, 'x');
    std::string To;
    const auto Start = Clock::now();
    for (std::size_t Off = 0; Off < Bytes; Off += From.size()) To.append(From.data(), From.size());
    Report("string append, 64 KiB", To.size(), Clock::now() - Start);
  }

  {
    char Name[] = "/tmp/orrery-bench-XXXXXX";
    const int Fd = mkstemp(Name);
    std::vector<char> From(65536, 'x');
    const auto Start = Clock::now();
    for (std::size_t Off = 0; Off < Bytes; Off += From.size())
      if (::write(Fd, From.data(), From.size()) < 0) break;
    Report("file write (/tmp), 64 KiB", Bytes, Clock::now() - Start);
    ::close(Fd);
    ::unlink(Name);
  }

  {
    testsupport::LoopbackPeer Peer(Sender(Bytes));
    const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    A.sin_port = htons(Peer.Port());
    if (::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) return 1;
    std::vector<char> Block(65536);
    std::size_t Got = 0;
    const auto Start = Clock::now();
    for (ssize_t N; (N = ::recv(Fd, Block.data(), Block.size(), 0)) > 0;)
      Got += static_cast<std::size_t>(N);
    Report("bare recv() loop, 64 KiB", Got, Clock::now() - Start);
    ::close(Fd);
  }

  {
    testsupport::LoopbackPeer Peer(Sender(Bytes));
    const TOwned<TQuaywire> Q = ConnectedTo(Peer);
    std::string Text;
    long Packets = 0;
    Q->OnPacketRecvd = [&](TObject*) { ++Packets; };
    const auto Start = Clock::now();
    Q->CaptureString(Text, -1);
    Report("CaptureString", Text.size(), Clock::now() - Start);
    std::printf("  %ld blocks, %.1f KiB on average\n", Packets,
                static_cast<double>(Text.size()) / 1024.0 / static_cast<double>(Packets));
    if (Text.size() != Bytes) std::printf("  short: %zu bytes\n", Text.size());
  }

  {
    char Name[] = "/tmp/orrery-bench-XXXXXX";
    const int Fd = mkstemp(Name);
    ::close(Fd);
    testsupport::LoopbackPeer Peer(Sender(Bytes));
    const TOwned<TQuaywire> Q = ConnectedTo(Peer);
    const auto Start = Clock::now();
    Q->CaptureFile(Name);
    Report("CaptureFile (/tmp)", static_cast<std::size_t>(Q->BytesRecvd), Clock::now() - Start);
    ::unlink(Name);
  }
  return 0;
}
