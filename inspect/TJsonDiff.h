// TJsonDiff: the structural difference of two JSON texts by path ("$.items[3].price"), object
// members matched by key whatever their order, array elements by position, blanks ignored.
// Works on the texts as they are, without building a document: memory stays near the texts'.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class TChangeKind : std::uint8_t { ckAdded, ckRemoved, ckChanged };

struct TJsonChange {
  TChangeKind Kind = TChangeKind::ckChanged;
  std::string Path;    // "$.items[3].price", "$[\"a b\"]"
  std::string Before;  // the value's JSON text as A wrote it (cut when long); empty when added
  std::string After;   // as B wrote it; empty when removed
};

struct TJsonDiffResult {
  std::vector<TJsonChange> Changes;  // the first MaxChanges, in the order found
  std::size_t Count = 0;             // all of them
};

class TJsonDiff {
 public:
  struct TLimits {
    int MaxDepth = 256;            // deeper nesting is no JSON to compare
    std::size_t MaxChanges = 1000;
    std::size_t ValueShown = 200;  // bytes of a value's text kept in a change
  };

  // Whether Text is one JSON value, with blanks around it, nested at most MaxDepth levels.
  static bool Valid(std::string_view Text, int MaxDepth);
  // The changes from A to B; nothing when either is not valid JSON within the limits.
  static std::optional<TJsonDiffResult> Diff(std::string_view A, std::string_view B,
                                             const TLimits& Limits);
  static std::optional<TJsonDiffResult> Diff(std::string_view A, std::string_view B) {
    return Diff(A, B, TLimits());
  }
};
