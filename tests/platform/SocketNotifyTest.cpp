// The WSAAsyncSelect rules on loopback pairs: which notification is posted when, how often,
// with which error, and what recv/send answer in each connection state.
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "PlatformTest.h"
#include "platform/FaultSeam.h"
#include "platform/WinUser.h"

namespace platformtest {
namespace {

using win::FD_ACCEPT;
using win::FD_CLOSE;
using win::FD_CONNECT;
using win::FD_READ;

class SocketNotifyTest : public TPlatformTest {
 protected:
  // The error word of the only notification `event` for `s`.
  int ErrorOf(win::SOCKET s, long event) {
    int found = -1;
    for (const TMessage& m : Rec().Messages) {
      if (m.Msg == WM_SOCKET && m.WParam == s && win::LOWORD(m.LParam) == event)
        found = win::HIWORD(m.LParam);
    }
    return found;
  }
};

TEST_F(SocketNotifyTest, ConnectAlwaysWouldBlockThenOneFdConnect) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  EXPECT_EQ(ErrorOf(s, FD_CONNECT), 0);
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_CONNECT), 1);
  EXPECT_EQ(win::send(s, "x", 1, 0), 1);
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, FdWriteFollowsFdConnectAndAgainOnceAFullBufferHasRoom) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer, 63);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, win::FD_WRITE) == 1; }));
  auto sockets = Rec().Of(WM_SOCKET);
  ASSERT_GE(sockets.size(), 2u);
  EXPECT_EQ(win::LOWORD(sockets[0].LParam), FD_CONNECT);
  EXPECT_EQ(win::LOWORD(sockets[1].LParam), win::FD_WRITE);

  // Fill every buffer on the way to the peer.
  std::vector<char> block(65536, 'x');
  int sent = 0;
  while (win::send(s, block.data(), static_cast<int>(block.size()), 0) != win::SOCKET_ERROR) {
    ASSERT_LT(++sent, 10000);
  }
  ASSERT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, win::FD_WRITE), 1);
  // The peer drains; room appears and FD_WRITE comes once.
  ASSERT_TRUE(PumpUntil([&] {
    char sink[65536];
    while (::recv(peer.Get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    return Rec().CountEvent(s, win::FD_WRITE) == 2;
  }));
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, UrgentDataPostsFdOobOnceUntilRecv) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  ASSERT_EQ(::send(peer.Get(), "!", 1, MSG_OOB), 1);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, win::FD_OOB) == 1; }));
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, win::FD_OOB), 1);
  char c = 0;
  EXPECT_EQ(win::recv(s, &c, 1, MSG_OOB), 1);
  EXPECT_EQ(c, '!');
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, RefusedConnectReportsThroughFdConnectAndLeavesSocketUnconnected) {
  win::SOCKET s = win::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(win::WSAAsyncSelect(s, Window(), WM_SOCKET, 61), 0);
  sockaddr_in addr = Loopback(UnusedPort());
  EXPECT_EQ(win::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CONNECT) == 1; }));
  EXPECT_EQ(ErrorOf(s, FD_CONNECT), win::WSAECONNREFUSED);

  // Linux would answer recv with 0 and send with EPIPE here.
  char c;
  EXPECT_EQ(win::recv(s, &c, 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTCONN);
  EXPECT_EQ(win::send(s, "x", 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTCONN);
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 0);
  win::closesocket(s);
}

// Linux remembers a failed attempt and answers the next connect with ECONNABORTED, once;
// the platform lets the application connect again at once, as after any failure.
TEST_F(SocketNotifyTest, SocketThatFailedToConnectConnectsAgainAtOnce) {
  win::SOCKET s = win::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(win::WSAAsyncSelect(s, Window(), WM_SOCKET, 61), 0);
  sockaddr_in refused = Loopback(UnusedPort());
  EXPECT_EQ(win::connect(s, reinterpret_cast<sockaddr*>(&refused), sizeof refused),
            win::SOCKET_ERROR);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CONNECT) == 1; }));
  EXPECT_EQ(ErrorOf(s, FD_CONNECT), win::WSAECONNREFUSED);

  std::uint16_t port = 0;
  TFd listener = ListenLoopback(port);
  sockaddr_in open = Loopback(port);
  EXPECT_EQ(win::connect(s, reinterpret_cast<sockaddr*>(&open), sizeof open), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CONNECT) == 2; }));
  EXPECT_EQ(ErrorOf(s, FD_CONNECT), 0);
  TFd peer = AcceptPeer(listener.Get());
  EXPECT_EQ(win::send(s, "x", 1, 0), 1);
  char c = 0;
  EXPECT_EQ(::recv(peer.Get(), &c, 1, 0), 1);
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, NeverConnectedSocketIsNotConnected) {
  win::SOCKET s = win::socket(AF_INET, SOCK_STREAM, 0);
  char c;
  EXPECT_EQ(win::recv(s, &c, 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTCONN);
  EXPECT_EQ(win::recv(s, &c, 1, MSG_PEEK), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTCONN);
  EXPECT_EQ(win::send(s, "x", 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTCONN);
  win::closesocket(s);
}

// Until WSAAsyncSelect a socket blocks: connect returns once connected, a send once all of
// it is sent (the peer drains it meanwhile), a recv once the peer's answer is there.
TEST_F(SocketNotifyTest, SocketNeverSelectedBlocksInConnectSendAndRecv) {
  std::uint16_t port = 0;
  TFd listener = ListenLoopback(port);
  win::SOCKET s = win::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(port);
  ASSERT_EQ(win::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  TFd peer = AcceptPeer(listener.Get());
  const std::vector<char> block(8 << 20, 'x');
  std::thread drain([&] {
    std::vector<char> sink(block.size());
    ::recv(peer.Get(), sink.data(), sink.size(), MSG_WAITALL);
    ::send(peer.Get(), "ok", 2, MSG_NOSIGNAL);
  });
  EXPECT_EQ(win::send(s, block.data(), static_cast<int>(block.size()), 0),
            static_cast<int>(block.size()));
  char reply = 0;
  EXPECT_EQ(win::recv(s, &reply, 1, 0), 1);
  EXPECT_EQ(reply, 'o');
  win::closesocket(s);  // a send cut short leaves the peer waiting for the rest: end it
  drain.join();
}

TEST_F(SocketNotifyTest, FdReadIsPostedOnceUntilRecvThenAgainWhileDataRemains) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  SendAll(peer.Get(), "abc", 3);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 1; }));

  // More data without a recv: no second FD_READ.
  SendAll(peer.Get(), "defg", 4);
  ASSERT_TRUE(WaitFor([&] { return Unread(s) == 7; }));
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_READ), 1);

  // A partial recv re-enables it, and the bytes left make it level-triggered.
  char buf[16];
  EXPECT_EQ(win::recv(s, buf, 2, 0), 2);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 2; }));
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "cdefg");

  // Drained: re-enabled, but nothing to report.
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_READ), 2);
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, PeekReenablesFdRead) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  SendAll(peer.Get(), "hello", 5);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 1; }));
  char buf[8];
  EXPECT_EQ(win::recv(s, buf, 1, MSG_PEEK), 1);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 2; }));
  EXPECT_EQ(Unread(s), 5);
  win::closesocket(s);
}

// A status query tells what waits without re-enabling FD_READ (a peek would).
TEST_F(SocketNotifyTest, FionreadTellsWhatWaitsAndReenablesNothing) {
  win::DWORD waiting = 99;
  win::SOCKET idle = win::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(win::ioctlsocket(idle, FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 0u) << "a socket never connected has nothing to read";
  win::closesocket(idle);
  EXPECT_EQ(win::ioctlsocket(idle, FIONREAD, &waiting), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);

  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  SendAll(peer.Get(), "hello", 5);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 1; }));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(win::ioctlsocket(s, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 5u);
    win::DispatchAll();
  }
  EXPECT_EQ(Rec().CountEvent(s, FD_READ), 1);
  EXPECT_FALSE(win::HasPending());
  EXPECT_EQ(win::ioctlsocket(s, FIONBIO, &waiting), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEINVAL);
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, FailedRecvAlsoReenablesFdRead) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  SendAll(peer.Get(), "z", 1);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 1; }));
  EXPECT_EQ(win::recv(s, nullptr, 1, 0), win::SOCKET_ERROR);  // fails, the byte stays
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 2; }));
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, GracefulCloseWithNothingUnreadPostsFdCloseOnce) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  peer.Reset();
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CLOSE) == 1; }));
  EXPECT_EQ(ErrorOf(s, FD_CLOSE), 0);
  EXPECT_EQ(Rec().CountEvent(s, FD_READ), 0);
  char c;
  EXPECT_EQ(win::recv(s, &c, 1, 0), 0);
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 1);
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, FdCloseFollowsOnlyTheLastByteRead) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  SendAll(peer.Get(), "hello", 5);
  peer.Reset();
  ASSERT_TRUE(WaitFor([&] { return PeerFinArrived(s); }));
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 1; }));
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 0) << "FD_CLOSE while bytes are unread";

  char buf[8];
  EXPECT_EQ(win::recv(s, buf, 3, 0), 3);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 2; }));
  EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 0);
  EXPECT_EQ(win::recv(s, buf, 1, MSG_PEEK), 1);  // drains nothing, but re-enables FD_READ
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 3; }));
  EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 0);

  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), 2);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CLOSE) == 1; }));
  EXPECT_EQ(ErrorOf(s, FD_CLOSE), 0);
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), 0);
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 1);
  EXPECT_EQ(Rec().CountEvent(s, FD_READ), 3);
  win::closesocket(s);
}

// Several receives in one FD_READ handler, with no harvest between them. The socket is
// armed again only when what it waits for changes; the bytes left must still bring FD_READ
// back, the last byte read must still bring the FIN's FD_CLOSE, and a drained socket must
// still report new bytes.
TEST_F(SocketNotifyTest, ReceivesWithoutAHarvestBetweenStillRepostAndClose) {
  struct TRecv {
    int Len;
    bool Peek;
  };
  struct TRow {
    const char* Name;
    bool Fin;
    std::vector<TRecv> Calls;
  };
  const std::string data = "hello world";
  const TRow rows[] = {
      {"peek, then read part", false, {{11, true}, {4, false}}},
      {"peek, then read part, FIN behind", true, {{11, true}, {4, false}}},
      {"peek, then read all", false, {{11, true}, {11, false}}},
      {"peek, then read all, FIN behind", true, {{11, true}, {11, false}}},
      {"two partial reads", false, {{4, false}, {4, false}}},
      {"two partial reads, FIN behind", true, {{4, false}, {4, false}}},
      {"read part, then the rest, FIN behind", true, {{4, false}, {16, false}}},
      {"read all, then a peek that finds nothing", false, {{16, false}, {16, true}}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TFd peer;
    win::SOCKET s = ConnectedPair(peer);
    SendAll(peer.Get(), data.data(), data.size());
    if (row.Fin) peer.Reset();
    ASSERT_TRUE(WaitFor([&] {
      return Unread(s) == static_cast<int>(data.size()) && (!row.Fin || PeerFinArrived(s));
    }));
    std::string got;
    bool handled = false;
    Rec().OnMessage = [&](const TMessage& m) {
      if (handled || m.Msg != WM_SOCKET || m.WParam != s || win::LOWORD(m.LParam) != FD_READ)
        return;
      handled = true;
      for (const TRecv& call : row.Calls) {
        char buf[16];
        int n = win::recv(s, buf, call.Len, call.Peek ? MSG_PEEK : 0);
        if (n > 0 && !call.Peek) got.append(buf, static_cast<std::size_t>(n));
      }
    };
    ASSERT_TRUE(PumpUntil([&] { return handled; }));
    Rec().OnMessage = nullptr;

    if (got.size() < data.size()) {
      ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 2; }))
          << "bytes left, but no FD_READ";
      EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 0) << "FD_CLOSE while bytes are unread";
      char rest[16];
      int n = win::recv(s, rest, sizeof rest, 0);
      ASSERT_GT(n, 0);
      got.append(rest, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, data);
    int reads = Rec().CountEvent(s, FD_READ);
    if (row.Fin) {
      ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CLOSE) == 1; }));
      EXPECT_EQ(ErrorOf(s, FD_CLOSE), 0);
    } else {
      win::DispatchAll();
      EXPECT_EQ(Rec().CountEvent(s, FD_READ), reads) << "FD_READ for a drained socket";
      SendAll(peer.Get(), "!", 1);
      ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == reads + 1; }))
          << "new bytes on a drained socket were not reported";
    }
    win::DispatchAll();
    EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), row.Fin ? 1 : 0);
    win::closesocket(s);
    Rec().Messages.clear();
  }
}

TEST_F(SocketNotifyTest, ResetPostsFdCloseWithConnReset) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  ResetPeer(peer);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CLOSE) == 1; }));
  EXPECT_EQ(ErrorOf(s, FD_CLOSE), win::WSAECONNRESET);
  char c;
  EXPECT_EQ(win::recv(s, &c, 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAECONNRESET);
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 1);
  win::closesocket(s);
}

// A send may be the call that reads the reset (the kernel reports it once); the close
// notification and later receives must still tell a reset, never a graceful close.
TEST_F(SocketNotifyTest, ResetReadBySendIsStillAReset) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  ResetPeer(peer);
  ASSERT_TRUE(WaitFor([&] { return PeerFinArrived(s); }));
  EXPECT_EQ(win::send(s, "x", 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAECONNRESET);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CLOSE) == 1; }));
  EXPECT_EQ(ErrorOf(s, FD_CLOSE), win::WSAECONNRESET);
  char c;
  EXPECT_EQ(win::recv(s, &c, 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAECONNRESET);
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, ResetWithUnreadBytesStillHandsThemOverThenFails) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  SendAll(peer.Get(), "ab", 2);
  ASSERT_TRUE(WaitFor([&] { return Unread(s) == 2; }));
  ResetPeer(peer);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CLOSE) == 1; }));
  EXPECT_EQ(ErrorOf(s, FD_CLOSE), win::WSAECONNRESET);
  char buf[4];
  int n = win::recv(s, buf, sizeof buf, 0);
  if (n != win::SOCKET_ERROR) {
    EXPECT_EQ(n, 2);
    n = win::recv(s, buf, sizeof buf, 0);
  }
  EXPECT_EQ(n, win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAECONNRESET);
  win::closesocket(s);
}

// A message already queued for a socket must vanish with it, and the fd number, which Linux
// hands out again at once, must not inherit it.
TEST_F(SocketNotifyTest, CloseSocketPurgesQueuedNotificationsAndReusedNumberGetsNone) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  SendAll(peer.Get(), "data", 4);
  peer.Reset();
  ASSERT_TRUE(WaitFor([&] { return Unread(s) == 4 && PeerFinArrived(s); }));

  // Fill every lower free number so that the next socket must get s's number.
  std::vector<TFd> fillers;
  while (true) {
    TFd filler(::socket(AF_INET, SOCK_STREAM, 0));
    if (filler.Get() < 0 || filler.Get() > static_cast<int>(s)) break;
    fillers.push_back(std::move(filler));
  }

  win::SOCKET reused = win::INVALID_SOCKET;
  Rec().OnMessage = [&](const TMessage& m) {
    if (m.Msg != win::WM_USER) return;
    // The harvest before this message queued FD_READ for s behind it.
    EXPECT_EQ(win::GetQueueStats().PostedMessages, 1u);
    win::closesocket(s);
    EXPECT_EQ(win::GetQueueStats().PostedMessages, 0u);
    reused = win::socket(AF_INET, SOCK_STREAM, 0);
    win::WSAAsyncSelect(reused, Window(), WM_SOCKET, 61);
  };
  win::PostMessageA(Window(), win::WM_USER, 0, 0);
  win::DispatchAll();
  Rec().OnMessage = nullptr;

  EXPECT_EQ(reused, s) << "the number was not reused; the test proves nothing";
  EXPECT_EQ(Rec().CountEvent(s, FD_READ), 0);
  EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 0);
  win::closesocket(reused);
}

TEST_F(SocketNotifyTest, NoFdCloseAfterLocalClose) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  win::closesocket(s);
  char c;
  EXPECT_EQ(::recv(peer.Get(), &c, 1, 0), 0);  // our close reached the peer
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_CLOSE), 0);
  EXPECT_EQ(win::recv(s, &c, 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);
}

TEST_F(SocketNotifyTest, ListenerPostsFdAcceptPerAcceptAndAcceptedSocketInheritsRegistration) {
  win::SOCKET listener = win::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(0);
  ASSERT_EQ(win::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(win::listen(listener, 8), 0);
  int len = sizeof addr;
  ASSERT_EQ(win::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ASSERT_EQ(win::WSAAsyncSelect(listener, Window(), WM_SOCKET, FD_ACCEPT | FD_READ | FD_CLOSE), 0);

  sockaddr_in from{};
  int fromLen = sizeof from;
  EXPECT_EQ(win::accept(listener, reinterpret_cast<sockaddr*>(&from), &fromLen),
            win::INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);

  TFd first = ConnectPeer(win::ntohs(addr.sin_port));
  TFd second = ConnectPeer(win::ntohs(addr.sin_port));
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(listener, FD_ACCEPT) == 1; }));
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(listener, FD_ACCEPT), 1) << "FD_ACCEPT again before accept";

  win::SOCKET a = win::accept(listener, reinterpret_cast<sockaddr*>(&from), &fromLen);
  ASSERT_NE(a, win::INVALID_SOCKET);
  EXPECT_EQ(from.sin_addr.s_addr, win::htonl(INADDR_LOOPBACK));
  // The second connection is still waiting: level-triggered.
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(listener, FD_ACCEPT) == 2; }));
  win::SOCKET b = win::accept(listener, nullptr, nullptr);
  ASSERT_NE(b, win::INVALID_SOCKET);
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(listener, FD_ACCEPT), 2);

  SendAll(first.Get(), "1", 1);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(a, FD_READ) == 1; }));
  char c;
  EXPECT_EQ(win::recv(a, &c, 1, 0), 1);
  EXPECT_EQ(win::send(b, "2", 1, 0), 1);
  EXPECT_EQ(::recv(second.Get(), &c, 1, 0), 1);
  EXPECT_EQ(c, '2');
  second.Reset();
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(b, FD_CLOSE) == 1; }));

  win::closesocket(a);
  win::closesocket(b);
  win::closesocket(listener);
}

TEST_F(SocketNotifyTest, ConditionTrueAtRegistrationPostsAtOnce) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer, FD_CONNECT);
  SendAll(peer.Get(), "x", 1);
  ASSERT_TRUE(WaitFor([&] { return Unread(s) == 1; }));
  win::DispatchAll();
  EXPECT_EQ(Rec().CountEvent(s, FD_READ), 0) << "FD_READ was not asked for";
  ASSERT_EQ(win::WSAAsyncSelect(s, Window(), WM_SOCKET, FD_READ), 0);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 1; }));
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, ConnectFilterHangsTheConnectSilentlyUntilClosed) {
  std::uint16_t port = 0;
  TFd listener = ListenLoopback(port);
  win::SetConnectFilter([port](const sockaddr_in& a) {
    return win::ntohs(a.sin_port) == port ? win::ConnectVerdict::Hang
                                          : win::ConnectVerdict::Proceed;
  });
  win::SOCKET s = win::socket(AF_INET, SOCK_STREAM, 0);
  win::WSAAsyncSelect(s, Window(), WM_SOCKET, 61);
  sockaddr_in addr = Loopback(port);
  EXPECT_EQ(win::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);

  ASSERT_EQ(win::SetTimer(Window(), 7, 100, nullptr), 7u);
  ASSERT_TRUE(PumpUntil([&] { return Rec().Count(win::WM_TIMER) > 0; }));
  win::KillTimer(Window(), 7);
  EXPECT_EQ(Rec().Count(WM_SOCKET), 0);
  pollfd p{listener.Get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "the connect reached the listener";
  char c;
  EXPECT_EQ(win::recv(s, &c, 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTCONN);
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, RequestWriteWakeWakesTheQueueWithoutAMessage) {
  TFd peer;
  win::SOCKET s = ConnectedPair(peer);
  win::DispatchAll();
  std::size_t before = Rec().Messages.size();
  win::RequestWriteWake(s);
  auto start = Clock::now();
  win::WaitMessage(5000);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(win::DispatchAll(), 0);
  EXPECT_EQ(Rec().Messages.size(), before);
  // Once only: the next wait is not woken by the same writability.
  pollfd p{win::QueuePollFd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0);
  win::closesocket(s);
}

TEST_F(SocketNotifyTest, MessagesForADestroyedWindowAreNotDelivered) {
  TFd peer;
  win::SOCKET s;
  {
    TMessageRecorder other;
    s = win::socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0;
    TFd listener = ListenLoopback(port);
    win::WSAAsyncSelect(s, other.Window(), WM_SOCKET, 61);
    sockaddr_in addr = Loopback(port);
    win::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    peer = AcceptPeer(listener.Get());
  }
  SendAll(peer.Get(), "x", 1);
  ASSERT_TRUE(WaitFor([&] { return Unread(s) == 1; }));
  EXPECT_EQ(win::DispatchAll(), 0);
  EXPECT_EQ(win::GetQueueStats().PostedMessages, 0u);
  win::closesocket(s);
}

sockaddr_in6 Loopback6(std::uint16_t port) {
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = win::htons(port);
  addr.sin6_addr = in6addr_loopback;
  return addr;
}

// IPv6 sockets: the same notifications, errors and addresses as IPv4 ones, over ::1.
class Ipv6SocketTest : public SocketNotifyTest {
 protected:
  void SetUp() override {
    SocketNotifyTest::SetUp();
    TFd probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 addr = Loopback6(0);
    socklen_t len = sizeof addr;
    if (::bind(probe.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0)
      GTEST_SKIP() << "no IPv6 loopback here";
    ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
    Port = win::ntohs(addr.sin6_port);
  }
  // Our socket, registered for every event, connecting to ::1 at `port`.
  win::SOCKET Connect(std::uint16_t port) {
    win::SOCKET s = win::socket(AF_INET6, SOCK_STREAM, 0);
    EXPECT_EQ(win::WSAAsyncSelect(s, Window(), WM_SOCKET, 63), 0);
    sockaddr_in6 addr = Loopback6(port);
    EXPECT_EQ(win::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), -1);
    EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
    return s;
  }
  std::uint16_t Port = 0;  // free on ::1: a connect there is refused
};

TEST_F(Ipv6SocketTest, ConnectAcceptTransferAndCloseAsOnIpv4) {
  std::vector<int> seen;  // the families the connect filter was shown
  win::SetAddressConnectFilter([&seen](const sockaddr_storage& a, int) {
    seen.push_back(a.ss_family);
    return win::ConnectVerdict::Proceed;
  });
  win::SOCKET listener = win::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 addr = Loopback6(Port);
  int len = sizeof addr;
  ASSERT_EQ(win::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(win::listen(listener, 4), 0);
  win::SOCKET s = Connect(Port);
  EXPECT_EQ(seen, std::vector<int>{AF_INET6});
  len = sizeof(sockaddr_in);  // Linux would truncate the address and succeed
  EXPECT_EQ(win::accept(listener, reinterpret_cast<sockaddr*>(&addr), &len), win::INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
  len = sizeof addr;
  win::SOCKET peer = win::accept(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  EXPECT_EQ(len, static_cast<int>(sizeof addr));
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, win::FD_WRITE) == 1; }));
  ASSERT_EQ(win::getpeername(peer, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  EXPECT_EQ(win::send(peer, "pong", 4, 0), 4);
  win::closesocket(peer);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_READ) == 1; }));
  char got[8];
  EXPECT_EQ(win::recv(s, got, sizeof got, 0), 4);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CLOSE) == 1; }));
  std::vector<long> order;
  for (const TMessage& m : Rec().Of(WM_SOCKET)) order.push_back(win::LOWORD(m.LParam));
  EXPECT_EQ(order, (std::vector<long>{FD_CONNECT, win::FD_WRITE, FD_READ, FD_CLOSE}));
  EXPECT_EQ(ErrorOf(s, FD_CLOSE), 0);
  win::closesocket(s);
  win::closesocket(listener);
}

TEST_F(Ipv6SocketTest, RefusedConnectIsConnRefusedAndTheIpv4FilterLetsItGo) {
  win::SetConnectFilter([](const sockaddr_in&) { return win::ConnectVerdict::Hang; });
  win::SOCKET s = Connect(Port);
  ASSERT_TRUE(PumpUntil([&] { return Rec().CountEvent(s, FD_CONNECT) == 1; }));
  EXPECT_EQ(ErrorOf(s, FD_CONNECT), win::WSAECONNREFUSED);
  win::closesocket(s);
}

}  // namespace
}  // namespace platformtest
