// One OpenSSL context per set of settings, with the sessions it made for resumption. Contexts
// are shared through a process-wide cache keyed by the settings, and trust stores by the CA
// file and directory; a session is resumed only by a pass with the same host, port, SNI and
// settings.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "tls/TTlsFacts.h"
#include "tls/TTlsSettings.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

class TTlsContext {
 public:
  // The shared context for these settings, made on first use. Throws ETlsError (tkCaFile,
  // tkCaPath, tkCredentials) when a file the settings name cannot be used.
  static std::shared_ptr<TTlsContext> For(const TTlsSettings& Settings);
  // Forgets every cached context, trust store and session (tests; a settings page that was
  // changed, a CA file that was edited).
  static void ClearCache();

  explicit TTlsContext(const TTlsSettings& Settings);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  const TTlsSettings& Settings() const;
  SSL_CTX* Handle() const;

  // Sessions for resumption, one per key (host, port and SNI), each with the facts of the pass
  // that made it: a resumed handshake brings no chain and runs no check. StoreSession takes the
  // reference; TakeSession gives one (or nullptr), and a TLS 1.3 ticket only once.
  void StoreSession(const std::string& Key, SSL_SESSION* Session, const TTlsFacts& Facts);
  SSL_SESSION* TakeSession(const std::string& Key, TTlsFacts& Facts);

  // A session (TLS 1.2) or ticket (TLS 1.3) the server gave on Ssl goes to the handler that
  // Ssl's owner named here, which takes the reference (true) or leaves it to be freed (false).
  // The handler must outlive Ssl's handshakes; none named, the session is dropped.
  using TSessionArrived = std::function<bool(SSL_SESSION* Session)>;
  static void OnSessionArrived(SSL* Ssl, const TSessionArrived* Handler);

 private:
  void LoadTrust();
  void LoadCredentials();

  struct TState;
  std::unique_ptr<TState> F;
};
