// TConnection: the transport in use, the TLS facts, and the hand-over of a connection.
#include "socket/TConnection.h"

#include "platform/WinSock.h"
#include "socket/TTlsTransport.h"

TConnection::TConnection() = default;

TConnection::~TConnection() {
  FUpper.reset();  // it refers to the transports below it
  FTls.reset();    // its session refers to the socket's transport
  // A connection handed on and never taken: nobody else will close its socket.
  if (FHandedOn && Plain.Handle != NoSocket) win::closesocket(Plain.Handle);
}

TTransport& TConnection::Transport() {
  if (FUpper) return *FUpper;
  return Below();
}

const TTransport& TConnection::Transport() const {
  if (FUpper) return *FUpper;
  return FTls ? static_cast<const TTransport&>(*FTls) : Plain;
}

TTransport& TConnection::Below() { return FTls ? static_cast<TTransport&>(*FTls) : Plain; }

void TConnection::InstallTls(std::unique_ptr<TTlsTransport> Tls) { FTls = std::move(Tls); }

void TConnection::InstallUpper(std::unique_ptr<TUpperTransport> Upper) {
  FUpper = std::move(Upper);
}

void TConnection::DropTls() {
  FUpper.reset();
  FTls.reset();
}

bool TConnection::TlsActive() const { return FTls && FTls->Ready(); }

const TTlsFacts* TConnection::TlsFacts() const { return FTls ? &FTls->Facts() : nullptr; }

bool TConnection::TlsCut() const { return FTls && FTls->Cut(); }

void TConnection::Take(TConnection& From) {
  if (&From == this) return;
  Plain.Handle = From.Plain.Handle;
  Plain.BrokenError = From.Plain.BrokenError;
  RemoteAddress = From.RemoteAddress;
  LocalAddress = From.LocalAddress;
  FUpper.reset();
  FTls = std::move(From.FTls);
  if (FTls) FTls->Over(Plain);
  FUpper = std::move(From.FUpper);
  if (FUpper) FUpper->Over(Below());
  FHandedOn = true;
  From.Plain.Handle = NoSocket;
  From.Plain.BrokenError = 0;
  From.RemoteAddress = {};
  From.LocalAddress = {};
}
