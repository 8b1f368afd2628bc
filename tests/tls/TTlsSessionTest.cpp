// The client session against an in-process OpenSSL server: versions, SNI and ALPN, the check
// per leaf of the test PKI, resumption, plaintext held across records, the end of the stream,
// and the caller's files.
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "tests/tls/TlsServerPass.h"
#include "tls/TTlsContext.h"
#include "tls/TTlsError.h"

using testsupport::TPkiCert;
using testsupport::TTestPki;
using enum TTlsVersion;
using enum TTlsErrorKind;
using TKind = std::optional<TTlsErrorKind>;

namespace {

// A hashed directory (OpenSSL's "<subject hash>.0" names) holding the test root alone.
const std::string& HashedRootDir() {
  static const std::string Dir = [] {
    const std::string Made = TTestPki::Get().Dir + "/hashed";
    std::filesystem::create_directory(Made);
    std::filesystem::copy_file(TTestPki::Get().RootFile, Made + "/root.pem");
    return std::system(("openssl rehash " + Made).c_str()) == 0 ? Made : "";
  }();
  return Dir;
}

// The kind of ETlsError that Step throws, and its text.
template <class F>
TKind Thrown(F&& Step, std::string* Text = nullptr) {
  try {
    Step();
  } catch (const ETlsError& E) {
    if (Text != nullptr) *Text = E.what();
    return E.Kind();
  }
  return std::nullopt;
}

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override { TTlsContext::ClearCache(); }
  // Everything the client can read now: a read, then as many as Pending() asks for.
  static std::string ReadAll(TFedSession& Client) {
    std::string Text;
    char Block[64];
    for (int Guard = 0; (Guard == 0 || Client.Pending()) && Guard < 10; ++Guard) {
      std::size_t Got = 0;
      Client.Read(Block, sizeof Block, Got);
      Text.append(Block, Got);
    }
    return Text;
  }
  const TTestPki& Pki = TTestPki::Get();
  const TTlsSettings Trusting{.CaFile = Pki.RootFile};
};

TEST_F(TlsTest, VersionsAgreeOnTheHighestCommonOneOrFail) {
  struct {
    int ServerMin, ServerMax;
    TTlsVersion Min, Max;
    std::string Version;  // "": the handshake fails with the server's protocol_version alert
  } const Cases[] = {{TLS1_2_VERSION, TLS1_2_VERSION, tv12, tvAny, "TLSv1.2"},
                     {TLS1_3_VERSION, TLS1_3_VERSION, tv12, tvAny, "TLSv1.3"},
                     {0, 0, tv12, tvAny, "TLSv1.3"},
                     {0, 0, tv12, tv12, "TLSv1.2"},
                     {TLS1_2_VERSION, TLS1_2_VERSION, tv13, tvAny, ""},
                     {TLS1_3_VERSION, TLS1_3_VERSION, tv12, tv12, ""}};
  for (const auto& P : Cases) {
    SCOPED_TRACE(&P - Cases);
    TServerSide Server(Pki.Good, P.ServerMin, P.ServerMax);
    const TTlsSettings S{.CaFile = Pki.RootFile, .MinVersion = P.Min, .MaxVersion = P.Max};
    TFedSession Client(TTlsContext::For(S), "good.test", 443);
    TServerPass Pass(Server);
    const bool Fails = P.Version.empty();
    EXPECT_EQ(Thrown([&] { Pass.Shake(Client); }), Fails ? TKind(tkHandshake) : std::nullopt);
    const TTlsFacts& Facts = Client.Facts();
    EXPECT_EQ(Facts.Outcome.Alert, Fails ? SSL_AD_PROTOCOL_VERSION : 0);
    EXPECT_EQ(Facts.Outcome.HandshakeError != 0, Fails);
    EXPECT_EQ(Facts.Version, P.Version);
    EXPECT_EQ(Facts.Alpn, Fails ? "" : "http/1.0");
    EXPECT_EQ(Facts.Group.empty(), Fails);
    EXPECT_EQ(Facts.Reason.Problem, Fails ? TTlsProblem::tpNoCommonVersion : TTlsProblem::tpNone);
  }
}

struct TCheckCase {
  TPkiCert TTestPki::*Cert;
  const char* Host;
  long Result;
  int Chain;
  const char* Sni = nullptr;  // nullptr: the host as asked
  bool Verify = true;
  enum { tsRootFile, tsSystem, tsSystemDir, tsHashedDir } Trust = tsRootFile;
};
class TlsChecks : public TlsTest, public ::testing::WithParamInterface<TCheckCase> {};

TEST_P(TlsChecks, RecordTheOutcomeAndLetOnlyAPassingOrWaivedPassWrite) {
  const TCheckCase& P = GetParam();
  TServerSide Server(Pki.*P.Cert);
  // The system's store is the directory SSL_CERT_DIR names, when it names one.
  if (P.Trust == TCheckCase::tsSystemDir) setenv("SSL_CERT_DIR", HashedRootDir().c_str(), 1);
  const TTlsSettings S{.Verify = P.Verify,
                       .CaFile = P.Trust == TCheckCase::tsRootFile ? Pki.RootFile : "",
                       .CaPath = P.Trust == TCheckCase::tsHashedDir ? HashedRootDir() : ""};
  const std::shared_ptr<TTlsContext> Context = TTlsContext::For(S);
  unsetenv("SSL_CERT_DIR");
  TFedSession Client(Context, P.Host, 443);
  TServerPass Pass(Server);
  Pass.Shake(Client);
  const TTlsFacts& Facts = Client.Facts();
  const char* Sent = SSL_get_servername(Pass.Ssl, TLSEXT_NAMETYPE_host_name);
  EXPECT_EQ(std::string(Sent != nullptr ? Sent : ""), P.Sni != nullptr ? P.Sni : P.Host);
  EXPECT_EQ(Facts.Sni, P.Sni != nullptr ? P.Sni : P.Host);
  EXPECT_EQ(Facts.Outcome.VerifyResult, P.Result)
      << X509_verify_cert_error_string(Facts.Outcome.VerifyResult);
  EXPECT_EQ(Facts.Chain.size(), std::size_t(P.Chain));
  EXPECT_EQ(Facts.VerifyWaived, !P.Verify);
  EXPECT_FALSE(Facts.Outcome.CertificateRequested);
  const TKind Refused = !P.Verify || P.Result == X509_V_OK ? std::nullopt : TKind(tkCheck);
  EXPECT_EQ(Thrown([&] { Client.Check(); }), Refused);
  EXPECT_EQ(Facts.Reason.Problem != TTlsProblem::tpNone, Refused.has_value());
  EXPECT_EQ(Thrown([&] { Client.Write("GET", 3); }), Refused);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, TlsChecks,
    ::testing::ValuesIn(std::vector<TCheckCase>{
        {&TTestPki::Good, "good.test", X509_V_OK, 2},
        {&TTestPki::Good, "GOOD.test.", X509_V_OK, 2, "GOOD.test"},
        {&TTestPki::Dotted, "dotted.test", X509_V_OK, 2},
        {&TTestPki::Dotted, "Dotted.test.", X509_V_OK, 2, "Dotted.test"},
        {&TTestPki::Good, "good.test..", X509_V_ERR_HOSTNAME_MISMATCH, 2, "good.test."},
        {&TTestPki::Dotted, "dotted.test..", X509_V_ERR_HOSTNAME_MISMATCH, 2, "dotted.test."},
        {&TTestPki::Good, "good.test", X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 2, {}, true, TCheckCase::tsSystem},
        {&TTestPki::Good, "good.test", X509_V_OK, 2, {}, true, TCheckCase::tsSystemDir},
        {&TTestPki::Good, "good.test", X509_V_OK, 2, {}, true, TCheckCase::tsHashedDir},
        {&TTestPki::Good, "127.0.0.1", X509_V_ERR_IP_ADDRESS_MISMATCH, 2, ""},
        {&TTestPki::Expired, "expired.test", X509_V_ERR_CERT_HAS_EXPIRED, 2},
        {&TTestPki::Expired, "expired.test", X509_V_ERR_CERT_HAS_EXPIRED, 2, {}, false},
        {&TTestPki::NotYetValid, "future.test", X509_V_ERR_CERT_NOT_YET_VALID, 2},
        {&TTestPki::WrongHost, "wrong.test", X509_V_ERR_HOSTNAME_MISMATCH, 2},
        {&TTestPki::Wildcard, "a.wild.test", X509_V_OK, 2},
        {&TTestPki::Wildcard, "wild.test", X509_V_ERR_HOSTNAME_MISMATCH, 2},
        {&TTestPki::Wildcard, "b.a.wild.test", X509_V_ERR_HOSTNAME_MISMATCH, 2},
        {&TTestPki::Ip, "127.0.0.1", X509_V_OK, 2, ""},
        {&TTestPki::Ip, "[::1]", X509_V_OK, 2, ""},
        {&TTestPki::Ip, "127.0.0.2", X509_V_ERR_IP_ADDRESS_MISMATCH, 2, ""},
        {&TTestPki::Ip6, "0:0::1", X509_V_OK, 2, ""},
        {&TTestPki::Ip6, "::ffff:127.0.0.1", X509_V_ERR_IP_ADDRESS_MISMATCH, 2, ""},
        {&TTestPki::ALabel, "xn--bcher-kva.test", X509_V_OK, 2},
        {&TTestPki::SelfSigned, "self.test", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, 1},
        {&TTestPki::Untrusted, "untrusted.test", X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, 2},
        {&TTestPki::LeafOnly, "leafonly.test", X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 1},
        {&TTestPki::Sha1, "sha1.test", X509_V_ERR_CA_MD_TOO_WEAK, 2},
        {&TTestPki::Rsa1024, "rsa1024.test", X509_V_ERR_EE_KEY_TOO_SMALL, 2}}));
// clang-format on

// A certificate that fails several checks is refused for the first OpenSSL met, and told with
// every one, each with its facts; an issuer reported missing twice is one problem.
TEST_F(TlsTest, EveryFailedCheckIsToldWithItsFacts) {
  TServerSide Server(Pki.Expired);
  TFedSession Client(TTlsContext::For({}), "other.test", 443);
  TServerPass(Server).Shake(Client);
  const TTlsReason& R = Client.Facts().Reason;
  EXPECT_EQ(Client.Facts().Outcome.VerifyResult, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
  EXPECT_EQ(R.Problem, TTlsProblem::tpUntrustedAuthority);
  ASSERT_EQ(R.Further.size(), 2u) << ReasonInEnglish(R);
  EXPECT_EQ(R.Further[0].Problem, TTlsProblem::tpNameMismatch);
  EXPECT_EQ(R.Further[0].NamesCovered, std::vector<std::string>{"expired.test"});
  EXPECT_EQ(R.Further[1].Problem, TTlsProblem::tpExpired);
  EXPECT_EQ(R.Further[1].When, Pki.Expired.NotAfter);
}

// A refused certificate accepted by the caller for its host and port goes on, checked and
// marked waived; any other certificate, host or port is refused as before.
TEST_F(TlsTest, AcceptedCertificateGoesOnOnlyForItsServer) {
  TServerSide Server(Pki.Expired);
  TFedSession First(TTlsContext::For(Trusting), "expired.test", 443);
  TServerPass(Server).Shake(First);
  const std::string Leaf = First.Facts().Chain.at(0).Sha256;
  struct {
    TTlsAccepted Accepted;
    bool GoesOn;
  } const Cases[] = {{{"EXPIRED.test", 443, Leaf}, true},
                     {{"expired.test", 444, Leaf}, false},
                     {{"other.test", 443, Leaf}, false},
                     {{"expired.test", 443, std::string(Leaf.size(), 'A')}, false}};
  for (const auto& P : Cases) {
    SCOPED_TRACE(&P - Cases);
    TTlsSettings S = Trusting;
    S.Accepted = {P.Accepted};
    TFedSession Client(TTlsContext::For(S), "expired.test", 443);
    TServerPass(Server).Shake(Client);
    EXPECT_EQ(Thrown([&] { Client.Check(); }), P.GoesOn ? std::nullopt : TKind(tkCheck));
    EXPECT_EQ(Client.Facts().VerifyWaived, P.GoesOn);
    EXPECT_TRUE(Client.Facts().Outcome.Checked);
    EXPECT_EQ(Client.Facts().Reason.Problem, TTlsProblem::tpExpired);
  }
}

struct TResumeCase {
  TPkiCert TTestPki::*Cert;
  const char* Host;
  int ServerMax;
  bool FirstVerify, SecondVerify;
  int SecondPort;
  bool Resumed;
  bool Resume = true;
};
class TlsResumption : public TlsTest, public ::testing::WithParamInterface<TResumeCase> {};

TEST_P(TlsResumption, ResumesOnlyUnderTheSameKeyAndKeepsTheFirstPassFacts) {
  const TResumeCase& P = GetParam();
  TServerSide Server(Pki.*P.Cert, 0, P.ServerMax);
  auto Pass = [&](bool Verify, int Port) {
    const TTlsSettings S{.Verify = Verify, .CaFile = Pki.RootFile, .Resume = P.Resume};
    TFedSession Client(TTlsContext::For(S), P.Host, Port);
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
  EXPECT_EQ(Second.Chain, First.Chain);
  EXPECT_EQ(Second.Outcome.VerifyResult, First.Outcome.VerifyResult);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlsResumption,
    ::testing::ValuesIn(std::vector<TResumeCase>{
        {&TTestPki::Good, "good.test", TLS1_3_VERSION, true, true, 443, true},
        {&TTestPki::Good, "good.test", TLS1_2_VERSION, true, true, 443, true},
        {&TTestPki::Good, "good.test", TLS1_3_VERSION, true, true, 8443, false},
        {&TTestPki::Good, "good.test", TLS1_3_VERSION, false, true, 443, false},
        {&TTestPki::Expired, "expired.test", TLS1_3_VERSION, false, false, 443, true},
        {&TTestPki::Expired, "expired.test", TLS1_2_VERSION, true, true, 443, false},
        {&TTestPki::Good, "good.test", TLS1_3_VERSION, true, true, 443, false, false},
        {&TTestPki::Good, "good.test", TLS1_2_VERSION, true, true, 443, false, false}}));

// One trust store for every context that trusts the same authorities, made once however many
// threads ask at the same time; a store whose file could not be read is not kept, so the file
// mended is read again.
TEST_F(TlsTest, ContextsShareOneStoreForTheSameAuthorities) {
  const auto StoreOf = [](const TTlsSettings& S) {
    return SSL_CTX_get_cert_store(TTlsContext::For(S)->Handle());
  };
  X509_STORE* Other = nullptr;
  std::thread Beside([&] { Other = StoreOf({.Verify = false, .CaFile = Pki.RootFile}); });
  X509_STORE* const Made = StoreOf({.CaFile = Pki.RootFile, .MaxVersion = tv12});
  Beside.join();
  EXPECT_EQ(Made, Other);
  EXPECT_NE(StoreOf({.CaFile = Pki.IntermediateFile}), Made);
  EXPECT_EQ(StoreOf({}), StoreOf({.Verify = false}));
  const std::string Later = Pki.Dir + "/later.pem";
  TTlsContext::For({.Verify = false, .CaFile = Later});
  std::filesystem::copy_file(Pki.RootFile, Later);
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(StoreOf({.CaFile = Later}))), 1);
}

// Two records in one delivery: the second waits undecrypted after the first read, and no
// socket notification will come for it. A header split across deliveries is no record yet.
TEST_F(TlsTest, PlaintextHeldInWholeRecordsIsReadWithoutMoreBytes) {
  TServerSide Server(Pki.Good);
  TFedSession Client(TTlsContext::For(Trusting), "good.test", 443);
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
  char Block[8];
  std::size_t Got = 1;
  EXPECT_EQ(Client.Read(Block, sizeof Block, Got), TTlsWant::twRead);
  EXPECT_EQ(Got, 0u);
  EXPECT_FALSE(Client.Pending());
  Client.Received(Record.data() + 3, Record.size() - 3);
  EXPECT_EQ(ReadAll(Client), "three");
  // A forged record behind a good one in the same delivery: the good one's plaintext first,
  // the forgery's error at the next read.
  Pass.Send("four");
  const std::string Forged = Pass.Take() + std::string("\x17\x03\x03\x00\x20", 5) +
                             std::string(32, 'x');
  Client.Received(Forged.data(), Forged.size());
  EXPECT_EQ(Client.Read(Block, sizeof Block, Got), TTlsWant::twDone);
  EXPECT_EQ(std::string(Block, Got), "four");
  EXPECT_EQ(Thrown([&] { Client.Read(Block, sizeof Block, Got); }), TTlsErrorKind::tkRecord);
}

TEST_F(TlsTest, CloseNotifyIsAnEndAndAnythingElseACut) {
  struct {
    bool CloseNotify;
    std::size_t Keep;  // bytes of the server's last flight that arrive before the end
    TTlsWant Want;
  } const Cases[] = {{true, std::string::npos, TTlsWant::twClosed},
                     {false, std::string::npos, TTlsWant::twCut},
                     {false, 10, TTlsWant::twCut}};
  for (const auto& P : Cases) {
    SCOPED_TRACE(&P - Cases);
    TServerSide Server(Pki.Good);
    TFedSession Client(TTlsContext::For(Trusting), "good.test", 443);
    TServerPass Pass(Server);
    Pass.Shake(Client);
    Client.Check();
    Pass.Send("tail");
    if (P.CloseNotify) SSL_shutdown(Pass.Ssl);
    const std::string Bytes = Pass.Take();
    Client.Received(Bytes.data(), std::min(P.Keep, Bytes.size()));
    Client.Received(nullptr, 0);
    char Block[64];
    std::size_t Got = 0;
    TTlsWant Want = TTlsWant::twDone;
    for (int Guard = 0; Want == TTlsWant::twDone && Guard < 5; ++Guard)
      Want = Client.Read(Block, sizeof Block, Got);
    EXPECT_EQ(Want, P.Want);
    EXPECT_FALSE(Client.Pending());
  }
}

// A server that requires a client certificate: it gets the caller's, or refuses the pass in
// the handshake (TLS 1.2) or at the first read (TLS 1.3, where the client finishes first). A
// server that failed the check never gets the caller's certificate, unless checks are off.
TEST_F(TlsTest, ClientCertificateIsOfferedWhenAskedFor) {
  const testsupport::TPkiCert* const Good = &Pki.Good;
  const testsupport::TPkiCert* const Self = &Pki.SelfSigned;
  struct {
    const testsupport::TPkiCert* Server;
    bool WithCertificate, Verify, Sent, Accept;
    int ServerMax;
    TKind InHandshake, InCheck, InRead;
    int Alert;
    TTlsProblem Problem;
  } const Cases[] = {
      {Good, true, true, true, false, 0, {}, {}, {}, 0, TTlsProblem::tpNone},
      {Good, false, true, false, false, TLS1_2_VERSION, tkHandshake, {}, {},
       SSL_AD_HANDSHAKE_FAILURE, TTlsProblem::tpClientCertificateWanted},
      {Good, false, true, false, false, TLS1_3_VERSION, {}, {}, tkRecord,
       TLS13_AD_CERTIFICATE_REQUIRED, TTlsProblem::tpClientCertificateWanted},
      {Self, true, true, false, false, TLS1_2_VERSION, tkCheck, {}, {}, SSL_AD_HANDSHAKE_FAILURE,
       TTlsProblem::tpSelfSigned},
      {Self, true, true, false, false, TLS1_3_VERSION, {}, tkCheck, {}, 0,
       TTlsProblem::tpSelfSigned},
      {Self, true, false, true, false, 0, {}, {}, {}, 0, TTlsProblem::tpNone},
      {Self, true, true, true, true, 0, {}, {}, {}, 0, TTlsProblem::tpSelfSigned}};
  std::string SelfLeaf;  // the self-signed leaf's fingerprint, as a first pass saw it
  {
    TServerSide Server(Pki.SelfSigned);
    TFedSession First(TTlsContext::For({.Verify = false}), "self.test", 443);
    TServerPass(Server).Shake(First);
    SelfLeaf = First.Facts().Chain.at(0).Sha256;
  }
  for (const auto& P : Cases) {
    SCOPED_TRACE(&P - Cases);
    TServerSide Server(*P.Server, 0, P.ServerMax);
    SSL_CTX_set_verify(Server.Ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_load_verify_file(Server.Ctx, Pki.RootFile.c_str());
    TTlsSettings S{.Verify = P.Verify,
                   .CaFile = Pki.RootFile,
                   .CertFile = P.WithCertificate ? Pki.ClientCombined : ""};
    if (P.Accept) S.Accepted = {{"self.test", 443, SelfLeaf}};
    const std::string Name = P.Server == Good ? "good.test" : "self.test";
    TFedSession Client(TTlsContext::For(S), Name, 443);
    TServerPass Pass(Server);
    EXPECT_EQ(Thrown([&] { Pass.Shake(Client); }), P.InHandshake);
    if (!P.InHandshake) {
      EXPECT_EQ(Thrown([&] { Client.Check(); }), P.InCheck);
    }
    if (!P.InHandshake && !P.InCheck) {
      Pass.Send("ok");
      Pass.To(Client);
      EXPECT_EQ(Thrown([&] { ReadAll(Client); }), P.InRead);
    }
    EXPECT_EQ(SSL_get0_peer_certificate(Pass.Ssl) != nullptr, P.Sent);
    EXPECT_TRUE(Client.Facts().Outcome.CertificateRequested);
    EXPECT_EQ(Client.Facts().Outcome.Alert, P.Alert);
    EXPECT_EQ(Client.Facts().Reason.Problem, P.Problem);
  }
}

TEST_F(TlsTest, UnusableFilesAreErrorsOfTheirOwn) {
  const std::string &Root = Pki.RootFile, &Cert = Pki.Client.Cert, &Key = Pki.ClientKeyEncrypted;
  const std::string Missing = Pki.Dir + "/none";
  const std::pair<TTlsSettings, TKind> Cases[] = {
      {{.CaFile = Root, .CertFile = Cert, .KeyFile = Key}, tkCredentials},
      {{.CaFile = Root, .CertFile = Cert, .KeyFile = Key, .KeyPassphrase = "no"}, tkCredentials},
      {{.CaFile = Root, .CertFile = Cert, .KeyFile = Key, .KeyPassphrase = Pki.ClientPassphrase},
       {}},
      {{.CaFile = Root, .CertFile = Pki.ClientCombined}, {}},
      {{.CaFile = Missing}, tkCaFile},
      {{.CaFile = Pki.Good.Key}, tkCaFile},  // no certificate in it
      {{.Verify = false, .CaFile = Missing}, {}},
      {{.CaPath = Missing}, tkCaPath},
      {{.CaPath = Pki.Dir}, {}}};
  for (const auto& [Settings, Kind] : Cases) {
    std::string Text;
    EXPECT_EQ(Thrown([&] { TTlsContext::For(Settings); }, &Text), Kind)
        << &Settings - &Cases[0].first;
    EXPECT_EQ(Text, Kind == tkCredentials ? "certificate or key unusable" : Text);
  }
}

}  // namespace
