// TLineDiff: lines hashed once, the common start and end set aside, then Myers' greedy search
// over the middle, one furthest-reaching point per diagonal and edit count. Each count's row is
// kept for the walk back, so memory grows with the square of MaxEdits, never with the texts.
#include "inspect/TLineDiff.h"

#include <algorithm>
#include <cstdint>
#include <functional>

namespace {

using TLimits = TLineDiff::TLimits;

// Comparisons of lines the search may make before it stops with what it has, so that texts
// alike in a pathological way cannot make it take (lines x MaxEdits) steps.
constexpr std::uint64_t SearchBudget = 100'000'000;

struct TLines {
  std::vector<std::string_view> Line;  // each with its line end
  std::vector<std::uint64_t> Hash;
};

TLines Split(std::string_view Text) {
  TLines L;
  std::size_t At = 0;
  while (At < Text.size()) {
    const auto End = Text.find('\n', At);
    const std::size_t Next = End == std::string_view::npos ? Text.size() : End + 1;
    L.Line.push_back(Text.substr(At, Next - At));
    L.Hash.push_back(std::hash<std::string_view>()(L.Line.back()));
    At = Next;
  }
  return L;
}

constexpr long None = -1;

// One row of the search: the furthest x reached on each diagonal k in [-D, D] with D edits.
struct TRow {
  long D = 0;
  std::vector<long> X;
  long At(long K) const { return K < -D || K > D ? None : X[static_cast<std::size_t>(K + D)]; }
};

// The x a path with D edits reaches first on diagonal K, from the row of D - 1: by an
// insertion from diagonal K + 1 (Down) or a deletion from K - 1.
long Step(const TRow& Prev, long K, bool& Down) {
  const long FromDown = Prev.At(K + 1);
  const long FromRight = Prev.At(K - 1);
  Down = FromDown != None && (FromRight == None || FromDown > FromRight);
  if (Down) return FromDown;
  return FromRight == None ? None : FromRight + 1;
}

class TSearch {
 public:
  TSearch(const TLines& AA, const TLines& AB, std::size_t First, std::size_t N, std::size_t M)
      : A(AA), B(AB), Skip(First), Rows(), NA(static_cast<long>(N)), NB(static_cast<long>(M)) {}

  // Runs up to MaxD edits; true when the whole script was found (Rows.back() holds its end).
  bool Run(long MaxD);
  // The edits of the path that ends on diagonal K of the last row, in order.
  std::vector<TLineEdit> Back(long K, const TLimits& Limits, const TLines& LA,
                              const TLines& LB) const;
  // The diagonal of the last row whose point got furthest along both texts.
  long Furthest() const;
  const std::vector<TRow>& Trace() const { return Rows; }

 private:
  const TLines& A;
  const TLines& B;
  std::size_t Skip;  // lines of the common start
  std::vector<TRow> Rows;
  long NA, NB;
  std::uint64_t Spent = 0;

  bool Same(long X, long Y) const {
    const std::size_t I = Skip + static_cast<std::size_t>(X);
    const std::size_t J = Skip + static_cast<std::size_t>(Y);
    return A.Hash[I] == B.Hash[J] && A.Line[I] == B.Line[J];
  }
};

bool TSearch::Run(long MaxD) {
  for (long D = 0; D <= MaxD; ++D) {
    TRow Row{D, std::vector<long>(static_cast<std::size_t>(2 * D + 1), None)};
    bool Done = false;
    for (long K = -D; K <= D; K += 2) {
      bool Down = false;
      long X = D == 0 ? 0 : Step(Rows.back(), K, Down);
      if (X == None || X > NA || X - K > NB || X - K < 0) continue;
      const long From = X;
      long Y = X - K;
      while (X < NA && Y < NB && Same(X, Y)) ++X, ++Y;
      Spent += static_cast<std::uint64_t>(X - From) + 1;
      Row.X[static_cast<std::size_t>(K + D)] = X;
      if (X >= NA && Y >= NB) Done = true;
    }
    Rows.push_back(std::move(Row));
    if (Done) return true;
    if (Spent > SearchBudget) return false;
  }
  return false;
}

long TSearch::Furthest() const {
  const TRow& Last = Rows.back();
  long Best = 0, BestReach = -1;
  for (long K = -Last.D; K <= Last.D; ++K) {
    const long X = Last.At(K);
    if (X != None && 2 * X - K > BestReach) {
      BestReach = 2 * X - K;
      Best = K;
    }
  }
  return Best;
}

std::string Shown(std::string_view Line, std::size_t Limit, bool& LineEnd) {
  LineEnd = !Line.empty() && Line.back() == '\n';
  if (LineEnd) Line.remove_suffix(1);
  if (Line.size() <= Limit) return std::string(Line);
  std::size_t Cut = Limit;
  while (Cut > 0 && (static_cast<unsigned char>(Line[Cut]) & 0xC0) == 0x80) --Cut;
  return std::string(Line.substr(0, Cut)) + "\xE2\x80\xA6";
}

std::vector<TLineEdit> TSearch::Back(long K, const TLimits& Limits, const TLines& LA,
                                     const TLines& LB) const {
  std::vector<TLineEdit> Edits;
  for (long D = Rows.back().D; D > 0; --D) {
    const TRow& Prev = Rows[static_cast<std::size_t>(D - 1)];
    bool Down = false;
    const long Start = Step(Prev, K, Down);
    const long StartY = Start - K;
    TLineEdit E;
    E.Inserted = Down;
    E.LineA = Skip + static_cast<std::size_t>(Down ? Start : Start - 1);
    E.LineB = Skip + static_cast<std::size_t>(Down ? StartY - 1 : StartY);
    E.Text = Shown(Down ? LB.Line[E.LineB] : LA.Line[E.LineA], Limits.LineShown, E.LineEnd);
    Edits.push_back(std::move(E));
    K = Down ? K + 1 : K - 1;
  }
  std::reverse(Edits.begin(), Edits.end());
  return Edits;
}

// Lines of either middle that the other middle lacks, counted as multisets: each needs an edit.
std::size_t Unmatched(const TLines& A, const TLines& B, std::size_t First, std::size_t N,
                      std::size_t M) {
  const auto Offset = static_cast<std::ptrdiff_t>(First);
  std::vector<std::uint64_t> HA(A.Hash.begin() + Offset, A.Hash.begin() + Offset + static_cast<std::ptrdiff_t>(N));
  std::vector<std::uint64_t> HB(B.Hash.begin() + Offset, B.Hash.begin() + Offset + static_cast<std::ptrdiff_t>(M));
  std::sort(HA.begin(), HA.end());
  std::sort(HB.begin(), HB.end());
  std::size_t I = 0, J = 0, Common = 0;
  while (I < HA.size() && J < HB.size()) {
    if (HA[I] == HB[J]) {
      ++Common, ++I, ++J;
    } else if (HA[I] < HB[J]) {
      ++I;
    } else {
      ++J;
    }
  }
  return N + M - 2 * Common;
}

}  // namespace

TLineDiffResult TLineDiff::Diff(std::string_view A, std::string_view B, const TLimits& Limits) {
  const TLines LA = Split(A);
  const TLines LB = Split(B);
  TLineDiffResult Out;
  Out.LinesA = LA.Line.size();
  Out.LinesB = LB.Line.size();
  std::size_t First = 0;
  while (First < LA.Line.size() && First < LB.Line.size() && LA.Line[First] == LB.Line[First])
    ++First;
  std::size_t Last = 0;
  while (Last < LA.Line.size() - First && Last < LB.Line.size() - First &&
         LA.Line[LA.Line.size() - 1 - Last] == LB.Line[LB.Line.size() - 1 - Last])
    ++Last;
  const std::size_t N = LA.Line.size() - First - Last;
  const std::size_t M = LB.Line.size() - First - Last;
  if (N == 0 && M == 0) return Out;
  TSearch Search(LA, LB, First, N, M);
  Out.Complete = Search.Run(static_cast<long>(Limits.MaxEdits));
  const long EndK = Out.Complete ? static_cast<long>(N) - static_cast<long>(M) : Search.Furthest();
  Out.Edits = Search.Back(EndK, Limits, LA, LB);
  const auto Reached = static_cast<std::size_t>(Search.Trace().back().D);
  Out.Count = Out.Complete ? Reached : std::max(Reached + 1, Unmatched(LA, LB, First, N, M));
  return Out;
}
