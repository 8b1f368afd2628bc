// WSAAsyncGetHostByName and WSAAsyncGetAddrInfo on detached worker threads; see TInbox.h
// for why workers may outlive the queue that started them.
#include "platform/HostLookup.h"

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
#include "platform/InetText.h"
#include "platform/TQueue.h"
#include "platform/WinSock.h"

namespace win {
namespace detail {

namespace {

std::atomic<HANDLE> NextTask{1};

// The installed resolvers; empty ones leave the look-up to the other kind or getaddrinfo.
struct TResolvers {
  Resolver Ipv4;
  AddrResolver Both;
};
std::mutex ResolverLock;
TResolvers& InstalledResolvers() {
  static TResolvers resolvers;
  return resolvers;
}
// A worker's own copy, taken when its look-up starts.
TResolvers ResolversNow() {
  std::lock_guard<std::mutex> guard(ResolverLock);
  return InstalledResolvers();
}

// Zero throughout: {} would clear the first member of the union only.
SOCKADDR_INET BlankEndpoint() {
  SOCKADDR_INET e;
  std::memset(&e, 0, sizeof e);
  return e;
}

SOCKADDR_INET Ipv4Endpoint(std::uint32_t addr) {
  SOCKADDR_INET e = BlankEndpoint();
  e.Ipv4.sin_family = AF_INET;
  e.Ipv4.sin_addr.s_addr = addr;
  return e;
}

SOCKADDR_INET Ipv6Endpoint(const in6_addr& addr, std::uint32_t scope) {
  SOCKADDR_INET e = BlankEndpoint();
  e.Ipv6.sin6_family = AF_INET6;
  e.Ipv6.sin6_addr = addr;
  e.Ipv6.sin6_scope_id = scope;
  return e;
}

bool SameEndpoint(const SOCKADDR_INET& a, const SOCKADDR_INET& b) {
  if (a.si_family != b.si_family) return false;
  if (a.si_family == AF_INET) return a.Ipv4.sin_addr.s_addr == b.Ipv4.sin_addr.s_addr;
  return std::memcmp(&a.Ipv6.sin6_addr, &b.Ipv6.sin6_addr, sizeof(in6_addr)) == 0 &&
         a.Ipv6.sin6_scope_id == b.Ipv6.sin6_scope_id;
}

// Adds `e` (as its address alone: no port, no flow label) unless it is of another family
// than asked, or already listed.
void AddEndpoint(std::vector<SOCKADDR_INET>& list, const SOCKADDR_INET& e, int family) {
  if (e.si_family != AF_INET && e.si_family != AF_INET6) return;
  if (family != AF_UNSPEC && e.si_family != family) return;
  SOCKADDR_INET bare = e.si_family == AF_INET
                           ? Ipv4Endpoint(e.Ipv4.sin_addr.s_addr)
                           : Ipv6Endpoint(e.Ipv6.sin6_addr, e.Ipv6.sin6_scope_id);
  auto same = [&bare](const SOCKADDR_INET& listed) { return SameEndpoint(listed, bare); };
  if (std::none_of(list.begin(), list.end(), same)) list.push_back(bare);
}

int ResolveWithGetAddrInfo(const std::string& name, int family,
                           std::vector<SOCKADDR_INET>& endpoints, std::string& canonicalName) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) return WsaErrorFromAddrInfo(rc);
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addr == nullptr) continue;
    SOCKADDR_INET e = BlankEndpoint();
    if ((ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) ||
        (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6))) {
      std::memcpy(&e, ai->ai_addr, std::min<std::size_t>(ai->ai_addrlen, sizeof e));
      endpoints.push_back(e);  // filtered and made unique by the caller, as a resolver's are
    }
  }
  if (list != nullptr && list->ai_canonname != nullptr) canonicalName = list->ai_canonname;
  ::freeaddrinfo(list);
  return 0;
}

// WSAAsyncGetHostByName's question: the IPv4 resolver, else the both-family one (or
// getaddrinfo) asked for IPv4.
int ResolveIpv4(const TResolvers& resolvers, const std::string& name,
                std::vector<std::uint32_t>& addrs, std::string& canonicalName) {
  if (resolvers.Ipv4) return resolvers.Ipv4(name, addrs, canonicalName);
  std::vector<SOCKADDR_INET> found;
  int rc = resolvers.Both ? resolvers.Both(name, AF_INET, found, canonicalName)
                          : ResolveWithGetAddrInfo(name, AF_INET, found, canonicalName);
  std::vector<SOCKADDR_INET> kept;
  for (const SOCKADDR_INET& e : found) AddEndpoint(kept, e, AF_INET);
  for (const SOCKADDR_INET& e : kept) addrs.push_back(e.Ipv4.sin_addr.s_addr);
  return rc;
}

// WSAAsyncGetAddrInfo's question: the both-family resolver, else the IPv4 one (or
// getaddrinfo). Addresses of other families are dropped by the caller.
int ResolveBoth(const TResolvers& resolvers, const std::string& name, int family,
                std::vector<SOCKADDR_INET>& found, std::string& canonicalName) {
  if (resolvers.Both) return resolvers.Both(name, family, found, canonicalName);
  if (!resolvers.Ipv4) return ResolveWithGetAddrInfo(name, family, found, canonicalName);
  std::vector<std::uint32_t> addrs;
  int rc = resolvers.Ipv4(name, addrs, canonicalName);
  for (std::uint32_t addr : addrs) found.push_back(Ipv4Endpoint(addr));
  return rc;
}

// Runs on the worker thread: touches only its own copies and the shared inbox.
void RunHostLookup(const std::shared_ptr<TInbox>& inbox, HANDLE task, const std::string& name,
                   const TResolvers& resolvers) {
  TLookupResult result;
  result.Task = task;
  in_addr literal{};
  if (ParseInet4(name, literal)) {
    result.Addresses.push_back(literal.s_addr);
    result.Name = name;
  } else {
    try {
      result.Error = ResolveIpv4(resolvers, name, result.Addresses, result.Name);
    } catch (...) {
      result.Error = WSANO_RECOVERY;
    }
    if (result.Error == 0 && result.Addresses.empty()) result.Error = WSANO_DATA;
  }
  if (result.Error != 0) result.Addresses.clear();
  if (result.Name.empty()) result.Name = name;
  inbox->Post(std::move(result));
}

// A literal answers itself without a query: true when `name` is one, or cannot be a name
// (it has a ':'), with the result's address or error set.
bool AnswerLiteral(const std::string& name, int family, TLookupResult& result) {
  in6_addr six{};
  in_addr four{};
  SOCKADDR_INET e;
  if (ParseInet6(name, six)) {
    e = Ipv6Endpoint(six, 0);
  } else if (ParseInet4(name, four)) {
    e = Ipv4Endpoint(four.s_addr);
  } else if (name.find(':') != std::string::npos) {
    result.Error = WSAHOST_NOT_FOUND;
    return true;
  } else {
    return false;
  }
  if (family != AF_UNSPEC && e.si_family != family) {
    result.Error = WSANO_DATA;
  } else {
    result.Endpoints.push_back(e);
  }
  return true;
}

void RunAddrLookup(const std::shared_ptr<TInbox>& inbox, HANDLE task, const std::string& name,
                   int family, const TResolvers& resolvers) {
  TLookupResult result;
  result.Task = task;
  result.Kind = TLookupKind::AddressList;
  if (!AnswerLiteral(name, family, result)) {
    std::vector<SOCKADDR_INET> found;
    try {
      result.Error = ResolveBoth(resolvers, name, family, found, result.Name);
    } catch (...) {
      result.Error = WSANO_RECOVERY;
    }
    for (const SOCKADDR_INET& e : found) AddEndpoint(result.Endpoints, e, family);
    if (result.Error == 0 && result.Endpoints.empty()) result.Error = WSANO_DATA;
  }
  if (result.Error != 0) result.Endpoints.clear();
  if (result.Name.empty()) result.Name = name;
  inbox->Post(std::move(result));
}

// Detached: getaddrinfo cannot be cancelled, and nobody may wait for it at shutdown.
template <typename TJob>
HANDLE StartWorker(TJob job) {
  HANDLE task = NextTask.fetch_add(1);
  try {
    std::thread(std::move(job), task).detach();
  } catch (const std::exception&) {
    WSASetLastError(WSAENOBUFS);
    return 0;
  }
  return task;
}

std::size_t AlignUp(std::size_t offset, std::size_t alignment) {
  return (offset + alignment - 1) / alignment * alignment;
}

// The first offset in `buf` where a T may start.
template <typename T>
std::size_t FirstAligned(const char* buf) {
  std::size_t misalign = reinterpret_cast<std::uintptr_t>(buf) % alignof(T);
  return misalign == 0 ? 0 : alignof(T) - misalign;
}

LPARAM Written(std::size_t bytes, int error) {
  return MAKELPARAM(static_cast<WORD>(std::min<std::size_t>(bytes, 0xFFFF)),
                    static_cast<WORD>(error));
}

}  // namespace

HANDLE StartHostLookup(std::shared_ptr<TInbox> inbox, const std::string& name) {
  return StartWorker([inbox = std::move(inbox), name, resolvers = ResolversNow()](HANDLE task) {
    RunHostLookup(inbox, task, name, resolvers);
  });
}

HANDLE StartAddrLookup(std::shared_ptr<TInbox> inbox, const std::string& name, int family) {
  return StartWorker(
      [inbox = std::move(inbox), name, family, resolvers = ResolversNow()](HANDLE task) {
        RunAddrLookup(inbox, task, name, family, resolvers);
      });
}

bool IssuedTask(HANDLE task) { return task != 0 && task < NextTask.load(); }

LPARAM WriteHostent(const TLookupResult& result, char* buf, int buflen) {
  if (result.Error != 0) return MAKELPARAM(0, static_cast<WORD>(result.Error));
  // Layout: [padding][hostent][alias list][address list][addresses][name].
  std::size_t start = FirstAligned<hostent>(buf);
  std::size_t aliases = AlignUp(start + sizeof(hostent), alignof(char*));
  std::size_t addrList = aliases + sizeof(char*);
  std::size_t addrs = addrList + (result.Addresses.size() + 1) * sizeof(char*);
  std::size_t name = addrs + result.Addresses.size() * 4;
  std::size_t needed = name + result.Name.size() + 1;
  if (buf == nullptr || buflen < 0 || needed > static_cast<std::size_t>(buflen)) {
    return Written(needed, WSAENOBUFS);
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
  return Written(needed, 0);
}

LPARAM WriteAddressList(const TLookupResult& result, char* buf, int buflen) {
  if (result.Error != 0) return MAKELPARAM(0, static_cast<WORD>(result.Error));
  // Layout: [padding][HOSTADDRESSES][padding][addresses][name].
  const std::size_t count = result.Endpoints.size();
  std::size_t start = FirstAligned<HOSTADDRESSES>(buf);
  std::size_t addrs = AlignUp(start + sizeof(HOSTADDRESSES), alignof(SOCKADDR_INET));
  std::size_t name = addrs + count * sizeof(SOCKADDR_INET);
  std::size_t needed = name + result.Name.size() + 1;
  if (buf == nullptr || buflen < 0 || needed > static_cast<std::size_t>(buflen)) {
    return Written(needed, WSAENOBUFS);
  }
  auto* list = new (buf + start) HOSTADDRESSES{};
  list->Name = buf + name;
  std::memcpy(buf + name, result.Name.c_str(), result.Name.size() + 1);
  list->Count = static_cast<int>(count);
  list->Addresses = reinterpret_cast<SOCKADDR_INET*>(buf + addrs);
  for (std::size_t i = 0; i < count; ++i)
    new (buf + addrs + i * sizeof(SOCKADDR_INET)) SOCKADDR_INET(result.Endpoints[i]);
  return Written(needed, 0);
}

LPARAM WriteLookup(const TLookupResult& result, char* buf, int buflen) {
  return result.Kind == TLookupKind::AddressList ? WriteAddressList(result, buf, buflen)
                                                 : WriteHostent(result, buf, buflen);
}

}  // namespace detail

namespace {

// The checks both look-ups make before they start, and the name they look up: an empty
// one means the local host, as on the platform. False with the last error set.
bool LookupName(HWND hwnd, const char* name, char* buf, int buflen, std::string& host) {
  if (name == nullptr || buf == nullptr || buflen <= 0) {
    WSASetLastError(WSAEFAULT);
    return false;
  }
  if (!detail::TQueue::Current().IsWindow(hwnd)) {
    WSASetLastError(WSAEINVAL);
    return false;
  }
  host = name;
  if (!host.empty()) return true;
  char local[HOST_NAME_MAX + 1] = {};
  if (::gethostname(local, sizeof local - 1) != 0) {
    WSASetLastError(WSAHOST_NOT_FOUND);
    return false;
  }
  host = local;
  return true;
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
  std::string host;
  if (!LookupName(hwnd, name, buf, buflen, host)) return 0;
  return detail::TQueue::Current().StartLookup(hwnd, msg, host, buf, buflen);
}

HANDLE WSAAsyncGetAddrInfo(HWND hwnd, UINT msg, const char* name, int family, char* buf,
                           int buflen) {
  std::string host;
  if (!LookupName(hwnd, name, buf, buflen, host)) return 0;
  if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return 0;
  }
  return detail::TQueue::Current().StartAddrLookup(hwnd, msg, host, family, buf, buflen);
}

int WSACancelAsyncRequest(HANDLE task) {
  if (!detail::IssuedTask(task)) return detail::Fail(WSAEINVAL);
  if (!detail::TQueue::Current().CancelLookup(task)) return detail::Fail(WSAEALREADY);
  return 0;
}

void SetResolver(Resolver resolver) {
  std::lock_guard<std::mutex> guard(detail::ResolverLock);
  detail::InstalledResolvers().Ipv4 = std::move(resolver);
}

void SetAddrResolver(AddrResolver resolver) {
  std::lock_guard<std::mutex> guard(detail::ResolverLock);
  detail::InstalledResolvers().Both = std::move(resolver);
}

}  // namespace win
