// Form-data encoding: the documented examples, every byte value, and the fallback to the
// unencoded input when memory runs out.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "http/TVelURL.h"

namespace {
// Allocations still to be refused on this thread; 0 leaves operator new alone.
thread_local int RefuseAllocations = 0;
}  // namespace

// Every unaligned form is replaced, so that whatever allocates through one of them releases
// through its partner here (ASan checks the pairing); the aligned forms keep theirs.
namespace {
void* Allocate(std::size_t Size) noexcept {
  if (RefuseAllocations > 0) {
    --RefuseAllocations;
    return nullptr;
  }
  return std::malloc(Size == 0 ? 1 : Size);
}
void* AllocateOrThrow(std::size_t Size) {
  if (void* P = Allocate(Size)) return P;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t Size) { return AllocateOrThrow(Size); }
void* operator new[](std::size_t Size) { return AllocateOrThrow(Size); }
void* operator new(std::size_t Size, const std::nothrow_t&) noexcept { return Allocate(Size); }
void* operator new[](std::size_t Size, const std::nothrow_t&) noexcept { return Allocate(Size); }
void operator delete(void* P) noexcept { std::free(P); }
void operator delete[](void* P) noexcept { std::free(P); }
void operator delete(void* P, std::size_t) noexcept { std::free(P); }
void operator delete[](void* P, std::size_t) noexcept { std::free(P); }
void operator delete(void* P, const std::nothrow_t&) noexcept { std::free(P); }
void operator delete[](void* P, const std::nothrow_t&) noexcept { std::free(P); }

namespace {

class URLTest : public ::testing::Test {
 protected:
  std::string Encode(const std::string& S) {
    Url->InputString = S;
    return Url->Encode();
  }

  TOwned<TVelURL> Url{new TVelURL(nullptr)};
};

TEST_F(URLTest, Examples) {
  const struct {
    std::string In, Out;
  } Cases[] = {
      {"", ""},
      {"a b", "a+b"},
      {"a+b", "a%2Bb"},
      {"100%", "100%25"},
      {"x=1&y=2", "x%3D1%26y%3D2"},
      {"\r\n", "%0D%0A"},
      {"\xE9", "%E9"},
      {std::string(1, '\0'), "%00"},
      {"%41", "%2541"},
      {"-_.*~", "%2D%5F%2E%2A%7E"},
      {"Az09 ", "Az09+"},
  };
  for (const auto& C : Cases) EXPECT_EQ(Encode(C.In), C.Out) << C.In;
}

// Form fields keep their "=" and "&"; text without "=" is encoded whole.
TEST_F(URLTest, FieldsAreEncodedOneByOne) {
  const struct {
    std::string In, Out;
  } Cases[] = {
      {"a b=c&d", "a+b=c&d"},
      {"a=1&b=2", "a=1&b=2"},
      {"x=1 2&y=a+b", "x=1+2&y=a%2Bb"},
      {"a=b=c", "a=b%3Dc"},
      {"=v&n=", "=v&n="},
      {"a=1&&b=2&", "a=1&&b=2&"},
      {"k=\xE9&\r=\n", "k=%E9&%0D=%0A"},
      {"no fields & here", "no+fields+%26+here"},
      {"", ""},
  };
  for (const auto& C : Cases) {
    Url->InputString = C.In;
    EXPECT_EQ(Url->EncodeFields(), C.Out) << C.In;
    EXPECT_EQ(Url->InputString, C.In);
  }
}

TEST_F(URLTest, EveryByteValue) {
  std::string All;
  std::string Expected;
  for (int B = 0; B < 256; ++B) {
    std::string Want;
    if ((B >= '0' && B <= '9') || (B >= 'A' && B <= 'Z') || (B >= 'a' && B <= 'z')) {
      Want = std::string(1, static_cast<char>(B));
    } else if (B == ' ') {
      Want = "+";
    } else {
      char Buf[4];
      std::snprintf(Buf, sizeof Buf, "%%%02X", B);
      Want = Buf;
    }
    EXPECT_EQ(Encode(std::string(1, static_cast<char>(B))), Want) << "byte " << B;
    All += static_cast<char>(B);
    Expected += Want;
  }
  EXPECT_EQ(Encode(All), Expected);
}

TEST_F(URLTest, EachReadEncodesTheCurrentInput) {
  Url->InputString = "a b";
  EXPECT_EQ(Url->Encode(), "a+b");
  EXPECT_EQ(Url->Encode(), "a+b");
  EXPECT_EQ(Url->InputString, "a b");
  Url->InputString = "c&d";
  EXPECT_EQ(Url->Encode(), "c%26d");
}

TEST_F(URLTest, OutOfMemoryGivesTheInputBackAndReportsIt) {
  int Reports = 0;
  Url->OnError = [&](TObject* Sender, std::string Operation, std::string ErrMsg) {
    EXPECT_EQ(Sender, Url.get());
    EXPECT_EQ(Operation, "Error during encode");
    EXPECT_EQ(ErrMsg, "Out of memory");
    ++Reports;
  };
  const std::string Input = "name=a long value & more than fits in place";
  Url->InputString = Input;
  RefuseAllocations = 1;
  std::string Result = Url->Encode();
  RefuseAllocations = 0;
  EXPECT_EQ(Result, Input);
  EXPECT_EQ(Reports, 1);

  Url->OnError = nullptr;
  RefuseAllocations = 1;
  Result = Url->Encode();  // consumed: nothing may reach the caller
  RefuseAllocations = 0;
  EXPECT_EQ(Result, Input);
  EXPECT_EQ(Url->Encode(), "name%3Da+long+value+%26+more+than+fits+in+place");
}

TEST(URLLifetime, OwnerFreesItAndItStartsEmpty) {
  TComponent Owner(nullptr);
  auto* Url = new TVelURL(&Owner);
  EXPECT_EQ(Url->InputString, "");
  EXPECT_FALSE(Url->OnError);
  EXPECT_EQ(Url->Encode(), "");
}

}  // namespace
