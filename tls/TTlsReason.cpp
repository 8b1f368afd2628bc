// Why a handshake or a certificate check failed: OpenSSL's codes and the chain as sent turned
// into one reason and its facts, and that reason in English.
#include "tls/TTlsReason.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>

#include "tls/CertificateTime.h"
#include "tls/TTimeSpan.h"

namespace {

// The name a person knows a certificate by.
std::string NameOf(const TTlsCertificate& Certificate) {
  if (!Certificate.CommonName.empty()) return Certificate.CommonName;
  if (!Certificate.DnsNames.empty()) return Certificate.DnsNames.front();
  if (!Certificate.IpAddresses.empty()) return Certificate.IpAddresses.front();
  return Certificate.Subject;
}

std::string IssuerNameOf(const TTlsCertificate& Certificate) {
  return Certificate.IssuerCommonName.empty() ? Certificate.Issuer : Certificate.IssuerCommonName;
}

// The certificate the check stopped at. The depth counts in the chain OpenSSL built, which can
// reach past what the server sent (into the trust store): the last one sent stands in then.
const TTlsCertificate* AtDepth(const std::vector<TTlsCertificate>& Chain, int Depth) {
  if (Chain.empty()) return nullptr;
  if (Depth < 0) return &Chain.front();
  return &Chain[std::min<std::size_t>(static_cast<std::size_t>(Depth), Chain.size() - 1)];
}

// OpenSSL reports an issuer it cannot find the same way whether nobody trusts it or the server
// did not send it; what the server sent tells them apart. Its last certificate being an
// authority means the chain reached as far as the server meant it to, and the authority above
// is one this system does not trust. A last certificate that is a server's own means an
// intermediate between it and the root is missing.
void ExplainUnknownIssuer(const std::vector<TTlsCertificate>& Chain, TTlsReason& Reason) {
  Reason.Problem = TTlsProblem::tpUntrustedAuthority;
  if (Chain.empty()) return;
  const TTlsCertificate& Last = Chain.back();
  if (Last.SelfIssued) {
    if (Chain.size() == 1)
      Reason.Problem = TTlsProblem::tpSelfSigned;
    else
      Reason.Authority = NameOf(Last);
    return;
  }
  Reason.Authority = IssuerNameOf(Last);
  if (!Last.IsCa) Reason.Problem = TTlsProblem::tpMissingIntermediate;
}

// A root the server sent itself, which the trust store does not hold.
std::string SentRoot(const std::vector<TTlsCertificate>& Chain, int Depth) {
  const TTlsCertificate* At = AtDepth(Chain, Depth);
  if (At && At->SelfIssued) return NameOf(*At);
  for (auto It = Chain.rbegin(); It != Chain.rend(); ++It)
    if (It->SelfIssued) return NameOf(*It);
  return At ? IssuerNameOf(*At) : std::string();
}

void ExplainCheck(const TTlsFailure& Outcome, const std::vector<TTlsCertificate>& Chain,
                  TTlsReason& Reason) {
  const TTlsCertificate* At = AtDepth(Chain, Outcome.Depth);
  const TTlsCertificate* Leaf = Chain.empty() ? nullptr : &Chain.front();
  Reason.Subject = Leaf ? NameOf(*Leaf) : std::string();
  switch (Outcome.Result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: {
      const bool Expired = Outcome.Result == X509_V_ERR_CERT_HAS_EXPIRED;
      Reason.Problem = Expired ? TTlsProblem::tpExpired : TTlsProblem::tpNotYetValid;
      if (At) {
        Reason.Subject = NameOf(*At);
        Reason.When = Expired ? At->NotAfter : At->NotBefore;
      }
      return;
    }
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      Reason.Problem = TTlsProblem::tpNameMismatch;
      if (Leaf) {
        Reason.NamesCovered = Leaf->DnsNames;
        Reason.NamesCovered.insert(Reason.NamesCovered.end(), Leaf->IpAddresses.begin(),
                                   Leaf->IpAddresses.end());
      }
      return;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT: Reason.Problem = TTlsProblem::tpSelfSigned; return;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      Reason.Problem = TTlsProblem::tpUntrustedAuthority;
      Reason.Authority = SentRoot(Chain, Outcome.Depth);
      return;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: ExplainUnknownIssuer(Chain, Reason); return;
    case X509_V_ERR_CA_MD_TOO_WEAK:
      Reason.Problem = TTlsProblem::tpWeakSignature;
      if (At) {
        Reason.Subject = NameOf(*At);
        Reason.Algorithm = At->SignatureAlgorithm;
      }
      return;
    case X509_V_ERR_EE_KEY_TOO_SMALL:
    case X509_V_ERR_CA_KEY_TOO_SMALL:
      Reason.Problem = TTlsProblem::tpWeakKey;
      if (At) {
        Reason.Subject = NameOf(*At);
        Reason.KeyType = At->KeyType;
        Reason.KeyBits = At->KeyBits;
      }
      return;
    default:
      Reason.Problem = TTlsProblem::tpOther;
      Reason.Detail = X509_verify_cert_error_string(Outcome.Result);
      return;
  }
}

bool IsVersionRefusal(int SslReason, int Alert) {
  switch (SslReason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_VERSION_TOO_HIGH:
    case SSL_R_NO_PROTOCOLS_AVAILABLE: return true;
    default: return Alert == SSL_AD_PROTOCOL_VERSION;
  }
}

void ExplainHandshake(const TTlsOutcome& Outcome, TTlsReason& Reason) {
  const unsigned long Error = Outcome.HandshakeError;
  const int SslReason = ERR_GET_LIB(Error) == ERR_LIB_SSL ? ERR_GET_REASON(Error) : 0;
  // OpenSSL files an alert the peer sent as a reason of its own, offset by SSL_AD_REASON_OFFSET.
  int Alert = Outcome.Alert;
  if (Alert == 0 && SslReason >= SSL_AD_REASON_OFFSET && SslReason < SSL_AD_REASON_OFFSET + 256)
    Alert = SslReason - SSL_AD_REASON_OFFSET;
  if (Error != 0) {
    // The words are loaded with libssl's first context; a reason may be asked for before one.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
    const char* Words = ERR_reason_error_string(Error);
    Reason.Detail = Words ? Words : "";
  } else if (Alert != 0) {
    Reason.Detail = SSL_alert_desc_string_long(Alert);
  }
  if (IsVersionRefusal(SslReason, Alert)) {
    Reason.Problem = TTlsProblem::tpNoCommonVersion;
    Reason.NoneOffered = SslReason == SSL_R_NO_PROTOCOLS_AVAILABLE;
  } else if (Alert == SSL_AD_CERTIFICATE_REQUIRED ||
             // TLS 1.2 has no alert of its own for it: a bare handshake_failure counts only
             // after the server asked for a certificate and the caller had none to give.
             (Alert == SSL_AD_HANDSHAKE_FAILURE && Outcome.CertificateRequested &&
              !Outcome.CertificateOffered)) {
    Reason.Problem = TTlsProblem::tpClientCertificateWanted;
  } else {
    Reason.Problem = TTlsProblem::tpHandshakeFailed;
  }
}

// An issuer OpenSSL cannot find is one problem however many ways it reports it (the issuer
// missing, then the leaf's signature it could not verify).
bool SameProblem(const TTlsReason& A, const TTlsReason& B) {
  const auto Family = [](TTlsProblem P) {
    return P == TTlsProblem::tpSelfSigned || P == TTlsProblem::tpMissingIntermediate
               ? TTlsProblem::tpUntrustedAuthority
               : P;
  };
  if (Family(A.Problem) != Family(B.Problem)) return false;
  return Family(A.Problem) == TTlsProblem::tpUntrustedAuthority ||
         (A.Subject == B.Subject && A.Detail == B.Detail);
}

// The failures met after the first, each once, with its facts.
void ExplainFurther(const TTlsOutcome& Outcome, const std::vector<TTlsCertificate>& Chain,
                    TTlsReason& Reason) {
  for (const TTlsFailure& Failure : Outcome.Failures) {
    TTlsReason Next;
    Next.NameAsked = Reason.NameAsked;
    Next.Now = Reason.Now;
    ExplainCheck(Failure, Chain, Next);
    const auto Same = [&](const TTlsReason& Known) { return SameProblem(Known, Next); };
    if (!Same(Reason) && std::none_of(Reason.Further.begin(), Reason.Further.end(), Same))
      Reason.Further.push_back(std::move(Next));
  }
}

bool CheckFailed(const TTlsOutcome& Outcome) {
  if (Outcome.VerifyResult == X509_V_OK) return false;
  if (Outcome.Checked) return true;
  // A check made inside the handshake (peer verification on) ends it with this reason.
  return ERR_GET_LIB(Outcome.HandshakeError) == ERR_LIB_SSL &&
         ERR_GET_REASON(Outcome.HandshakeError) == SSL_R_CERTIFICATE_VERIFY_FAILED;
}

}  // namespace

TTlsReason ExplainTls(const TTlsOutcome& Outcome, const std::vector<TTlsCertificate>& Chain,
                      std::string_view NameAsked, std::int64_t Now) {
  TTlsReason Reason;
  Reason.NameAsked = NameAsked;
  Reason.Now = Now;
  if (CheckFailed(Outcome)) {
    ExplainCheck({Outcome.VerifyResult, Outcome.VerifyDepth}, Chain, Reason);
    ExplainFurther(Outcome, Chain, Reason);
  } else if (!Outcome.HandshakeDone || Outcome.HandshakeError != 0 || Outcome.Alert != 0)
    ExplainHandshake(Outcome, Reason);
  return Reason;
}

namespace {

// "3 days ago", "in 5 hours".
std::string Relative(std::int64_t When, std::int64_t Now) {
  static constexpr const char* Names[] = {"day", "hour", "minute", "second"};
  const TTimeSpan Span = SpanBetween(When, Now);
  const std::string Text = std::to_string(Span.Count) + " " + Names[static_cast<int>(Span.Unit)] +
                           (Span.Count == 1 ? "" : "s");
  return Span.Past ? Text + " ago" : "in " + Text;
}

// "a", "a and b", "a, b and c".
std::string Listed(const std::vector<std::string>& Names) {
  std::string Text;
  for (std::size_t I = 0; I < Names.size(); ++I) {
    if (I > 0) Text += I + 1 == Names.size() ? " and " : ", ";
    Text += Names[I];
  }
  return Text;
}

std::string Whose(const TTlsReason& Reason) {
  return Reason.Subject.empty() ? "the server's certificate" : Reason.Subject + "'s certificate";
}

// ": a.test's certificate was valid until <date> (3 days ago)"; nothing without the date (no
// chain was known), rather than a date of 1970.
std::string DateText(const TTlsReason& Reason, const char* Verb) {
  if (Reason.When == 0) return "";
  return ": " + Whose(Reason) + Verb + CertificateTime::UtcText(Reason.When) + " (" +
         Relative(Reason.When, Reason.Now) + ")";
}

std::string Quoted(const std::string& Name) { return "\"" + Name + "\""; }

std::string WeakFamily(std::string Algorithm) {
  std::transform(Algorithm.begin(), Algorithm.end(), Algorithm.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  if (Algorithm.find("sha1") != std::string::npos) return "SHA-1";
  if (Algorithm.find("md5") != std::string::npos) return "MD5";
  return "";
}

std::string WeakSignatureText(const TTlsReason& Reason) {
  const std::string Family = WeakFamily(Reason.Algorithm);
  std::string Text = "weak certificate signature: " + Whose(Reason) + " is signed with ";
  if (Family.empty()) return Text + Reason.Algorithm + ", which is too weak to be trusted";
  return Text + Family + " (" + Reason.Algorithm + "), which is no longer trusted";
}

std::string WeakKeyText(const TTlsReason& Reason) {
  std::string Text = "certificate key too weak: " + Whose(Reason) + " has ";
  Text += Reason.KeyType.empty() ? "a key" : "an " + Reason.KeyType + " key";
  Text += " of " + std::to_string(Reason.KeyBits) + " bits";
  const bool Rsa = Reason.KeyType.rfind("RSA", 0) == 0 || Reason.KeyType == "DSA";
  return Text + (Rsa ? "; at least 2048 are needed" : ", too few to be trusted");
}

std::string NameMismatchText(const TTlsReason& Reason) {
  const std::string Text = "certificate does not match the name asked: ";
  if (Reason.NamesCovered.empty())
    return Text + "the certificate lists no names, so it does not cover " + Reason.NameAsked;
  return Text + "the certificate covers " + Listed(Reason.NamesCovered) + ", not " +
         Reason.NameAsked;
}

std::string AuthorityText(const TTlsReason& Reason) {
  // The server sent no authority at all: the issuer may be an intermediate it left out, or an
  // authority of the user's own that was never named. Nothing here tells them apart.
  if (Reason.Problem == TTlsProblem::tpMissingIntermediate)
    return "unknown authority or incomplete chain: " + Whose(Reason) + " comes from " +
           (Reason.Authority.empty() ? "an issuer" : Quoted(Reason.Authority)) +
           ", either an authority this system was not told to trust (name its certificate "
           "with --cacert) or an intermediate certificate the server did not send";
  return "certificate issued by an untrusted authority: " + Whose(Reason) + " comes from " +
         (Reason.Authority.empty() ? "an authority" : Quoted(Reason.Authority) + ", an authority") +
         " this system does not trust";
}

std::string OneReasonInEnglish(const TTlsReason& Reason) {
  const std::string Detail = Reason.Detail.empty() ? "" : " (" + Reason.Detail + ")";
  switch (Reason.Problem) {
    case TTlsProblem::tpNone: return "";
    case TTlsProblem::tpExpired:
      return "certificate has expired" + DateText(Reason, " was valid until ");
    case TTlsProblem::tpNotYetValid:
      return "certificate is not yet valid" + DateText(Reason, " is valid from ");
    case TTlsProblem::tpNameMismatch: return NameMismatchText(Reason);
    case TTlsProblem::tpSelfSigned:
      return "self-signed certificate: " + Whose(Reason) +
             " is signed by itself, not by an authority this system trusts";
    case TTlsProblem::tpUntrustedAuthority:
    case TTlsProblem::tpMissingIntermediate: return AuthorityText(Reason);
    case TTlsProblem::tpWeakSignature: return WeakSignatureText(Reason);
    case TTlsProblem::tpWeakKey: return WeakKeyText(Reason);
    case TTlsProblem::tpNoCommonVersion:
      return Reason.NoneOffered
                 ? "no common TLS version: the lowest version asked for is above the highest, "
                   "so none was offered"
                 : "no common TLS version: the server refused every TLS version offered" + Detail;
    case TTlsProblem::tpClientCertificateWanted:
      return "client certificate required: the server asked for a client certificate and ended "
             "the connection without one";
    case TTlsProblem::tpHandshakeFailed:
      return "TLS handshake failed" + (Reason.Detail.empty() ? "" : ": " + Reason.Detail);
    case TTlsProblem::tpOther: return "certificate check failed: " + Reason.Detail;
  }
  return "";
}

}  // namespace

std::string ReasonInEnglish(const TTlsReason& Reason) {
  std::string Text = OneReasonInEnglish(Reason);
  for (const TTlsReason& Next : Reason.Further) Text += "; " + OneReasonInEnglish(Next);
  return Text;
}
