// A throw-away PKI for the TLS tests: a root, an intermediate, a leaf for each case a check must
// tell apart and a client certificate, as PEM files in a temporary directory removed at exit.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

// One certificate of the PKI and the files a server (or a client) loads for it.
struct TPkiCert {
  std::string Host;            // the name a test asks for; a server serves it under this name
  std::string Cert;            // the certificate alone
  std::string Chain;           // what a server sends: the certificate, then its intermediate
  std::string Key;             // its private key, unencrypted
  std::int64_t NotBefore = 0;  // seconds since 1970 (UTC), exactly as written in it
  std::int64_t NotAfter = 0;
};

class TTestPki {
 public:
  // The process's one PKI, made on first use (key generation is the cost).
  static const TTestPki& Get();

  TTestPki(const TTestPki&) = delete;
  TTestPki& operator=(const TTestPki&) = delete;
  ~TTestPki();

  std::string Dir;                // everything below is a file in here
  std::int64_t Made = 0;          // the time the PKI was made; every date is relative to it
  std::string RootFile;           // the trust file: "Orrery Test Root" alone
  std::string IntermediateFile;   // "Orrery Test Intermediate", issued by the root
  std::string UntrustedRootFile;  // "Orrery Untrusted Root", in no trust file

  TPkiCert Good;         // good.test, valid from a day before Made for a year
  TPkiCert Expired;      // expired.test, valid until exactly 3 days before Made
  TPkiCert NotYetValid;  // future.test, valid from exactly 2 days after Made
  TPkiCert WrongHost;    // asked as wrong.test; covers other.test and www.other.test
  TPkiCert Wildcard;     // *.wild.test, asked as a.wild.test
  TPkiCert Dotted;       // dotted.test, its one DNS name written with the final dot
  TPkiCert Ip;           // IP addresses 127.0.0.1 and ::1, no DNS name
  TPkiCert Ip6;          // the IPv6 address ::1 alone
  TPkiCert ALabel;       // xn--bcher-kva.test, the A-label of bücher.test
  TPkiCert SelfSigned;   // self.test, signed by itself; its chain is itself alone
  TPkiCert Untrusted;    // untrusted.test, issued by the untrusted root; chain: leaf + that root
  TPkiCert LeafOnly;     // leafonly.test, issued by the intermediate; chain: the leaf alone
  TPkiCert Sha1;         // sha1.test, signed with ecdsa-with-SHA1
  TPkiCert Rsa1024;      // rsa1024.test, an RSA key of 1024 bits
  TPkiCert Client;       // "Orrery Test Client" (O=Zürich Tests), clientAuth, issued by the root

  std::string ClientKeyEncrypted;  // Client's key as encrypted PKCS#8, under ClientPassphrase
  std::string ClientPassphrase;
  std::string ClientCombined;  // Client's certificate and unencrypted key in one file

 private:
  TTestPki();
};

}  // namespace testsupport
