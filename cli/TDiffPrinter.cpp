// TDiffPrinter: the entry line and the differences of a comparison as text, with unified hunks
// rebuilt from the line diff's edits and the lines of A around them.
#include "cli/TDiffPrinter.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "base/AsciiText.h"
#include "cli/TCliVerbose.h"

namespace {

constexpr std::string_view Red = "31", Green = "32", Yellow = "33", Cyan = "36", Bold = "1";
constexpr std::string_view Indent = "    ";

std::string Shown(std::string_view Text) { return TCliVerbose::Printable(Text); }

// The lines of a text, each without its "\n", as the line diff keeps them: a CR stays, so
// that a change of line ends shows (as \x0d).
std::vector<std::string_view> TextLines(std::string_view Text) {
  std::vector<std::string_view> Lines;
  for (std::size_t At = 0; At < Text.size();) {
    const auto End = Text.find('\n', At);
    Lines.push_back(Text.substr(At, End == std::string_view::npos ? End : End - At));
    At = End == std::string_view::npos ? Text.size() : End + 1;
  }
  return Lines;
}

// Where an edit stands in both texts, before it and after it.
struct TEditSpot {
  std::size_t A, B, AfterA, AfterB;
};
TEditSpot Spot(const TLineEdit& E) {
  return {E.LineA, E.LineB, E.LineA + (E.Inserted ? 0 : 1), E.LineB + (E.Inserted ? 1 : 0)};
}

// "-3,2" as git writes a side of a hunk: the first line counted from 1, no count when it is
// 1, and for an empty side the line before it.
std::string HunkSide(char Sign, std::size_t Start, std::size_t Length) {
  std::string S(1, Sign);
  S += std::to_string(Length == 0 ? Start : Start + 1);
  if (Length != 1) S += "," + std::to_string(Length);
  return S;
}

std::string Bytes(std::int64_t N) { return std::to_string(N); }

std::string ImageText(const TImageFacts& F) {
  if (F.Type.empty()) return "no image";
  return F.Type + " " + std::to_string(F.Width) + "x" + std::to_string(F.Height);
}

}  // namespace

std::string TDiffPrinter::Paint(std::string_view Code, std::string_view Text) const {
  if (!FStyle.Colour) return std::string(Text);
  return "\x1b[" + std::string(Code) + "m" + std::string(Text) + "\x1b[m";
}

std::string TDiffPrinter::Line(std::string_view Code, std::string_view Text) const {
  return std::string(Indent) + (Code.empty() ? std::string(Text) : Paint(Code, Text)) + "\n";
}

std::string TDiffPrinter::StatusPair(std::optional<int> A, std::optional<int> B) const {
  const auto One = [](std::optional<int> S) {
    return S && *S != 0 ? std::to_string(*S) : std::string("-");
  };
  if (!A || !B) return One(A ? A : B);
  return One(A) + Arrow() + One(B);
}

std::string TDiffPrinter::EntryLine(std::string_view Word, std::string_view Method,
                                    std::string_view URL, std::string_view Status,
                                    std::string_view Why) const {
  std::string_view Colour = Red;
  if (Word == "same") Colour = Green;
  if (Word == "skipped" || StartsWithNoCase(Word, "only")) Colour = Yellow;
  std::string Padded(Word);
  Padded.resize(std::max<std::size_t>(Padded.size(), 9), ' ');
  std::string Out = Paint(Colour, Padded) + " " + Shown(Method) + " " + Shown(URL) + " " +
                    std::string(Status);
  if (!Why.empty()) Out += "  (" + Shown(Why) + ")";
  return Out + "\n";
}

std::string TDiffPrinter::Headers(const TPassComparison& C) const {
  std::string Out;
  for (const THeaderChange& H : C.Headers) {
    if (H.Volatile) continue;
    if (H.Kind != TChangeKind::ckAdded) Out += Line(Red, "-" + Shown(H.Name + ": " + H.Before));
    if (H.Kind != TChangeKind::ckRemoved) Out += Line(Green, "+" + Shown(H.Name + ": " + H.After));
  }
  return Out;
}

std::string TDiffPrinter::JsonBody(const TJsonDiffResult& J) const {
  std::string Out;
  for (const TJsonChange& C : J.Changes) {
    switch (C.Kind) {
      case TChangeKind::ckAdded: Out += Line(Green, "+" + Shown(C.Path + ": " + C.After)); break;
      case TChangeKind::ckRemoved: Out += Line(Red, "-" + Shown(C.Path + ": " + C.Before)); break;
      case TChangeKind::ckChanged:
        Out += Line(Yellow, Shown(C.Path + ": " + C.Before) + Arrow() + Shown(C.After));
        break;
    }
  }
  if (J.Count > J.Changes.size())
    Out += Line("", "... " + std::to_string(J.Count) + " changes in all, the first " +
                        std::to_string(J.Changes.size()) + " shown");
  return Out;
}

// Hunks of edits less than two contexts apart are one, as in git diff. When the search
// stopped early, what follows its last edit is unknown: that hunk gets no context after it.
std::string TDiffPrinter::TextBody(const TLineDiffResult& L, std::string_view TextA) const {
  const std::vector<std::string_view> LinesA = TextLines(TextA);
  const auto EndsWithoutLineEnd = !TextA.empty() && TextA.back() != '\n';
  std::string Out;
  for (std::size_t First = 0; First < L.Edits.size();) {
    std::size_t Last = First;
    while (Last + 1 < L.Edits.size() &&
           Spot(L.Edits[Last + 1]).A - Spot(L.Edits[Last]).AfterA <= 2 * Context)
      ++Last;
    const TEditSpot From = Spot(L.Edits[First]), To = Spot(L.Edits[Last]);
    const std::size_t StartA = From.A - std::min(From.A, Context);
    const std::size_t StartB = From.B - (From.A - StartA);
    const bool Open = !L.Complete && Last + 1 == L.Edits.size();
    const std::size_t EndA = Open ? To.AfterA : std::min(LinesA.size(), To.AfterA + Context);
    const std::size_t EndB = To.AfterB + (EndA - To.AfterA);
    Out += Line(Cyan, "@@ " + HunkSide('-', StartA, EndA - StartA) + " " +
                          HunkSide('+', StartB, EndB - StartB) + " @@");
    const auto Common = [&](std::size_t At) {
      Out += Line("", " " + Shown(LinesA[At]));
      if (At + 1 == LinesA.size() && EndsWithoutLineEnd)
        Out += Line("", "\\ No newline at end of file");
    };
    std::size_t At = StartA;
    for (std::size_t I = First; I <= Last; ++I) {
      const TLineEdit& E = L.Edits[I];
      for (; At < E.LineA && At < LinesA.size(); ++At) Common(At);
      Out += Line(E.Inserted ? Green : Red, (E.Inserted ? "+" : "-") + Shown(E.Text));
      if (!E.LineEnd) Out += Line("", "\\ No newline at end of file");
      if (!E.Inserted) ++At;
    }
    for (; At < EndA; ++At) Common(At);
    First = Last + 1;
  }
  if (!L.Complete)
    Out += Line("", "... at least " + std::to_string(L.Count) + " line edits; the first " +
                        std::to_string(L.Edits.size()) + " shown");
  return Out;
}

std::string TDiffPrinter::Body(const TBodyComparison& B, const TExchangePass& A) const {
  static constexpr const char* Kinds[] = {"JSON", "text", "image", "bytes"};
  std::string Head = "body: " + std::string(Kinds[static_cast<int>(B.Kind)]) + ", " +
                     Bytes(B.SizeA) + Arrow() + Bytes(B.SizeB) + " bytes";
  if (B.Kind == TBodyKind::bkImage)
    Head += ", " + ImageText(B.ImageA) + Arrow() + ImageText(B.ImageB);
  if (B.FirstDifference) Head += ", first difference at byte " + Bytes(*B.FirstDifference);
  if (B.Cut) Head += " (only the start of a body was kept, and compared)";
  std::string Out = Line(Bold, Head);
  if (B.Kind == TBodyKind::bkJson) Out += JsonBody(B.Json);
  if (B.Kind == TBodyKind::bkText) Out += TextBody(B.Lines, A.Body);
  return Out;
}

std::string TDiffPrinter::Differences(const TPassComparison& C, const TExchangePass& A) const {
  std::string Out;
  const auto Status = [](int Number, const std::string& Reason) {
    return Shown(Reason.empty() ? std::to_string(Number) : std::to_string(Number) + " " + Reason);
  };
  if (C.StatusA != C.StatusB)
    Out += Line(Bold, "status: " + Status(C.StatusA, C.ReasonA) + Arrow() +
                          Status(C.StatusB, C.ReasonB));
  Out += Headers(C);
  if (!C.Body.Same) Out += Body(C.Body, A);
  if (C.Tls && C.Tls->Changed()) Out += Tls(*C.Tls);
  return Out;
}

// Shown beside what counts, though it is no difference of its own: another base, or a
// renewed certificate, changes the session and not the answer.
std::string TDiffPrinter::Tls(const TTlsComparison& T) const {
  const auto Side = [](const TTlsSide& S) -> std::string {
    if (!S.Present) return "none";
    std::string Text = S.Version + " " + S.Cipher;
    // The fingerprint's first eight bytes tell two certificates apart.
    if (!S.Fingerprint.empty()) Text += " " + S.Fingerprint.substr(0, 23);
    return S.LetThrough ? Text : Text + " (refused)";
  };
  return Line(Cyan, "tls: " + Shown(Side(T.A)) + Arrow() + Shown(Side(T.B)));
}

TDiffPrinter::TStyle TDiffPrinter::StyleFor(int Fd) {
  TStyle Style;
  const char* NoColour = std::getenv("NO_COLOR");
  Style.Colour = ::isatty(Fd) == 1 && (NoColour == nullptr || *NoColour == '\0');
  std::string Locale;
  for (const char* Name : {"LC_ALL", "LC_CTYPE", "LANG"})
    if (const char* Value = std::getenv(Name); Value && *Value) {
      Locale = AsciiLowered(Value);
      break;
    }
  Style.Unicode = Locale.find("utf-8") != std::string::npos ||
                  Locale.find("utf8") != std::string::npos;
  return Style;
}
