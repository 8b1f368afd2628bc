// A client TLS session over the caller's wire: a BIO of our own pulls the peer's ciphertext from
// the wire when OpenSSL asks and keeps what is to be sent, the handshake runs with the check
// deferred to its end, and the facts are kept.
#include "tls/TTlsSession.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <exception>
#include <utility>

#include "base/AsciiText.h"
#include "tls/PinnedKey.h"
#include "tls/TTlsContext.h"
#include "tls/TTlsError.h"

namespace {

// OpenSSL's read buffer: with read-ahead on, one pull from the wire takes up to this much, a
// few records at once, instead of a header and then a body per record.
constexpr std::size_t ReadBuffer = 65536;

// What the BIO knows of the wire: the caller's wire, how its last pull went, and whether the
// running Read may pull at all. The ciphertext to send waits here for the caller.
struct TWire {
  TTlsWire* Peer = nullptr;
  bool Ended = false;    // the wire said the peer's bytes have ended
  bool Broken = false;   // the wire failed
  bool InHand = false;   // the running Read holds plaintext: no pull
  std::string Out;
  std::size_t OutAt = 0;
};

TWire& WireOf(BIO* Bio) { return *static_cast<TWire*>(BIO_get_data(Bio)); }

int WireWrite(BIO* Bio, const char* Data, std::size_t Count, std::size_t* Written) {
  WireOf(Bio).Out.append(Data, Count);
  *Written = Count;
  return 1;
}

int WireRead(BIO* Bio, char* Data, std::size_t Size, std::size_t* Got) {
  TWire& W = WireOf(Bio);
  BIO_clear_retry_flags(Bio);
  *Got = 0;
  if (W.Ended || W.Broken) return 0;
  if (W.InHand || Size == 0) {
    BIO_set_retry_read(Bio);
    return 0;
  }
  switch (W.Peer->Pull(Data, Size, *Got)) {
    case TTlsWire::TPull::Got: return *Got > 0 ? 1 : (BIO_set_retry_read(Bio), 0);
    case TTlsWire::TPull::Blocked: BIO_set_retry_read(Bio); return 0;
    case TTlsWire::TPull::Ended: W.Ended = true; return 0;
    case TTlsWire::TPull::Broken: W.Broken = true; return 0;
  }
  return 0;
}

long WireCtrl(BIO* Bio, int Command, long /*Number*/, void* /*Pointer*/) {
  TWire& W = WireOf(Bio);
  switch (Command) {
    case BIO_CTRL_FLUSH: return 1;
    case BIO_CTRL_WPENDING: return static_cast<long>(W.Out.size() - W.OutAt);
    // OpenSSL tells an end of the peer's stream from a wait by asking this.
    case BIO_CTRL_EOF: return W.Ended;
    default: return 0;
  }
}

BIO_METHOD* WireMethod() {
  static BIO_METHOD* const Method = [] {
    BIO_METHOD* M = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "orrery wire");
    BIO_meth_set_write_ex(M, WireWrite);
    BIO_meth_set_read_ex(M, WireRead);
    BIO_meth_set_ctrl(M, WireCtrl);
    return M;
  }();
  return Method;
}

// The name without the brackets around an IPv6 literal.
std::string_view Unbracketed(std::string_view Name) {
  if (Name.size() >= 2 && Name.front() == '[' && Name.back() == ']')
    Name = Name.substr(1, Name.size() - 2);
  return Name;
}

std::string WithoutFinalDot(std::string_view Name) {
  if (Name.size() > 1 && Name.back() == '.') Name.remove_suffix(1);
  return std::string(Name);
}

// The name as checked and sent: no brackets around an IPv6 literal, no final dot (SNI carries
// none, RFC 6066 section 3).
std::string BareName(std::string_view Name) { return WithoutFinalDot(Unbracketed(Name)); }

constexpr unsigned HostFlags = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;

// Takes one final dot off each DNS name that has one; whether any had.
bool TakeFinalDots(GENERAL_NAMES* Names) {
  bool Any = false;
  for (int I = 0; I < sk_GENERAL_NAME_num(Names); ++I) {
    GENERAL_NAME* Entry = sk_GENERAL_NAME_value(Names, I);
    if (Entry->type != GEN_DNS) continue;
    ASN1_IA5STRING* Dns = Entry->d.dNSName;
    const int Length = ASN1_STRING_length(Dns);
    if (Length < 2 || ASN1_STRING_get0_data(Dns)[Length - 1] != '.') continue;
    const std::string Shorter(reinterpret_cast<const char*>(ASN1_STRING_get0_data(Dns)),
                              static_cast<std::size_t>(Length - 1));
    Any = ASN1_STRING_set(Dns, Shorter.data(), Length - 1) == 1 || Any;
  }
  return Any;
}

// Whether the leaf covers Name (the name asked, its final dot off) once one final dot is off
// each of the leaf's DNS names too: a name with its final dot is the same name as without it
// (RFC 6125 section 6.2.1), and OpenSSL compares them as written. The names go back to
// OpenSSL's own matcher, on a copy of the leaf, so that a wildcard covers exactly what it
// covers without the dot.
bool CoveredWithoutFinalDots(X509* Leaf, const std::string& Name) {
  int Critical = 0;
  auto* Names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(Leaf, NID_subject_alt_name, &Critical, nullptr));
  X509* Copy = Names != nullptr && TakeFinalDots(Names) ? X509_dup(Leaf) : nullptr;
  if (Copy != nullptr &&
      X509_add1_ext_i2d(Copy, NID_subject_alt_name, Names, Critical, X509V3_ADD_REPLACE) != 1) {
    X509_free(Copy);
    Copy = nullptr;
  }
  const bool Covered =
      X509_check_host(Copy != nullptr ? Copy : Leaf, Name.c_str(), Name.size(), HostFlags,
                      nullptr) == 1;
  X509_free(Copy);
  GENERAL_NAMES_free(Names);
  return Covered;
}

bool IsIpLiteral(const std::string& Name) {
  unsigned char Address[16];
  return inet_pton(AF_INET, Name.c_str(), Address) == 1 ||
         inet_pton(AF_INET6, Name.c_str(), Address) == 1;
}

std::string OpenSslText(unsigned long Code) {
  char Text[256];
  ERR_error_string_n(Code, Text, sizeof Text);
  return Text;
}

std::string GroupName(SSL* Ssl) {
  const int Nid = SSL_get_negotiated_group(Ssl);
  if (Nid == NID_undef) return {};
  if (const char* Name = OBJ_nid2sn(Nid)) return Name;
  const char* Name = SSL_group_to_name(Ssl, Nid);
  return Name != nullptr ? Name : "";
}

std::string AlpnOf(const SSL* Ssl) {
  const unsigned char* Data = nullptr;
  unsigned Length = 0;
  SSL_get0_alpn_selected(Ssl, &Data, &Length);
  return std::string(reinterpret_cast<const char*>(Data), Data != nullptr ? Length : 0);
}

// curl's words for a failed check, so that the command line reads like curl.
std::string CheckText(long Result, const std::string& Name) {
  if (Result == X509_V_ERR_HOSTNAME_MISMATCH)
    return "SSL: no alternative certificate subject name matches target host name '" + Name + "'";
  if (Result == X509_V_ERR_IP_ADDRESS_MISMATCH)
    return std::string("SSL: no alternative certificate subject name matches target ") +
           (Name.find(':') == std::string::npos ? "ipv4" : "ipv6") + " address '" + Name + "'";
  return std::string("SSL certificate problem: ") + X509_verify_cert_error_string(Result);
}

bool IsUnexpectedEnd(const TWire& Wire) {
  return Wire.Ended && (ERR_peek_last_error() == 0 || ERR_GET_REASON(ERR_peek_last_error()) ==
                                                            SSL_R_UNEXPECTED_EOF_WHILE_READING);
}

// Whether the caller accepted this leaf for this server after seeing it refused.
bool IsAccepted(const TTlsSettings& Settings, int Port, const std::string& Name,
                const std::string& Sha256) {
  for (const TTlsAccepted& A : Settings.Accepted)
    if (A.Port == Port && A.Sha256 == Sha256 && SameNoCase(A.Host, Name)) return true;
  return false;
}

}  // namespace

struct TTlsSession::TState {
  std::shared_ptr<TTlsContext> Context;
  std::string Name;   // as checked: no brackets, no final dot
  bool Dotted = false;  // the name was asked with its final dot
  std::string Where;  // "name:port", for the texts
  int Port = 0;
  std::string Key;    // of the session cache
  TWire Wire;
  SSL* Ssl = nullptr;
  TTlsFacts Facts;
  TTlsPhase Phase = TTlsPhase::tpHandshake;
  bool Starved = false;  // the last Read needed the wire: what OpenSSL holds is no record
  std::string FailText;
  // A record's error met while draining, after plaintext the caller had still to take: it is
  // the next Read's to raise.
  std::exception_ptr Deferred;
  bool Offered = false;  // a cached session was offered; OfferedFacts are its pass's
  TTlsFacts OfferedFacts;
  SSL_SESSION* Pending = nullptr;  // arrived before this pass's check was known
  long VerifyResult = X509_V_OK;
  int VerifyDepth = -1;
  std::vector<TTlsFailure> Failures;  // every one the verifier met, the first VerifyResult's

  bool Failed() const { return Phase == TTlsPhase::tpFailed; }
  bool Done() const { return Phase != TTlsPhase::tpHandshake && !Failed(); }
  bool Ended() const { return Phase == TTlsPhase::tpClosed || Phase == TTlsPhase::tpCut; }

  // A session (TLS 1.2) or ticket (TLS 1.3) the server gave: kept once the check allows.
  const TTlsContext::TSessionArrived Arrived = [this](SSL_SESSION* Session) {
    if (Failed()) return false;
    if (Done()) {
      Keep(Session);
    } else {
      SSL_SESSION_free(Pending);
      Pending = Session;
    }
    return true;
  };

  // A session is kept only for a pass that may go on: resuming it skips the check.
  void Keep(SSL_SESSION* Session) {
    if (Facts.VerifyWaived || Facts.Outcome.VerifyResult == X509_V_OK)
      Context->StoreSession(Key, Session, Facts);
    else
      SSL_SESSION_free(Session);
  }
};

TTlsSession::TTlsSession(std::shared_ptr<TTlsContext> Context, std::string_view HostName, int Port,
                         TTlsWire& Wire)
    : F(std::make_unique<TState>()) {
  F->Wire.Peer = &Wire;
  F->Context = std::move(Context);
  F->Name = BareName(HostName);
  F->Dotted = Unbracketed(HostName).size() > F->Name.size();
  F->Where = F->Name + ":" + std::to_string(Port);
  F->Port = Port;
  const bool IsIp = IsIpLiteral(F->Name);
  if (!IsIp) F->Facts.Sni = F->Name;
  F->Key = AsciiLowered(F->Name) + '\n' + std::to_string(Port) + '\n' + AsciiLowered(F->Facts.Sni);
  F->Facts.VerifyWaived = !F->Context->Settings().Verify;
  F->Ssl = SSL_new(F->Context->Handle());
  BIO* Bio = F->Ssl != nullptr ? BIO_new(WireMethod()) : nullptr;
  if (Bio == nullptr) {
    SSL_free(F->Ssl);
    throw ETlsError("OpenSSL could not make a TLS session", TTlsErrorKind::tkHandshake);
  }
  BIO_set_data(Bio, &F->Wire);
  BIO_set_init(Bio, 1);
  SSL_set_bio(F->Ssl, Bio, Bio);
  // Large pulls into OpenSSL's own buffer: the wire's bytes are copied once, there.
  SSL_set_read_ahead(F->Ssl, 1);
  SSL_set_default_read_buffer_len(F->Ssl, ReadBuffer);
  SSL_set_app_data(F->Ssl, F.get());
  TTlsContext::OnSessionArrived(F->Ssl, &F->Arrived);
  SSL_set_connect_state(F->Ssl);
  Hook();
  // The name is checked against the certificate's names, IP literals against its IP entries;
  // "*.a.test" covers "b.a.test" but "b*.a.test" covers nothing. OpenSSL is given the name as
  // asked, its final dot kept: it matches an entry written the same way, and a mismatch is
  // compared again with one final dot off each side (see Hook), so "a.test.." covers nothing.
  X509_VERIFY_PARAM* Param = SSL_get0_param(F->Ssl);
  X509_VERIFY_PARAM_set_hostflags(Param, HostFlags);
  if (IsIp) {
    X509_VERIFY_PARAM_set1_ip_asc(Param, F->Name.c_str());
  } else {
    SSL_set_tlsext_host_name(F->Ssl, F->Name.c_str());
    const std::string Asked = F->Name + (F->Dotted ? "." : "");
    X509_VERIFY_PARAM_set1_host(Param, Asked.c_str(), Asked.size());
  }
  if (SSL_SESSION* Session = F->Context->TakeSession(F->Key, F->OfferedFacts)) {
    F->Offered = SSL_set_session(F->Ssl, Session) == 1;
    SSL_SESSION_free(Session);
  }
  ERR_clear_error();
}

TTlsSession::~TTlsSession() {
  SSL_SESSION_free(F->Pending);
  // SSL_free takes a connection that ended without close_notify for a bad one and marks the
  // session we keep as not resumable. A failed one's was spoiled at its fatal alert anyway.
  if (!F->Failed()) SSL_set_shutdown(F->Ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  SSL_free(F->Ssl);
}

// The verifier's failures and their depths, the first of them the check's result (the
// verifier is told to go on after each, so that a certificate that fails several checks is
// told with all of them; SSL_VERIFY_NONE lets the handshake go on), the peer's alerts, and
// whether the server asked for a client certificate.
void TTlsSession::Hook() {
  SSL_set_verify(F->Ssl, SSL_VERIFY_NONE, [](int Ok, X509_STORE_CTX* Store) {
    const int At = SSL_get_ex_data_X509_STORE_CTX_idx();
    auto* S = static_cast<TState*>(
        SSL_get_app_data(static_cast<SSL*>(X509_STORE_CTX_get_ex_data(Store, At))));
    if (Ok) return 1;
    if (X509_STORE_CTX_get_error(Store) == X509_V_ERR_HOSTNAME_MISMATCH &&
        CoveredWithoutFinalDots(X509_STORE_CTX_get0_cert(Store), S->Name)) {
      X509_STORE_CTX_set_error(Store, X509_V_OK);
      return 1;
    }
    const TTlsFailure Failure{X509_STORE_CTX_get_error(Store),
                              X509_STORE_CTX_get_error_depth(Store)};
    if (S->VerifyResult == X509_V_OK) {
      S->VerifyResult = Failure.Result;
      S->VerifyDepth = Failure.Depth;
    }
    // A few are told; a hostile chain's hundred would say no more.
    if (S->Failures.size() < 16 &&
        std::find(S->Failures.begin(), S->Failures.end(), Failure) == S->Failures.end())
      S->Failures.push_back(Failure);
    return 1;
  });
  SSL_set_info_callback(F->Ssl, [](const SSL* Ssl, int Where, int Value) {
    auto* S = static_cast<TState*>(SSL_get_app_data(Ssl));
    const int Description = Value & 0xff;
    if ((Where & SSL_CB_READ_ALERT) != 0 && Description != SSL_AD_CLOSE_NOTIFY &&
        S->Facts.Outcome.Alert == 0)
      S->Facts.Outcome.Alert = Description;
  });
  SSL_set_cert_cb(
      F->Ssl,
      [](SSL* Ssl, void* State) {
        auto* S = static_cast<TState*>(State);
        // The server's chain is checked by now: a server that failed the check gets no
        // certificate of the caller's and no signature of its key, as it would get no
        // Authorization line. An empty Certificate goes instead, and the check refuses the pass.
        // A leaf the caller accepted after seeing it refused counts as checked.
        X509* Leaf = SSL_get0_peer_certificate(Ssl);
        if (!S->Facts.VerifyWaived && S->VerifyResult != X509_V_OK &&
            !(Leaf && IsAccepted(S->Context->Settings(), S->Port, S->Name,
                                 CertificateFacts(Leaf).Sha256)))
          SSL_certs_clear(Ssl);
        TTlsOutcome& Outcome = S->Facts.Outcome;
        Outcome.CertificateRequested = true;
        Outcome.CertificateOffered = SSL_get_certificate(Ssl) != nullptr;
        return 1;
      },
      F.get());
}

std::string_view TTlsSession::Outgoing() const {
  return std::string_view(F->Wire.Out).substr(F->Wire.OutAt);
}

void TTlsSession::Sent(std::size_t Count) {
  TWire& W = F->Wire;
  W.OutAt += std::min(Count, W.Out.size() - W.OutAt);
  // A caller that writes again before everything went out must not make the buffer grow with
  // every byte it ever sent.
  if (W.OutAt == W.Out.size()) {
    W.Out.clear();
    W.OutAt = 0;
  } else if (W.OutAt >= W.Out.size() / 2) {
    W.Out.erase(0, W.OutAt);
    W.OutAt = 0;
  }
}

TTlsWant TTlsSession::Handshake() {
  if (F->Done()) return TTlsWant::twDone;
  if (F->Failed()) throw ETlsError(F->FailText, TTlsErrorKind::tkHandshake, F->Facts.Reason);
  ERR_clear_error();
  const int Result = SSL_do_handshake(F->Ssl);
  if (Result == 1) {
    Finish();
    return TTlsWant::twDone;
  }
  const int Error = SSL_get_error(F->Ssl, Result);
  if (Error == SSL_ERROR_WANT_READ) return TTlsWant::twRead;
  // A wire that failed says why itself; the handshake cannot go on.
  if (F->Wire.Broken) {
    F->Phase = TTlsPhase::tpFailed;
    ERR_clear_error();
    return TTlsWant::twBroken;
  }
  Fail(Error, true);
}

// The facts of a complete handshake. A resumed one has no chain and ran no check: it keeps
// those of the pass that made the session.
void TTlsSession::Finish() {
  TTlsFacts& Facts = F->Facts;
  Facts.Version = SSL_get_version(F->Ssl);
  Facts.Cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(F->Ssl));
  Facts.Group = GroupName(F->Ssl);
  Facts.Alpn = AlpnOf(F->Ssl);
  Facts.Resumed = SSL_session_reused(F->Ssl) == 1;
  TTlsOutcome& Outcome = Facts.Outcome;
  Outcome.HandshakeDone = true;
  Outcome.Checked = !Facts.VerifyWaived;
  if (Facts.Resumed && F->Offered) {
    Facts.Chain = F->OfferedFacts.Chain;
    Outcome.VerifyResult = F->OfferedFacts.Outcome.VerifyResult;
    Outcome.VerifyDepth = F->OfferedFacts.Outcome.VerifyDepth;
    Outcome.Failures = F->OfferedFacts.Outcome.Failures;
    Facts.Reason = F->OfferedFacts.Reason;
  } else {
    Facts.Chain = ChainFacts(SSL_get_peer_cert_chain(F->Ssl));
    Outcome.VerifyResult = F->VerifyResult;
    Outcome.VerifyDepth = F->VerifyDepth;
    Outcome.Failures = F->Failures;
    // No certificate at all leaves the verifier unasked; that is no pass.
    if (SSL_get0_peer_certificate(F->Ssl) == nullptr && Outcome.VerifyResult == X509_V_OK)
      Outcome.VerifyResult = X509_V_ERR_UNSPECIFIED;
    Facts.Reason = ExplainTls(Outcome, Facts.Chain, F->Name, std::time(nullptr));
  }
  // A certificate the caller accepted after seeing it refused goes on, its check recorded.
  if (Outcome.VerifyResult != X509_V_OK && !Facts.Chain.empty() &&
      IsAccepted(F->Context->Settings(), F->Port, F->Name, Facts.Chain.front().Sha256))
    Facts.VerifyWaived = true;
  F->Phase = TTlsPhase::tpChecking;
  if (F->Pending != nullptr) {
    F->Keep(F->Pending);
    F->Pending = nullptr;
  }
}

[[noreturn]] void TTlsSession::Fail(int Error, bool InHandshake) {
  F->Phase = TTlsPhase::tpFailed;
  const unsigned long Code = ERR_peek_last_error();
  std::string Text;
  if (Code != 0 && !(F->Wire.Ended && ERR_GET_REASON(Code) == SSL_R_UNEXPECTED_EOF_WHILE_READING))
    Text = (InHandshake ? "" : "OpenSSL SSL_read: ") + OpenSslText(Code);
  else
    Text = std::string(InHandshake ? "OpenSSL SSL_connect: " : "OpenSSL SSL_read: ") +
           (Error == SSL_ERROR_SYSCALL || F->Wire.Ended ? "SSL_ERROR_SYSCALL" : "SSL_ERROR_SSL") +
           " in connection to " + F->Where;
  ERR_clear_error();
  TTlsErrorKind Kind = InHandshake ? TTlsErrorKind::tkHandshake : TTlsErrorKind::tkRecord;
  if (InHandshake) {
    TTlsOutcome& Outcome = F->Facts.Outcome;
    Outcome.HandshakeError = Code;
    F->Facts.Chain = ChainFacts(SSL_get_peer_cert_chain(F->Ssl));
    // A server that failed the check and then ended the handshake (it wanted the certificate
    // it was refused) failed the check first: that is the reason to give.
    if (!F->Facts.VerifyWaived && F->VerifyResult != X509_V_OK) {
      Outcome.Checked = true;
      Outcome.VerifyResult = F->VerifyResult;
      Outcome.VerifyDepth = F->VerifyDepth;
      Outcome.Failures = F->Failures;
      Text = CheckText(F->VerifyResult, F->Name);
      Kind = TTlsErrorKind::tkCheck;
    }
  }
  F->Facts.Reason = ExplainTls(F->Facts.Outcome, F->Facts.Chain, F->Name, std::time(nullptr));
  F->FailText = Text;
  throw ETlsError(Text, Kind, F->Facts.Reason);
}

void TTlsSession::Check() {
  if (!F->Done())
    throw ETlsError("the certificate check needs a complete handshake", TTlsErrorKind::tkCheck);
  const long Result = F->Facts.Outcome.VerifyResult;
  if (!F->Facts.VerifyWaived && Result != X509_V_OK)
    throw ETlsError(CheckText(Result, F->Name), TTlsErrorKind::tkCheck, F->Facts.Reason);
  // After the check, as curl has it: a certificate that fails it is refused for that first.
  const std::string& Pins = F->Context->Settings().PinnedPublicKey;
  if (!Pins.empty() &&
      (F->Facts.Chain.empty() || !PinnedKey::Matches(Pins, F->Facts.Chain.front().PublicKeySha256)))
    throw ETlsError("SSL: public key does not match pinned public key", TTlsErrorKind::tkPinned);
  if (F->Phase == TTlsPhase::tpChecking) F->Phase = TTlsPhase::tpOpen;
}

TTlsWant TTlsSession::Read(char* Buffer, std::size_t Size, std::size_t& Got) {
  Got = 0;
  if (F->Deferred) std::rethrow_exception(std::exchange(F->Deferred, nullptr));
  if (F->Ended()) return F->Phase == TTlsPhase::tpClosed ? TTlsWant::twClosed : TTlsWant::twCut;
  if (!F->Done()) throw ETlsError("no TLS session to read from", TTlsErrorKind::tkRecord);
  if (Size == 0) return TTlsWant::twDone;
  // Every whole record OpenSSL holds, one SSL_read_ex each; the wire only for the first.
  F->Wire.InHand = false;
  while (Got < Size) {
    ERR_clear_error();
    std::size_t Part = 0;
    if (SSL_read_ex(F->Ssl, Buffer + Got, Size - Got, &Part) == 1) {
      Got += Part;
      F->Wire.InHand = true;
      F->Starved = false;
      continue;
    }
    const int Error = SSL_get_error(F->Ssl, 0);
    if (Error == SSL_ERROR_WANT_READ) {
      F->Starved = !F->Wire.InHand;
      break;
    }
    if (Got == 0) return ReadFailed(Error);
    // What came before the end or the bad record is the caller's first.
    try {
      ReadFailed(Error);
    } catch (const ETlsError&) {
      F->Deferred = std::current_exception();
    }
    break;
  }
  F->Wire.InHand = false;
  return Got > 0 ? TTlsWant::twDone : TTlsWant::twRead;
}

// The end of the peer's stream, the wire's failure, or a record that cannot be read.
TTlsWant TTlsSession::ReadFailed(int Error) {
  if (Error == SSL_ERROR_ZERO_RETURN || IsUnexpectedEnd(F->Wire)) {
    F->Phase = Error == SSL_ERROR_ZERO_RETURN ? TTlsPhase::tpClosed : TTlsPhase::tpCut;
    ERR_clear_error();
    return Error == SSL_ERROR_ZERO_RETURN ? TTlsWant::twClosed : TTlsWant::twCut;
  }
  if (F->Wire.Broken) {
    ERR_clear_error();
    return TTlsWant::twBroken;
  }
  Fail(Error, false);
}

bool TTlsSession::Pending() const {
  if (F->Starved || F->Wire.Broken || !F->Done() || F->Ended()) return false;
  return SSL_has_pending(F->Ssl) == 1;
}

void TTlsSession::Write(const char* Data, std::size_t Count) {
  const TTlsPhase P = F->Phase;
  if (P != TTlsPhase::tpOpen && P != TTlsPhase::tpClosed && P != TTlsPhase::tpCut)
    throw ETlsError("no checked TLS session to write to", TTlsErrorKind::tkCheck);
  if (Count == 0) return;
  ERR_clear_error();
  std::size_t Written = 0;
  if (SSL_write_ex(F->Ssl, Data, Count, &Written) != 1) Fail(SSL_get_error(F->Ssl, 0), false);
}

bool TTlsSession::Shutdown() {
  if (!F->Done() || (SSL_get_shutdown(F->Ssl) & SSL_SENT_SHUTDOWN) != 0) return false;
  if (!F->Ended()) F->Phase = TTlsPhase::tpShutdown;
  ERR_clear_error();
  SSL_shutdown(F->Ssl);
  ERR_clear_error();
  return true;
}

TTlsPhase TTlsSession::Phase() const { return F->Phase; }

const TTlsFacts& TTlsSession::Facts() const { return F->Facts; }
