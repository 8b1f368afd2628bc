// Reading the notification window's messages.
#include "socket/SocketNotice.h"

#include <algorithm>
#include <cstring>

#include "platform/WinSock.h"

TSocketNotice ReadNotice(const TMessage& Msg, std::uint16_t Handle,
                         std::vector<win::HANDLE>& Abandoned) {
  using TKind = TSocketNotice::TKind;
  TSocketNotice Notice;
  Notice.Succeeded = win::HIWORD(Msg.LParam) == 0;
  Notice.Error = win::HIWORD(Msg.LParam);
  if (Msg.Msg == WM_LOOKUP_DONE) {
    const auto Stale = std::find(Abandoned.begin(), Abandoned.end(), Msg.WParam);
    if (Stale != Abandoned.end()) {
      Abandoned.erase(Stale);
      return {TKind::Stale};
    }
    Notice.Kind = TKind::LookupDone;
    Notice.Task = Msg.WParam;
    return Notice;
  }
  if (Msg.Msg != WM_SOCKET_EVENT) return Notice;
  const auto Event = win::LOWORD(Msg.LParam);
  if (Msg.WParam != Handle) {
    Notice.Kind = Event == win::FD_READ ? TKind::OtherRead : TKind::Other;
    return Notice;
  }
  switch (Event) {
    case win::FD_READ: Notice.Kind = TKind::Read; break;
    case win::FD_ACCEPT: Notice.Kind = TKind::Accept; break;
    case win::FD_CONNECT: Notice.Kind = TKind::Connect; break;
    case win::FD_CLOSE: Notice.Kind = TKind::Close; break;
    default: break;
  }
  return Notice;
}

std::vector<win::SOCKADDR_INET> ListedAddresses(const char* Buffer) {
  const std::size_t Misalign = reinterpret_cast<std::uintptr_t>(Buffer) % alignof(win::HOSTADDRESSES);
  const std::size_t Start = Misalign == 0 ? 0 : alignof(win::HOSTADDRESSES) - Misalign;
  const auto* List = reinterpret_cast<const win::HOSTADDRESSES*>(Buffer + Start);
  std::vector<win::SOCKADDR_INET> Addresses;
  if (List->Addresses == nullptr) return Addresses;
  for (int I = 0; I < List->Count; ++I) {
    const win::SOCKADDR_INET& A = List->Addresses[I];
    if (A.si_family == AF_INET || A.si_family == AF_INET6) Addresses.push_back(A);
  }
  return Addresses;
}
