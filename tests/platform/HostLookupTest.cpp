// WSAAsyncGetHostByName: the completion message, the hostent built inside the caller's
// buffer, errors, a buffer too small, and completions that outlive their window or thread;
// then WSAAsyncGetAddrInfo's list of both families and WSACancelAsyncRequest.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "PlatformTest.h"
#include "platform/InetText.h"
#include "platform/WinUser.h"

namespace platformtest {
namespace {

// A resolver gate: look-ups block in the resolver until the test opens it.
class TGate {
 public:
  void Open() {
    std::lock_guard<std::mutex> guard(FLock);
    FOpen = true;
    FChanged.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> guard(FLock);
    FChanged.wait_for(guard, std::chrono::seconds(10), [&] { return FOpen; });
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FOpen = false;
};

class HostLookupTest : public TPlatformTest {
 protected:
  // Every pointer of the hostent must point inside the buffer the caller gave.
  void ExpectInside(const void* p, std::size_t len = 1) {
    auto* c = static_cast<const char*>(p);
    EXPECT_GE(c, Buffer.data());
    EXPECT_LE(c + len, Buffer.data() + Buffer.size());
  }
  const TMessage* Completion(win::HANDLE task) {
    for (const TMessage& m : Rec().Messages) {
      if (m.Msg == WM_LOOKUP && m.WParam == task) return &m;
    }
    return nullptr;
  }
  const TMessage* AwaitCompletion(win::HANDLE task) {
    EXPECT_TRUE(PumpUntil([&] { return Completion(task) != nullptr; }));
    return Completion(task);
  }
  std::vector<char> Buffer = std::vector<char>(win::MAXGETHOSTSTRUCT, '\xAB');
};

TEST_F(HostLookupTest, ResolvedNameIsWrittenAsAHostentInsideTheBuffer) {
  win::SetResolver(
      [](const std::string& name, std::vector<std::uint32_t>& addrs, std::string& canon) {
        EXPECT_EQ(name, "www.example.test");
        addrs = {inet_addr("192.0.2.7"), inet_addr("192.0.2.8")};
        canon = "origin.example.test";
        return 0;
      });
  win::HANDLE task = win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "www.example.test",
                                                Buffer.data(), static_cast<int>(Buffer.size()));
  ASSERT_NE(task, 0u);
  const TMessage* done = AwaitCompletion(task);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(win::HIWORD(done->LParam), 0);
  EXPECT_GT(win::LOWORD(done->LParam), 0);
  EXPECT_LE(win::LOWORD(done->LParam), Buffer.size());

  auto* entry = reinterpret_cast<const hostent*>(Buffer.data());
  ExpectInside(entry, sizeof(hostent));
  ExpectInside(entry->h_name);
  EXPECT_STREQ(entry->h_name, "origin.example.test");
  ExpectInside(entry->h_aliases, sizeof(char*));
  EXPECT_EQ(entry->h_aliases[0], nullptr);
  EXPECT_EQ(entry->h_addrtype, AF_INET);
  EXPECT_EQ(entry->h_length, 4);
  ExpectInside(entry->h_addr_list, 3 * sizeof(char*));
  ASSERT_NE(entry->h_addr_list[0], nullptr);
  ASSERT_NE(entry->h_addr_list[1], nullptr);
  EXPECT_EQ(entry->h_addr_list[2], nullptr);
  std::uint32_t first = 0;
  ExpectInside(entry->h_addr_list[0], 4);
  std::memcpy(&first, entry->h_addr_list[0], 4);
  EXPECT_EQ(first, inet_addr("192.0.2.7")) << "network order";
  EXPECT_EQ(std::memcmp(entry->h_addr_list[1], "\xC0\x00\x02\x08", 4), 0);
}

TEST_F(HostLookupTest, LiteralAndLocalhostResolveWithTheDefaultResolver) {
  win::HANDLE literal = win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "127.0.0.1", Buffer.data(),
                                                   static_cast<int>(Buffer.size()));
  const TMessage* done = AwaitCompletion(literal);
  ASSERT_NE(done, nullptr);
  ASSERT_EQ(win::HIWORD(done->LParam), 0);
  auto* entry = reinterpret_cast<const hostent*>(Buffer.data());
  EXPECT_STREQ(entry->h_name, "127.0.0.1");
  EXPECT_EQ(std::memcmp(entry->h_addr_list[0], "\x7F\x00\x00\x01", 4), 0);
  EXPECT_EQ(entry->h_addr_list[1], nullptr);

  std::vector<char> second(win::MAXGETHOSTSTRUCT);
  win::HANDLE local = win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "localhost", second.data(),
                                                 static_cast<int>(second.size()));
  EXPECT_NE(local, literal);
  done = AwaitCompletion(local);
  ASSERT_NE(done, nullptr);
  ASSERT_EQ(win::HIWORD(done->LParam), 0);
  entry = reinterpret_cast<const hostent*>(second.data());
  bool loopback = false;
  for (char** a = entry->h_addr_list; *a != nullptr; ++a)
    loopback |= static_cast<unsigned char>((*a)[0]) == 127;
  EXPECT_TRUE(loopback);
}

TEST_F(HostLookupTest, ResolverErrorIsTheHighWordAndTheBufferIsLeftAlone) {
  win::SetResolver([](const std::string&, std::vector<std::uint32_t>&, std::string&) {
    return win::WSAHOST_NOT_FOUND;
  });
  win::HANDLE task = win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "nowhere.invalid",
                                                Buffer.data(), static_cast<int>(Buffer.size()));
  const TMessage* done = AwaitCompletion(task);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(win::HIWORD(done->LParam), win::WSAHOST_NOT_FOUND);
  EXPECT_EQ(Buffer[0], '\xAB');
}

TEST_F(HostLookupTest, TooSmallBufferReportsNoBuffersWithTheSizeNeeded) {
  win::SetResolver([](const std::string&, std::vector<std::uint32_t>& addrs, std::string& canon) {
    addrs = {inet_addr("192.0.2.1")};
    canon = "a-fairly-long-canonical-name.example.test";
    return 0;
  });
  std::vector<char> small(40, '\xAB');
  win::HANDLE task = win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "x", small.data(), 40);
  const TMessage* done = AwaitCompletion(task);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(win::HIWORD(done->LParam), win::WSAENOBUFS);
  int needed = win::LOWORD(done->LParam);
  EXPECT_GT(needed, 40);
  for (char c : small) ASSERT_EQ(c, '\xAB') << "written although too small";

  // Exactly the size reported is enough.
  std::vector<char> exact(static_cast<std::size_t>(needed));
  task = win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "x", exact.data(), needed);
  done = AwaitCompletion(task);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(win::HIWORD(done->LParam), 0);
  EXPECT_STREQ(reinterpret_cast<const hostent*>(exact.data())->h_name,
               "a-fairly-long-canonical-name.example.test");
}

TEST_F(HostLookupTest, RequestsThatCannotStartReturnZero) {
  EXPECT_EQ(win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, nullptr, Buffer.data(), 1024), 0u);
  EXPECT_NE(win::WSAGetLastError(), 0);
  EXPECT_EQ(win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "x", Buffer.data(), 0), 0u);
  EXPECT_EQ(win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "x", nullptr, 1024), 0u);
}

TEST_F(HostLookupTest, WindowDestroyedBeforeCompletionGetsNothingAndBufferIsUntouched) {
  auto gate = std::make_shared<TGate>();
  win::SetResolver([gate](const std::string&, std::vector<std::uint32_t>& addrs, std::string&) {
    gate->Pass();
    addrs = {inet_addr("192.0.2.9")};
    return 0;
  });
  auto other = std::make_unique<TMessageRecorder>();
  win::HANDLE task = win::WSAAsyncGetHostByName(other->Window(), WM_LOOKUP, "late.example.test",
                                                Buffer.data(), static_cast<int>(Buffer.size()));
  ASSERT_NE(task, 0u);
  other.reset();  // destroys the window while the worker still resolves
  gate->Open();
  // The worker's post makes the queue's fd readable.
  pollfd p{win::QueuePollFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  EXPECT_EQ(win::DispatchAll(), 0);
  EXPECT_EQ(win::GetQueueStats().PostedMessages, 0u);
  EXPECT_EQ(Buffer[0], '\xAB');
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "the harvest left the fd readable";
}

// A worker that finishes after its queue's thread has ended posts into the inbox it shares
// with that queue, which is still alive; nothing else is touched (ASan checks the rest).
TEST_F(HostLookupTest, WorkerOutlivingItsThreadIsHarmless) {
  auto gate = std::make_shared<TGate>();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> workerAlive = token;
  win::SetResolver(
      [gate, token](const std::string&, std::vector<std::uint32_t>& addrs, std::string&) {
        gate->Pass();
        addrs = {inet_addr("192.0.2.10")};
        return 0;
      });
  token.reset();
  std::thread owner([] {
    TMessageRecorder window;
    std::vector<char> buffer(win::MAXGETHOSTSTRUCT);
    EXPECT_NE(win::WSAAsyncGetHostByName(window.Window(), WM_LOOKUP, "gone.example.test",
                                         buffer.data(), static_cast<int>(buffer.size())),
              0u);
  });
  owner.join();          // the thread, its window, its buffer and its queue are gone
  win::SetResolver({});  // only the worker's copy of the resolver is left
  gate->Open();
  EXPECT_TRUE(WaitFor([&] { return workerAlive.expired(); }));
}

// WSAAsyncGetAddrInfo through the test resolver: what it is given, what the caller gets.
using win::SOCKADDR_INET;

struct TAddrCase {
  const char* Name;
  int Family;
  std::vector<std::string> Given;  // the resolver's answer, in its order
  int ResolverError;
  std::vector<std::string> Expected;
  int Error;
};
void PrintTo(const TAddrCase& Row, std::ostream* Out) { *Out << '"' << Row.Name << '"'; }

SOCKADDR_INET Endpoint(const std::string& text) {
  SOCKADDR_INET e;
  std::memset(&e, 0, sizeof e);
  e.Ipv6.sin6_port = win::htons(80);  // not passed on
  e.si_family = win::ParseInet6(text, e.Ipv6.sin6_addr) ? AF_INET6 : AF_INET;
  if (e.si_family == AF_INET) win::ParseInet4(text, e.Ipv4.sin_addr);
  return e;
}

class AddrLookupTest : public HostLookupTest, public ::testing::WithParamInterface<TAddrCase> {
 protected:
  // Runs one look-up; returns the completion's LParam and the addresses written, as text.
  win::LPARAM Run(const char* name, int family, std::vector<std::string>& got) {
    const TMessage* done = AwaitCompletion(win::WSAAsyncGetAddrInfo(
        Window(), WM_LOOKUP, name, family, Buffer.data(), static_cast<int>(Buffer.size())));
    if (done == nullptr || win::HIWORD(done->LParam) != 0) return done ? done->LParam : -1;
    auto* list = reinterpret_cast<const win::HOSTADDRESSES*>(Buffer.data());
    ExpectInside(list->Addresses, static_cast<std::size_t>(list->Count) * sizeof(SOCKADDR_INET));
    for (const SOCKADDR_INET& e : std::span(list->Addresses, list->Count)) {
      EXPECT_EQ(e.si_family == AF_INET6 ? e.Ipv6.sin6_port : e.Ipv4.sin_port, 0);
      got.push_back(win::AddressText(reinterpret_cast<const sockaddr*>(&e), win::SockaddrLength(e)));
    }
    return done->LParam;
  }
};

TEST_P(AddrLookupTest, WritesEveryAddressInTheResolversOrder) {
  const TAddrCase& row = GetParam();
  std::atomic<int> asked{0};
  win::SetAddrResolver([&row, &asked](const std::string& name, int family,
                                      std::vector<SOCKADDR_INET>& addrs, std::string&) {
    EXPECT_EQ(name, row.Name);
    EXPECT_EQ(family, row.Family);
    ++asked;
    for (const std::string& text : row.Given) addrs.push_back(Endpoint(text));
    return row.ResolverError;
  });
  std::vector<std::string> got;
  EXPECT_EQ(win::HIWORD(Run(row.Name, row.Family, got)), row.Error);
  EXPECT_EQ(got, row.Expected);
  EXPECT_EQ(asked.load(), row.Given.empty() && row.ResolverError == 0 ? 0 : 1) << "literal";
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddrLookupTest,
    ::testing::Values(
        TAddrCase{"both.test", AF_UNSPEC, {"2001:db8::1", "192.0.2.1", "::1", "2001:db8::1"}, 0,
                  {"2001:db8::1", "192.0.2.1", "::1"}, 0},
        TAddrCase{"both.test", AF_INET6, {"192.0.2.1", "::1", "::2"}, 0, {"::1", "::2"}, 0},
        TAddrCase{"both.test", AF_INET, {"::1", "192.0.2.1"}, 0, {"192.0.2.1"}, 0},
        TAddrCase{"v6only.test", AF_INET, {"::1"}, 0, {}, win::WSANO_DATA},
        TAddrCase{"later.test", AF_UNSPEC, {"::1"}, win::WSATRY_AGAIN, {}, win::WSATRY_AGAIN},
        TAddrCase{"0:0::FFFF:192.0.2.1", AF_INET6, {}, 0, {"::ffff:192.0.2.1"}, 0},
        TAddrCase{"192.0.2.1", AF_UNSPEC, {}, 0, {"192.0.2.1"}, 0},
        TAddrCase{"192.0.2.1", AF_INET6, {}, 0, {}, win::WSANO_DATA},
        TAddrCase{"::1", AF_INET, {}, 0, {}, win::WSANO_DATA},
        TAddrCase{"fe80::1%eth0", AF_UNSPEC, {}, 0, {}, win::WSAHOST_NOT_FOUND}),
    [](const ::testing::TestParamInfo<TAddrCase>& row) {
      return "Row" + std::to_string(row.index);
    });

// Without a both-family resolver, the IPv4 one answers: a test's resolver serves both look-ups.
TEST_F(AddrLookupTest, TheIpv4ResolverAnswersWhenNoOtherIsInstalled) {
  win::SetResolver([](const std::string&, std::vector<std::uint32_t>& addrs, std::string&) {
    addrs = {inet_addr("192.0.2.5")};
    return 0;
  });
  std::vector<std::string> got;
  EXPECT_EQ(win::HIWORD(Run("old.test", AF_UNSPEC, got)), 0);
  EXPECT_EQ(got, std::vector<std::string>{"192.0.2.5"});
  EXPECT_EQ(win::HIWORD(Run("old.test", AF_INET6, got)), win::WSANO_DATA);
}

TEST_F(AddrLookupTest, TooSmallBufferIsNoBuffersAndUntouched) {
  std::vector<char> small(50, '\xAB');  // "::1" needs 24 + 28 + 4
  const TMessage* done = AwaitCompletion(
      win::WSAAsyncGetAddrInfo(Window(), WM_LOOKUP, "::1", AF_UNSPEC, small.data(), 50));
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->LParam, win::MAKELPARAM(56, win::WSAENOBUFS));
  for (char c : small) ASSERT_EQ(c, '\xAB') << "written although too small";
}

// A cancelled look-up never delivers nor writes: neither one still running nor one whose
// completion already waits in the queue.
TEST_F(AddrLookupTest, CancelledLookupNeverCompletesNorWrites) {
  auto gate = std::make_shared<TGate>();
  win::SetAddrResolver([gate](const std::string&, int, std::vector<SOCKADDR_INET>&,
                              std::string&) {
    gate->Pass();
    return 0;
  });
  win::HANDLE running = win::WSAAsyncGetAddrInfo(Window(), WM_LOOKUP, "slow.test", AF_UNSPEC,
                                                 Buffer.data(), static_cast<int>(Buffer.size()));
  win::HANDLE queued = win::WSAAsyncGetHostByName(Window(), WM_LOOKUP, "127.0.0.1",
                                                  Buffer.data(), static_cast<int>(Buffer.size()));
  ASSERT_TRUE(WaitFor([] { return win::HasPending(); }));
  win::WaitMessage(0);  // harvested: the literal's completion is queued, not yet dispatched
  ASSERT_EQ(win::GetQueueStats().PostedMessages, 1u);
  EXPECT_EQ(win::WSACancelAsyncRequest(running), 0);
  EXPECT_EQ(win::WSACancelAsyncRequest(queued), 0);
  EXPECT_EQ(win::WSACancelAsyncRequest(queued), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEALREADY);
  gate->Open();
  std::vector<char> other(win::MAXGETADDRSTRUCT);
  win::HANDLE later = win::WSAAsyncGetAddrInfo(Window(), WM_LOOKUP, "::1", 0, other.data(), 2048);
  ASSERT_NE(AwaitCompletion(later), nullptr);
  EXPECT_EQ(Rec().Count(WM_LOOKUP), 1);
  EXPECT_EQ(Buffer[0], '\xAB');
}

}  // namespace
}  // namespace platformtest
