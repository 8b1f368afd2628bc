// Public-key pinning as curl's --pinnedpubkey has it: the server's leaf must carry one of the
// keys named, each as "sha256//" and the base64 of the SHA-256 of its SubjectPublicKeyInfo
// (several joined by ';'), or as a file holding the key itself (PEM "PUBLIC KEY", or DER).
#pragma once

#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace PinnedKey {

// The base64 of the SHA-256 of Key's SubjectPublicKeyInfo (DER); "" without a key.
std::string Sha256Of(const EVP_PKEY* Key);
// The same for the key a certificate carries, hashed as the certificate encodes it: without the
// provider's encoder that a key of its own needs, which cost more than the rest of a
// certificate's facts.
std::string Sha256Of(const X509* Certificate);
// Whether the leaf whose key hash is KeySha256 (as Sha256Of gives it) is one Pins names. A
// file that cannot be read, or holds no public key, names none.
bool Matches(std::string_view Pins, const std::string& KeySha256);

}  // namespace PinnedKey
