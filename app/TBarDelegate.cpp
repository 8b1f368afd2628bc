// TBarDelegate: the timing column's painting.
#include "app/TBarDelegate.h"

#include <QPainter>

void TBarDelegate::SetRows(std::vector<std::vector<TBarSpan>> Rows, double Scale) {
  FRows = std::move(Rows);
  FScale = Scale;
}

QRectF TBarDelegate::BarArea(const QRectF& Cell) { return Cell.adjusted(4, 4, -4, -4); }

std::vector<QRectF> TBarDelegate::RowRects(int Row, const QRectF& Cell) const {
  if (Row < 0 || Row >= static_cast<int>(FRows.size())) return {};
  return TTimingBars::Rects(FRows[static_cast<std::size_t>(Row)], FScale, BarArea(Cell));
}

void TBarDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                         const QModelIndex& Index) const {
  // A selected row's highlight would hide the bars drawn in its colour: a paler one here.
  if (Option.state & QStyle::State_Selected)
    Painter->fillRect(Option.rect, Option.palette.highlight().color().lighter(170));
  else
    QStyledItemDelegate::paint(Painter, Option, Index);
  const int Row = Index.row();
  if (Row < 0 || Row >= static_cast<int>(FRows.size())) return;
  TTimingBars::Paint(*Painter, FRows[static_cast<std::size_t>(Row)], FScale,
                     BarArea(QRectF(Option.rect)));
}
