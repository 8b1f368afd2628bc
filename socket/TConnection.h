// TConnection: one connection of the socket component, as an object of its own: the socket
// handle, the transport its bytes go through (plain, or TLS over it) and what belongs to the
// connection itself (the remote address, how it broke, its TLS facts).
//
// A component holds one. It can hand it on (Take) so that a connection outlives the exchange
// it was made for: whoever takes it goes on reading and writing it, with its own
// notifications.
#pragma once

#include <memory>

#include "platform/WinSock.h"
#include "socket/TPlainTransport.h"

class TTlsTransport;
struct TTlsFacts;

class TConnection {
 public:
  TConnection();
  ~TConnection();
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  // Where every transfer goes: the upper transport once one is installed, else the TLS
  // transport once one is, else the socket's.
  TTransport& Transport();
  const TTransport& Transport() const;

  // The TLS transport from StartTls on, or nullptr; kept after the connection closed, for its
  // facts, until the next connection starts (DropTls).
  TTlsTransport* Tls() const { return FTls.get(); }
  void InstallTls(std::unique_ptr<TTlsTransport> Tls);
  // Drops the TLS transport and the upper one: a new connection starts in plain text.
  void DropTls();
  // The transport over the connection's own (plain or TLS), from now until the connection
  // starts again; nullptr when none is installed.
  TUpperTransport* Upper() const { return FUpper.get(); }
  void InstallUpper(std::unique_ptr<TUpperTransport> Upper);
  // The transport below the upper one: TLS when installed, else the socket's.
  TTransport& Below();
  bool TlsActive() const;
  const TTlsFacts* TlsFacts() const;
  bool TlsCut() const;

  // Everything From held (its socket, transport, address and state) is this connection's
  // now; From is left with no socket (NoSocket). A connection that took one closes its socket
  // when it goes, unless that was taken on or closed (NoSocket) first.
  void Take(TConnection& From);

  TPlainTransport Plain;
  win::SOCKADDR_INET RemoteAddress{};  // IPv4 or IPv6, with the port
  win::SOCKADDR_INET LocalAddress{};   // the socket's own, as it connected; zero before

 private:
  std::unique_ptr<TTlsTransport> FTls;
  std::unique_ptr<TUpperTransport> FUpper;
  bool FHandedOn = false;
};
