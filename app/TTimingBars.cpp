// TTimingBars: spans of the stages of each pass, their rectangles and their colours.
#include "app/TTimingBars.h"

#include <QPainter>
#include <algorithm>
#include <array>

std::vector<TBarSpan> TTimingBars::Spans(const TExchangePass& Pass, TClock::time_point Origin,
                                         std::optional<double> Now) {
  const double Offset = std::chrono::duration<double, std::milli>(Pass.Started - Origin).count();
  struct TStep {
    TBarSpan::TKind Kind;
    std::optional<double> End;
    bool Optional;  // a dotted address needs no look-up
  };
  // Waiting lasts up to the reply's first byte; receiving from there to the body's end.
  const std::array<TStep, KindCount> Steps{{{TBarSpan::bkLookUp, Pass.At[xsLookedUp], true},
                                            {TBarSpan::bkConnect, Pass.At[xsConnected], false},
                                            {TBarSpan::bkSend, Pass.At[xsRequestSent], false},
                                            {TBarSpan::bkWait, Pass.FirstByte(), false},
                                            {TBarSpan::bkReceive, Pass.At[xsBodyEnd], false}}};
  std::vector<TBarSpan> Out;
  double Last = Offset;
  if (const auto& Q = Pass.HostQuestion) {
    Out.push_back({TBarSpan::bkLookUp, Last, Offset + Q->Asked});
    Out.push_back(
        {TBarSpan::bkQuestion, Out.back().To, std::max(Out.back().To, Offset + Q->Answered)});
    Last = Out.back().To;
  }
  // Where the stage in progress ends: the pass's end once its request was sent (as in the
  // HAR: a connection never made has no span), or now while it runs; -1 for none.
  const double Until = Pass.EndedAt && Pass.At[xsRequestSent] ? Offset + *Pass.EndedAt
                       : Now && Pass.Error.empty()            ? *Now
                                                              : -1.0;
  for (const TStep& S : Steps) {
    if (S.End) {
      Out.push_back({S.Kind, Last, std::max(Last, Offset + *S.End)});
      Last = Out.back().To;
      continue;
    }
    if (S.Optional) continue;
    if (Until > Last) Out.push_back({S.Kind, Last, Until});
    break;
  }
  return Out;
}

std::vector<std::vector<TBarSpan>> TTimingBars::Rows(const std::vector<TExchangePass>& Passes,
                                                     std::optional<double> Now) {
  std::vector<std::vector<TBarSpan>> Out;
  if (Passes.empty()) return Out;
  const TClock::time_point Origin = Passes.front().Started;
  for (std::size_t I = 0; I < Passes.size(); ++I)
    // Only the last pass can still be under way.
    Out.push_back(Spans(Passes[I], Origin, I + 1 == Passes.size() ? Now : std::nullopt));
  return Out;
}

double TTimingBars::Scale(const std::vector<std::vector<TBarSpan>>& Rows) {
  double End = 0;
  for (const auto& Row : Rows)
    for (const TBarSpan& S : Row) End = std::max(End, S.To);
  return End;
}

std::vector<QRectF> TTimingBars::Rects(const std::vector<TBarSpan>& Spans, double Scale,
                                       const QRectF& Area) {
  std::vector<QRectF> Out;
  const double PerMs = Scale > 0 ? Area.width() / Scale : 0;
  for (const TBarSpan& S : Spans) {
    const double X = Area.left() + S.From * PerMs;
    Out.emplace_back(X, Area.top(), std::max(1.0, (S.To - S.From) * PerMs), Area.height());
  }
  return Out;
}

void TTimingBars::Paint(QPainter& Painter, const std::vector<TBarSpan>& Spans, double Scale,
                        const QRectF& Area) {
  const std::vector<QRectF> Boxes = Rects(Spans, Scale, Area);
  Painter.save();
  Painter.setPen(Qt::NoPen);
  for (std::size_t I = 0; I < Spans.size(); ++I) {
    Painter.setBrush(Colour(Spans[I].Kind));
    Painter.drawRect(Boxes[I]);
  }
  Painter.restore();
}

QColor TTimingBars::Colour(TBarSpan::TKind Kind) {
  // The colours of the browsers' panels, which a user already reads without a legend.
  static const std::array<QColor, KindCount> Colours{
      QColor(0x00, 0x96, 0x88), QColor(0xFF, 0x98, 0x00), QColor(0x9E, 0x9E, 0x9E),
      QColor(0x4C, 0xAF, 0x50), QColor(0x21, 0x96, 0xF3), QColor(0xCE, 0x93, 0xD8)};
  return Colours[Kind];
}

QString TTimingBars::KindName(TBarSpan::TKind Kind) {
  static const std::array<const char*, KindCount> Names{
      "Recherche de l'h\u00f4te", "Connexion", "Envoi", "Attente", "R\u00e9ception", "Question"};
  return QString::fromUtf8(Names[Kind]);
}
