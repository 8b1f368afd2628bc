// The hashes of public keys, and the pins of a caller compared against a leaf's.
#include "tls/PinnedKey.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

constexpr std::string_view Prefix = "sha256//";

std::string Base64(const unsigned char* Data, int Size) {
  // EVP_EncodeBlock ends the text with a NUL of its own.
  std::string Text(static_cast<std::size_t>(4 * ((Size + 2) / 3) + 1), '\0');
  const int Made = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(Text.data()), Data, Size);
  Text.resize(static_cast<std::size_t>(std::max(Made, 0)));
  return Text;
}

// The hash of Size bytes of DER at Der (OpenSSL's to free), as a pin writes it; "" when the
// encoding failed (Size <= 0).
std::string Sha256OfDer(unsigned char* Der, int Size) {
  if (Size <= 0) return {};
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned int DigestSize = 0;
  const bool Made = EVP_Digest(Der, static_cast<std::size_t>(Size), Digest, &DigestSize,
                               EVP_sha256(), nullptr) == 1;
  OPENSSL_free(Der);
  return Made ? Base64(Digest, static_cast<int>(DigestSize)) : std::string();
}

// The key a pin file holds, as PEM or as DER; nothing for anything else.
std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> KeyInFile(const std::string& File) {
  std::ifstream In(File, std::ios::binary);
  const std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  EVP_PKEY* Key = nullptr;
  if (Bytes.find("-----BEGIN PUBLIC KEY-----") != std::string::npos) {
    std::unique_ptr<BIO, decltype(&BIO_free)> Bio(
        BIO_new_mem_buf(Bytes.data(), static_cast<int>(Bytes.size())), BIO_free);
    Key = Bio ? PEM_read_bio_PUBKEY(Bio.get(), nullptr, nullptr, nullptr) : nullptr;
  } else if (!Bytes.empty()) {
    const auto* At = reinterpret_cast<const unsigned char*>(Bytes.data());
    Key = d2i_PUBKEY(nullptr, &At, static_cast<long>(Bytes.size()));
  }
  return {Key, EVP_PKEY_free};
}

}  // namespace

namespace PinnedKey {

std::string Sha256Of(const EVP_PKEY* Key) {
  unsigned char* Der = nullptr;
  const int Size = Key != nullptr ? i2d_PUBKEY(Key, &Der) : -1;
  return Sha256OfDer(Der, Size);
}

std::string Sha256Of(const X509* Certificate) {
  const X509_PUBKEY* Key = Certificate != nullptr ? X509_get_X509_PUBKEY(Certificate) : nullptr;
  unsigned char* Der = nullptr;
  const int Size = Key != nullptr ? i2d_X509_PUBKEY(Key, &Der) : -1;
  return Sha256OfDer(Der, Size);
}

bool Matches(std::string_view Pins, const std::string& KeySha256) {
  if (KeySha256.empty()) return false;
  if (!Pins.starts_with(Prefix)) {
    const auto Key = KeyInFile(std::string(Pins));
    return Key && Sha256Of(Key.get()) == KeySha256;
  }
  for (std::size_t At = 0; At <= Pins.size();) {
    const std::size_t End = std::min(Pins.find(';', At), Pins.size());
    const std::string_view Pin = Pins.substr(At, End - At);
    if (Pin.starts_with(Prefix) && Pin.substr(Prefix.size()) == KeySha256) return true;
    At = End + 1;
  }
  return false;
}

}  // namespace PinnedKey
