// One OpenSSL context per set of settings, with the sessions it made for resumption. Contexts
// are shared through a process-wide cache keyed by the settings; a session is resumed only by a
// pass with the same host, port, SNI and settings.
#pragma once

#include <memory>

#include "tls/TTlsSettings.h"

typedef struct ssl_ctx_st SSL_CTX;

class TTlsContext {
 public:
  // The shared context for these settings, made on first use. Throws ETlsError (tkCaFile,
  // tkCaPath, tkCredentials) when a file the settings name cannot be used.
  static std::shared_ptr<TTlsContext> For(const TTlsSettings& Settings);
  // Forgets every cached context and session (tests; a settings page that was changed).
  static void ClearCache();

  explicit TTlsContext(const TTlsSettings& Settings);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  const TTlsSettings& Settings() const;
  SSL_CTX* Handle() const;

 private:
  struct TState;
  std::unique_ptr<TState> F;
};
