// The tunnel an https pass asks the proxy for: the CONNECT request, the proxy's reply head,
// and its refusal (any reply but a 2xx) taken as the pass's reply, never followed.
#pragma once

#include <string>

#include "http/TReplyHead.h"
#include "http/TReplyReader.h"

namespace ProxyTunnel {

// CONNECT host:port with a Host line and nothing else: every credential and every line of
// the caller's is for the server, and goes only inside the tunnel.
std::string Request(const std::string& Host, int Port);
// The proxy's reply to CONNECT, read by the reply rules of every head and bounded by the
// time-out as a whole, as a server's is; Text gets its lines as read.
TReplyHead ReadHead(const THeadWire& Wire, const TReplyFields& To, std::string& Text);
// The reply opens the tunnel.
inline bool Opens(const TReplyHead& Head) { return Head.Status() >= 200 && Head.Status() <= 299; }
// The proxy's refusal, its head Head read as Text, as the pass's reply: its text, status and
// head, then its status line told.
void TakeRefusal(TReplyReader& Reader, const THeadWire& Wire, const TReplyFields& To,
                 TReplyHead Head, const std::string& Text);

}  // namespace ProxyTunnel
