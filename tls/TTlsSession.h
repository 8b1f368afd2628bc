// A client TLS session over bytes the caller moves itself: the caller reads its own socket and
// hands the ciphertext in, and sends what the session has to send. Nothing here blocks, reads a
// socket, knows HTTP or reads a terminal; the handshake is a step the caller's wait drives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tls/TTlsFacts.h"
#include "tls/TTlsSettings.h"

class TTlsContext;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

// What a step of the session needs before it can go on.
enum class TTlsWant : std::uint8_t {
  twDone,      // the step is complete
  twRead,      // more ciphertext from the peer is needed (send Outgoing() first)
  twClosed,    // the peer ended TLS with close_notify
  twCut,       // the peer's bytes ended (the caller said so) without close_notify
};

class TTlsSession {
 public:
  // HostName is the name asked: it is checked against the certificate, and sent as SNI unless
  // it is an IP literal. Contexts are shared and cached by the settings (see TTlsContext).
  TTlsSession(std::shared_ptr<TTlsContext> Context, std::string_view HostName, int Port);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // After every call, send what Outgoing() holds: a Read may have to answer the peer too.
  // Ciphertext read from the socket. Count 0 means the peer closed the connection.
  void Received(const char* Data, std::size_t Count);
  // Ciphertext waiting to be sent; Sent(N) drops the first N bytes once they are on the wire.
  std::string_view Outgoing() const;
  void Sent(std::size_t Count);

  // Drives the handshake. twDone once it is complete (then Facts() holds the session's facts
  // and the check's outcome, and Check() tells whether the request may go). Throws ETlsError
  // with tkHandshake for a failed handshake.
  TTlsWant Handshake();
  // The check after the handshake: trust, name, dates, key usage, strength; waived when the
  // settings turn checks off. Throws ETlsError with tkCheck and the reason when it fails.
  void Check();

  // Plaintext: Read gives up to Size bytes; Got is how many (0 with twRead: need ciphertext).
  // twClosed / twCut once the peer's stream has ended. Throws ETlsError with tkRecord for a
  // record that cannot be read (a forged or corrupt record, a fatal alert).
  TTlsWant Read(char* Buffer, std::size_t Size, std::size_t& Got);
  // Whether plaintext can be had without a byte more from the socket: decrypted bytes held, or
  // a whole record of ciphertext not yet decrypted. A wait must not block while this is true.
  bool HasPlaintext() const;
  // Encrypts Count bytes into Outgoing(); all of them are taken. Only after Check() has let
  // the pass go on: no byte leaves before the check passed or was waived.
  void Write(const char* Data, std::size_t Count);
  // Queues close_notify into Outgoing().
  void Shutdown();

  const TTlsFacts& Facts() const;

 private:
  void Hook();
  void Finish();
  [[noreturn]] void Fail(int Error, bool InHandshake);

  struct TState;
  std::unique_ptr<TState> F;
};
