// A client TLS session over a wire the caller provides: OpenSSL pulls the peer's ciphertext from
// the wire when it needs some, straight into its own read buffer, and the session keeps what it
// has to send for the caller to send. Nothing here blocks, knows sockets or HTTP or reads a
// terminal; the handshake is a step the caller's wait drives.
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
  twDone,    // the step is complete
  twRead,    // the wire has no more ciphertext now (send Outgoing() first, then wait)
  twClosed,  // the peer ended TLS with close_notify
  twCut,     // the peer's bytes ended (the wire said so) without close_notify
  twBroken,  // the wire failed: the error is the wire's own
};

// Where a session is. Every question about it (may it write, has the peer ended, did it fail)
// is a question about the phase.
enum class TTlsPhase : std::uint8_t {
  tpHandshake,  // the handshake runs
  tpChecking,   // the handshake is complete; Check() has not let the pass go on
  tpOpen,       // checked or waived: plaintext both ways
  tpClosed,     // the peer ended with close_notify
  tpCut,        // the peer's bytes ended without close_notify
  tpShutdown,   // our close_notify is queued (Shutdown)
  tpFailed,     // a fatal error: OpenSSL's state is spent
};

// The peer's side of the connection as the session's BIO reads it, asked only when OpenSSL
// needs ciphertext: Pull puts up to Size bytes at Data and says how it went.
class TTlsWire {
 public:
  enum class TPull : std::uint8_t {
    Got,      // Got bytes (at least one) arrived
    Blocked,  // none now: the caller waits for the wire
    Ended,    // the peer's bytes have ended
    Broken,   // the wire failed; it keeps its error for its caller
  };
  virtual TPull Pull(char* Data, std::size_t Size, std::size_t& Got) = 0;

 protected:
  ~TTlsWire() = default;
};

class TTlsSession {
 public:
  // HostName is the name asked: it is checked against the certificate, and sent as SNI unless
  // it is an IP literal. Contexts are shared and cached by the settings (see TTlsContext).
  // Wire must outlive the session.
  TTlsSession(std::shared_ptr<TTlsContext> Context, std::string_view HostName, int Port,
              TTlsWire& Wire);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // After every call, send what Outgoing() holds: a Read may have to answer the peer too.
  // Ciphertext waiting to be sent; Sent(N) drops the first N bytes once they are on the wire.
  std::string_view Outgoing() const;
  void Sent(std::size_t Count);

  // Drives the handshake. twDone once it is complete (then Facts() holds the session's facts
  // and the check's outcome, and Check() tells whether the request may go); twBroken when the
  // wire failed. Throws ETlsError with tkHandshake for a failed handshake.
  TTlsWant Handshake();
  // The check after the handshake: trust, name, dates, key usage, strength; waived when the
  // settings turn checks off. Throws ETlsError with tkCheck and the reason when it fails.
  void Check();

  // Plaintext straight into Buffer: every whole record OpenSSL holds, up to Size bytes; Got
  // is how many. The wire is pulled only while Got is still 0, so that plaintext in hand goes
  // to the caller before the wire is asked for more (a close behind a reply whose length told
  // it whole is then never read, and the session stays resumable). twDone with Got > 0;
  // twRead with Got 0 when the wire has nothing now; twClosed / twCut once the peer's stream
  // has ended; twBroken when the wire failed. Throws ETlsError with tkRecord for a record that
  // cannot be read (a forged or corrupt record, a fatal alert).
  TTlsWant Read(char* Buffer, std::size_t Size, std::size_t& Got);
  // OpenSSL holds bytes of the peer's (decrypted, or read ahead from the wire) that a Read can
  // use without the wire: the wire will not tell of them, so a wait must not block while this
  // is true. False after a Read that needed the wire, until a Read gets plaintext again.
  bool Pending() const;
  // Encrypts Count bytes into Outgoing(); all of them are taken. Only after Check() has let
  // the pass go on: no byte leaves before the check passed or was waived.
  void Write(const char* Data, std::size_t Count);
  // Queues close_notify into Outgoing(), once: true when it did now. The phase becomes
  // tpShutdown, unless the peer had ended its stream already: how it ended stays known.
  bool Shutdown();

  TTlsPhase Phase() const;
  const TTlsFacts& Facts() const;

 private:
  void Hook();
  void Finish();
  [[noreturn]] void Fail(int Error, bool InHandshake);
  TTlsWant ReadFailed(int Error);

  struct TState;
  std::unique_ptr<TState> F;
};
