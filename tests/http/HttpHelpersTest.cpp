// The small shared rules of the HTTP layer, each by a table: one-line Base64 (checked against
// the stream encoder too), the ASCII character rules, hexadecimal digits, and what each command
// carries and how a server's URL is written.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/SysUtils.h"
#include "base/TMemoryStream.h"
#include "http/Base64.h"
#include "http/CmdNames.h"
#include "http/HttpChars.h"
#include "http/TVelHTTP.h"
#include "http/TVelUUProcessor.h"
#include "platform/InetText.h"

namespace {

TEST(Base64, KnownVectorsAndTheStreamEncoderWithoutLineEnds) {
  const std::pair<std::string, std::string> Rows[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
      {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
      {std::string("\0\xff\xfe", 3), "AP/+"}};
  for (const auto& [In, Out] : Rows) EXPECT_EQ(Base64(In), Out) << In;
  // Past one 76-character line, the same text as TVelUUProcessor's without its line ends.
  std::string Text;
  for (int I = 0; I < 200; ++I) {
    TMemoryStream Input;
    TMemoryStream Output;
    Input.WriteBuffer(Text.data(), static_cast<std::int64_t>(Text.size()));
    TVelUUProcessor Encoder(nullptr);
    Encoder.InputStream = &Input;
    Encoder.OutputStream = &Output;
    Encoder.Encode();
    std::string Lines;
    for (const char C : Output.DataString())
      if (C != '\r' && C != '\n') Lines += C;
    EXPECT_EQ(Base64(Text), Lines) << I;
    Text += static_cast<char>(I * 37);
  }
}

TEST(HttpChars, AsciiOnlyWhateverTheLocale) {
  const struct {
    std::string_view A, B;
    bool Same;
  } Names[] = {{"Content-Length", "content-length", true}, {"LOCATION", "location", true},
               {"abc", "abcd", false},  {"", "", true},    {"[", "{", false},
               {"@", "`", false},       {"\xc9", "\xe9", false}, {"Z", "z", true}};
  for (const auto& R : Names) EXPECT_EQ(SameNoCase(R.A, R.B), R.Same) << R.A << " " << R.B;
  const std::pair<std::string_view, std::string_view> Trims[] = {
      {" \t a b \t ", "a b"}, {"\t\t", ""}, {"", ""}, {"\ra\r", "\ra\r"}, {"x", "x"}};
  for (const auto& [In, Out] : Trims) EXPECT_EQ(TrimBlanks(In), Out) << In;
  const std::pair<char, int> Hex[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15},
                                      {'g', -1}, {'G', -1}, {' ', -1}, {'\xb0', -1}};
  for (const auto& [C, V] : Hex) EXPECT_EQ(HexDigit(C), V) << C;
}

TEST(CmdNames, WhatEachCommandCarriesAndTheServersURL) {
  const struct {
    CmdType Cmd;
    bool Body, Target;
  } Rows[] = {{hcGet, false, false},   {hcOptions, false, false}, {hcHead, false, false},
              {hcPost, true, false},   {hcPut, true, false},      {hcPatch, true, false},
              {hcCopy, false, true},   {hcMove, false, true},     {hcDelete, false, false},
              {hcLink, false, true},   {hcUnLink, false, true},   {hcTrace, true, false},
              {hcWrapped, true, false}};
  for (const auto& R : Rows) {
    EXPECT_EQ(CarriesBody(R.Cmd), R.Body) << CommandWord(R.Cmd);
    EXPECT_EQ(TakesTarget(R.Cmd), R.Target) << CommandWord(R.Cmd);
  }
  EXPECT_EQ(ServerURL("h.test", 80), "http://h.test");
  EXPECT_EQ(ServerURL("h.test", 8080), "http://h.test:8080");
  EXPECT_EQ(ServerURL("127.0.0.1", 443), "http://127.0.0.1:443");
}

}  // namespace

TEST(RuleAddressesTest, RepeatsAreDroppedAndTheOrderKept) {
  const std::pair<const char*, std::vector<std::string>> Rows[] = {
      {"127.0.0.1,127.0.0.1", {"127.0.0.1"}},
      {"[::1],127.0.0.2,[0:0::1],127.0.0.2", {"::1", "127.0.0.2"}},
      {"127.0.0.1,[::ffff:127.0.0.1]", {"127.0.0.1", "::ffff:127.0.0.1"}},
  };
  for (const auto& [List, Expected] : Rows) {
    std::vector<std::string> Got;
    for (const win::SOCKADDR_INET& A : TVelHTTP::RuleAddresses(List))
      Got.push_back(win::AddressText(reinterpret_cast<const sockaddr*>(&A), win::SockaddrLength(A)));
    EXPECT_EQ(Got, Expected) << List;
  }
}
