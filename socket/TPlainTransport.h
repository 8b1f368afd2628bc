// The plain transport: the connection's bytes as the platform's socket carries them.
#pragma once

#include <cstdint>

#include "socket/TTransport.h"

constexpr std::uint16_t NoSocket = 65535;

class TPlainTransport final : public TTransport {
 public:
  int Connect(const win::SOCKADDR_INET& To) override;
  int Receive(char* Buffer, int Size, int Flags) override;
  int Send(const char* Data, int Count, int Flags) override;
  bool Pending() const override { return false; }
  std::size_t Waiting() const override;
  bool Close(bool) override { return false; }

  // The close that follows lets what the send queue holds go out first, instead of resetting
  // the connection at once as every socket of the component does.
  void LetQueuedGo();
  // The error of the call that just failed, as the platform's last error: after a reset whose
  // notification has already replaced the socket, the reset (BrokenError), not the fresh
  // socket's "not connected". Returns it.
  int Error() const;

  // 0 until the socket layer gives one, as the component has always shown it.
  std::uint16_t Handle = 0;
  // The error of a close notification that ended the connection abnormally (10054 for a
  // reset); 0 after a graceful close, and cleared when a connection starts or is ended.
  int BrokenError = 0;
};
