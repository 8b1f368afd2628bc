// Why a handshake or a certificate check failed, in plain words: one pure function from the
// outcome, the chain as sent, the name asked and the time to a reason and its facts, and the
// reason rendered in English (the window renders the same reasons in its own language).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tls/TTlsCertificate.h"

// One failure the check met: OpenSSL's X509_V_ERR_* and the depth of the certificate.
struct TTlsFailure {
  long Result = 0;
  int Depth = -1;

  bool operator==(const TTlsFailure&) const = default;
};

// How the handshake and the check ended, as OpenSSL reported them.
struct TTlsOutcome {
  bool HandshakeDone = false;
  unsigned long HandshakeError = 0;  // ERR_peek_last_error() when the handshake failed
  int Alert = 0;                     // the peer's alert, when it sent one (e.g. 70 protocol_version)
  long VerifyResult = 0;             // X509_V_OK or X509_V_ERR_* from the check
  int VerifyDepth = -1;              // the depth of the certificate the check stopped at
  bool Checked = false;              // the check ran (false: waived by the caller, or not reached)
  // Evidence for "the server wants a client certificate" behind a bare handshake_failure alert:
  // the server sent a CertificateRequest, and whether the caller had a certificate to give.
  bool CertificateRequested = false;
  bool CertificateOffered = false;
  // Every failure the check met, in the order it met them; the first is VerifyResult's.
  std::vector<TTlsFailure> Failures;

  bool operator==(const TTlsOutcome&) const = default;
};

enum class TTlsProblem : std::uint8_t {
  tpNone,
  tpExpired,
  tpNotYetValid,
  tpNameMismatch,
  tpSelfSigned,
  tpUntrustedAuthority,
  tpMissingIntermediate,
  tpWeakSignature,
  tpWeakKey,
  tpNoCommonVersion,
  tpClientCertificateWanted,
  tpHandshakeFailed,
  tpOther
};

struct TTlsReason {
  TTlsProblem Problem = TTlsProblem::tpNone;
  std::string NameAsked;
  std::vector<std::string> NamesCovered;  // for a name mismatch
  std::string Authority;                  // the untrusted root, or the missing issuer
  std::int64_t When = 0;                  // the date passed or not reached
  std::int64_t Now = 0;
  std::string Algorithm;                  // the weak signature's
  int KeyBits = 0;                        // the weak key's
  std::string Detail;                     // OpenSSL's own words, for tpOther / tpHandshakeFailed
  std::string Subject;                    // the certificate it is about: its CN, else its first
                                          // name, else its subject line
  std::string KeyType;                    // the weak key's ("RSA", "EC" ...)
  bool NoneOffered = false;               // no common version: the caller's own lowest and
                                          // highest versions left nothing to offer
  // The other checks the certificate failed besides this one, each with its facts (an expired
  // certificate for another name under an unknown authority fails three).
  std::vector<TTlsReason> Further;

  bool operator==(const TTlsReason&) const = default;
};

TTlsReason ExplainTls(const TTlsOutcome& Outcome, const std::vector<TTlsCertificate>& Chain,
                      std::string_view NameAsked, std::int64_t Now);
// OpenSSL's short words for the problem, then the precise facts, for a terminal, e.g.
// "certificate has expired: a.test's certificate was valid until 2026-01-02 00:00:00 UTC
// (341 days ago)"; further failures follow on the same line after "; ". Empty for tpNone.
std::string ReasonInEnglish(const TTlsReason& Reason);
