// Fuzz target: the client TLS session fed hostile bytes from the server's side. The first byte
// picks the mode: bytes instead of a handshake; bytes after a real handshake; or a real
// server's records, cut where the input says. Whatever arrives, the session must not crash,
// must not keep Pending() true once a Read needed bytes (a wait would spin), and must not
// strand plaintext a real server sent (a wait would block with it held).
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzRequire.h"
#include "tls/TTlsContext.h"
#include "tls/TTlsError.h"
#include "tls/TTlsFedWire.h"
#include "tls/TTlsSession.h"

namespace {

// A server with a self-signed certificate made once; the client waives the check.
SSL_CTX* ServerContext() {
  static SSL_CTX* const Ctx = [] {
    EVP_PKEY* Key = EVP_EC_gen("P-256");
    X509* Cert = X509_new();
    X509_set_version(Cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(Cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(Cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(Cert), 86400);
    X509_set_pubkey(Cert, Key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(Cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("fuzz.test"), -1, -1, 0);
    X509_set_issuer_name(Cert, X509_get_subject_name(Cert));
    X509_sign(Cert, Key, EVP_sha256());
    SSL_CTX* Made = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(Made, Cert);
    SSL_CTX_use_PrivateKey(Made, Key);
    X509_free(Cert);
    EVP_PKEY_free(Key);
    return Made;
  }();
  return Ctx;
}

// A client session over its own wire.
struct TClient {
  TTlsFedWire Wire;
  TTlsSession Session;
  TClient() : Session(ClientContext(), "fuzz.test", 443, Wire) {}
  static std::shared_ptr<TTlsContext> ClientContext();
};

std::shared_ptr<TTlsContext> TClient::ClientContext() {
  TTlsSettings Settings;
  Settings.Verify = false;
  return TTlsContext::For(Settings);
}

// Reads as a caller does while the wire shows bytes (its socket would tell of them) or
// Pending() says the session holds some.
std::string Drain(TClient& Client, bool& Ended) {
  std::string Got;
  char Block[512];
  for (int Reads = 0;; ++Reads) {
    Require(Reads < 100000, "Read keeps giving nothing while Pending() holds");
    std::size_t Count = 0;
    const TTlsWant Want = Client.Session.Read(Block, sizeof Block, Count);
    Got.append(Block, Count);
    if (Want == TTlsWant::twClosed || Want == TTlsWant::twCut) {
      Ended = true;
      Require(!Client.Session.Pending(), "Pending() after the end of the stream");
      return Got;
    }
    if (Want == TTlsWant::twRead)
      Require(!Client.Session.Pending(), "Pending() after a Read that needed bytes");
    if (!Client.Session.Pending() && (Client.Wire.Empty() || Want == TTlsWant::twRead))
      return Got;
  }
}

// The server's connection over memory BIOs; Shake ends both handshakes.
struct TServer {
  SSL* Ssl = SSL_new(ServerContext());
  BIO* In = BIO_new(BIO_s_mem());
  BIO* Out = BIO_new(BIO_s_mem());
  TServer() {
    SSL_set_bio(Ssl, In, Out);
    SSL_set_accept_state(Ssl);
  }
  ~TServer() { SSL_free(Ssl); }
  std::string Take() {
    std::string Bytes;
    char Block[16384];
    for (int Got; (Got = BIO_read(Out, Block, sizeof Block)) > 0;) Bytes.append(Block, Got);
    return Bytes;
  }
  void Shake(TClient& Client) {
    for (int Round = 0; Round < 10; ++Round) {
      const TTlsWant Want = Client.Session.Handshake();
      const std::string_view Sent = Client.Session.Outgoing();
      BIO_write(In, Sent.data(), static_cast<int>(Sent.size()));
      Client.Session.Sent(Sent.size());
      SSL_do_handshake(Ssl);
      Client.Wire.Feed(Take());
      if (Want == TTlsWant::twDone) return Client.Session.Check();
    }
    Broken("the handshake with a real server did not end", {});
  }
};

// Delivers Bytes in pieces whose sizes the input's bytes give, draining after each.
std::string Deliver(TClient& Client, const std::string& Bytes, const std::string& Sizes,
                    bool& Ended) {
  std::string Got;
  for (std::size_t At = 0, I = 0; At < Bytes.size() && !Ended; ++I) {
    const std::size_t Piece = 1 + static_cast<unsigned char>(Sizes[I % Sizes.size()]) * 4;
    const std::size_t Count = std::min(Piece, Bytes.size() - At);
    Client.Wire.Feed({Bytes.data() + At, Count});
    At += Count;
    Got += Drain(Client, Ended);
  }
  return Got;
}

void RealRecordsCut(const std::string& Payload) {
  TClient Client;
  TServer Server;
  Server.Shake(Client);
  const std::size_t Record = 1 + static_cast<unsigned char>(Payload[0]) * 8;
  for (std::size_t At = 0; At < Payload.size(); At += Record)
    SSL_write(Server.Ssl, Payload.data() + At,
              static_cast<int>(std::min(Record, Payload.size() - At)));
  if (Payload.size() % 2 == 0) SSL_shutdown(Server.Ssl);
  bool Ended = false;
  std::string Got = Deliver(Client, Server.Take(), Payload, Ended);
  Client.Wire.End();
  if (!Ended) Got += Drain(Client, Ended);
  Require(Got == Payload, "plaintext a real server sent was lost", [&] { return Escaped(Got); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 2) return 0;
  const std::string Input(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  bool Ended = false;
  try {
    switch (Data[0] % 3) {
      case 0: {
        TClient Client;
        for (std::size_t At = 0;
             At < Input.size() && Client.Session.Handshake() == TTlsWant::twRead;) {
          const std::size_t Count =
              std::min<std::size_t>(1 + Data[At % Size] * 4, Input.size() - At);
          Client.Session.Sent(Client.Session.Outgoing().size());
          Client.Wire.Feed({Input.data() + At, Count});
          At += Count;
        }
        break;
      }
      case 1: {
        TClient Client;
        TServer Server;
        Server.Shake(Client);
        Deliver(Client, Input, Input, Ended);
        break;
      }
      default: RealRecordsCut(Input);
    }
  } catch (const ETlsError&) {
    Require(Data[0] % 3 != 2, "a real server's records were refused");
  }
  return 0;
}
