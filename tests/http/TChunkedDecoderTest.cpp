// The chunked-coding decoder and the body output it feeds, by tables: each input decoded
// whole, split in two at every byte, and fed one byte at a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/TMemoryStream.h"
#include "http/HttpErrors.h"
#include "http/TBodyOutput.h"
#include "http/TChunkedDecoder.h"

namespace {

enum TOutcome { Finished, Unfinished, Malformed };

struct ChunkCase {
  const char* Name;
  std::string Input;
  std::string Decoded;  // what reached the output (before the error, if any)
  TOutcome Outcome;
  std::size_t Rest = 0;  // bytes after the body's end, not taken (Finished only)
};

const std::string Long16(16, 'f');

const ChunkCase ChunkCases[] = {
    {"OneChunk", "5\r\nhello\r\n0\r\n\r\n", "hello", Finished},
    {"TwoChunksUpperAndLowerHex", "3\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n", "abc0123456789",
     Finished},
    {"LowerHex", "a\r\n0123456789\r\n0\r\n\r\n", "0123456789", Finished},
    {"ExtensionsIgnored", "3;name=value;x\r\nabc\r\n0;last\r\n\r\n", "abc", Finished},
    {"BlankBeforeExtension", "3 ;n\r\nabc\r\n0\r\n\r\n", "abc", Finished},
    {"Trailers", "2\r\nok\r\n0\r\nX-Sum: 1\r\nY: 2\r\n\r\n", "ok", Finished},
    {"BareLineFeeds", "2\nok\n0\nT: 1\n\n", "ok", Finished},
    {"LeadingZeros", "0002\r\nok\r\n00\r\n\r\n", "ok", Finished},
    {"WhatFollowsIsNotBody", "1\r\nx\r\n0\r\n\r\nHTTP/1.0 200", "x", Finished, 12},
    {"CRLFInsideData", "4\r\n\r\n\r\n\r\n0\r\n\r\n", "\r\n\r\n", Finished},
    {"CutInData", "5\r\nhel", "hel", Unfinished},
    {"CutBeforeTrailerEnd", "1\r\nx\r\n0\r\n", "x", Unfinished},
    {"Empty", "", "", Unfinished},
    {"NoDigits", "\r\nx\r\n", "", Malformed},
    {"NotHex", "g\r\n", "", Malformed},
    {"SignedSize", "-1\r\nx\r\n", "", Malformed},
    {"DigitAfterJunk", "1x\r\nx\r\n0\r\n\r\n", "", Malformed},
    {"DataLongerThanSize", "2\r\nabc\r\n0\r\n\r\n", "ab", Malformed},
    {"CRWithoutLF", "2\rok\r\n", "", Malformed},
    {"DataNotFollowedByCRLF", "2\r\nok\rx", "ok", Malformed},
    {"SizeBeyond60Bits", Long16 + "\r\n", "", Malformed},
    {"TrailerCRWithoutLF", "0\r\nT: 1\rx", "", Malformed},
};

void PrintTo(const ChunkCase& C, std::ostream* Os) { *Os << C.Name; }

// Feeds the pieces in order; returns the outcome, with the decoded text and the body's
// consumed count.
TOutcome Decode(const std::vector<std::string>& Pieces, std::string& Decoded,
                std::size_t& Consumed) {
  TChunkedDecoder D;
  Consumed = 0;
  try {
    for (const auto& P : Pieces) {
      if (D.Finished()) break;
      Consumed += D.Feed(P.data(), P.size(), [&](std::string_view S) { Decoded.append(S); });
    }
  } catch (const EHttpMalformedChunk& E) {
    EXPECT_STREQ(E.what(), "Malformed chunked body");
    return Malformed;
  }
  return D.Finished() ? Finished : Unfinished;
}

class ChunkedDecoding : public ::testing::TestWithParam<ChunkCase> {
 protected:
  void Check(const std::vector<std::string>& Pieces) {
    const ChunkCase& C = GetParam();
    std::string Decoded;
    std::size_t Consumed = 0;
    EXPECT_EQ(Decode(Pieces, Decoded, Consumed), C.Outcome);
    EXPECT_EQ(Decoded, C.Decoded);
    if (C.Outcome == Finished) {
      EXPECT_EQ(Consumed, C.Input.size() - C.Rest);
    }
  }
};

TEST_P(ChunkedDecoding, Whole) { Check({GetParam().Input}); }

TEST_P(ChunkedDecoding, SplitAtEveryByte) {
  const std::string& In = GetParam().Input;
  for (std::size_t At = 1; At < In.size(); ++At) {
    SCOPED_TRACE("split at " + std::to_string(At));
    Check({In.substr(0, At), In.substr(At)});
  }
}

TEST_P(ChunkedDecoding, ByteByByte) {
  std::vector<std::string> Pieces;
  for (const char C : GetParam().Input) Pieces.emplace_back(1, C);
  Check(Pieces);
}

INSTANTIATE_TEST_SUITE_P(Table, ChunkedDecoding, ::testing::ValuesIn(ChunkCases),
                         [](const auto& I) { return std::string(I.param.Name); });

TEST(ChunkedDecoder, EndlessSizeLineOrTrailerIsMalformed) {
  const std::string EndlessExtension = "1;" + std::string(TChunkedDecoder::MaxLineSize + 1, 'e');
  const std::string EndlessTrailer = "0\r\n" + std::string(TChunkedDecoder::MaxLineSize + 1, 't');
  for (const auto& In : {EndlessExtension, EndlessTrailer}) {
    TChunkedDecoder D;
    EXPECT_THROW(D.Feed(In.data(), In.size(), [](std::string_view) {}), EHttpMalformedChunk);
  }
}

// TBodyOutput: every destination, with and without the coding, under and over the bound.
TEST(BodyOutput, BoundKeepsExactlyTheFirstBytesInEveryDestination) {
  const struct {
    const char* Name;
    std::vector<std::string> Blocks;
    bool Chunked;
    std::int64_t Limit;
    std::string Kept;
    bool Over;
  } Rows[] = {
      {"NoBound", {"abc", "def"}, false, 0, "abcdef", false},
      {"ExactlyAtTheBound", {"abc", "def"}, false, 6, "abcdef", false},
      {"OverInTheSecondBlock", {"abc", "def"}, false, 4, "abcd", true},
      {"OverInTheFirstBlock", {"abcdef"}, false, 2, "ab", true},
      {"ChunkedCountsDecodedBytes",
       {"3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n"},
       true,
       6,
       "abcdef",
       false},
      {"ChunkedOver", {"3\r\nabc\r\n", "3\r\ndef\r\n0\r\n\r\n"}, true, 5, "abcde", true},
  };
  for (const auto& R : Rows) {
    SCOPED_TRACE(R.Name);
    std::string Text;
    TMemoryStream File;
    std::string Sunk;
    TBodyOutput Outputs[] = {
        {&Text, nullptr, nullptr, R.Limit, R.Chunked},
        {nullptr, &File, nullptr, R.Limit, R.Chunked},
        {nullptr, nullptr, [&](std::string_view B) { Sunk.append(B); }, R.Limit, R.Chunked}};
    for (auto& Out : Outputs) {
      bool Over = false;
      std::int64_t Given = 0;
      try {
        for (const auto& B : R.Blocks) Given += Out.Take(B.data(), B.size());
        Out.Closed();
      } catch (const EHttpBodyTooLarge& E) {
        Over = true;
        EXPECT_EQ(E.Limit(), R.Limit);
        EXPECT_EQ(std::string(E.what()),
                  "Reply body larger than " + std::to_string(R.Limit) + " bytes");
      }
      EXPECT_EQ(Over, R.Over);
      EXPECT_EQ(Out.Delivered(), static_cast<std::int64_t>(R.Kept.size()));
      if (!Over) {
        EXPECT_EQ(Given, Out.Delivered());
      }
    }
    EXPECT_EQ(Text, R.Kept);
    EXPECT_EQ(File.DataString(), R.Kept);
    EXPECT_EQ(Sunk, R.Kept);
  }
}

TEST(BodyOutput, ChunkedBodyCutByTheCloseIsShort) {
  std::string Text;
  TBodyOutput Out(&Text, nullptr, nullptr, 0, true);
  const std::string In = "5\r\nhel";
  Out.Take(In.data(), In.size());
  EXPECT_FALSE(Out.Complete());
  EXPECT_THROW(Out.Closed(), EHttpChunkedBodyCut);
  EXPECT_EQ(Text, "hel");
  TBodyOutput Plain(&Text, nullptr, nullptr, 0, false);
  EXPECT_NO_THROW(Plain.Closed());
}

}  // namespace
