// The caller's TLS settings for one pass. Every field takes part in the session cache's key, so
// a session made under one set of settings is never resumed under another.
#pragma once

#include <string>
#include <vector>

// TLS versions as the settings name them; 0 in MaxVersion means the highest the library has.
enum class TTlsVersion : int { tvAny = 0, tv12 = 12, tv13 = 13 };

// A certificate the caller has seen refused and accepted all the same, for one server: a pass to
// that host and port whose leaf has this SHA-256 fingerprint goes on unchecked (its check is
// still run and recorded). Another certificate there is checked as any.
struct TTlsAccepted {
  std::string Host;
  int Port = 0;
  std::string Sha256;  // as TTlsCertificate::Sha256 writes it

  bool operator==(const TTlsAccepted&) const = default;
};

struct TTlsSettings {
  bool Verify = true;            // false: the caller waives the checks (recorded with the pass)
  std::string CaFile;            // PEM bundle trusted instead of the system's store
  std::string CaPath;            // hashed directory trusted instead of the system's store
  std::string CertFile;          // the caller's certificate (PEM), offered to the first server only
  std::string KeyFile;           // its key (PEM); empty: the key is in CertFile
  std::string KeyPassphrase;     // for an encrypted key; never read from a terminal here
  TTlsVersion MinVersion = TTlsVersion::tv12;
  TTlsVersion MaxVersion = TTlsVersion::tvAny;
  std::vector<TTlsAccepted> Accepted;
  // curl's --pinnedpubkey: "sha256//BASE64[;sha256//BASE64...]" or a public-key file; the
  // leaf's key must be one of them, checked or not ("" pins nothing).
  std::string PinnedPublicKey;
  bool Resume = true;  // false: no session is offered or kept, every pass shakes hands in full
  // The protocols offered by ALPN, comma-separated in the order of preference ("h2,http/1.1";
  // "" offers none); the HTTP component sets it to the versions it speaks.
  std::string Alpn = "http/1.0";

  bool operator==(const TTlsSettings&) const = default;
};
