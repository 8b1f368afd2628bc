// TJsonDiff: both texts are checked once, then walked side by side; members whose keys come
// in the same order are compared as they come, and only an object whose order differs has
// the members of A gathered and sorted, so that the common case reads each byte about twice.
#include "inspect/TJsonDiff.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <deque>

namespace {

using TLimits = TJsonDiff::TLimits;

bool IsJsonBlank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

std::size_t SkipBlanks(std::string_view T, std::size_t P) {
  while (P < T.size() && IsJsonBlank(T[P])) ++P;
  return P;
}

// --- Checking --------------------------------------------------------------------------------

bool CheckString(std::string_view T, std::size_t& P) {
  for (++P; P < T.size(); ++P) {
    const auto C = static_cast<unsigned char>(T[P]);
    if (C == '"') {
      ++P;
      return true;
    }
    if (C < 0x20) return false;
    if (C != '\\') continue;
    if (++P == T.size()) return false;
    if (T[P] == 'u') {
      if (P + 4 >= T.size()) return false;
      for (int I = 1; I <= 4; ++I)
        if (!std::isxdigit(static_cast<unsigned char>(T[P + static_cast<std::size_t>(I)])))
          return false;
      P += 4;
    } else if (std::string_view("\"\\/bfnrt").find(T[P]) == std::string_view::npos) {
      return false;
    }
  }
  return false;
}

bool CheckDigits(std::string_view T, std::size_t& P) {
  const std::size_t Start = P;
  while (P < T.size() && T[P] >= '0' && T[P] <= '9') ++P;
  return P > Start;
}

bool CheckNumber(std::string_view T, std::size_t& P) {
  if (P < T.size() && T[P] == '-') ++P;
  if (P < T.size() && T[P] == '0') {
    ++P;
  } else if (!CheckDigits(T, P)) {
    return false;
  }
  if (P < T.size() && T[P] == '.' && !CheckDigits(T, ++P)) return false;
  if (P < T.size() && (T[P] == 'e' || T[P] == 'E')) {
    ++P;
    if (P < T.size() && (T[P] == '+' || T[P] == '-')) ++P;
    if (!CheckDigits(T, P)) return false;
  }
  return true;
}

bool CheckValue(std::string_view T, std::size_t& P, int DepthLeft);

bool CheckContainer(std::string_view T, std::size_t& P, int DepthLeft) {
  const bool Object = T[P] == '{';
  const char Close = Object ? '}' : ']';
  P = SkipBlanks(T, P + 1);
  if (P < T.size() && T[P] == Close) {
    ++P;
    return true;
  }
  for (;;) {
    if (Object) {
      P = SkipBlanks(T, P);
      if (P >= T.size() || T[P] != '"' || !CheckString(T, P)) return false;
      P = SkipBlanks(T, P);
      if (P >= T.size() || T[P] != ':') return false;
      ++P;
    }
    if (!CheckValue(T, P, DepthLeft)) return false;
    P = SkipBlanks(T, P);
    if (P >= T.size()) return false;
    if (T[P++] == Close) return true;
    if (T[P - 1] != ',') return false;
  }
}

bool CheckValue(std::string_view T, std::size_t& P, int DepthLeft) {
  P = SkipBlanks(T, P);
  if (P >= T.size()) return false;
  const char C = T[P];
  if (C == '"') return CheckString(T, P);
  if (C == '{' || C == '[') return DepthLeft > 0 && CheckContainer(T, P, DepthLeft - 1);
  for (const std::string_view Word : {"true", "false", "null"}) {
    if (T.substr(P, Word.size()) == Word) {
      P += Word.size();
      return true;
    }
  }
  return CheckNumber(T, P);
}

// --- Walking checked text --------------------------------------------------------------------

// P at the opening quote; the index after the closing one.
std::size_t StringEnd(std::string_view T, std::size_t P) {
  const char* Begin = T.data();
  const char* End = Begin + T.size();
  // Each quote found is the string's end unless an odd run of backslashes escapes it; a run
  // never reaches back past From, which follows a quote.
  for (const char* From = Begin + P + 1;;) {
    const auto* Quote = static_cast<const char*>(std::memchr(From, '"', static_cast<std::size_t>(End - From)));
    if (!Quote) return T.size();
    const char* Run = Quote;
    while (Run > From && Run[-1] == '\\') --Run;
    if ((Quote - Run) % 2 == 0) return static_cast<std::size_t>(Quote - Begin) + 1;
    From = Quote + 1;
  }
}

std::size_t ValueEnd(std::string_view T, std::size_t P) {
  if (T[P] == '"') return StringEnd(T, P);
  if (T[P] != '{' && T[P] != '[') {
    while (P < T.size() && !IsJsonBlank(T[P]) && T[P] != ',' && T[P] != ']' && T[P] != '}') ++P;
    return P;
  }
  int Depth = 0;
  for (; P < T.size(); ++P) {
    const char C = T[P];
    if (C != '"' && C != '{' && C != '[' && C != '}' && C != ']') continue;
    if (C == '"') {
      P = StringEnd(T, P) - 1;
    } else if (C == '{' || C == '[') {
      ++Depth;
    } else if ((C == '}' || C == ']') && --Depth == 0) {
      return P + 1;
    }
  }
  return P;
}

// Past the blanks and the comma after a value, if there is one.
std::size_t AfterComma(std::string_view T, std::size_t P) {
  P = SkipBlanks(T, P);
  if (P < T.size() && T[P] == ',') P = SkipBlanks(T, P + 1);
  return P;
}

void PutUtf8(std::string& Out, std::uint32_t C) {
  if (C < 0x80) {
    Out += static_cast<char>(C);
  } else if (C < 0x800) {
    Out += static_cast<char>(0xC0 | (C >> 6));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  } else if (C < 0x10000) {
    Out += static_cast<char>(0xE0 | (C >> 12));
    Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (C >> 18));
    Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  }
}

// The characters of a checked string's inside (quotes left out), escapes undone.
std::string Decoded(std::string_view Raw) {
  if (Raw.find('\\') == std::string_view::npos) return std::string(Raw);
  std::string Out;
  const auto Hex = [&Raw](std::size_t At) {
    std::uint32_t V = 0;
    std::from_chars(Raw.data() + At, Raw.data() + At + 4, V, 16);
    return V;
  };
  for (std::size_t I = 0; I < Raw.size(); ++I) {
    if (Raw[I] != '\\') {
      Out += Raw[I];
      continue;
    }
    const char E = Raw[++I];
    if (E != 'u') {
      const char* From = "bfnrt";
      const char* To = "\b\f\n\r\t";
      const char* At = std::char_traits<char>::find(From, 5, E);
      Out += At ? To[At - From] : E;
      continue;
    }
    std::uint32_t C = Hex(I + 1);
    I += 4;
    if (C >= 0xD800 && C < 0xDC00 && I + 6 < Raw.size() && Raw.substr(I + 1, 2) == "\\u") {
      const std::uint32_t Low = Hex(I + 3);
      if (Low >= 0xDC00 && Low < 0xE000) {
        C = 0x10000 + ((C - 0xD800) << 10) + (Low - 0xDC00);
        I += 6;
      }
    }
    PutUtf8(Out, C);
  }
  return Out;
}

bool IsInteger(std::string_view N) { return N.find_first_of(".eE") == std::string_view::npos; }

// Two scalars that are the same value: strings once their escapes are undone, numbers by
// value (1 and 1.0; integers by their digits, which a double would round).
bool SameScalar(std::string_view X, std::string_view Y) {
  if (X == Y) return true;
  const auto Numeric = [](char C) { return C == '-' || (C >= '0' && C <= '9'); };
  if (X[0] == '"' && Y[0] == '"')
    return Decoded(X.substr(1, X.size() - 2)) == Decoded(Y.substr(1, Y.size() - 2));
  if (!Numeric(X[0]) || !Numeric(Y[0])) return false;
  const auto Zero = [](std::string_view N) { return N == "0" || N == "-0"; };
  if (IsInteger(X) && IsInteger(Y)) return Zero(X) && Zero(Y);
  double A = 0, B = 0;
  std::from_chars(X.data(), X.data() + X.size(), A);
  std::from_chars(Y.data(), Y.data() + Y.size(), B);
  return A == B;
}

bool PlainKey(std::string_view Key) {
  if (Key.empty() || (Key[0] >= '0' && Key[0] <= '9')) return false;
  return std::all_of(Key.begin(), Key.end(), [](char C) {
    return C == '_' || (C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z');
  });
}

struct TMember {
  std::string_view Raw;  // the key as written, for the path
  std::string Owned;     // the key with its escapes undone, when it has any
  bool Escaped = false;
  std::size_t Order = 0;  // its place in the object, which breaks ties between equal keys
  bool Matched = false;   // a member of the other object had its key
  std::size_t ValueAt = 0;
  std::size_t ValueEnd = 0;
  std::string_view Key() const { return Escaped ? std::string_view(Owned) : Raw; }
};

class TDiffer {
 public:
  TDiffer(std::string_view AA, std::string_view AB, const TLimits& ALimits, TJsonDiffResult& AOut)
      : A(AA), B(AB), Limits(ALimits), Out(AOut) {}
  // Compares the values at PA in A and PB in B; both move past them.
  void Value(std::size_t& PA, std::size_t& PB);

 private:
  std::string_view A, B;
  const TLimits& Limits;
  TJsonDiffResult& Out;
  std::string Path = "$";
  // The member lists of the objects being compared out of order, one pair per level of
  // nesting, kept for the next object at that level; a deque keeps them in place as it grows.
  std::deque<std::vector<TMember>> Scratch;
  std::size_t Level = 0;

  void Add(TChangeKind Kind, std::string_view Before, std::string_view After);
  void Array(std::size_t& PA, std::size_t& PB);
  void Object(std::size_t& PA, std::size_t& PB);
  void Unordered(std::size_t& PA, std::size_t& PB);
  void OneSide(TChangeKind Kind, std::string_view T, std::size_t At, std::size_t End) {
    Add(Kind, Kind == TChangeKind::ckRemoved ? T.substr(At, End - At) : "",
        Kind == TChangeKind::ckAdded ? T.substr(At, End - At) : "");
  }
  void PushKey(std::string_view Raw) {
    const bool Plain = PlainKey(Raw);
    Path += Plain ? "." : "[\"";
    Path += Raw;
    if (!Plain) Path += "\"]";
  }
};

std::string Shown(std::string_view Text, std::size_t Limit) {
  if (Text.size() <= Limit) return std::string(Text);
  std::size_t Cut = Limit;
  while (Cut > 0 && (static_cast<unsigned char>(Text[Cut]) & 0xC0) == 0x80) --Cut;
  return std::string(Text.substr(0, Cut)) + "\xE2\x80\xA6";
}

void TDiffer::Add(TChangeKind Kind, std::string_view Before, std::string_view After) {
  ++Out.Count;
  if (Out.Changes.size() < Limits.MaxChanges)
    Out.Changes.push_back(
        {Kind, Path, Shown(Before, Limits.ValueShown), Shown(After, Limits.ValueShown)});
}

void TDiffer::Value(std::size_t& PA, std::size_t& PB) {
  if (A[PA] == '{' && B[PB] == '{') return Object(PA, PB);
  if (A[PA] == '[' && B[PB] == '[') return Array(PA, PB);
  const std::size_t EA = ValueEnd(A, PA);
  const std::size_t EB = ValueEnd(B, PB);
  const std::string_view VA = A.substr(PA, EA - PA);
  const std::string_view VB = B.substr(PB, EB - PB);
  PA = EA;
  PB = EB;
  if (!SameScalar(VA, VB)) Add(TChangeKind::ckChanged, VA, VB);
}

void TDiffer::Array(std::size_t& PA, std::size_t& PB) {
  PA = SkipBlanks(A, PA + 1);
  PB = SkipBlanks(B, PB + 1);
  const std::size_t Mark = Path.size();
  for (std::size_t Index = 0;; ++Index) {
    const bool EndA = A[PA] == ']';
    const bool EndB = B[PB] == ']';
    if (EndA && EndB) break;
    Path += '[';
    Path += std::to_string(Index);
    Path += ']';
    if (EndA) {
      const std::size_t End = ValueEnd(B, PB);
      OneSide(TChangeKind::ckAdded, B, PB, End);
      PB = End;
    } else if (EndB) {
      const std::size_t End = ValueEnd(A, PA);
      OneSide(TChangeKind::ckRemoved, A, PA, End);
      PA = End;
    } else {
      Value(PA, PB);
    }
    Path.resize(Mark);
    PA = AfterComma(A, PA);
    PB = AfterComma(B, PB);
  }
  ++PA;
  ++PB;
}

void TDiffer::Object(std::size_t& PA, std::size_t& PB) {
  PA = SkipBlanks(A, PA + 1);
  PB = SkipBlanks(B, PB + 1);
  const std::size_t Mark = Path.size();
  for (;;) {
    const bool EndA = A[PA] == '}';
    const bool EndB = B[PB] == '}';
    if (EndA && EndB) break;
    if (EndA || EndB) return Unordered(PA, PB);
    const std::size_t KA = StringEnd(A, PA);
    const std::size_t KB = StringEnd(B, PB);
    const std::string_view RawA = A.substr(PA + 1, KA - PA - 2);
    const std::string_view RawB = B.substr(PB + 1, KB - PB - 2);
    if (RawA != RawB && Decoded(RawA) != Decoded(RawB)) return Unordered(PA, PB);
    PA = SkipBlanks(A, SkipBlanks(A, KA) + 1);
    PB = SkipBlanks(B, SkipBlanks(B, KB) + 1);
    PushKey(RawA);
    Value(PA, PB);
    Path.resize(Mark);
    PA = AfterComma(A, PA);
    PB = AfterComma(B, PB);
  }
  ++PA;
  ++PB;
}

// The members of A's object from P (at a key or at the closing brace) to its end, sorted by
// key; P moves past the brace.
void Members(std::string_view T, std::size_t& P, std::vector<TMember>& List) {
  List.clear();
  while (T[P] != '}') {
    const std::size_t KeyEnd = StringEnd(T, P);
    TMember& M = List.emplace_back();
    M.Raw = T.substr(P + 1, KeyEnd - P - 2);
    M.Escaped = M.Raw.find('\\') != std::string_view::npos;
    if (M.Escaped) M.Owned = Decoded(M.Raw);
    M.Order = List.size();
    M.ValueAt = SkipBlanks(T, SkipBlanks(T, KeyEnd) + 1);
    M.ValueEnd = ValueEnd(T, M.ValueAt);
    P = AfterComma(T, M.ValueEnd);
  }
  ++P;
  std::sort(List.begin(), List.end(), [](const TMember& X, const TMember& Y) {
    const int Order = X.Key().compare(Y.Key());
    return Order < 0 || (Order == 0 && X.Order < Y.Order);
  });
}

// The rest of two objects whose keys came in another order: A's members are gathered and
// sorted, B's are read as they come and looked up among them, so that B is read once.
void TDiffer::Unordered(std::size_t& PA, std::size_t& PB) {
  while (Scratch.size() <= Level) Scratch.emplace_back();
  std::vector<TMember>& InA = Scratch[Level];
  Members(A, PA, InA);
  ++Level;
  const std::size_t Mark = Path.size();
  std::string Owned;
  while (B[PB] != '}') {
    const std::size_t KeyEnd = StringEnd(B, PB);
    const std::string_view Raw = B.substr(PB + 1, KeyEnd - PB - 2);
    const bool Escaped = Raw.find('\\') != std::string_view::npos;
    if (Escaped) Owned = Decoded(Raw);
    const std::string_view Key = Escaped ? std::string_view(Owned) : Raw;
    auto It = std::lower_bound(InA.begin(), InA.end(), Key,
                               [](const TMember& M, std::string_view K) { return M.Key() < K; });
    while (It != InA.end() && It->Matched && It->Key() == Key) ++It;
    PushKey(Raw);
    PB = SkipBlanks(B, SkipBlanks(B, KeyEnd) + 1);
    if (It != InA.end() && It->Key() == Key) {
      It->Matched = true;
      std::size_t At = It->ValueAt;
      Value(At, PB);
    } else {
      const std::size_t End = ValueEnd(B, PB);
      OneSide(TChangeKind::ckAdded, B, PB, End);
      PB = End;
    }
    Path.resize(Mark);
    PB = AfterComma(B, PB);
  }
  ++PB;
  for (const TMember& M : InA) {
    if (M.Matched) continue;
    PushKey(M.Raw);
    OneSide(TChangeKind::ckRemoved, A, M.ValueAt, M.ValueEnd);
    Path.resize(Mark);
  }
  --Level;
}

}  // namespace

bool TJsonDiff::Valid(std::string_view Text, int MaxDepth) {
  std::size_t P = 0;
  return CheckValue(Text, P, MaxDepth) && SkipBlanks(Text, P) == Text.size();
}

std::optional<TJsonDiffResult> TJsonDiff::Diff(std::string_view A, std::string_view B,
                                               const TLimits& Limits) {
  if (!Valid(A, Limits.MaxDepth) || !Valid(B, Limits.MaxDepth)) return std::nullopt;
  TJsonDiffResult Out;
  std::size_t PA = SkipBlanks(A, 0);
  std::size_t PB = SkipBlanks(B, 0);
  if (A.substr(PA) == B.substr(PB)) return Out;
  TDiffer(A, B, Limits, Out).Value(PA, PB);
  return Out;
}
