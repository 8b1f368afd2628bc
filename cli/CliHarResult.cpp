// The rows of --replay and --compare as JSON, field by field of the comparison.
#include "cli/CliHarResult.h"

#include <algorithm>

namespace {

using TJson = nlohmann::ordered_json;

constexpr TCliVerdict AllVerdicts[] = {TCliVerdict::cvSame,    TCliVerdict::cvDiffers,
                                       TCliVerdict::cvFailed,  TCliVerdict::cvSkipped,
                                       TCliVerdict::cvOnlyInA, TCliVerdict::cvOnlyInB};

const char* ChangeWord(TChangeKind Kind) {
  switch (Kind) {
    case TChangeKind::ckAdded: return "added";
    case TChangeKind::ckRemoved: return "removed";
    default: return "changed";
  }
}

// A span by the name the HAR's timings give it.
const char* SpanWord(TSpanKind Kind) {
  switch (Kind) {
    case TSpanKind::skLookUp: return "dns";
    case TSpanKind::skQuestion: return "blocked";
    case TSpanKind::skConnect: return "connect";
    case TSpanKind::skTls: return "ssl";
    case TSpanKind::skSend: return "send";
    case TSpanKind::skWait: return "wait";
    default: return "receive";
  }
}

TJson Optional(const std::optional<double>& V) { return V ? TJson(*V) : TJson(nullptr); }

TJson Image(const TImageFacts& F) {
  if (F.Type.empty()) return nullptr;
  return {{"type", F.Type}, {"width", F.Width}, {"height", F.Height}};
}

TJson BodyJson(const TBodyComparison& B) {
  static constexpr const char* Kinds[] = {"json", "text", "image", "bytes"};
  TJson Out = {{"kind", Kinds[static_cast<int>(B.Kind)]},
               {"same", B.Same},
               {"cut", B.Cut},
               {"sizeA", B.SizeA},
               {"sizeB", B.SizeB}};
  if (B.Kind == TBodyKind::bkJson) {
    TJson Changes = TJson::array();
    for (const TJsonChange& C : B.Json.Changes)
      Changes.push_back(
          {{"change", ChangeWord(C.Kind)}, {"path", C.Path}, {"before", C.Before}, {"after", C.After}});
    Out["json"] = {{"count", B.Json.Count}, {"changes", std::move(Changes)}};
  } else if (B.Kind == TBodyKind::bkText) {
    TJson Edits = TJson::array();
    for (const TLineEdit& E : B.Lines.Edits)
      Edits.push_back({{"op", E.Inserted ? "+" : "-"},
                       {"lineA", E.LineA},
                       {"lineB", E.LineB},
                       {"text", E.Text},
                       {"lineEnd", E.LineEnd}});
    Out["lines"] = {{"count", B.Lines.Count},     {"complete", B.Lines.Complete},
                    {"linesA", B.Lines.LinesA},   {"linesB", B.Lines.LinesB},
                    {"edits", std::move(Edits)}};
  } else if (B.Kind == TBodyKind::bkImage) {
    Out["imageA"] = Image(B.ImageA);
    Out["imageB"] = Image(B.ImageB);
  }
  Out["firstDifference"] = B.FirstDifference ? TJson(*B.FirstDifference) : TJson(nullptr);
  return Out;
}

TJson RowJson(const TCliHarRow& R, bool Replay) {
  const auto Index = [](const std::optional<std::size_t>& I) {
    return I ? TJson(*I) : TJson(nullptr);
  };
  TJson Out = {{"outcome", CliVerdictWord(R.Verdict)}, {"method", R.Method}, {"url", R.URL}};
  if (Replay) {
    Out["entry"] = Index(R.IndexA);
  } else {
    Out["entryA"] = Index(R.IndexA);
    Out["entryB"] = Index(R.IndexB);
  }
  Out["statusA"] = R.A ? TJson(R.A->ReplyNumber) : TJson(nullptr);
  Out["statusB"] = R.B ? TJson(R.B->ReplyNumber) : TJson(nullptr);
  if (!R.Why.empty()) Out["why"] = R.Why;
  Out["comparison"] = R.Comparison ? CliComparisonJson(*R.Comparison) : TJson(nullptr);
  return Out;
}

}  // namespace

std::string_view CliVerdictWord(TCliVerdict Verdict) {
  static constexpr std::string_view Words[] = {"same",    "differs",   "failed",
                                               "skipped", "only-in-A", "only-in-B"};
  return Words[static_cast<int>(Verdict)];
}

int TCliHarRun::ExitStatus() const {
  if (!Errors.empty()) return 2;
  return std::all_of(Rows.begin(), Rows.end(),
                     [](const TCliHarRow& R) { return R.Verdict == TCliVerdict::cvSame; })
             ? 0
             : 1;
}

TJson CliComparisonJson(const TPassComparison& C) {
  TJson Headers = TJson::array();
  for (const THeaderChange& H : C.Headers)
    Headers.push_back({{"change", ChangeWord(H.Kind)},
                       {"name", H.Name},
                       {"before", H.Before},
                       {"after", H.After},
                       {"volatile", H.Volatile}});
  TJson Timings = TJson::array();
  for (const TSpanComparison& S : C.Timings)
    Timings.push_back({{"span", SpanWord(S.Kind)},
                       {"a", Optional(S.A)},
                       {"b", Optional(S.B)},
                       {"difference", Optional(S.Difference())}});
  TJson Tls = nullptr;
  if (C.Tls) {
    const auto Side = [](const TTlsSide& S) -> TJson {
      if (!S.Present) return nullptr;
      return {{"version", S.Version}, {"cipher", S.Cipher}, {"sha256", S.Fingerprint},
              {"notBefore", S.NotBefore}, {"notAfter", S.NotAfter}, {"letThrough", S.LetThrough}};
    };
    Tls = {{"changed", C.Tls->Changed()}, {"a", Side(C.Tls->A)}, {"b", Side(C.Tls->B)}};
  }
  return {{"same", C.Same()},
          {"status", {{"a", C.StatusA}, {"b", C.StatusB}}},
          {"reason", {{"a", C.ReasonA}, {"b", C.ReasonB}}},
          {"version", {{"a", C.VersionA}, {"b", C.VersionB}}},
          {"headers", std::move(Headers)},
          {"body", BodyJson(C.Body)},
          {"timings", std::move(Timings)},
          {"tls", std::move(Tls)}};
}

TJson CliHarJson(const TCliHarRun& Run) {
  const bool Replay = Run.Mode == "replay";
  TJson Counts = TJson::object();
  for (const TCliVerdict V : AllVerdicts)
    Counts[std::string(CliVerdictWord(V))] = std::count_if(
        Run.Rows.begin(), Run.Rows.end(), [V](const TCliHarRow& R) { return R.Verdict == V; });
  TJson Rows = TJson::array();
  for (const TCliHarRow& R : Run.Rows) Rows.push_back(RowJson(R, Replay));
  TJson Out = {{"mode", Run.Mode}, {"files", Run.Files}};
  if (Replay) Out["base"] = Run.Base.empty() ? TJson(nullptr) : TJson(Run.Base);
  Out["errors"] = Run.Errors;
  Out["counts"] = std::move(Counts);
  Out["exitStatus"] = Run.ExitStatus();
  Out["entries"] = std::move(Rows);
  return Out;
}
