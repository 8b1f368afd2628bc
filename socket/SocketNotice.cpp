// Reading the notification window's messages.
#include "socket/SocketNotice.h"

#include <netdb.h>

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

std::uint32_t FirstAddress(const char* Entry) {
  const auto* Host = reinterpret_cast<const hostent*>(Entry);
  std::uint32_t Address = 0;
  if (Host->h_length == 4 && Host->h_addr_list != nullptr && Host->h_addr_list[0] != nullptr)
    std::memcpy(&Address, Host->h_addr_list[0], 4);
  return Address;
}
