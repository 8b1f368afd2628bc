// Content codings in the component: what it offers, and each kind of coded body as it
// arrives, with AcceptEncoding on and off.
#include "tests/http/HttpFixture.h"
#include "tests/support/CodedBodies.h"

using testsupport::Brotli;
using testsupport::ScriptedHttpServer;
using testsupport::Whole;

namespace {

std::string Gzip(const std::string& In) { return testsupport::Zlib(In, 31); }

std::string Chunked(const std::string& Body) {
  std::string Out;
  for (std::size_t At = 0; At < Body.size(); At += 100) {
    const std::string Piece = Body.substr(At, 100);
    char Size[16];
    std::snprintf(Size, sizeof Size, "%zx\r\n", Piece.size());
    Out += Size + Piece + "\r\n";
  }
  return Out + "0\r\n\r\n";
}

const std::string Plain = [] {
  std::string S;
  for (int I = 0; I < 3000; ++I) S += "line " + std::to_string(I * 7919 % 10007) + "\n";
  return S;
}();
const std::string Zipped = Gzip(Plain);
const std::string Cut = Zipped.substr(0, Zipped.size() / 2);

struct CodingCase {
  const char* Name;
  bool Accept;
  std::string Coding;       // the Content-Encoding line's value, "" for none
  std::string Wire;         // the body as sent
  bool Chunk;               // sent chunked, else with its Content-Length
  std::string Body;         // as kept; "" with Prefix: a start of Plain, not all of it
  std::string Error;        // the start of the request's error
  std::string Report = "";  // a status text the component gives
  bool Prefix = false;
};

const CodingCase CodingCases[] = {
    {"Gzip", true, "gzip", Zipped, false, Plain, ""},
    {"GzipThenBrotli", true, "gzip, br", Brotli(Zipped), false, Plain, ""},
    {"ChunkedGzip", true, "gzip", Zipped, true, Plain, ""},
    {"UnknownKeptAsItCame", true, "compress", "abcdefgh", false, "abcdefgh", "",
     "Content-Encoding not decoded: compress"},
    {"CutGzipKeepsWhatDecoded", true, "gzip", Cut, false, "",
     "Error while processing content unencoding: the coded body ends inside", "", true},
    {"OffKeepsTheCodedBody", false, "gzip", Zipped, false, Zipped, ""},
    {"OffKeepsChunkedCoded", false, "gzip", Zipped, true, Zipped, ""},
};

void PrintTo(const CodingCase& C, std::ostream* Os) { *Os << C.Name; }

class CodedReply : public HttpTest, public ::testing::WithParamInterface<CodingCase> {};

TEST_P(CodedReply, Received) {
  const CodingCase& C = GetParam();
  std::string Reply = "HTTP/1.0 200 OK\r\n";
  if (!C.Coding.empty()) Reply += "Content-Encoding: " + C.Coding + "\r\n";
  Reply += C.Chunk ? "Transfer-Encoding: chunked\r\n\r\n" + Chunked(C.Wire)
                   : "Content-Length: " + std::to_string(C.Wire.size()) + "\r\n\r\n" + C.Wire;
  ScriptedHttpServer Server({Whole(Reply)});
  auto& H = Make();
  H.AcceptEncoding = C.Accept;
  const std::string Error = ErrorOf([&] { H.Get(At(Server.Port())); });
  EXPECT_EQ(Error.substr(0, C.Error.size()), C.Error) << Error;
  EXPECT_EQ(Error.empty(), C.Error.empty()) << Error;
  if (C.Prefix) {
    EXPECT_GT(H.Body.size(), 0U);
    EXPECT_LT(H.Body.size(), Plain.size());
    EXPECT_EQ(Plain.substr(0, H.Body.size()), H.Body);
  } else {
    EXPECT_EQ(H.Body, C.Body);
  }
  // Counted as they came on the wire, the chunked framing off.
  EXPECT_EQ(H.BytesRecvd, static_cast<std::int64_t>(C.Wire.size()));
  EXPECT_FALSE(H.BodyShort());
  EXPECT_EQ(H.BodyDecoded(), C.Accept && C.Report.empty());
  if (H.BodyDecoded()) {
    EXPECT_EQ(H.BodyDecodedBytes(), std::ssize(H.Body));
  }
  const bool Reported = std::find(Log.begin(), Log.end(), C.Report) != Log.end();
  EXPECT_EQ(Reported, !C.Report.empty());
  const std::string Sent = Server.Requests().at(0);
  const std::string Offer = "\r\nAccept-Encoding: deflate, gzip, br, zstd\r\n";
  EXPECT_EQ(Sent.find("*/*, application/postscript" + Offer) != std::string::npos, C.Accept)
      << Sent;
}

INSTANTIATE_TEST_SUITE_P(Codings, CodedReply, ::testing::ValuesIn(CodingCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// A few coded bytes that stand for far more: the bound stops them, keeping what it allows;
// into the sink as into the text.
TEST_F(HttpTest, BombStoppedAtTheBound) {
  const std::string Bomb = Gzip(Gzip(std::string(std::size_t{64} << 20, '\0')));
  const std::string Reply = "HTTP/1.0 200 OK\r\nContent-Encoding: gzip, gzip\r\n\r\n" + Bomb;
  for (const bool ToSink : {false, true}) {
    ScriptedHttpServer Server({Whole(Reply)});
    auto& H = Make();
    H.AcceptEncoding = true;
    std::int64_t Sunk = 0;
    if (ToSink) H.BodySink = [&](std::string_view Block) { Sunk += std::ssize(Block); };
    EXPECT_EQ(ErrorOf([&] { H.Get(At(Server.Port())); }).substr(0, 23), "Decoded body too large:");
    EXPECT_EQ(ToSink ? Sunk : std::ssize(H.Body), std::int64_t{1} << 20);
    EXPECT_EQ(H.BytesRecvd, std::ssize(Bomb));
  }
}

// A coded body cut short of its length is short, as any body is, not a coding's fault.
TEST_F(HttpTest, CodedBodyShortOfItsLengthIsShort) {
  ScriptedHttpServer Server({Whole("HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                   std::to_string(Zipped.size()) + "\r\n\r\n" + Cut)});
  auto& H = Make();
  H.AcceptEncoding = true;
  EXPECT_EQ(ErrorOf([&] { H.Get(At(Server.Port())); }), "");
  EXPECT_TRUE(H.BodyShort());
  EXPECT_EQ(Plain.substr(0, H.Body.size()), H.Body);
}

// The caller's own Accept-Encoding is sent in place of the component's.
TEST_F(HttpTest, CallersAcceptEncodingWins) {
  ScriptedHttpServer Server({Whole("HTTP/1.0 200 OK\r\n\r\n")});
  auto& H = Make();
  H.AcceptEncoding = true;
  H.CustomHeaders = {"Accept-Encoding: gzip"};
  H.Get(At(Server.Port()));
  const std::string Sent = Server.Requests().at(0);
  EXPECT_NE(Sent.find("\r\nAccept-Encoding: gzip\r\n"), std::string::npos);
  EXPECT_EQ(Sent.find("deflate, gzip"), std::string::npos);
}

}  // namespace
