// TTimingBars: the passes' spans on one clock, their rectangles and their colours.
#include "app/TTimingBars.h"

#include <QPainter>
#include <algorithm>
#include <array>

std::vector<TBarSpan> TTimingBars::Spans(const TExchangePass& Pass, TClock::time_point Origin,
                                         std::optional<double> Now) {
  const double Offset = std::chrono::duration<double, std::milli>(Pass.Started - Origin).count();
  // By TSpanKind: the handshake has a colour of its own, as in the browsers' panels.
  static constexpr TBarSpan::TKind Kinds[] = {TBarSpan::bkLookUp, TBarSpan::bkQuestion,
                                              TBarSpan::bkConnect, TBarSpan::bkTls,
                                              TBarSpan::bkSend,    TBarSpan::bkWait,
                                              TBarSpan::bkReceive};
  std::vector<TBarSpan> Out;
  for (const TPassSpan& S :
       Pass.Spans(Now ? std::optional<double>(*Now - Offset) : std::nullopt)) {
    // A stage in progress that has taken no time yet has nothing to draw.
    if (!S.Reached && S.To <= S.From) continue;
    Out.push_back({Kinds[static_cast<int>(S.Kind)], Offset + S.From, Offset + S.To});
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
      QColor(0x4C, 0xAF, 0x50), QColor(0x21, 0x96, 0xF3), QColor(0xCE, 0x93, 0xD8),
      QColor(0x7B, 0x1F, 0xA2)};
  return Colours[Kind];
}

QString TTimingBars::KindName(TBarSpan::TKind Kind) {
  static const std::array<const char*, KindCount> Names{
      "Recherche de l'h\u00f4te", "Connexion", "Envoi", "Attente", "R\u00e9ception", "Question",
      "TLS"};
  return QString::fromUtf8(Names[Kind]);
}
