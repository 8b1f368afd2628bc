// What a message to the component's notification window says: the socket event or look-up
// reply it carries, read once, so that the component only acts on it.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/WinSock.h"
#include "platform/WinUser.h"
#include "socket/TMessage.h"

constexpr win::UINT WM_SOCKET_EVENT = win::WM_USER + 101;  // 1125
constexpr win::UINT WM_LOOKUP_DONE = win::WM_USER + 102;   // 1126

struct TSocketNotice {
  enum class TKind : std::uint8_t {
    Stale,      // the reply of a look-up given up on: nothing for the component
    OtherRead,  // data for another socket on the window (an accepted data connection)
    Other,      // any other event of another socket: it never touches the component's own
    None,       // a message of the component's own with nothing to do but its error word
    Read,
    Accept,
    Connect,
    Close,
    LookupDone
  };
  TKind Kind = TKind::None;
  bool Succeeded = false;  // the message's error word is 0
  int Error = 0;           // the error word
  win::WPARAM Task = 0;    // a look-up reply's task
};

// Reads Msg for the socket Handle. A reply of a look-up in Abandoned (one a wait gave up on,
// timed out or canceled) says nothing about the present one: it is taken out of the list and
// read as Stale.
TSocketNotice ReadNotice(const TMessage& Msg, std::uint16_t Handle,
                         std::vector<win::HANDLE>& Abandoned);

// The addresses of the list the platform built in Buffer (a HOSTADDRESSES at its first aligned
// byte), in the resolver's order; none when the list has none of IPv4 or IPv6.
std::vector<win::SOCKADDR_INET> ListedAddresses(const char* Buffer);
