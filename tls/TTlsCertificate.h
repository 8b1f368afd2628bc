// The facts of one certificate as an inspector shows them, read once from OpenSSL's object so
// that nothing above this layer needs OpenSSL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct x509_st X509;
typedef struct stack_st_X509 STACK_OF_X509;

struct TTlsCertificate {
  std::string Subject;                    // one line, RFC 2253 order ("CN=a.test,O=Orrery")
  std::string Issuer;
  std::string CommonName;                 // the subject's CN, "" when it has none
  std::string IssuerCommonName;
  std::vector<std::string> DnsNames;      // subjectAltName DNS entries, as written
  std::vector<std::string> IpAddresses;   // subjectAltName IP entries, in text form
  std::int64_t NotBefore = 0;             // seconds since 1970 (UTC)
  std::int64_t NotAfter = 0;
  std::string Serial;                     // hex, upper case, no separators
  std::string Sha256;                     // fingerprint, "AB:CD:..."
  std::string KeyType;                    // "RSA", "EC", "Ed25519" ...
  int KeyBits = 0;
  std::string SignatureAlgorithm;         // "sha256WithRSAEncryption" ...
  bool IsCa = false;                      // basicConstraints CA:TRUE
  bool SelfIssued = false;                // subject == issuer
  std::string PublicKeySha256 = {};       // base64 of the SHA-256 of the key's DER, as pinned

  bool operator==(const TTlsCertificate&) const = default;
};

TTlsCertificate CertificateFacts(X509* Certificate);
// The chain as the server sent it, leaf first.
std::vector<TTlsCertificate> ChainFacts(STACK_OF_X509* Chain);
