// TFlowLayout: items in lines, each line as high as its highest item.
#include "app/TFlowLayout.h"

#include <QWidget>
#include <algorithm>

TFlowLayout::TFlowLayout(QWidget* Parent) : QLayout(Parent) {}

TFlowLayout::~TFlowLayout() {
  while (!FItems.isEmpty()) delete FItems.takeFirst();
}

void TFlowLayout::addItem(QLayoutItem* Item) {
  FItems.append(Item);
  invalidate();
}

QLayoutItem* TFlowLayout::itemAt(int Index) const {
  return Index >= 0 && Index < FItems.size() ? FItems[Index] : nullptr;
}

QLayoutItem* TFlowLayout::takeAt(int Index) {
  if (Index < 0 || Index >= FItems.size()) return nullptr;
  QLayoutItem* Item = FItems.takeAt(Index);
  invalidate();
  return Item;
}

int TFlowLayout::count() const { return static_cast<int>(FItems.size()); }

Qt::Orientations TFlowLayout::expandingDirections() const { return {}; }

bool TFlowLayout::hasHeightForWidth() const { return true; }

int TFlowLayout::heightForWidth(int Width) const { return Flow(QRect(0, 0, Width, 0), false); }

QSize TFlowLayout::sizeHint() const {
  // Everything on one line.
  const QMargins M = contentsMargins();
  int Width = 0, Height = 0, Shown = 0;
  for (const QLayoutItem* Item : FItems) {
    if (Item->isEmpty()) continue;
    Width += Item->sizeHint().width() + (Shown++ > 0 ? spacing() : 0);
    Height = std::max(Height, Item->sizeHint().height());
  }
  return QSize(Width, Height) + QSize(M.left() + M.right(), M.top() + M.bottom());
}

QSize TFlowLayout::minimumSize() const {
  QSize Size;
  for (const QLayoutItem* Item : FItems)
    if (!Item->isEmpty()) Size = Size.expandedTo(Item->minimumSize());
  const QMargins M = contentsMargins();
  return Size + QSize(M.left() + M.right(), M.top() + M.bottom());
}

void TFlowLayout::setGeometry(const QRect& Rect) {
  QLayout::setGeometry(Rect);
  Flow(Rect, true);
}

int TFlowLayout::Flow(const QRect& Rect, bool Place) const {
  const QRect Area = Rect.marginsRemoved(contentsMargins());
  const int Gap = std::max(spacing(), 0);
  int X = Area.x(), Y = Area.y(), LineHeight = 0;
  // The items of the line being filled, each centred on the line's height once it is known.
  QList<std::pair<QLayoutItem*, QRect>> Line;
  const auto EndLine = [&] {
    for (auto& [Item, R] : Line)
      if (Place) Item->setGeometry(R.translated(0, (LineHeight - R.height()) / 2));
    Line.clear();
  };
  for (QLayoutItem* Item : FItems) {
    if (Item->isEmpty()) continue;
    const QSize Size = Item->sizeHint().boundedTo(QSize(Area.width(), QWIDGETSIZE_MAX));
    if (X > Area.x() && X + Size.width() > Area.x() + Area.width()) {
      EndLine();
      X = Area.x();
      Y += LineHeight + Gap;
      LineHeight = 0;
    }
    Line.append({Item, QRect(QPoint(X, Y), Size)});
    X += Size.width() + Gap;
    LineHeight = std::max(LineHeight, Size.height());
  }
  EndLine();
  return Y + LineHeight - Rect.y() + contentsMargins().bottom();
}
