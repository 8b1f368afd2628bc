// Fuzz target: the HAR reader fed arbitrary bytes. Whatever the file holds, reading ends with
// entries and an error text, never a crash; an entry that is not refused holds nothing that
// would change the request a replay sends (every line of its header block is one field whose
// name is a token and whose value holds no CR, LF or NUL, and the lines the component
// composes are set apart); a refused one holds nothing to send; and what the writer makes of
// the passes read is read back to the same requests, replies and bodies.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz/FuzzRequire.h"
#include "inspect/HttpText.h"
#include "inspect/THarReader.h"
#include "inspect/THarWriter.h"

namespace {

bool Clean(std::string_view S) { return S.find_first_of(std::string_view("\r\n\0", 3)) == S.npos; }

void CheckEntry(const THarEntry& E) {
  const TExchangePass& P = E.Pass;
  if (!E.Refused.empty()) {
    Require(P.RequestHeader.empty() && E.Fields.empty() && E.Composed.empty(),
            "a refused entry keeps something to send", [&] { return E.Refused; });
    return;
  }
  Require(THarReader::IsToken(P.Method), "method is no token", [&] { return Escaped(P.Method); });
  Require(P.URL.find_first_of(std::string_view(" \t\r\n\0", 5)) == std::string::npos,
          "URL holds a blank or a line break", [&] { return Escaped(P.URL); });
  for (const auto* List : {&E.Fields, &E.Composed})
    for (const THeaderField& F : *List)
      Require(THarReader::IsToken(F.Name) && Clean(F.Value), "unsafe field kept",
              [&] { return Escaped(F.Name + ": " + F.Value); });
  for (const THeaderField& F : E.Fields)
    Require(!THarReader::ComposedField(F.Name), "a composed line left to copy",
            [&] { return Escaped(F.Name); });
  Require(HeaderLines(P.RequestHeader).size() == 1 + E.Fields.size() + E.Composed.size(),
          "the header block holds lines that are no field", [&] { return Escaped(P.RequestHeader); });
}

void CheckRoundTrip(const THarLog& Log) {
  std::vector<TExchangePass> Passes;
  for (const THarEntry& E : Log.Entries)
    if (E.Refused.empty()) Passes.push_back(E.Pass);
  const THarLog Again = THarReader::ReadText(THarWriter::Text(THarWriter::Document(Passes)));
  Require(Again.Error.empty(), "the writer's file does not read", [&] { return Again.Error; });
  Require(Again.Entries.size() == Passes.size(), "entries lost in the round trip");
  for (std::size_t I = 0; I < Passes.size(); ++I) {
    const TExchangePass& A = Passes[I];
    const TExchangePass& B = Again.Entries[I].Pass;
    Require(Again.Entries[I].Refused.empty(), "a written entry is refused",
            [&] { return Again.Entries[I].Refused; });
    Require(A.Method == B.Method && A.URL == B.URL && A.RequestHeader == B.RequestHeader,
            "request changed in the round trip",
            [&] { return Escaped(A.RequestHeader) + " / " + Escaped(B.RequestHeader); });
    Require(A.RequestBody == B.RequestBody, "request body changed in the round trip");
    if (A.Error.empty())
      Require(A.ReplyHeader == B.ReplyHeader && A.ReplyNumber == B.ReplyNumber,
              "reply head changed in the round trip",
              [&] { return Escaped(A.ReplyHeader) + " / " + Escaped(B.ReplyHeader); });
    if (!A.BodyCut())
      Require(A.Body == B.Body && A.BodyBytes == B.BodyBytes, "body changed in the round trip",
              [&] { return Escaped(A.Body) + " / " + Escaped(B.Body); });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const THarLog Log =
      THarReader::ReadText(std::string_view(reinterpret_cast<const char*>(Data), Size));
  for (std::size_t I = 0; I < Log.Entries.size(); ++I) {
    Require(Log.Entries[I].Index >= (I == 0 ? 0 : Log.Entries[I - 1].Index + 1),
            "entries out of their order");
    CheckEntry(Log.Entries[I]);
  }
  CheckRoundTrip(Log);
  return 0;
}
