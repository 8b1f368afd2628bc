// The send loop every send of the component goes through, plain or TLS alike.
#pragma once

#include <cstddef>
#include <functional>

#include "socket/TTransferHost.h"
#include "socket/TTransport.h"

// Sends Count bytes of Data through Wire unless a cancel or the peer's answer stops it,
// calling Sent after every accepted send, and waits with messages flowing while there is no
// room. Flags as send takes them (MSG_MORE).
void SendAll(TTransferHost& Host, TTransport& Wire, const char* Data, std::size_t Count,
             const std::function<void(int)>& Sent, int Flags);
