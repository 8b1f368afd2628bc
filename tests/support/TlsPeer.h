// TTlsPeer: a loopback TLS server for tests, beside TScriptedPeer: blocking OpenSSL over the
// LoopbackPeer's real socket on 127.0.0.1, port 0, serving a certificate of the test PKI.
// Each connection runs its own steps; what it read of the client's application data is kept.
#pragma once

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/LoopbackPeer.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"

namespace testsupport {

// Raw and ReadRaw move bytes beside TLS (garbage, a proxy's side of CONNECT, plain HTTP, the
// ClientHello read and never answered); Send is one SSL_write: up to 16 KiB, one record.
// Steps after a failed Accept are skipped. "{T}" in sent bytes is the peer's own port.
// clang-format off
enum class TTlsStepKind { Accept, ReadRequest, ReadToEnd, Send, CloseNotify, Raw, ReadRaw, Stall, Reset };
// clang-format on
struct TTlsStep {
  TTlsStepKind Kind;
  std::string Bytes{};
};
using TTlsScript = std::vector<TTlsStep>;

class TTlsPeer {
 public:
  // ChainBytes > 0: the intermediate is sent again and again until the chain holds that much.
  TTlsPeer(const TPkiCert& Cert, std::vector<TTlsScript> Script, std::size_t ChainBytes = 0)
      : FScript(std::move(Script)), FCtx(SSL_CTX_new(TLS_server_method())) {
    std::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes with write(): a client gone mid-write
    SSL_CTX_use_certificate_chain_file(FCtx, Cert.Chain.c_str());
    SSL_CTX_use_PrivateKey_file(FCtx, Cert.Key.c_str(), SSL_FILETYPE_PEM);
    FILE* In = std::fopen(TTestPki::Get().IntermediateFile.c_str(), "r");
    X509* Extra = PEM_read_X509(In, nullptr, nullptr, nullptr);
    std::fclose(In);
    const auto Each = static_cast<std::size_t>(i2d_X509(Extra, nullptr));
    for (std::size_t Sent = 0; Sent < ChainBytes; Sent += Each)
      SSL_CTX_add1_chain_cert(FCtx, Extra);
    X509_free(Extra);
    FPeer = std::make_unique<LoopbackPeer>([this](int Fd) { Serve(Fd); },
                                           static_cast<int>(FScript.size()));
  }
  ~TTlsPeer() {
    FPeer.reset();  // joins the thread before the context goes
    SSL_CTX_free(FCtx);
  }
  std::uint16_t Port() const { return FPeer->Port(); }
  // False when the last connection's steps had not ended within the peer's tripwire.
  bool Finished() { return FPeer->Finished.Wait(); }
  // What each connection read (ReadRaw's bytes too), in order; whether close_notify ended it;
  // whether the client sent a certificate (asked for only after AskCertificate()).
  std::vector<std::string> Received() { return Locked(FReceived); }
  std::vector<bool> CloseNotified() { return Locked(FCloseNotified); }
  std::vector<bool> ClientCertificates() { return Locked(FClientCerts); }
  void AskCertificate() {
    std::lock_guard<std::mutex> Lock(FMutex);
    FAsk = true;
  }

 private:
  template <class T>
  T Locked(const T& Value) {
    std::lock_guard<std::mutex> Lock(FMutex);
    return Value;
  }
  void Serve(int Fd) {
    const TTlsScript Steps = FScript[FServed++];
    sockaddr_in Local{};
    socklen_t Length = sizeof Local;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &Length);
    const std::string Own = std::to_string(ntohs(Local.sin_port));
    SSL* Ssl = SSL_new(FCtx);
    SSL_set_fd(Ssl, Fd);
    if (Locked(FAsk)) SSL_set_verify(Ssl, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    std::string Got;
    bool Accepted = false, Notified = false;
    for (const TTlsStep& S : Steps) {
      if (!Accepted && S.Kind > TTlsStepKind::Accept && S.Kind < TTlsStepKind::Raw) continue;
      switch (S.Kind) {
        case TTlsStepKind::Accept: Accepted = SSL_accept(Ssl) == 1; break;
        case TTlsStepKind::ReadRequest: Got += ReadUntil(Ssl, "\r\n\r\n", Notified); break;
        case TTlsStepKind::ReadToEnd: Got += ReadUntil(Ssl, "", Notified); break;
        case TTlsStepKind::Send: {
          const std::string B = Replaced(S.Bytes, "{T}", Own);
          SSL_write(Ssl, B.data(), static_cast<int>(B.size()));
          break;
        }
        case TTlsStepKind::CloseNotify: SSL_shutdown(Ssl); break;
        case TTlsStepKind::Raw: SendAll(Fd, Replaced(S.Bytes, "{T}", Own)); break;
        case TTlsStepKind::ReadRaw: {
          char B[4096];
          Got.append(B, static_cast<std::size_t>(std::max<ssize_t>(::recv(Fd, B, sizeof B, 0), 0)));
          break;
        }
        case TTlsStepKind::Stall: HoldOpen(Fd); break;
        case TTlsStepKind::Reset: ResetOnClose(Fd); break;
      }
    }
    const bool Cert = SSL_get0_peer_certificate(Ssl) != nullptr;
    SSL_free(Ssl);
    ERR_clear_error();
    std::lock_guard<std::mutex> Lock(FMutex);
    FReceived.push_back(Got);
    FCloseNotified.push_back(Notified);
    FClientCerts.push_back(Cert);
  }
  // Application bytes up to End (its first occurrence), or with "" until the stream ends.
  static std::string ReadUntil(SSL* Ssl, const std::string& End, bool& Notified) {
    std::string Data;
    char B[16384];
    while (End.empty() || Data.find(End) == std::string::npos) {
      const int N = SSL_read(Ssl, B, sizeof B);
      if (N <= 0) {
        Notified = SSL_get_error(Ssl, N) == SSL_ERROR_ZERO_RETURN;
        break;
      }
      Data.append(B, static_cast<std::size_t>(N));
    }
    return Data;
  }

  std::vector<TTlsScript> FScript;
  SSL_CTX* FCtx;
  std::mutex FMutex;
  std::vector<std::string> FReceived;
  std::vector<bool> FCloseNotified;
  std::vector<bool> FClientCerts;
  bool FAsk = false;
  std::size_t FServed = 0;  // peer thread only
  std::unique_ptr<LoopbackPeer> FPeer;
};

}  // namespace testsupport
