// Shared fixture and helpers of the platform tests: bounded pumping, loopback peers made
// with plain POSIX sockets, and the teardown check that nothing was left registered.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "TMessageRecorder.h"
#include "platform/MessageQueue.h"
#include "platform/WinSock.h"

namespace platformtest {

using Clock = std::chrono::steady_clock;

// Alternates WaitMessage(remaining) and DispatchAll until `done` or the deadline (the
// tripwire: a hang fails the test instead of wedging it). True when `done` held.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Waits, without dispatching anything, for a condition the kernel makes true (bytes
// arrived, a FIN arrived); checks every millisecond up to the deadline.
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000);

// A plain POSIX fd, closed on destruction: the far end of a loopback connection.
class TFd {
 public:
  explicit TFd(int fd = -1) : FFd(fd) {}
  ~TFd();
  TFd(TFd&& other) noexcept : FFd(other.Release()) {}
  TFd& operator=(TFd&& other) noexcept;
  int Get() const { return FFd; }
  int Release();
  void Reset();

 private:
  int FFd;
};

sockaddr_in Loopback(std::uint16_t port);
TFd ListenLoopback(std::uint16_t& port);  // POSIX listener on 127.0.0.1, port 0
TFd AcceptPeer(int listener, int timeoutMs = 5000);
TFd ConnectPeer(std::uint16_t port);  // blocking POSIX connect to 127.0.0.1
std::uint16_t UnusedPort();           // bound once and closed: nobody listens
void SendAll(int fd, const char* data, std::size_t len);
void ResetPeer(TFd& peer);           // SO_LINGER 0, then close: an RST
int Unread(win::SOCKET s);           // FIONREAD on our socket (the fd)
bool PeerFinArrived(win::SOCKET s);  // POLLRDHUP on our socket, consuming nothing

// Creates a recorder window and, at teardown, checks that no window, timer, socket or
// posted message is left and restores the default resolver and connect filter.
class TPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  TMessageRecorder& Rec() { return *FRecorder; }
  win::HWND Window() const { return FRecorder->Window(); }

  // Our socket registered for `events`, connected to a POSIX peer accepted into `peer`;
  // returns once FD_CONNECT arrived.
  win::SOCKET ConnectedPair(TFd& peer, long events = 61);

 private:
  std::unique_ptr<TMessageRecorder> FRecorder;
};

}  // namespace platformtest
