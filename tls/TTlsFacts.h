// What one TLS session was: the protocol and cipher agreed, what was offered, the chain as the
// server sent it and the check's outcome. Kept per pass for the inspector, the HAR and -v.
#pragma once

#include <string>
#include <vector>

#include "tls/TTlsCertificate.h"
#include "tls/TTlsReason.h"

struct TTlsFacts {
  std::string Version;        // "TLSv1.3"
  std::string Cipher;         // "TLS_AES_256_GCM_SHA384"
  std::string Group;          // key-exchange group, "X25519"
  std::string Alpn;           // the protocol the server chose, "" when none
  std::string Sni;            // the name sent, "" for an IP literal
  bool Resumed = false;
  bool VerifyWaived = false;  // the caller turned the checks off
  std::vector<TTlsCertificate> Chain;  // as the server sent it, leaf first (kept on resumption)
  TTlsOutcome Outcome;
  TTlsReason Reason;          // tpNone when the check passed or was waived
};
