// Helpers of the platform tests; see PlatformTest.h.
#include "PlatformTest.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "platform/FaultSeam.h"
#include "platform/WinUser.h"

namespace platformtest {

namespace {
int MsLeft(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}
}  // namespace

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  win::DispatchAll();
  while (!done()) {
    int left = MsLeft(deadline);
    if (left == 0) return false;
    win::WaitMessage(left);
    win::DispatchAll();
  }
  return true;
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    ::poll(nullptr, 0, 1);
  }
  return true;
}

TFd::~TFd() { Reset(); }

TFd& TFd::operator=(TFd&& other) noexcept {
  if (this != &other) {
    Reset();
    FFd = other.Release();
  }
  return *this;
}

int TFd::Release() {
  int fd = FFd;
  FFd = -1;
  return fd;
}

void TFd::Reset() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

TFd ListenLoopback(std::uint16_t& port) {
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr = Loopback(0);
  if (fd.Get() < 0 || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.Get(), 16) != 0) {
    throw std::runtime_error("loopback listener");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

TFd AcceptPeer(int listener, int timeoutMs) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) != 1) return TFd();
  return TFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

TFd ConnectPeer(std::uint16_t port) {
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr = Loopback(port);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("loopback connect");
  }
  return fd;
}

std::uint16_t UnusedPort() {
  std::uint16_t port = 0;
  TFd probe = ListenLoopback(port);
  return port;  // closed on return: a connect there is refused
}

void SendAll(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("peer send");
    data += n;
    len -= static_cast<std::size_t>(n);
  }
}

void ResetPeer(TFd& peer) {
  linger hard{1, 0};
  ::setsockopt(peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  peer.Reset();
}

int Unread(win::SOCKET s) {
  int n = 0;
  ::ioctl(static_cast<int>(s), FIONREAD, &n);
  return n;
}

bool PeerFinArrived(win::SOCKET s) {
  pollfd p{static_cast<int>(s), POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP)) != 0;
}

void TPlatformTest::SetUp() {
  FRecorder = std::make_unique<TMessageRecorder>();
  ASSERT_TRUE(win::IsWindow(Window()));
}

void TPlatformTest::TearDown() {
  FRecorder.reset();
  win::SetResolver({});
  win::SetAddrResolver({});
  win::SetConnectFilter({});
  win::QueueStats stats = win::GetQueueStats();
  EXPECT_EQ(stats.Windows, 0u) << "a window was left behind";
  EXPECT_EQ(stats.Timers, 0u) << "a timer was left behind";
  EXPECT_EQ(stats.Sockets, 0u) << "a socket was left behind";
  EXPECT_EQ(stats.PostedMessages, 0u) << "messages were left queued";
}

win::SOCKET TPlatformTest::ConnectedPair(TFd& peer, long events) {
  std::uint16_t port = 0;
  TFd listener = ListenLoopback(port);
  win::SOCKET s = win::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(s, win::INVALID_SOCKET);
  EXPECT_EQ(win::WSAAsyncSelect(s, Window(), WM_SOCKET, events), 0);
  sockaddr_in addr = Loopback(port);
  EXPECT_EQ(win::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  peer = AcceptPeer(listener.Get());
  EXPECT_GE(peer.Get(), 0);
  if ((events & win::FD_CONNECT) != 0) {
    EXPECT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, win::FD_CONNECT) == 1; }));
  }
  return s;
}

}  // namespace platformtest
