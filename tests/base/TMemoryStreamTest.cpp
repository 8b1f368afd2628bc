// Memory streams, and the whole-buffer and copy operations every stream shares.
#include "base/TMemoryStream.h"

#include <gtest/gtest.h>

#include <string>

#include "base/Exception.h"

namespace {

std::string ReadAll(TStream& S) {
  std::string Out(static_cast<std::size_t>(S.Size()), '\0');
  S.SetPosition(0);
  EXPECT_EQ(S.Read(Out.data(), S.Size()), S.Size());
  return Out;
}

class MemoryStreamTest : public testing::Test {
 protected:
  void Put(const std::string& S) {
    Stream.WriteBuffer(S.data(), static_cast<std::int64_t>(S.size()));
  }
  TMemoryStream Stream;
};

TEST_F(MemoryStreamTest, WriteReadSeekAndSize) {
  Put("hello world");
  EXPECT_EQ(Stream.Size(), 11);
  EXPECT_EQ(Stream.Position(), 11);
  EXPECT_EQ(Stream.Seek(-5, TSeekOrigin::soEnd), 6);
  char Buf[16] = {};
  EXPECT_EQ(Stream.Read(Buf, 3), 3);
  EXPECT_EQ(std::string(Buf, 3), "wor");
  EXPECT_EQ(Stream.Seek(-2, TSeekOrigin::soCurrent), 7);
  EXPECT_EQ(Stream.Read(Buf, sizeof Buf), 4);  // only what is left
  EXPECT_EQ(std::string(Buf, 4), "orld");
  EXPECT_EQ(Stream.Read(Buf, sizeof Buf), 0);
  Stream.SetPosition(0);
  Put("J");
  EXPECT_EQ(Stream.DataString(), "Jello world");
  EXPECT_EQ(Stream.Size(), 11);  // overwriting inside does not grow it
}

TEST_F(MemoryStreamTest, WritingAfterASeekPastTheEndFillsTheGapWithZeros) {
  Put("ab");
  EXPECT_EQ(Stream.Seek(3, TSeekOrigin::soEnd), 5);
  EXPECT_EQ(Stream.Size(), 2);  // seeking alone does not grow it
  char Buf[4];
  EXPECT_EQ(Stream.Read(Buf, 4), 0);
  Put("z");
  EXPECT_EQ(Stream.DataString(), std::string("ab\0\0\0z", 6));
}

TEST_F(MemoryStreamTest, SeekBeforeTheStartRaises) {
  Put("abc");
  EXPECT_THROW(Stream.Seek(-4, TSeekOrigin::soEnd), EStreamError);
  EXPECT_THROW(Stream.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
  EXPECT_EQ(Stream.Position(), 3);
}

TEST_F(MemoryStreamTest, SetSizeTruncatesAndClampsThePosition) {
  Put("abcdef");
  Stream.SetSize(3);
  EXPECT_EQ(Stream.Position(), 3);
  EXPECT_EQ(Stream.DataString(), "abc");
  Stream.SetPosition(1);
  Stream.SetSize(5);
  EXPECT_EQ(Stream.Position(), 1);
  EXPECT_EQ(Stream.DataString(), std::string("abc\0\0", 5));
  Stream.Clear();
  EXPECT_EQ(Stream.Size(), 0);
  EXPECT_EQ(Stream.Position(), 0);
}

TEST_F(MemoryStreamTest, ReadBufferRaisesWhenTooFewBytesRemain) {
  Put("abc");
  Stream.SetPosition(1);
  char Buf[8];
  try {
    Stream.ReadBuffer(Buf, 3);
    FAIL();
  } catch (const EReadError& E) {
    EXPECT_EQ(E.Message(), "Stream read error");
  }
  Stream.SetPosition(1);
  EXPECT_NO_THROW(Stream.ReadBuffer(Buf, 2));
  EXPECT_NO_THROW(Stream.ReadBuffer(Buf, 0));
}

TEST_F(MemoryStreamTest, CopyFromZeroCopiesTheWholeSourceFromItsStart) {
  TMemoryStream Source;
  std::string Big(200000, '\0');
  for (std::size_t I = 0; I < Big.size(); ++I) Big[I] = static_cast<char>(I * 7 + I / 251);
  Source.WriteBuffer(Big.data(), static_cast<std::int64_t>(Big.size()));
  Put("<");
  EXPECT_EQ(Stream.CopyFrom(Source, 0), static_cast<std::int64_t>(Big.size()));
  EXPECT_EQ(Stream.DataString(), "<" + Big);
}

TEST_F(MemoryStreamTest, CopyFromCountStartsAtTheSourcePosition) {
  TMemoryStream Source;
  Source.WriteBuffer("0123456789", 10);
  Source.SetPosition(4);
  EXPECT_EQ(Stream.CopyFrom(Source, 3), 3);
  EXPECT_EQ(Stream.DataString(), "456");
  EXPECT_EQ(Source.Position(), 7);
  EXPECT_THROW(Stream.CopyFrom(Source, 4), EReadError);
}

TEST_F(MemoryStreamTest, LoadAndSaveStreams) {
  TMemoryStream Source;
  Source.WriteBuffer("payload", 7);  // position left at the end on purpose
  Put("previous contents");
  Stream.LoadFromStream(Source);
  EXPECT_EQ(Stream.DataString(), "payload");
  EXPECT_EQ(Stream.Position(), 0);

  TMemoryStream Dest;
  Dest.WriteBuffer(">", 1);
  Stream.SaveToStream(Dest);
  EXPECT_EQ(ReadAll(Dest), ">payload");
}

}  // namespace
