// TBarDelegate: draws a row's timing spans in a column of a table, on the scale it is given,
// so that every row of the table shares one time scale.
#pragma once

#include <QStyledItemDelegate>
#include <vector>

#include "app/TTimingBars.h"

class TBarDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  // The spans of each row and the time the column's width stands for.
  void SetRows(std::vector<std::vector<TBarSpan>> Rows, double Scale);
  const std::vector<std::vector<TBarSpan>>& Rows() const { return FRows; }
  double Scale() const { return FScale; }
  // Where Row's spans go inside a cell of that size.
  std::vector<QRectF> RowRects(int Row, const QRectF& Cell) const;

  void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
             const QModelIndex& Index) const override;

  // The bar keeps a margin inside its cell, so that rows stand apart.
  static QRectF BarArea(const QRectF& Cell);

 private:
  std::vector<std::vector<TBarSpan>> FRows;
  double FScale = 0;
};
