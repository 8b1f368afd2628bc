// WSAAsyncGetHostByName: the completion message, the hostent built inside the caller's
// buffer, errors, a buffer too small, and completions that outlive their window or thread.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "PlatformTest.h"
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

}  // namespace
}  // namespace platformtest
