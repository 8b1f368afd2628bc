// Base64 and uuencode lines: known vectors, stream positions, failing and stalling streams,
// and a round trip through a decoder written here from the Base64 rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/Exception.h"
#include "base/TMemoryStream.h"
#include "http/TVelUUProcessor.h"

namespace {

std::string Bytes(int Count) {
  std::string S;
  for (int K = 0; K < Count; ++K) S += static_cast<char>((K * 37 + 11) & 0xFF);
  return S;
}

void Fill(TMemoryStream& Stream, const std::string& Data) {
  Stream.Clear();
  Stream.WriteBuffer(Data.data(), static_cast<std::int64_t>(Data.size()));
}

class UUProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Processor->InputStream = &In;
    Processor->OutputStream = &Out;
    Processor->OnBeginEncode = [this](TObject* Sender) {
      EXPECT_EQ(Sender, Processor.get());
      Events += 'B';
    };
    Processor->OnEndEncode = [this](TObject* Sender) {
      EXPECT_EQ(Sender, Processor.get());
      EXPECT_EQ(Out.Position(), 0);
      Events += 'E';
    };
  }

  std::string Encode(const std::string& Data, UUMethods Method) {
    Fill(In, Data);
    Out.Clear();
    Events.clear();
    Processor->Method = Method;
    Processor->Encode();
    return Out.DataString();
  }

  TMemoryStream In;
  TMemoryStream Out;
  TOwned<TVelUUProcessor> Processor{new TVelUUProcessor(nullptr)};
  std::string Events;
};

struct Vector {
  int Length;  // input: Bytes(Length), or "a", "ab", "abc" for 1..3
  const char* Mime;
  const char* Uu;
};

std::string VectorInput(int Length) {
  return Length <= 3 ? std::string("abc", static_cast<std::size_t>(Length)) : Bytes(Length);
}

const Vector Vectors[] = {
    {0, "", "`\r\n"},
    {1, "YQ==\r\n", "!80\r\n`\r\n"},
    {2, "YWI=\r\n", "\"86(\r\n`\r\n"},
    {3, "YWJj\r\n", "#86)C\r\n`\r\n"},
    {45, "CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYar0PUaP2SJrtP4HUJn\r\n",
     R"x(M"S!5>I_$Z0XS6'VBQ^P1-EN`I<KO%#E>@ZC-\A<\88:KT/4:/V2)KM/X'4)G)x"
     "\r\n`\r\n"},
    {46, "CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYar0PUaP2SJrtP4HUJn\r\njA==\r\n",
     R"x(M"S!5>I_$Z0XS6'VBQ^P1-EN`I<KO%#E>@ZC-\A<\88:KT/4:/V2)KM/X'4)G)x"
     "\r\n!C`\r\n`\r\n"},
};

TEST_F(UUProcessorTest, KnownVectorsInBothModes) {
  for (const Vector& V : Vectors) {
    SCOPED_TRACE("length " + std::to_string(V.Length));
    EXPECT_EQ(Encode(VectorInput(V.Length), uuMime), V.Mime);
    EXPECT_EQ(Events, "BE");
    EXPECT_EQ(In.Position(), V.Length);
    EXPECT_EQ(Encode(VectorInput(V.Length), uuCode), V.Uu);
    EXPECT_EQ(Events, "BE");
    EXPECT_EQ(Out.Position(), 0);
  }
}

TEST_F(UUProcessorTest, BasicCredentialsAreOneBase64Line) {
  EXPECT_EQ(Encode("Aladdin:open sesame", uuMime), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==\r\n");
}

TEST_F(UUProcessorTest, EncodesFromTheFirstByteWhateverTheInputPosition) {
  Fill(In, "abc");
  In.SetPosition(2);
  Processor->Encode();
  EXPECT_EQ(Out.DataString(), "YWJj\r\n");
  EXPECT_EQ(In.Position(), 3);
}

TEST_F(UUProcessorTest, AppendsAtTheOutputPositionThenRewinds) {
  Fill(In, "abc");
  Fill(Out, "0123456789");
  Out.SetPosition(4);
  Processor->Method = uuCode;
  Processor->Encode();
  EXPECT_EQ(Out.Position(), 0);
  EXPECT_EQ(Out.DataString(), "0123#86)C\r\n`\r\n");
}

TEST_F(UUProcessorTest, MethodChangeTakesEffectOnTheNextCall) {
  EXPECT_EQ(Encode("a", uuCode), "!80\r\n`\r\n");
  EXPECT_EQ(Encode("a", uuMime), "YQ==\r\n");
}

TEST_F(UUProcessorTest, UnsetStreamIsRefusedBeforeAnyEvent) {
  Processor->OutputStream = nullptr;
  Events.clear();
  EXPECT_THROW(Processor->Encode(), Exception);
  Processor->OutputStream = &Out;
  Processor->InputStream = nullptr;
  EXPECT_THROW(Processor->Encode(), Exception);
  EXPECT_EQ(Events, "");
}

// Refuses every write after the first few.
class FailingStream : public TMemoryStream {
 public:
  std::int64_t Write(const void* Buffer, std::int64_t Count) override {
    if (Writes++ >= Allowed) throw EWriteError("Stream write error");
    return TMemoryStream::Write(Buffer, Count);
  }
  int Writes = 0;
  int Allowed = 1;
};

TEST_F(UUProcessorTest, WriteErrorStillRewindsAndEndsThenReachesTheCaller) {
  FailingStream Failing;
  Processor->OutputStream = &Failing;
  Processor->OnEndEncode = [&](TObject*) {
    EXPECT_EQ(Failing.Position(), 0);
    Events += 'E';
  };
  Fill(In, Bytes(100));
  EXPECT_THROW(Processor->Encode(), EWriteError);
  EXPECT_EQ(Events, "BE");
  // The first line went out before the failing write and stays.
  EXPECT_EQ(Failing.DataString(), Vectors[4].Mime);
}

// Hands out at most a few bytes per read, as a pipe or socket might.
class TricklingStream : public TMemoryStream {
 public:
  std::int64_t Read(void* Buffer, std::int64_t Count) override {
    return TMemoryStream::Read(Buffer, std::min<std::int64_t>(Count, 7));
  }
};

TEST_F(UUProcessorTest, ShortReadsGiveTheSameLines) {
  for (UUMethods Method : {uuMime, uuCode}) {
    std::string Expected = Encode(Bytes(200), Method);
    TricklingStream Trickling;
    Fill(Trickling, Bytes(200));
    Processor->InputStream = &Trickling;
    Out.Clear();
    Processor->Encode();
    EXPECT_EQ(Out.DataString(), Expected);
    Processor->InputStream = &In;
  }
}

// Claims more bytes than it can deliver. The read budget is a tripwire: an encoder that kept
// asking would fail here instead of hanging.
class StallingStream : public TStream {
 public:
  explicit StallingStream(std::string AData) : Data(std::move(AData)) {}
  std::int64_t Read(void* Buffer, std::int64_t Count) override {
    if (++Reads > 100) throw EReadError("read budget exceeded");
    std::int64_t N = std::min<std::int64_t>(Count, static_cast<std::int64_t>(Data.size()) - Pos);
    if (N <= 0) return 0;
    std::memcpy(Buffer, Data.data() + Pos, static_cast<std::size_t>(N));
    Pos += N;
    return N;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override {
    Pos = (Origin == TSeekOrigin::soCurrent ? Pos
           : Origin == TSeekOrigin::soEnd   ? Size()
                                            : 0) +
          Offset;
    return Pos;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(Data.size()) + 1000; }
  void SetSize(std::int64_t) override {}

  std::string Data;
  std::int64_t Pos = 0;
  int Reads = 0;
};

TEST_F(UUProcessorTest, StallingInputEndsTheData) {
  StallingStream Stalling("abcd");
  Processor->InputStream = &Stalling;
  Processor->Method = uuCode;
  Processor->Encode();
  EXPECT_EQ(Out.DataString(), "$86)C9`\r\n`\r\n");
  EXPECT_EQ(Events, "BE");
}

// Base64 decoding as RFC 4648 states it, one line at a time, strict about padding and
// line length.
std::string DecodeMimeLines(const std::string& Text) {
  static const std::string Alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Result;
  std::size_t Start = 0;
  while (Start < Text.size()) {
    std::size_t End = Text.find("\r\n", Start);
    if (End == std::string::npos) ADD_FAILURE() << "line without CR LF";
    if (End == std::string::npos) break;
    std::string Line = Text.substr(Start, End - Start);
    Start = End + 2;
    EXPECT_TRUE(!Line.empty() && Line.size() % 4 == 0 && Line.size() <= 60) << Line;
    std::uint32_t Bits = 0;
    int Held = 0;
    for (std::size_t K = 0; K < Line.size(); ++K) {
      if (Line[K] == '=') {
        EXPECT_GE(K + 2, Line.size()) << "padding inside a line: " << Line;
        break;
      }
      std::size_t V = Alphabet.find(Line[K]);
      EXPECT_NE(V, std::string::npos) << Line;
      Bits = (Bits << 6) | static_cast<std::uint32_t>(V & 63);
      Held += 6;
      if (Held >= 8) {
        Held -= 8;
        Result += static_cast<char>((Bits >> Held) & 0xFF);
      }
    }
  }
  return Result;
}

TEST_F(UUProcessorTest, RandomInputsRoundTripThroughAnIndependentDecoder) {
  std::mt19937 Random(20240611);
  std::uniform_int_distribution<int> Byte(0, 255);
  std::uniform_int_distribution<int> Length(0, 400);
  for (int Round = 0; Round < 300; ++Round) {
    int N = Round < 100 ? Round : Length(Random);
    std::string Data;
    for (int K = 0; K < N; ++K) Data += static_cast<char>(Byte(Random));
    std::string Text = Encode(Data, uuMime);
    ASSERT_EQ(DecodeMimeLines(Text), Data) << "length " << N;
    ASSERT_EQ(Text.size(), static_cast<std::size_t>((N + 44) / 45 * 2 + (N + 2) / 3 * 4));
  }
}

TEST(UUProcessorLifetime, OwnerFreesIt) {
  TComponent Owner(nullptr);
  auto* Processor = new TVelUUProcessor(&Owner);
  EXPECT_EQ(Processor->Method, uuMime);
  EXPECT_EQ(Processor->InputStream, nullptr);
  EXPECT_EQ(Owner.ComponentCount(), 1);
}

}  // namespace
