// THttpObserver: a party that follows every pass of a TVelHTTP (AddObserver), told each step
// with what the component knows at that step and the time it read for it.
//
// Any number of observers may follow one component, added and removed in any order and
// beside the component's own single-slot events, which stay the owner's. The component
// reads the step's time (steady clock) before any observer runs, so no observer's work is
// charged to the exchange; observers run before the step's event. An observer may remove
// itself, add another or destroy the component while it is told; one destroyed first leaves
// its component on its own. An observer's error ends the request like a handler's, except
// for Reported, whose errors are swallowed as a status handler's are.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "http/Http2Frame.h"
#include "tls/TTlsFacts.h"

class THttpObserverList;

using THttpTime = std::chrono::steady_clock::time_point;

// A pass as it is about to go: composed, OnAboutToSend has run. The views last as long as
// the call.
struct THttpPassStart {
  int PassIndex = 0;        // 0 for the first pass, 1 after one redirection ...
  std::string_view Method;  // the request line's word; empty for a wrapped request
  std::string_view URL;     // absolute: scheme, server, port and target; no user, no fragment
  std::string_view Proxy;   // empty when the pass goes direct
  int ProxyPort = 0;
  std::string_view TargetURI;  // the second argument of COPY, MOVE, LINK and UNLINK, else empty
  std::string_view Header;     // the header block, empty line included: the bytes sent
  std::string_view Body;       // the body sent; from a file, its first FileBodyShown bytes
  std::int64_t BodySize = 0;   // the whole body's size; 0 without one
  bool HeaderToFile = false;   // the reply's header goes to a file (OutputFileMode)
  bool BodyToFile = false;     // the reply's body goes to a file (InputFileMode)
};

class THttpObserver {
 public:
  // The first bytes of a body sent from a file that PassStarted shows.
  static constexpr std::size_t FileBodyShown = std::size_t{1} << 20;

  THttpObserver() = default;
  THttpObserver(const THttpObserver&) = delete;
  THttpObserver& operator=(const THttpObserver&) = delete;
  // Leaves the component it follows, if that one still lives.
  virtual ~THttpObserver();

  virtual void PassStarted(THttpTime, const THttpPassStart&) {}
  // Name (the host or the proxy) gave Address, dotted.
  virtual void LookedUp(THttpTime, std::string_view /*Name*/, std::string_view /*Address*/) {}
  // The look-up failed and the owner is asked for another host (OnInvalidHost).
  virtual void HostAsked(THttpTime) {}
  // The owner answered: Host is the one it named, empty when it named none (or when the pass
  // goes through a proxy, which is looked up again whatever it named).
  virtual void HostAnswered(THttpTime, std::string_view /*Host*/) {}
  // A connect attempt starts, to Address (bare: "::1", "127.0.0.1") and Port. A name with
  // several addresses makes several attempts, staggered and overlapping; the one that wins is
  // told by Connected, every other by TryEnded.
  virtual void Trying(THttpTime, std::string_view /*Address*/, int /*Port*/) {}
  // An attempt that did not become the connection ended: it failed with the socket error
  // Error, or it was closed unfinished (Error 0) because another won or all were given up.
  virtual void TryEnded(THttpTime, std::string_view /*Address*/, int /*Port*/, int /*Error*/) {}
  // The connection stands, to Name (host or proxy) at Address and Port.
  virtual void Connected(THttpTime, std::string_view /*Name*/, std::string_view /*Address*/,
                         int /*Port*/) {}
  // The pass's connection is ready for its request: Number is its number among the
  // connections the component opened (0 for the first, in the order they were made); Reused
  // when it was kept open after an earlier exchange, and then no look-up, connect, tunnel or
  // TLS handshake is told for the pass. A new connection is told right after Connected.
  virtual void ConnectionReady(THttpTime, int /*Number*/, bool /*Reused*/) {}
  // The reply was read to the end its framing gives and the connection stays open for a later
  // request (HTTP/1.1): it is kept instead of closed, and no Closed follows for it.
  virtual void ConnectionKept(THttpTime, int /*Number*/) {}
  // The kept connection the pass was sent on had been closed by the server before a whole line of
  // the reply came: the request goes again, once, on a new connection, whose look-up and
  // connect are told next. What was told of the reply since ConnectionReady is void.
  virtual void Resent(THttpTime) {}
  // Through the proxy for an https URL: the CONNECT request as sent, then the proxy's reply
  // head as read and its status; a 2xx opens the tunnel, any other status ends the pass
  // with that reply (told then as the pass's StatusLine and HeaderEnded).
  virtual void TunnelRequested(THttpTime, std::string_view /*Request*/) {}
  virtual void TunnelAnswered(THttpTime, std::string_view /*Head*/, int /*Status*/) {}
  // The TLS handshake starts for the name asked (sent as SNI unless an IP literal), after
  // Connected (and the tunnel).
  virtual void TlsStarted(THttpTime, std::string_view /*HostName*/) {}
  // The handshake and the check ended, passed or failed (then Failed follows): the session's
  // facts as far as they went.
  virtual void TlsEnded(THttpTime, const TTlsFacts&) {}
  // The pass speaks HTTP/2 (Version 20) on its connection, as stream Stream: told before
  // RequestSent, with the request as HTTP/2 shows it (Header: the block PassStarted showed,
  // its request line saying HTTP/2 and without the fields HTTP/2 has no place for), which
  // replaces the one PassStarted showed.
  virtual void ProtocolSpoken(THttpTime, int /*Version*/, int /*Stream*/,
                              std::string_view /*Header*/) {}
  // A frame of the pass's HTTP/2 connection went or came, at the time given: every frame
  // from the pass's ProtocolSpoken to its end, whichever stream it is on.
  virtual void FrameSeen(THttpTime, const THttp2Frame&) {}
  // The header block (the bytes PassStarted showed, or ProtocolSpoken) and BodySize bytes of
  // body are sent.
  virtual void RequestSent(THttpTime, std::string_view /*Header*/, std::int64_t /*BodySize*/) {}
  virtual void StatusLine(THttpTime, std::string_view /*Line*/) {}
  // The reply's head as read (empty when it went to a file) and the final status.
  virtual void HeaderEnded(THttpTime, std::string_view /*Head*/, int /*Status*/) {}
  // A block of the reply body, its coding taken off, as it arrives.
  virtual void BodyBlock(THttpTime, std::string_view /*Block*/) {}
  // The body ended with the server's close without close_notify, and nothing tells that it
  // was whole: it may be cut short. Told before BodyEnded.
  virtual void BodyMayBeCut(THttpTime) {}
  virtual void BodyEnded(THttpTime, std::int64_t /*Bytes*/) {}
  // A body whose content codings came off: its bytes as they came and once decoded. Told
  // when its reading ends, before BodyEnded, or before the error that cut it.
  virtual void BodyDecoded(THttpTime, std::int64_t /*Wire*/, std::int64_t /*Decoded*/) {}
  // The connection is closed. When that happens while the reply's head is being read,
  // HeadSoFar holds what came of it (empty when it goes to a file) and Status its status.
  virtual void Closed(THttpTime, std::string_view /*HeadSoFar*/, int /*Status*/) {}
  // The error that ends the request, as it leaves the component.
  virtual void Failed(THttpTime, const std::exception_ptr&) {}
  // A status text that passed ReportLevel.
  virtual void Reported(THttpTime, std::string_view /*Text*/) {}

 private:
  friend class THttpObserverList;
  THttpObserverList* FList = nullptr;  // the list of the component it follows
};
