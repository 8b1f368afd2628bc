// WSAAsyncGetHostByName on detached worker threads; see TInbox.h for why workers may
// outlive the queue that started them.
#include "platform/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/Errors.h"
#include "platform/TQueue.h"
#include "platform/WinSock.h"

namespace win {
namespace detail {

namespace {

std::atomic<HANDLE> NextTask{1};

std::mutex ResolverLock;
Resolver& InstalledResolver() {
  static Resolver resolver;  // empty: getaddrinfo
  return resolver;
}

int ResolveWithGetAddrInfo(const std::string& name, std::vector<std::uint32_t>& addrs,
                           std::string& canonicalName) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) return WsaErrorFromAddrInfo(rc);
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    std::uint32_t addr = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    if (std::find(addrs.begin(), addrs.end(), addr) == addrs.end()) addrs.push_back(addr);
  }
  if (list != nullptr && list->ai_canonname != nullptr) canonicalName = list->ai_canonname;
  ::freeaddrinfo(list);
  return 0;
}

// Runs on the worker thread: touches only its own copies and the shared inbox.
void RunLookup(const std::shared_ptr<TInbox>& inbox, HANDLE task, const std::string& name,
               const Resolver& resolver) {
  TLookupResult result;
  result.Task = task;
  in_addr literal{};
  if (::inet_pton(AF_INET, name.c_str(), &literal) == 1) {
    result.Addresses.push_back(literal.s_addr);
    result.Name = name;
  } else {
    try {
      result.Error = resolver ? resolver(name, result.Addresses, result.Name)
                              : ResolveWithGetAddrInfo(name, result.Addresses, result.Name);
    } catch (...) {
      result.Error = WSANO_RECOVERY;
    }
    if (result.Error == 0 && result.Addresses.empty()) result.Error = WSANO_DATA;
  }
  if (result.Error != 0) result.Addresses.clear();
  if (result.Name.empty()) result.Name = name;
  inbox->Post(std::move(result));
}

std::size_t AlignUp(std::size_t offset, std::size_t alignment) {
  return (offset + alignment - 1) / alignment * alignment;
}

}  // namespace

HANDLE StartHostLookup(std::shared_ptr<TInbox> inbox, const std::string& name) {
  Resolver resolver;
  {
    std::lock_guard<std::mutex> guard(ResolverLock);
    resolver = InstalledResolver();
  }
  HANDLE task = NextTask.fetch_add(1);
  try {
    // Detached: getaddrinfo cannot be cancelled, and nobody may wait for it at shutdown.
    std::thread(RunLookup, std::move(inbox), task, name, std::move(resolver)).detach();
  } catch (const std::exception&) {
    WSASetLastError(WSAENOBUFS);
    return 0;
  }
  return task;
}

LPARAM WriteHostent(const TLookupResult& result, char* buf, int buflen) {
  if (result.Error != 0) return MAKELPARAM(0, static_cast<WORD>(result.Error));
  // Layout: [padding][hostent][alias list][address list][addresses][name].
  std::size_t misalign = reinterpret_cast<std::uintptr_t>(buf) % alignof(hostent);
  std::size_t start = misalign == 0 ? 0 : alignof(hostent) - misalign;
  std::size_t aliases = AlignUp(start + sizeof(hostent), alignof(char*));
  std::size_t addrList = aliases + sizeof(char*);
  std::size_t addrs = addrList + (result.Addresses.size() + 1) * sizeof(char*);
  std::size_t name = addrs + result.Addresses.size() * 4;
  std::size_t needed = name + result.Name.size() + 1;
  if (buf == nullptr || buflen < 0 || needed > static_cast<std::size_t>(buflen)) {
    return MAKELPARAM(static_cast<WORD>(std::min<std::size_t>(needed, 0xFFFF)), WSAENOBUFS);
  }
  auto* entry = new (buf + start) hostent{};
  entry->h_name = buf + name;
  std::memcpy(buf + name, result.Name.c_str(), result.Name.size() + 1);
  entry->h_aliases = new (buf + aliases) char*(nullptr);
  entry->h_addrtype = AF_INET;
  entry->h_length = 4;
  entry->h_addr_list = reinterpret_cast<char**>(buf + addrList);
  for (std::size_t i = 0; i < result.Addresses.size(); ++i) {
    char* addr = buf + addrs + i * 4;
    std::memcpy(addr, &result.Addresses[i], 4);
    new (buf + addrList + i * sizeof(char*)) char*(addr);
  }
  new (buf + addrList + result.Addresses.size() * sizeof(char*)) char*(nullptr);
  return MAKELPARAM(static_cast<WORD>(std::min<std::size_t>(needed, 0xFFFF)), 0);
}

}  // namespace detail

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
  if (name == nullptr || buf == nullptr || buflen <= 0) {
    WSASetLastError(WSAEFAULT);
    return 0;
  }
  detail::TQueue& queue = detail::TQueue::Current();
  if (!queue.IsWindow(hwnd)) {
    WSASetLastError(WSAEINVAL);
    return 0;
  }
  std::string host = name;
  if (host.empty()) {
    // The platform resolves an empty name as the local host.
    char local[HOST_NAME_MAX + 1] = {};
    if (::gethostname(local, sizeof local - 1) != 0) {
      WSASetLastError(WSAHOST_NOT_FOUND);
      return 0;
    }
    host = local;
  }
  return queue.StartLookup(hwnd, msg, host, buf, buflen);
}

void SetResolver(Resolver resolver) {
  std::lock_guard<std::mutex> guard(detail::ResolverLock);
  detail::InstalledResolver() = std::move(resolver);
}

}  // namespace win
