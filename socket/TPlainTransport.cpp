// The plain transport: recv, send and connect on the component's socket.
#include "socket/TPlainTransport.h"

#include "platform/WinSock.h"

int TPlainTransport::Connect(const win::SOCKADDR_INET& To) {
  return win::connect(Handle, reinterpret_cast<const sockaddr*>(&To), win::SockaddrLength(To));
}

int TPlainTransport::Receive(char* Buffer, int Size, int Flags) {
  const int Got = win::recv(Handle, Buffer, Size, Flags);
  if (Got < 0) Error();
  return Got;
}

int TPlainTransport::Send(const char* Data, int Count, int Flags) {
  const int Sent = win::send(Handle, Data, Count, Flags);
  if (Sent < 0) Error();
  return Sent;
}

std::size_t TPlainTransport::Waiting() const {
  win::DWORD Count = 0;
  return win::ioctlsocket(Handle, FIONREAD, &Count) == 0 ? Count : 0;
}

void TPlainTransport::LetQueuedGo() {
  const linger Graceful{0, 0};
  win::setsockopt(Handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Graceful),
                  sizeof Graceful);
}

int TPlainTransport::Error() const {
  int Error = win::WSAGetLastError();
  if (Error == win::WSAENOTCONN && BrokenError != 0) {
    Error = BrokenError;
    win::WSASetLastError(Error);
  }
  return Error;
}
