// Driver of TPassCompare for scripts/bench.sh: two large JSON bodies compared as two passes,
// the same files that jq sorts and diff compares beside it.
//
//   compare_bench make A B MIB    writes two JSON texts of about MIB MiB each: B has the
//                                  members of every item in another order, other blanks, and
//                                  one price in 1000 changed
//   compare_bench compare A B      compares them as the bodies of two application/json replies
//                                  and prints "kind=K same=S changes=N compare_ms=T"
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "inspect/TPassCompare.h"

namespace {

int Make(const char* NameA, const char* NameB, long MiB) {
  std::ofstream A(NameA, std::ios::binary);
  std::ofstream B(NameB, std::ios::binary);
  const long Bytes = MiB << 20;
  A << "{\"count\":0,\"items\":[";
  B << "{\n  \"items\": [\n";
  long Written = 0;
  for (long I = 0; Written < Bytes; ++I) {
    const std::string Id = std::to_string(I);
    const std::string Price = std::to_string(I % 997) + "." + std::to_string(I % 100);
    const std::string Other = I % 1000 == 7 ? std::to_string(I % 997 + 1) + ".5" : Price;
    std::string Item = std::string(I ? "," : "") + "{\"id\":" + Id + ",\"name\":\"item " + Id +
                       "\",\"price\":" + Price +
                       ",\"tags\":[\"red\",\"large\"],\"stock\":{\"warehouse\":\"w" +
                       std::to_string(I % 9) + "\",\"count\":" + std::to_string(I % 50) + "}}";
    A << Item;
    B << (I ? ",\n" : "") << "    {\"stock\": {\"count\": " << I % 50 << ", \"warehouse\": \"w"
      << I % 9 << "\"}, \"tags\": [\"red\", \"large\"], \"price\": " << Other
      << ", \"name\": \"item " << Id << "\", \"id\": " << Id << "}";
    Written += static_cast<long>(Item.size());
  }
  A << "]}\n";
  B << "\n  ],\n  \"count\": 0\n}\n";
  return A && B ? 0 : 1;
}

bool Load(const char* Name, TExchangePass& Pass) {
  std::ifstream In(Name, std::ios::binary | std::ios::ate);
  if (!In) return false;
  std::string Text(static_cast<std::size_t>(In.tellg()), '\0');
  In.seekg(0);
  In.read(Text.data(), static_cast<std::streamsize>(Text.size()));
  Pass.ReplyHeader = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";
  Pass.ReplyNumber = 200;
  Pass.Body = std::move(Text);
  Pass.BodyBytes = static_cast<std::int64_t>(Pass.Body.size());
  return static_cast<bool>(In);
}

int Compare(const char* NameA, const char* NameB) {
  TExchangePass A, B;
  if (!Load(NameA, A) || !Load(NameB, B)) {
    std::fprintf(stderr, "cannot read %s or %s\n", NameA, NameB);
    return 1;
  }
  const auto Start = std::chrono::steady_clock::now();
  const TPassComparison R = TPassCompare::Compare(A, B);
  const double Ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
  const char* Kinds[] = {"json", "text", "image", "bytes"};
  std::printf("kind=%s same=%d changes=%zu compare_ms=%.1f\n",
              Kinds[static_cast<int>(R.Body.Kind)], R.Same() ? 1 : 0,
              R.Body.Kind == TBodyKind::bkJson ? R.Body.Json.Count : R.Body.Lines.Count, Ms);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "make") == 0) return Make(argv[2], argv[3], std::atol(argv[4]));
  if (argc == 4 && std::strcmp(argv[1], "compare") == 0) return Compare(argv[2], argv[3]);
  std::fprintf(stderr, "usage: compare_bench make A B MIB | compare A B\n");
  return 2;
}
