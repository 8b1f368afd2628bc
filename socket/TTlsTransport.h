// The TLS transport: the connection's plaintext through a TLS session over the plain transport.
//
// OpenSSL pulls ciphertext from the socket itself, through the session's BIO, when it needs
// some: into its own read buffer, 64 KiB at a time. Plaintext goes from the session straight
// into the caller's buffer; only a peek (a line's look-ahead, the send loop's question) keeps
// what it saw, in a room of its own, until it is received. What the session holds without
// the socket showing it (decrypted or read ahead) is Pending(): the one sign that a wait must
// not block.
#pragma once

#include <memory>
#include <string>

#include "socket/SockErrors.h"
#include "socket/TPlainTransport.h"
#include "socket/TTransferHost.h"
#include "tls/TTlsSession.h"

struct TTlsSettings;

class TTlsTransport final : public TTransport, private TTlsWire {
 public:
  // The session for HostName and Port over Below; raises ETlsSockError at ssHandshake when
  // OpenSSL cannot make one.
  TTlsTransport(TPlainTransport& Below, const TTlsSettings& Settings, const std::string& HostName,
                int Port);
  ~TTlsTransport() override;
  TTlsTransport(const TTlsTransport&) = delete;
  TTlsTransport& operator=(const TTlsTransport&) = delete;

  // Drives the handshake to its end: true when complete, false when a cancel ended it. The
  // last flight stays queued and leaves with the first bytes sent, or before the first
  // receive waits: sent alone, the small write after it waits for the server's delayed ACK,
  // 40 ms a resumed handshake. Raises ETlsSockError for a failed handshake, ESockError for
  // a broken connection.
  bool Handshake(TTransferHost& Host);
  // The check after the handshake; raises ETlsSockError (ssCertificate) when it fails.
  void Check();
  // The check passed or was waived, and the session is not ended by us.
  bool Ready() const;
  // The peer's bytes ended without close_notify.
  bool Cut() const;
  const TTlsFacts& Facts() const;
  // The session goes on over Below from now (the connection that holds it moved).
  void Over(TPlainTransport& Below) { FBelow = &Below; }

  int Connect(const win::SOCKADDR_INET& To) override { return FBelow->Connect(To); }
  int Receive(char* Buffer, int Size, int Flags) override;
  int Send(const char* Data, int Count, int Flags) override;
  void SendGivenUp() override { FStaged = 0; }
  bool Pending() const override;
  std::size_t Waiting() const override;
  // close_notify, sent without waiting, and the socket's close made to let it go; true when
  // it went.
  bool Close(bool Connected) override;

 private:
  TPull Pull(char* Data, std::size_t Size, std::size_t& Got) override;
  // Plaintext into Into: > 0 bytes, 0 at the end, -1 with the platform's error set.
  int ReadPlain(char* Into, std::size_t Room);
  int Peek(char* Buffer, std::size_t Room);
  // Sends what the session has for the peer as far as the socket takes it: the socket's
  // return for the last send made (> 0 when everything went).
  int Flush(int Flags);
  std::size_t PeekedLeft() const { return FPeekedEnd - FPeekedAt; }

  TPlainTransport* FBelow;
  std::unique_ptr<TTlsSession> FSession;
  // Plaintext a peek took and no receive has yet: FPeekRoom from FPeekedAt to FPeekedEnd. The
  // room is made once at the largest peek's size and never cleared: a line read peeks 64 KiB
  // at a time, and filling that with zeros first cost more than the reply it reads.
  std::unique_ptr<char[]> FPeekRoom;
  std::size_t FPeekRoomSize = 0;
  std::size_t FPeekedAt = 0;
  std::size_t FPeekedEnd = 0;
  // Plaintext bytes of a send that are in the session's queue and not all on the wire yet.
  int FStaged = 0;
  int FError = 0;  // the socket's error that broke the session's wire
};
