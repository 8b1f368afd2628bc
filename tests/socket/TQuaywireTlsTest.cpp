// The component over TLS against a loopback TLS peer: each capture and send, plaintext held
// by the session while the socket stays silent, the end with and without close_notify, and
// handshakes that go wrong.
#include <poll.h>

#include <ctime>
#include <fstream>
#include <iterator>

#include "tests/socket/SocketFixture.h"
#include "tests/support/TlsPeer.h"
#include "tls/TTlsContext.h"
#include "tls/TTlsSettings.h"

using namespace testsupport;
using K = TTlsStepKind;

namespace {

// StringInTwo: 5 bytes, then the rest, each by its bound: the rest waits in the session.
enum class TCapture { String, StringAtMost, StringInTwo, File, FileAtMost };
struct TTransferCase {
  const char* Name;
  std::vector<std::string> Records;  // the reply, one record each
  bool PeerEnds;                     // close_notify after the reply; else the peer waits
  bool Cut;                          // the peer closes without close_notify
  TCapture Capture;
  std::string Body = "hello world";
};
// One row a case reads best here.
// clang-format off
const std::string Head = "HTTP/1.0 200 OK\r\n";
const std::string Large(300000, 'x');
// Rows that keep the connection open can only end by the body's length: a wait that blocked
// with plaintext held would run into the time-out.
const TTransferCase TransferCases[] = {
    {"StringToCloseNotify", {Head + "\r\n", "hello world"}, true, false, TCapture::String},
    {"FileToCloseNotify", {Head, "\r\n", "hello world"}, true, false, TCapture::File},
    {"LargeStringToCloseNotify", {Head + "\r\n", Large}, true, false, TCapture::String, Large},
    {"StringToCut", {Head + "\r\n", "hello world"}, false, true, TCapture::String},
    {"HeaderEndAndBodyInOneRecord", {Head, "\r\nhello world"}, false, false, TCapture::StringAtMost},
    {"WholeReplyInOneRecord", {Head + "X: 1\r\n\r\nhello world"}, false, false, TCapture::StringAtMost},
    {"WholeReplyInOneRecordToFile", {Head + "\r\nhello world"}, false, false, TCapture::FileAtMost},
    {"BodyLeftInTheSession", {"hello world"}, false, false, TCapture::StringInTwo},
    // Many records read ahead at once: the last ones wait in the session, the socket silent.
    {"LargeBodyReadAheadToItsLength", {Head + "\r\n" + Large}, false, false, TCapture::StringAtMost, Large},
};
// clang-format on
void PrintTo(const TTransferCase& C, std::ostream* Os) { *Os << C.Name; }

TTlsSettings Trusting() {
  TTlsSettings S;
  S.CaFile = TTestPki::Get().RootFile;
  return S;
}

class TlsTransfer : public SocketTest, public ::testing::WithParamInterface<TTransferCase> {};

TEST_P(TlsTransfer, CarriesPlaintextBothWays) {
  const TTransferCase& C = GetParam();
  TTlsScript Steps{{K::Accept}, {K::ReadRequest}};
  for (const std::string& R : C.Records) Steps.push_back({K::Send, R});
  if (C.PeerEnds) Steps.push_back({K::CloseNotify});
  if (!C.Cut) Steps.push_back({K::ReadToEnd});
  TTlsPeer Peer(TTestPki::Get().Good, {Steps});
  Make().TimeOut = 3000;
  ConnectTo(Peer.Port());
  Q->StartTls(Trusting(), "good.test");
  const std::string Request = "GET / HTTP/1.0\r\n\r\n";
  const std::string RequestFile = ::testing::TempDir() + "tls-request";
  std::ofstream(RequestFile) << Request;
  if (C.Capture == TCapture::File)
    Q->SendFile(RequestFile);
  else
    Q->Write(Request);
  while (C.Records[0].starts_with("HTTP/") && Q->ReadLn() != "\r\n") {
  }
  std::string Body;
  const std::string BodyFile = ::testing::TempDir() + "tls-body";
  const auto Size = static_cast<std::int64_t>(C.Body.size());
  switch (C.Capture) {
    case TCapture::String: Q->CaptureString(Body, -1); break;
    case TCapture::StringAtMost: Q->CaptureStringAtMost(Body, Size); break;
    case TCapture::StringInTwo: {
      std::string Rest;
      Q->CaptureStringAtMost(Body, 5);
      Q->CaptureStringAtMost(Rest, Size - 5);
      Body += Rest;
      break;
    }
    case TCapture::File: Q->CaptureFile(BodyFile); break;
    case TCapture::FileAtMost: Q->CaptureFileAtMost(BodyFile, Size); break;
  }
  if (C.Capture >= TCapture::File) {
    std::ifstream In(BodyFile, std::ios::binary);
    Body.assign(std::istreambuf_iterator<char>(In), {});
  }
  EXPECT_EQ(Body, C.Body);
  EXPECT_EQ(Q->BytesRecvd, C.Capture == TCapture::StringInTwo ? Size - 5 : Size);
  EXPECT_EQ(Q->TlsCut(), C.Cut);
  Q->Disconnect();
  EXPECT_FALSE(Q->TlsActive());  // whether the peer ended the session first or not
  ASSERT_TRUE(Peer.Finished());
  EXPECT_EQ(Peer.Received(), Lines{Request});
  EXPECT_EQ(Peer.CloseNotified()[0], !C.Cut);  // the component's close_notify reached it
}

INSTANTIATE_TEST_SUITE_P(Table, TlsTransfer, ::testing::ValuesIn(TransferCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// The handshake's last flight waits to leave with the first request bytes: a peer that speaks
// first (it needs that flight to end its handshake) gets it when the component starts to read.
TEST_F(SocketTest, TlsPeerThatSpeaksFirstEndsItsHandshake) {
  TTlsPeer Peer(TTestPki::Get().Good, {{{K::Accept}, {K::Send, "hello"}, {K::CloseNotify}}});
  Make().TimeOut = 3000;
  ConnectTo(Peer.Port());
  Q->StartTls(Trusting(), "good.test");
  std::string Body;
  Q->CaptureString(Body, -1);
  EXPECT_EQ(Body, "hello");
  Q->Disconnect();
  ASSERT_TRUE(Peer.Finished());
}

struct THandshakeCase {
  const char* Name;
  TTlsScript Steps;
  TPkiCert TTestPki::*Cert;
  TSockCause Cause;
  TSockStep Step;
  std::size_t ChainBytes = 0;
};
// clang-format off
const THandshakeCase HandshakeCases[] = {
    {"ServerHelloNeverComes", {{K::ReadRaw}, {K::Stall}}, &TTestPki::Good, TSockCause::scTimedOut,
     TSockStep::ssHandshake},
    {"GarbageInsteadOfHandshake", {{K::ReadRaw}, {K::Raw, "HTTP/1.0 400 Bad\r\n\r\n"}, {K::Stall}},
     &TTestPki::Good, TSockCause::scError, TSockStep::ssHandshake},
    {"ResetMidHandshake", {{K::ReadRaw}, {K::Reset}}, &TTestPki::Good, TSockCause::scError,
     TSockStep::ssHandshake},
    {"ChainOfOneMegabyte", {{K::Accept}, {K::ReadToEnd}}, &TTestPki::Good,
     TSockCause::scError, TSockStep::ssHandshake, std::size_t{1} << 20},
    // The handshake completes; the check fails and no byte of the caller's may follow.
    {"CheckFails", {{K::Accept}, {K::ReadToEnd}}, &TTestPki::Untrusted, TSockCause::scError,
     TSockStep::ssCertificate},
};
// clang-format on
void PrintTo(const THandshakeCase& C, std::ostream* Os) { *Os << C.Name; }

double ThreadCpuSeconds() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

class TlsHandshake : public SocketTest, public ::testing::WithParamInterface<THandshakeCase> {};

TEST_P(TlsHandshake, FailsAtItsStepWithoutSpinningOrSending) {
  const THandshakeCase& C = GetParam();
  const TPkiCert& Cert = TTestPki::Get().*C.Cert;
  TTlsPeer Peer(Cert, {C.Steps}, C.ChainBytes);
  Make().TimeOut = 400;
  ConnectTo(Peer.Port());
  const double CpuBefore = ThreadCpuSeconds();
  try {
    Q->StartTls(Trusting(), Cert.Host);
    ADD_FAILURE() << "the handshake passed";
  } catch (const ESockError& E) {
    EXPECT_EQ(E.Step(), C.Step) << E.what();
    EXPECT_EQ(E.Cause(), C.Cause) << E.what();
  }
  if (C.Cause == TSockCause::scTimedOut) {  // a silent server costs no CPU
    EXPECT_LT(ThreadCpuSeconds() - CpuBefore, 0.1);
  }
  EXPECT_THROW(Q->Write("GET / HTTP/1.0\r\n\r\n"), ESockError);
  Q->Disconnect();
  ASSERT_TRUE(Peer.Finished());
  EXPECT_EQ(Peer.Received().at(0).find("GET"), std::string::npos);  // raw reads hold the hello
}

INSTANTIATE_TEST_SUITE_P(Table, TlsHandshake, ::testing::ValuesIn(HandshakeCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// A server that closes without close_notify right after its reply: the reads stop at the end
// its length told, so that close is no cut and the next connection resumes; a close that cuts
// the body short still spoils the session.
TEST_F(SocketTest, CloseAfterAWholeReplyKeepsTheSession) {
  for (const auto& [Length, Resumed] : {std::pair{5, true}, std::pair{9, false}}) {
    const std::string Reply =
        "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(Length) + "\r\n\r\nhello";
    TTlsPeer Peer(TTestPki::Get().Good, {{{K::Accept}, {K::ReadRequest}, {K::Send, Reply}},
                                         {{K::Accept}, {K::ReadToEnd}}});
    TTlsContext::ClearCache();
    Make().TimeOut = 3000;
    ConnectTo(Peer.Port());
    Q->StartTls(Trusting(), "good.test");
    Q->Write("GET / HTTP/1.0\r\n\r\n");
    pollfd Closed{Q->SocketHandle, POLLRDHUP, 0};
    ::poll(&Closed, 1, 10000);  // the close is in before the reply is read
    while (Q->ReadLn() != "\r\n") {
    }
    std::string Body;
    Q->CaptureStringAtMost(Body, Length);
    EXPECT_EQ(Body, "hello");
    Q->Disconnect();
    ConnectTo(Peer.Port());
    Q->StartTls(Trusting(), "good.test");
    EXPECT_EQ(Q->TlsFacts()->Resumed, Resumed) << Length;
    Q->Disconnect();
  }
}

// A handler that writes while the session is being ended is refused: nothing goes out in the
// clear after it, and the peer gets its close_notify.
TEST_F(SocketTest, NoSendInTheClearOnceTheSessionIsEnded) {
  TTlsPeer Peer(TTestPki::Get().Good, {{{K::Accept}, {K::ReadRequest}, {K::ReadToEnd}}});
  Make().TimeOut = 3000;
  ConnectTo(Peer.Port());
  Q->StartTls(Trusting(), "good.test");
  Q->Write("GET / HTTP/1.0\r\n\r\n");
  std::string Refused;
  Q->ReportLevel = 8;
  Q->OnStatus = [&](TObject*, const std::string& Text) {
    if (Text != "TLS Close") return;
    try {
      Q->Write("secret");
    } catch (const std::exception& E) {
      Refused = E.what();
    }
  };
  Q->Disconnect();
  ASSERT_TRUE(Peer.Finished());
  EXPECT_EQ(Refused, "Cannot send: the TLS session is closed");
  EXPECT_EQ(Peer.Received(), Lines{"GET / HTTP/1.0\r\n\r\n"});
  EXPECT_TRUE(Peer.CloseNotified()[0]);
}

// A record that cannot be read ends the read that met it, and what is read after it holds no
// byte the session never gave (the room a peek made for the plaintext it pulled).
TEST_F(SocketTest, FailedPeekHandsOutNoEmptyRoom) {
  const std::string Forged = std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'U');
  TTlsPeer Peer(TTestPki::Get().Good,
                {{{K::Accept}, {K::ReadRequest}, {K::Send, "abc"}, {K::Raw, Forged}, {K::Stall}}});
  Make().TimeOut = 3000;
  ConnectTo(Peer.Port());
  Q->StartTls(Trusting(), "good.test");
  Q->Write("GET / HTTP/1.0\r\n\r\n");
  EXPECT_THROW(Q->ReadLn(), std::exception);
  std::string Body;
  EXPECT_THROW(Q->CaptureString(Body, -1), std::exception);
  EXPECT_EQ(Body.find('\0'), std::string::npos) << Body.size();
  Q->Disconnect();
}

}  // namespace

// A connection handed from one component to another, in the clear and over TLS: the adopter
// reads on where the first left off (past the line its look-ahead handed out, from the bytes
// it had peeked), writes, and hears the connection's close; the first gets a fresh socket
// and hears nothing more of it.
TEST_F(SocketTest, ConnectionHandedOnGoesOnWithTheAdopter) {
  const std::string Reply = "one\r\ntwo\r\nbody";
  for (const bool Tls : {false, true}) {
    SCOPED_TRACE(Tls);
    TTlsPeer Peer(TTestPki::Get().Good,
                  {Tls ? TTlsScript{{K::Accept}, {K::ReadRequest}, {K::Send, Reply},
                                    {K::ReadRequest}, {K::CloseNotify}}
                       : TTlsScript{{K::ReadRaw}, {K::Raw, Reply}, {K::ReadRaw}}});
    TQuaywire& First = Make();
    First.TimeOut = 3000;
    ConnectTo(Peer.Port());
    if (Tls) First.StartTls(Trusting(), "good.test");
    First.Write("A\r\n\r\n");
    EXPECT_EQ(First.ReadLn(), "one\r\n");
    const std::uint16_t Handle = First.SocketHandle;
    TOwned<TQuaywire> Second;
    Second.reset(new TQuaywire(nullptr));
    Second->TimeOut = 3000;
    bool Closed = false;
    Second->OnDisconnect = [&](TObject*) { Closed = true; };
    Second->AdoptConnection(First.ReleaseConnection());
    EXPECT_FALSE(First.Connected);
    EXPECT_NE(First.SocketHandle, Handle);
    EXPECT_EQ(First.TlsFacts(), nullptr);
    EXPECT_EQ(Second->SocketHandle, Handle);
    EXPECT_EQ(Second->TlsFacts() != nullptr, Tls);
    EXPECT_EQ(Second->ReadLn(), "two\r\n");
    Second->Write("B\r\n\r\n");
    std::string Body;
    Second->CaptureString(Body, -1);
    EXPECT_EQ(Body, "body");
    EXPECT_EQ(Second->BytesRecvd, 4);
    EXPECT_EQ(First.BytesRecvd, 0);
    EXPECT_TRUE(PumpUntil([&] { return Closed; }));  // the close came to the adopter
    Second->Disconnect();
    ASSERT_TRUE(Peer.Finished());
    EXPECT_EQ(Peer.Received().at(0), "A\r\n\r\nB\r\n\r\n");
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "(OnDisconnect)"), 0);
  }
}
