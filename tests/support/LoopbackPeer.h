// A scripted TCP peer on 127.0.0.1, port 0, for tests: a thread accepts connections and
// runs a script on each with plain blocking POSIX calls. Every call it makes is bounded by a
// receive/send time-out, so a test that goes wrong fails instead of hanging.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace testsupport {

// A one-shot signal between the test thread and a peer thread.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> Lock(FMutex);
    FOpen = true;
    FCond.notify_all();
  }
  // False when the deadline passed first.
  bool Wait(std::chrono::milliseconds Limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> Lock(FMutex);
    return FCond.wait_for(Lock, Limit, [this] { return FOpen; });
  }

 private:
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FOpen = false;
};

inline void SendAll(int Fd, const std::string& Data) {
  std::size_t Done = 0;
  while (Done < Data.size()) {
    const ssize_t N = ::send(Fd, Data.data() + Done, Data.size() - Done, MSG_NOSIGNAL);
    if (N <= 0) return;  // the other side is gone; the test's own checks will say so
    Done += static_cast<std::size_t>(N);
  }
}

// Reads until the other side closes (or the time-out of the fd passes).
inline std::string RecvAll(int Fd) {
  std::string Data;
  char Buffer[65536];
  for (;;) {
    const ssize_t N = ::recv(Fd, Buffer, sizeof Buffer, 0);
    if (N <= 0) return Data;
    Data.append(Buffer, static_cast<std::size_t>(N));
  }
}

// Keeps the connection open until the other side closes it or the peer is destroyed.
inline void HoldOpen(int Fd) { RecvAll(Fd); }

// Reads exactly Count bytes, or fewer if the other side closes first.
inline std::string RecvExactly(int Fd, std::size_t Count) {
  std::string Data(Count, '\0');
  std::size_t Done = 0;
  while (Done < Count) {
    const ssize_t N = ::recv(Fd, Data.data() + Done, Count - Done, 0);
    if (N <= 0) break;
    Done += static_cast<std::size_t>(N);
  }
  Data.resize(Done);
  return Data;
}

// The request a peer received: the header block up to its empty line, then as many bytes as
// its Content-Length (name in any case) announces; less if the other side closes first.
inline std::string ReadHttpRequest(int Fd) {
  std::string Data;
  char Buffer[4096];
  std::size_t End;
  while ((End = Data.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t N = ::recv(Fd, Buffer, sizeof Buffer, 0);
    if (N <= 0) return Data;
    Data.append(Buffer, static_cast<std::size_t>(N));
  }
  std::string Lower = Data.substr(0, End);
  for (char& C : Lower) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  std::size_t Length = 0;
  if (const auto At = Lower.find("\r\ncontent-length: "); At != std::string::npos)
    Length = std::stoul(Lower.substr(At + 18));
  const std::size_t Want = End + 4 + Length;
  if (Data.size() < Want) Data += RecvExactly(Fd, Want - Data.size());
  return Data;
}

// Waits (bounded) until the other side has acknowledged every byte sent on Fd, so that a
// reset made next cannot overtake data still on its way.
inline bool WaitUntilAcked(int Fd) {
  for (int I = 0; I < 10000; ++I) {
    int Unacked = 0;
    if (::ioctl(Fd, SIOCOUTQ, &Unacked) != 0 || Unacked == 0) return true;
    ::poll(nullptr, 0, 1);
  }
  return false;
}

// Makes the peer's close (after the script returns) reset the connection.
inline void ResetOnClose(int Fd) {
  const linger L{1, 0};
  ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &L, sizeof L);
}

class LoopbackPeer {
 public:
  using Script = std::function<void(int Fd)>;

  // Serves up to Connections connections, one after another, each with Script. The peer
  // closes the fd after the script returns; scripts never close it themselves. Family
  // AF_INET6 listens on ::1 (IPv6 only) instead of 127.0.0.1, at Port when one is given
  // (beside a peer of the other family there).
  explicit LoopbackPeer(Script S, int Connections = 1, int Backlog = 8, int Family = AF_INET,
                        std::uint16_t AtPort = 0)
      : FScript(std::move(S)) {
    FListen = ::socket(Family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListen < 0) throw std::runtime_error("peer: socket failed");
    sockaddr_in6 A{};
    socklen_t Len = sizeof(sockaddr_in);
    if (Family == AF_INET6) {
      const int One = 1;
      ::setsockopt(FListen, IPPROTO_IPV6, IPV6_V6ONLY, &One, sizeof One);
      A.sin6_family = AF_INET6;
      A.sin6_addr = in6addr_loopback;
      A.sin6_port = htons(AtPort);
      Len = sizeof A;
    } else {
      auto& Four = reinterpret_cast<sockaddr_in&>(A);
      Four.sin_family = AF_INET;
      Four.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      Four.sin_port = htons(AtPort);
    }
    const socklen_t Given = Len;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&A), Given) != 0 ||
        ::listen(FListen, Backlog) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&A), &Len) != 0)
      throw std::runtime_error("peer: bind/listen failed");
    FPort = ntohs(A.sin6_port);  // the same place in either family's address
    FThread = std::thread([this, Connections] { Serve(Connections); });
  }

  ~LoopbackPeer() {
    {
      // Wakes a script still reading from its connection; a connection accepted but not
      // yet handed to a script sees FStopping under the same lock and runs none.
      std::lock_guard<std::mutex> Lock(FCurrentLock);
      FStopping = true;
      if (FCurrent >= 0) ::shutdown(FCurrent, SHUT_RDWR);
    }
    ::shutdown(FListen, SHUT_RDWR);  // wakes a pending accept
    if (FThread.joinable()) FThread.join();
    ::close(FListen);
  }

  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  std::uint16_t Port() const { return FPort; }
  int Accepted() const { return FAccepted.load(); }
  // Open once the script of the last connection has returned.
  Gate Finished;

 private:
  void Serve(int Connections) {
    for (int I = 0; I < Connections && !FStopping; ++I) {
      const int Fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (Fd < 0) break;
      ++FAccepted;
      timeval Tv{10, 0};  // tripwire: no peer call blocks longer than this
      ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Tv, sizeof Tv);
      ::setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &Tv, sizeof Tv);
      const int One = 1;
      ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
      {
        std::lock_guard<std::mutex> Lock(FCurrentLock);
        if (FStopping) {
          ::close(Fd);
          break;
        }
        FCurrent = Fd;
      }
      FScript(Fd);
      std::lock_guard<std::mutex> Lock(FCurrentLock);
      FCurrent = -1;
      ::close(Fd);
    }
    Finished.Open();
  }

  Script FScript;
  std::mutex FCurrentLock;
  int FCurrent = -1;  // the connection a script is serving
  int FListen = -1;
  std::uint16_t FPort = 0;
  std::atomic<int> FAccepted{0};
  std::atomic<bool> FStopping{false};
  std::thread FThread;
};

// A loopback port with nothing listening on it: connecting there is refused.
inline std::uint16_t RefusingPort() {
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof A;
  ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
  ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len);
  ::close(Fd);
  return ntohs(A.sin_port);
}

}  // namespace testsupport
