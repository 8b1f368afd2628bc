// TTimingBars: the timing picture of an exchange, as a browser's network panel draws it: each
// pass a row of spans (look-up, connection, TLS, sending, waiting, receiving) on one time scale
// shared by every row. The spans are the pass record's own, placed on that scale apart
// from the painting, so that their geometry can be checked without pixels.
#pragma once

#include <QColor>
#include <QRectF>
#include <QString>
#include <chrono>
#include <optional>
#include <vector>

#include "inspect/TExchangePass.h"

class QPainter;

// One stage of a pass, in milliseconds on the exchange's clock (0 is the first pass's start).
struct TBarSpan {
  // bkQuestion: the look-up failed and the user was asked for another server; that time
  // belongs to no stage of the exchange. bkTls: the handshake and the check, between the
  // connection and the sending.
  enum TKind { bkLookUp, bkConnect, bkSend, bkWait, bkReceive, bkQuestion, bkTls };
  TKind Kind = bkLookUp;
  double From = 0;
  double To = 0;
};

class TTimingBars {
 public:
  static constexpr int KindCount = TBarSpan::bkTls + 1;
  using TClock = std::chrono::steady_clock;

  // The pass's spans (TExchangePass::Spans) on the clock that starts at Origin, Now in ms
  // on the same clock: the stage in progress of a pass still running reaches up to Now, so
  // that a bar grows while the transfer goes on. A stage in progress that has taken no time
  // yet has no bar.
  static std::vector<TBarSpan> Spans(const TExchangePass& Pass, TClock::time_point Origin,
                                     std::optional<double> Now = std::nullopt);
  // Every pass's spans, on the first pass's clock.
  static std::vector<std::vector<TBarSpan>> Rows(const std::vector<TExchangePass>& Passes,
                                                 std::optional<double> Now = std::nullopt);
  // The end of the latest span of all rows: the time the full width stands for.
  static double Scale(const std::vector<std::vector<TBarSpan>>& Rows);
  // The rectangles of Spans inside Area, Scale milliseconds wide. A span too short to see
  // keeps one pixel, so that a reached stage never vanishes.
  static std::vector<QRectF> Rects(const std::vector<TBarSpan>& Spans, double Scale,
                                   const QRectF& Area);
  static void Paint(QPainter& Painter, const std::vector<TBarSpan>& Spans, double Scale,
                    const QRectF& Area);

  static QColor Colour(TBarSpan::TKind Kind);
  static QString KindName(TBarSpan::TKind Kind);
};
