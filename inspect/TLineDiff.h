// TLineDiff: the lines deleted from A and inserted from B (Myers' shortest edit script), with
// the count of edits bounded: past MaxEdits the search stops, keeps the first edits of the
// path it had got furthest along, and says how many edits there are at least.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct TLineEdit {
  bool Inserted = false;  // a line of B; else a line of A deleted
  std::size_t LineA = 0;  // 0-based: the deleted line, or where in A an inserted one goes
  std::size_t LineB = 0;  // the inserted line, or where in B a deleted one would have been
  std::string Text;       // without its line end, cut when long
  bool LineEnd = true;    // false for a last line without a line end
};

struct TLineDiffResult {
  std::vector<TLineEdit> Edits;  // in the order of the texts
  // The number of edits: exact when Complete, else a lower bound (the edits of the path
  // found, or the lines of either text the other lacks, whichever is more).
  std::size_t Count = 0;
  bool Complete = true;
  std::size_t LinesA = 0;
  std::size_t LinesB = 0;
};

class TLineDiff {
 public:
  struct TLimits {
    std::size_t MaxEdits = 1000;
    std::size_t LineShown = 400;  // bytes of a line kept in an edit
  };
  static TLineDiffResult Diff(std::string_view A, std::string_view B, const TLimits& Limits);
  static TLineDiffResult Diff(std::string_view A, std::string_view B) {
    return Diff(A, B, TLimits());
  }
};
