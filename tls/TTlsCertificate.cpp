// The facts of a certificate read out of OpenSSL's X509 object once, as plain values.
#include "tls/TTlsCertificate.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "tls/CertificateTime.h"
#include "tls/PinnedKey.h"

namespace {

// RFC 2253 order and escaping, but UTF-8 kept as text rather than escaped byte by byte, since
// the inspector shows names to people.
constexpr unsigned long NameFlags =
    (XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT;

std::string NameLine(const X509_NAME* Name) {
  std::unique_ptr<BIO, decltype(&BIO_free)> Bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!Name || !Bio || X509_NAME_print_ex(Bio.get(), Name, 0, NameFlags) < 0) return {};
  char* Data = nullptr;
  const long Size = BIO_get_mem_data(Bio.get(), &Data);
  return Size > 0 ? std::string(Data, static_cast<std::size_t>(Size)) : std::string();
}

std::string Utf8(const ASN1_STRING* Text) {
  unsigned char* Out = nullptr;
  const int Size = ASN1_STRING_to_UTF8(&Out, Text);
  if (Size < 0) return {};
  std::string Result(reinterpret_cast<char*>(Out), static_cast<std::size_t>(Size));
  OPENSSL_free(Out);
  return Result;
}

// The most specific CN: the last one, when a name has several.
std::string CommonNameOf(const X509_NAME* Name) {
  int At = -1;
  for (int Next = -1; Name && (Next = X509_NAME_get_index_by_NID(Name, NID_commonName, At)) >= 0;)
    At = Next;
  if (At < 0) return {};
  return Utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(Name, At)));
}

std::string AddressText(const ASN1_OCTET_STRING* Address) {
  char Text[INET6_ADDRSTRLEN] = {};
  const int Size = ASN1_STRING_length(Address);
  const int Family = Size == 4 ? AF_INET : Size == 16 ? AF_INET6 : 0;
  if (Family == 0 || !::inet_ntop(Family, ASN1_STRING_get0_data(Address), Text, sizeof Text))
    return {};
  return Text;
}

void ReadAltNames(X509* Certificate, TTlsCertificate& Facts) {
  auto* Names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(Certificate, NID_subject_alt_name, nullptr, nullptr));
  for (int I = 0; I < sk_GENERAL_NAME_num(Names); ++I) {
    const GENERAL_NAME* Name = sk_GENERAL_NAME_value(Names, I);
    if (Name->type == GEN_DNS) {
      const ASN1_IA5STRING* Dns = Name->d.dNSName;
      Facts.DnsNames.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(Dns)),
                                  static_cast<std::size_t>(ASN1_STRING_length(Dns)));
    } else if (Name->type == GEN_IPADD) {
      if (std::string Text = AddressText(Name->d.iPAddress); !Text.empty())
        Facts.IpAddresses.push_back(std::move(Text));
    }
  }
  GENERAL_NAMES_free(Names);
}

std::string SerialHex(const ASN1_INTEGER* Serial) {
  std::unique_ptr<BIGNUM, decltype(&BN_free)> Number(ASN1_INTEGER_to_BN(Serial, nullptr), BN_free);
  char* Hex = Number ? BN_bn2hex(Number.get()) : nullptr;
  if (!Hex) return {};
  std::string Result(Hex);
  OPENSSL_free(Hex);
  return Result;
}

std::string Fingerprint(const X509* Certificate) {
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned int Size = 0;
  if (X509_digest(Certificate, EVP_sha256(), Digest, &Size) != 1) return {};
  static constexpr char HexDigits[] = "0123456789ABCDEF";
  std::string Text;
  for (unsigned int I = 0; I < Size; ++I) {
    if (I > 0) Text += ':';
    Text += HexDigits[Digest[I] >> 4];
    Text += HexDigits[Digest[I] & 0xF];
  }
  return Text;
}

std::string KeyTypeName(const EVP_PKEY* Key) {
  switch (EVP_PKEY_get_base_id(Key)) {
    case EVP_PKEY_RSA: return "RSA";
    case EVP_PKEY_RSA_PSS: return "RSA-PSS";
    case EVP_PKEY_EC: return "EC";
    case EVP_PKEY_ED25519: return "Ed25519";
    case EVP_PKEY_ED448: return "Ed448";
    case EVP_PKEY_DSA: return "DSA";
    default: {
      const char* Name = EVP_PKEY_get0_type_name(Key);
      return Name ? Name : "";
    }
  }
}

std::string SignatureName(const X509* Certificate) {
  if (const int Nid = X509_get_signature_nid(Certificate); Nid != NID_undef) return OBJ_nid2ln(Nid);
  // An algorithm OpenSSL has no name for: its OID in dotted form.
  const X509_ALGOR* Algorithm = nullptr;
  X509_get0_signature(nullptr, &Algorithm, Certificate);
  const ASN1_OBJECT* Oid = nullptr;
  X509_ALGOR_get0(&Oid, nullptr, nullptr, Algorithm);
  char Text[128] = {};
  return Oid && OBJ_obj2txt(Text, sizeof Text, Oid, 1) > 0 ? Text : "";
}

}  // namespace

TTlsCertificate CertificateFacts(X509* Certificate) {
  TTlsCertificate Facts;
  if (!Certificate) return Facts;
  const X509_NAME* Subject = X509_get_subject_name(Certificate);
  const X509_NAME* Issuer = X509_get_issuer_name(Certificate);
  Facts.Subject = NameLine(Subject);
  Facts.Issuer = NameLine(Issuer);
  Facts.CommonName = CommonNameOf(Subject);
  Facts.IssuerCommonName = CommonNameOf(Issuer);
  ReadAltNames(Certificate, Facts);
  Facts.NotBefore = CertificateTime::FromAsn1(X509_get0_notBefore(Certificate));
  Facts.NotAfter = CertificateTime::FromAsn1(X509_get0_notAfter(Certificate));
  Facts.Serial = SerialHex(X509_get0_serialNumber(Certificate));
  Facts.Sha256 = Fingerprint(Certificate);
  if (const EVP_PKEY* Key = X509_get0_pubkey(Certificate)) {
    Facts.KeyType = KeyTypeName(Key);
    Facts.KeyBits = EVP_PKEY_get_bits(Key);
  }
  Facts.PublicKeySha256 = PinnedKey::Sha256Of(Certificate);
  Facts.SignatureAlgorithm = SignatureName(Certificate);
  Facts.IsCa = (X509_get_extension_flags(Certificate) & EXFLAG_CA) != 0;
  Facts.SelfIssued = X509_NAME_cmp(Subject, Issuer) == 0;
  return Facts;
}

std::vector<TTlsCertificate> ChainFacts(STACK_OF_X509* Chain) {
  std::vector<TTlsCertificate> Facts;
  for (int I = 0; I < sk_X509_num(Chain); ++I)
    Facts.push_back(CertificateFacts(sk_X509_value(Chain, I)));
  return Facts;
}
