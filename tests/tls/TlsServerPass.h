// An OpenSSL server over memory BIOs, pumped against a client TTlsSession in the test's own
// thread: no sockets, and every byte either way passes through the session's interface.
#pragma once

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <string>

#include "tests/support/TestPki.h"
#include "tls/TTlsFedWire.h"
#include "tls/TTlsSession.h"

// A client session with its wire: Received(Data, 0) says the server closed.
struct TFedWireHolder {
  TTlsFedWire Wire;
};
class TFedSession : private TFedWireHolder, public TTlsSession {
 public:
  TFedSession(std::shared_ptr<TTlsContext> Context, std::string_view HostName, int Port)
      : TTlsSession(std::move(Context), HostName, Port, Wire) {}
  void Received(const char* Data, std::size_t Count) {
    if (Count == 0) Wire.End();
    else Wire.Feed({Data, Count});
  }
};

// One server context: its certificate, the versions it speaks, a ticket key for resumption.
struct TServerSide {
  SSL_CTX* Ctx = SSL_CTX_new(TLS_server_method());
  explicit TServerSide(const testsupport::TPkiCert& Cert, int Min = 0, int Max = 0) {
    SSL_CTX_set_security_level(Ctx, 0);  // the SHA-1 and RSA 1024 leaves must load
    SSL_CTX_set_min_proto_version(Ctx, Min);
    SSL_CTX_set_max_proto_version(Ctx, Max);
    SSL_CTX_use_certificate_chain_file(Ctx, Cert.Chain.c_str());
    SSL_CTX_use_PrivateKey_file(Ctx, Cert.Key.c_str(), SSL_FILETYPE_PEM);
    // Takes the client's first offer, so that a test sees what the client offered first.
    SSL_CTX_set_alpn_select_cb(
        Ctx,
        [](SSL*, const unsigned char** Out, unsigned char* Length, const unsigned char* In,
           unsigned, void*) { return *Length = In[0], *Out = In + 1, SSL_TLSEXT_ERR_OK; },
        nullptr);
  }
  ~TServerSide() { SSL_CTX_free(Ctx); }
};

// One connection of that server.
struct TServerPass {
  SSL* Ssl;
  BIO* Out = BIO_new(BIO_s_mem());
  explicit TServerPass(const TServerSide& Side) : Ssl(SSL_new(Side.Ctx)) {
    SSL_set_bio(Ssl, BIO_new(BIO_s_mem()), Out);
    SSL_set_accept_state(Ssl);
  }
  ~TServerPass() { SSL_free(Ssl); }

  std::string Take() {
    std::string Bytes;
    char Block[16384];
    for (int Got; (Got = BIO_read(Out, Block, sizeof Block)) > 0;) Bytes.append(Block, Got);
    return Bytes;
  }
  void To(TFedSession& Client) {
    const std::string Bytes = Take();
    if (!Bytes.empty()) Client.Received(Bytes.data(), Bytes.size());
  }
  // Both sides to the end of the handshake; the client's errors pass to the test.
  void Shake(TFedSession& Client) {
    for (int Round = 0; Round < 10; ++Round) {
      const TTlsWant Want = Client.Handshake();
      BIO_write(SSL_get_rbio(Ssl), Client.Outgoing().data(), int(Client.Outgoing().size()));
      Client.Sent(Client.Outgoing().size());
      SSL_do_handshake(Ssl);
      To(Client);
      if (Want == TTlsWant::twDone) return;
    }
    FAIL() << "the handshake did not end";
  }
  void Send(const std::string& Text) { SSL_write(Ssl, Text.data(), int(Text.size())); }
};
