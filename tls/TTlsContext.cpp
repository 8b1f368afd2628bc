// One OpenSSL client context per set of settings: versions, ALPN, trust, the caller's
// certificate; the process-wide caches of contexts and of trust stores, and the sessions each
// context keeps for resumption.
#include "tls/TTlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "tls/TTlsError.h"
#include "tls/TTlsSession.h"

namespace {

// A long-running program that visits many servers must not keep a session for each forever.
constexpr std::size_t MaxSessions = 256;

struct TCtxFree {
  void operator()(SSL_CTX* Ctx) const { SSL_CTX_free(Ctx); }
};

struct TStoreFree {
  void operator()(X509_STORE* Store) const { X509_STORE_free(Store); }
};
using TStorePtr = std::unique_ptr<X509_STORE, TStoreFree>;

// The key's passphrase, never a terminal: OpenSSL's default callback would prompt on the tty.
// No passphrase, or one that does not fit, makes the key unusable.
int GivePassphrase(char* Buffer, int Size, int /*Writing*/, void* User) {
  const auto* Passphrase = static_cast<const std::string*>(User);
  if (Passphrase == nullptr || Passphrase->empty() || Passphrase->size() > std::size_t(Size))
    return -1;
  std::memcpy(Buffer, Passphrase->data(), Passphrase->size());
  return static_cast<int>(Passphrase->size());
}

int ProtocolOf(TTlsVersion Version) {
  switch (Version) {
    case TTlsVersion::tv12: return TLS1_2_VERSION;
    case TTlsVersion::tv13: return TLS1_3_VERSION;
    case TTlsVersion::tvAny: break;
  }
  return 0;
}

bool IsReadableDirectory(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode) &&
         ::access(Path.c_str(), R_OK | X_OK) == 0;
}

// The authorities a set of settings trusts, and whether the CA file or directory it names
// could be used (a store is made all the same: with checks waived the pass goes on).
struct TTrust {
  TStorePtr Store;
  bool FileFailed = false;  // unreadable, or it holds no certificate
  bool PathFailed = false;  // not a directory that can be read
};

// The system's authorities: its hashed directory (SSL_CERT_DIR, else OpenSSL's), where each
// certificate is read when a chain names its subject, instead of the whole bundle parsed into
// every context at start-up. A bundle SSL_CERT_FILE names is read whole, as OpenSSL's own
// defaults would read it.
void AddSystemAuthorities(X509_STORE* Store) {
  X509_LOOKUP* Dir = X509_STORE_add_lookup(Store, X509_LOOKUP_hash_dir());
  if (Dir != nullptr) X509_LOOKUP_add_dir(Dir, nullptr, X509_FILETYPE_DEFAULT);
  if (const char* File = secure_getenv(X509_get_default_cert_file_env()))
    X509_STORE_load_file(Store, File);
}

TTrust MakeTrust(const std::string& CaFile, const std::string& CaPath) {
  TTrust Trust;
  Trust.Store.reset(X509_STORE_new());
  X509_STORE* Store = Trust.Store.get();
  if (Store == nullptr)
    throw ETlsError("OpenSSL could not make a trust store", TTlsErrorKind::tkHandshake);
  if (CaFile.empty() && CaPath.empty()) {
    AddSystemAuthorities(Store);
  } else {
    // OpenSSL fails a file that holds no certificate, as well as one it cannot read; it takes
    // any directory name and finds nothing in it later, so that one is looked at here.
    Trust.FileFailed = !CaFile.empty() && X509_STORE_load_file(Store, CaFile.c_str()) != 1;
    if (!CaPath.empty()) {
      Trust.PathFailed = !IsReadableDirectory(CaPath);
      X509_STORE_load_path(Store, CaPath.c_str());
    }
  }
  ERR_clear_error();
  return Trust;
}

// The process-wide caches. OpenSSL is started before they exist, so that their destructor
// runs before OpenSSL's own clean-up at exit. Stores are shared by every context that trusts
// the same authorities (each context holds a reference); only a store whose files could all
// be used is kept, so that a file mended later is read again. Each cache has a lock of its
// own: a context is made, and its store looked up, under the contexts' lock.
struct TContextCache {
  TContextCache() { OPENSSL_init_ssl(0, nullptr); }
  std::mutex Lock;
  std::vector<std::shared_ptr<TTlsContext>> Contexts;
  std::mutex StoreLock;
  std::map<std::pair<std::string, std::string>, TStorePtr> Stores;
};

TContextCache& Cache() {
  static TContextCache Instance;
  return Instance;
}

// The store for a CA file and directory (both empty: the system's), shared when it is whole.
TTrust SharedTrust(const std::string& CaFile, const std::string& CaPath) {
  TContextCache& C = Cache();
  std::lock_guard<std::mutex> Guard(C.StoreLock);
  TStorePtr& Kept = C.Stores[{CaFile, CaPath}];
  if (Kept == nullptr) {
    TTrust Made = MakeTrust(CaFile, CaPath);
    if (Made.FileFailed || Made.PathFailed) {
      C.Stores.erase({CaFile, CaPath});
      return Made;
    }
    Kept = std::move(Made.Store);
  }
  X509_STORE_up_ref(Kept.get());
  TTrust Shared;
  Shared.Store.reset(Kept.get());
  return Shared;
}

// Where an SSL's owner keeps the handler of its sessions.
int SessionHandlerIndex() {
  static const int Index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return Index;
}

int SessionArrived(SSL* Ssl, SSL_SESSION* Session) {
  const auto* Handler =
      static_cast<const TTlsContext::TSessionArrived*>(SSL_get_ex_data(Ssl, SessionHandlerIndex()));
  return Handler != nullptr && *Handler && (*Handler)(Session) ? 1 : 0;
}

}  // namespace

void TTlsContext::OnSessionArrived(SSL* Ssl, const TSessionArrived* Handler) {
  SSL_set_ex_data(Ssl, SessionHandlerIndex(), const_cast<TSessionArrived*>(Handler));
}

struct TTlsContext::TState {
  struct TEntry {
    SSL_SESSION* Session = nullptr;
    TTlsFacts Facts;
  };

  TTlsSettings Settings;
  std::unique_ptr<SSL_CTX, TCtxFree> Ctx;
  std::mutex Lock;
  std::map<std::string, TEntry> Sessions;
};

std::shared_ptr<TTlsContext> TTlsContext::For(const TTlsSettings& Settings) {
  TContextCache& C = Cache();
  std::lock_guard<std::mutex> Guard(C.Lock);
  for (const auto& Context : C.Contexts)
    if (Context->Settings() == Settings) return Context;
  auto Made = std::make_shared<TTlsContext>(Settings);
  C.Contexts.push_back(Made);
  return Made;
}

void TTlsContext::ClearCache() {
  TContextCache& C = Cache();
  {
    std::lock_guard<std::mutex> Guard(C.Lock);
    C.Contexts.clear();
  }
  std::lock_guard<std::mutex> Guard(C.StoreLock);
  C.Stores.clear();
}

TTlsContext::TTlsContext(const TTlsSettings& Settings) : F(std::make_unique<TState>()) {
  OPENSSL_init_ssl(0, nullptr);
  F->Settings = Settings;
  F->Ctx.reset(SSL_CTX_new(TLS_client_method()));
  SSL_CTX* Ctx = F->Ctx.get();
  if (Ctx == nullptr)
    throw ETlsError("OpenSSL could not make a TLS context", TTlsErrorKind::tkHandshake);
  SSL_CTX_set_min_proto_version(Ctx, ProtocolOf(Settings.MinVersion));
  SSL_CTX_set_max_proto_version(Ctx, ProtocolOf(Settings.MaxVersion));
  // Debian's level: RSA keys of 2048 bits and more, no SHA-1 or MD5 signatures in the chain.
  // Explicit, so that a machine whose openssl.cnf says less still checks as much.
  if (SSL_CTX_get_security_level(Ctx) < 2) SSL_CTX_set_security_level(Ctx, 2);
  // A client that renegotiates would have to read inside a write; HTTP/1.0 never needs it.
  SSL_CTX_set_options(Ctx, SSL_OP_NO_RENEGOTIATION);
  // The protocols offered, in the order of the comma-separated list, each with its length.
  std::string Alpn;
  for (std::size_t From = 0; From < Settings.Alpn.size();) {
    std::size_t Comma = Settings.Alpn.find(',', From);
    if (Comma == std::string::npos) Comma = Settings.Alpn.size();
    const std::size_t Length = Comma - From;
    if (Length > 0 && Length < 256)
      Alpn.append(1, static_cast<char>(Length)).append(Settings.Alpn, From, Length);
    From = Comma + 1;
  }
  if (!Alpn.empty())
    SSL_CTX_set_alpn_protos(Ctx, reinterpret_cast<const unsigned char*>(Alpn.data()),
                            static_cast<unsigned>(Alpn.size()));
  // Our own store, keyed by host, port and SNI: OpenSSL's internal one is a server's. Without
  // resumption no session is asked for (tickets are still read, and dropped).
  SSL_CTX_set_session_cache_mode(Ctx, Settings.Resume
                                          ? SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE
                                          : SSL_SESS_CACHE_OFF);
  SSL_CTX_sess_set_new_cb(Ctx, SessionArrived);
  SSL_CTX_set_default_passwd_cb(Ctx, GivePassphrase);
  SSL_CTX_set_default_passwd_cb_userdata(Ctx, &F->Settings.KeyPassphrase);
  LoadTrust();
  LoadCredentials();
  ERR_clear_error();
}

TTlsContext::~TTlsContext() {
  for (auto& [Key, Entry] : F->Sessions) SSL_SESSION_free(Entry.Session);
}

const TTlsSettings& TTlsContext::Settings() const { return F->Settings; }

SSL_CTX* TTlsContext::Handle() const { return F->Ctx.get(); }

// The system's store unless the caller names a CA file or directory. With checks waived a
// file that cannot be used does not stop the pass, as with curl -k; the result is still
// computed and recorded.
void TTlsContext::LoadTrust() {
  const TTlsSettings& S = F->Settings;
  const TTrust Trust = SharedTrust(S.CaFile, S.CaPath);
  if (Trust.FileFailed && S.Verify)
    throw ETlsError("error setting certificate file: " + S.CaFile, TTlsErrorKind::tkCaFile);
  if (Trust.PathFailed && S.Verify)
    throw ETlsError("error setting certificate path: " + S.CaPath, TTlsErrorKind::tkCaPath);
  SSL_CTX_set1_cert_store(F->Ctx.get(), Trust.Store.get());
}

void TTlsContext::LoadCredentials() {
  const TTlsSettings& S = F->Settings;
  if (S.CertFile.empty()) return;
  SSL_CTX* Ctx = F->Ctx.get();
  const std::string& Key = S.KeyFile.empty() ? S.CertFile : S.KeyFile;
  if (SSL_CTX_use_certificate_chain_file(Ctx, S.CertFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(Ctx, Key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(Ctx) != 1)
    throw ETlsError("certificate or key unusable", TTlsErrorKind::tkCredentials);
}

void TTlsContext::StoreSession(const std::string& Key, SSL_SESSION* Session,
                               const TTlsFacts& Facts) {
  std::lock_guard<std::mutex> Guard(F->Lock);
  auto Found = F->Sessions.find(Key);
  if (Found == F->Sessions.end()) {
    if (F->Sessions.size() >= MaxSessions) {
      SSL_SESSION_free(F->Sessions.begin()->second.Session);
      F->Sessions.erase(F->Sessions.begin());
    }
    Found = F->Sessions.emplace(Key, TState::TEntry{}).first;
  }
  SSL_SESSION_free(Found->second.Session);
  Found->second.Session = Session;
  Found->second.Facts = Facts;
}

SSL_SESSION* TTlsContext::TakeSession(const std::string& Key, TTlsFacts& Facts) {
  std::lock_guard<std::mutex> Guard(F->Lock);
  const auto Found = F->Sessions.find(Key);
  if (Found == F->Sessions.end()) return nullptr;
  SSL_SESSION* Session = Found->second.Session;
  if (!SSL_SESSION_is_resumable(Session)) {
    SSL_SESSION_free(Session);
    F->Sessions.erase(Found);
    return nullptr;
  }
  Facts = Found->second.Facts;
  // A TLS 1.3 ticket is for one use (RFC 8446 C.4); the resumed pass gets fresh ones.
  if (SSL_SESSION_get_protocol_version(Session) == TLS1_3_VERSION)
    F->Sessions.erase(Found);
  else
    SSL_SESSION_up_ref(Session);
  return Session;
}
