// The client session against an in-process OpenSSL server: versions, SNI and ALPN, the check
// per leaf of the test PKI, resumption, plaintext held across records, the end of the stream,
// and the caller's files.
#include <openssl/x509_vfy.h>

#include <optional>

#include "tests/tls/TlsServerPass.h"
#include "tls/TTlsContext.h"
#include "tls/TTlsError.h"

using testsupport::TPkiCert;
using testsupport::TTestPki;

namespace {

template <class F>
std::optional<ETlsError> Thrown(F&& Step) {
  try {
    Step();
  } catch (const ETlsError& E) {
    return E;
  }
  return std::nullopt;
}

std::optional<TTlsErrorKind> KindOf(const std::optional<ETlsError>& E) {
  return E ? std::optional(E->Kind()) : std::nullopt;
}

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override { TTlsContext::ClearCache(); }
  TTlsSettings Trusting(bool Verify = true) const {
    TTlsSettings S;
    S.CaFile = Pki.RootFile;
    S.Verify = Verify;
    return S;
  }
  // Everything the client can read now.
  static std::string ReadAll(TTlsSession& Client) {
    std::string Text;
    char Block[64];
    for (int Guard = 0; Client.HasPlaintext() && Guard < 10; ++Guard) {
      std::size_t Got = 0;
      Client.Read(Block, sizeof Block, Got);
      Text.append(Block, Got);
    }
    return Text;
  }
  const TTestPki& Pki = TTestPki::Get();
};

struct TVersionCase {
  int ServerMin, ServerMax;
  TTlsVersion Min, Max;
  const char* Version;  // "" : the handshake fails with the server's protocol_version alert
};
class TlsVersions : public TlsTest, public ::testing::WithParamInterface<TVersionCase> {};

TEST_P(TlsVersions, AgreeOnTheHighestCommonVersionOrFail) {
  const TVersionCase& P = GetParam();
  TServerSide Server(Pki.Good, P.ServerMin, P.ServerMax);
  TTlsSettings S = Trusting();
  S.MinVersion = P.Min;
  S.MaxVersion = P.Max;
  TTlsSession Client(TTlsContext::For(S), "good.test", 443);
  TServerPass Pass(Server);
  const auto Error = Thrown([&] { Pass.Shake(Client); });
  const TTlsFacts& Facts = Client.Facts();
  if (*P.Version == '\0') {
    EXPECT_EQ(KindOf(Error), TTlsErrorKind::tkHandshake);
    EXPECT_EQ(Facts.Outcome.Alert, SSL_AD_PROTOCOL_VERSION);
    EXPECT_NE(Facts.Outcome.HandshakeError, 0u);
    return;
  }
  ASSERT_FALSE(Error) << Error->what();
  EXPECT_EQ(Facts.Version, P.Version);
  EXPECT_EQ(Facts.Alpn, "http/1.0");
  EXPECT_FALSE(Facts.Group.empty());
  EXPECT_FALSE(Facts.Cipher.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, TlsVersions, ::testing::Values(
    TVersionCase{TLS1_2_VERSION, TLS1_2_VERSION, TTlsVersion::tv12, TTlsVersion::tvAny, "TLSv1.2"},
    TVersionCase{TLS1_3_VERSION, TLS1_3_VERSION, TTlsVersion::tv12, TTlsVersion::tvAny, "TLSv1.3"},
    TVersionCase{0, 0, TTlsVersion::tv12, TTlsVersion::tvAny, "TLSv1.3"},
    TVersionCase{0, 0, TTlsVersion::tv12, TTlsVersion::tv12, "TLSv1.2"},
    TVersionCase{TLS1_2_VERSION, TLS1_2_VERSION, TTlsVersion::tv13, TTlsVersion::tvAny, ""},
    TVersionCase{TLS1_3_VERSION, TLS1_3_VERSION, TTlsVersion::tv12, TTlsVersion::tv12, ""}));

struct TCheckCase {
  TPkiCert TTestPki::*Cert;
  const char* Host;
  const char* Sni;
  long Result;
  int Chain;
  bool Verify = true;
  bool SystemStore = false;
};
class TlsChecks : public TlsTest, public ::testing::WithParamInterface<TCheckCase> {};

TEST_P(TlsChecks, RecordTheOutcomeAndLetOnlyAPassingOrWaivedPassWrite) {
  const TCheckCase& P = GetParam();
  TServerSide Server(Pki.*P.Cert);
  const TTlsSettings S = P.SystemStore ? TTlsSettings{} : Trusting(P.Verify);
  TTlsSession Client(TTlsContext::For(S), P.Host, 443);
  TServerPass Pass(Server);
  Pass.Shake(Client);
  const TTlsFacts& Facts = Client.Facts();
  const char* Sent = SSL_get_servername(Pass.Ssl, TLSEXT_NAMETYPE_host_name);
  EXPECT_EQ(Sent != nullptr ? Sent : "", std::string(P.Sni));
  EXPECT_EQ(Facts.Sni, P.Sni);
  EXPECT_EQ(Facts.Outcome.VerifyResult, P.Result)
      << X509_verify_cert_error_string(Facts.Outcome.VerifyResult);
  EXPECT_EQ(Facts.ChainCount, P.Chain);
  EXPECT_EQ(Facts.VerifyWaived, !P.Verify);
  const bool Passes = !P.Verify || P.Result == X509_V_OK;
  EXPECT_EQ(KindOf(Thrown([&] { Client.Check(); })),
            Passes ? std::nullopt : std::optional(TTlsErrorKind::tkCheck));
  EXPECT_EQ(KindOf(Thrown([&] { Client.Write("GET", 3); })),
            Passes ? std::nullopt : std::optional(TTlsErrorKind::tkCheck));
}

INSTANTIATE_TEST_SUITE_P(Table, TlsChecks, ::testing::Values(
    TCheckCase{&TTestPki::Good, "good.test", "good.test", X509_V_OK, 2},
    TCheckCase{&TTestPki::Good, "GOOD.test.", "GOOD.test", X509_V_OK, 2},
    TCheckCase{&TTestPki::Good, "good.test", "good.test", X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 2, true, true},
    TCheckCase{&TTestPki::Good, "127.0.0.1", "", X509_V_ERR_IP_ADDRESS_MISMATCH, 2},
    TCheckCase{&TTestPki::Expired, "expired.test", "expired.test", X509_V_ERR_CERT_HAS_EXPIRED, 2},
    TCheckCase{&TTestPki::Expired, "expired.test", "expired.test", X509_V_ERR_CERT_HAS_EXPIRED, 2, false},
    TCheckCase{&TTestPki::NotYetValid, "future.test", "future.test", X509_V_ERR_CERT_NOT_YET_VALID, 2},
    TCheckCase{&TTestPki::WrongHost, "wrong.test", "wrong.test", X509_V_ERR_HOSTNAME_MISMATCH, 2},
    TCheckCase{&TTestPki::Wildcard, "a.wild.test", "a.wild.test", X509_V_OK, 2},
    TCheckCase{&TTestPki::Wildcard, "wild.test", "wild.test", X509_V_ERR_HOSTNAME_MISMATCH, 2},
    TCheckCase{&TTestPki::Wildcard, "b.a.wild.test", "b.a.wild.test", X509_V_ERR_HOSTNAME_MISMATCH, 2},
    TCheckCase{&TTestPki::Ip, "127.0.0.1", "", X509_V_OK, 2},
    TCheckCase{&TTestPki::Ip, "[::1]", "", X509_V_OK, 2},
    TCheckCase{&TTestPki::Ip, "127.0.0.2", "", X509_V_ERR_IP_ADDRESS_MISMATCH, 2},
    TCheckCase{&TTestPki::SelfSigned, "self.test", "self.test", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, 1},
    TCheckCase{&TTestPki::Untrusted, "untrusted.test", "untrusted.test", X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, 2},
    TCheckCase{&TTestPki::LeafOnly, "leafonly.test", "leafonly.test", X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 1},
    TCheckCase{&TTestPki::Sha1, "sha1.test", "sha1.test", X509_V_ERR_CA_MD_TOO_WEAK, 2},
    TCheckCase{&TTestPki::Rsa1024, "rsa1024.test", "rsa1024.test", X509_V_ERR_EE_KEY_TOO_SMALL, 2}));

struct TResumeCase {
  TPkiCert TTestPki::*Cert;
  const char* Host;
  int ServerMax;
  bool FirstVerify, SecondVerify;
  int SecondPort;
  bool Resumed;
};
class TlsResumption : public TlsTest, public ::testing::WithParamInterface<TResumeCase> {};

TEST_P(TlsResumption, ResumesOnlyUnderTheSameKeyAndKeepsTheFirstPassFacts) {
  const TResumeCase& P = GetParam();
  TServerSide Server(Pki.*P.Cert, 0, P.ServerMax);
  auto Pass = [&](bool Verify, int Port) {
    TTlsSession Client(TTlsContext::For(Trusting(Verify)), P.Host, Port);
    TServerPass On(Server);
    On.Shake(Client);
    Thrown([&] { Client.Check(); });
    On.Send("ok");  // a TLS 1.3 ticket arrives after the handshake, taken by the read
    On.To(Client);
    EXPECT_EQ(ReadAll(Client), "ok");
    return Client.Facts();
  };
  const TTlsFacts First = Pass(P.FirstVerify, 443);
  const TTlsFacts Second = Pass(P.SecondVerify, P.SecondPort);
  EXPECT_FALSE(First.Resumed);
  EXPECT_EQ(Second.Resumed, P.Resumed);
  EXPECT_EQ(Second.ChainCount, First.ChainCount);
  EXPECT_EQ(Second.Outcome.VerifyResult, First.Outcome.VerifyResult);
}

INSTANTIATE_TEST_SUITE_P(Table, TlsResumption, ::testing::Values(
    TResumeCase{&TTestPki::Good, "good.test", TLS1_3_VERSION, true, true, 443, true},
    TResumeCase{&TTestPki::Good, "good.test", TLS1_2_VERSION, true, true, 443, true},
    TResumeCase{&TTestPki::Good, "good.test", TLS1_3_VERSION, true, true, 8443, false},
    TResumeCase{&TTestPki::Good, "good.test", TLS1_3_VERSION, false, true, 443, false},
    TResumeCase{&TTestPki::Expired, "expired.test", TLS1_3_VERSION, false, false, 443, true},
    TResumeCase{&TTestPki::Expired, "expired.test", TLS1_2_VERSION, true, true, 443, false}));

// Two records in one delivery: the second waits undecrypted after the first read, and no
// socket notification will come for it. A header split across deliveries is no record yet.
TEST_F(TlsTest, PlaintextHeldInWholeRecordsIsReadWithoutMoreBytes) {
  TServerSide Server(Pki.Good);
  TTlsSession Client(TTlsContext::For(Trusting()), "good.test", 443);
  TServerPass Pass(Server);
  Pass.Shake(Client);
  Client.Check();
  Pass.Send("one");
  Pass.Send("two");
  Pass.To(Client);
  EXPECT_EQ(ReadAll(Client), "onetwo");
  Pass.Send("three");
  const std::string Record = Pass.Take();
  Client.Received(Record.data(), 3);
  EXPECT_EQ(ReadAll(Client), "");
  char Block[8];
  std::size_t Got = 1;
  EXPECT_EQ(Client.Read(Block, sizeof Block, Got), TTlsWant::twRead);
  EXPECT_EQ(Got, 0u);
  EXPECT_FALSE(Client.HasPlaintext());
  Client.Received(Record.data() + 3, Record.size() - 3);
  EXPECT_EQ(ReadAll(Client), "three");
}

struct TEndCase {
  bool CloseNotify;
  std::size_t Keep;  // bytes of the server's last flight that arrive before the end
  TTlsWant Want;
};
class TlsEnds : public TlsTest, public ::testing::WithParamInterface<TEndCase> {};

TEST_P(TlsEnds, CloseNotifyIsAnEndAndAnythingElseACut) {
  TServerSide Server(Pki.Good);
  TTlsSession Client(TTlsContext::For(Trusting()), "good.test", 443);
  TServerPass Pass(Server);
  Pass.Shake(Client);
  Client.Check();
  Pass.Send("tail");
  if (GetParam().CloseNotify) SSL_shutdown(Pass.Ssl);
  const std::string Bytes = Pass.Take();
  Client.Received(Bytes.data(), std::min(GetParam().Keep, Bytes.size()));
  Client.Received(nullptr, 0);
  char Block[64];
  std::size_t Got = 0;
  TTlsWant Want = TTlsWant::twDone;
  for (int Guard = 0; Want == TTlsWant::twDone && Guard < 5; ++Guard)
    Want = Client.Read(Block, sizeof Block, Got);
  EXPECT_EQ(Want, GetParam().Want);
  EXPECT_FALSE(Client.HasPlaintext());
}

INSTANTIATE_TEST_SUITE_P(Table, TlsEnds, ::testing::Values(
    TEndCase{true, std::string::npos, TTlsWant::twClosed},
    TEndCase{false, std::string::npos, TTlsWant::twCut},
    TEndCase{false, 10, TTlsWant::twCut}));

struct TFilesCase {
  void (*Set)(TTlsSettings&, const TTestPki&);
  std::optional<TTlsErrorKind> Kind;
};
class TlsFiles : public TlsTest, public ::testing::WithParamInterface<TFilesCase> {};

TEST_P(TlsFiles, UnusableFilesAreErrorsOfTheirOwn) {
  TTlsSettings S = Trusting();
  GetParam().Set(S, Pki);
  const auto Error = Thrown([&] { TTlsContext::For(S); });
  EXPECT_EQ(KindOf(Error), GetParam().Kind);
  if (GetParam().Kind == TTlsErrorKind::tkCredentials) {
    EXPECT_STREQ(Error->what(), "certificate or key unusable");
  }
}

constexpr auto Encrypted = [](TTlsSettings& S, const TTestPki& P) {
  S.CertFile = P.Client.Cert;
  S.KeyFile = P.ClientKeyEncrypted;
};
INSTANTIATE_TEST_SUITE_P(Table, TlsFiles, ::testing::Values(
    TFilesCase{+[](TTlsSettings& S, const TTestPki& P) { Encrypted(S, P); }, TTlsErrorKind::tkCredentials},
    TFilesCase{+[](TTlsSettings& S, const TTestPki& P) { Encrypted(S, P); S.KeyPassphrase = "no"; }, TTlsErrorKind::tkCredentials},
    TFilesCase{+[](TTlsSettings& S, const TTestPki& P) { Encrypted(S, P); S.KeyPassphrase = P.ClientPassphrase; }, std::nullopt},
    TFilesCase{+[](TTlsSettings& S, const TTestPki& P) { S.CertFile = P.ClientCombined; }, std::nullopt},
    TFilesCase{+[](TTlsSettings& S, const TTestPki& P) { S.CaFile = P.Dir + "/none.pem"; }, TTlsErrorKind::tkCaFile},
    TFilesCase{+[](TTlsSettings& S, const TTestPki& P) { S.CaFile = P.Good.Key; }, TTlsErrorKind::tkCaFile},
    TFilesCase{+[](TTlsSettings& S, const TTestPki& P) { S.CaFile = P.Dir + "/none.pem"; S.Verify = false; }, std::nullopt},
    TFilesCase{+[](TTlsSettings& S, const TTestPki& P) { S.CaPath = P.Dir + "/none"; }, TTlsErrorKind::tkCaPath},
    TFilesCase{+[](TTlsSettings& S, const TTestPki& P) { S.CaPath = P.Dir; }, std::nullopt}));

}  // namespace
