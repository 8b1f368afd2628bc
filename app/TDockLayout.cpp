// TDockLayout: stored heights at the stored size, extra height to the panes.
#include "app/TDockLayout.h"

#include <QWidget>
#include <cmath>

TDockLayout::TDockLayout(QWidget* Parent, std::function<int()> Growth)
    : QLayout(Parent), FGrowth(std::move(Growth)) {
  setContentsMargins(0, 0, 0, 0);
  setSpacing(0);
}

TDockLayout::~TDockLayout() {
  for (const TEntry& E : FEntries) delete E.Item;
}

void TDockLayout::Add(QLayoutItem* Item, int Height, TKind Kind) {
  FEntries.append({Item, Height, Kind});
  invalidate();
}

int TDockLayout::Total(TKind Kind) const {
  int Sum = 0;
  for (const TEntry& E : FEntries)
    if (E.Kind == Kind) Sum += E.Height;
  return Sum;
}

void TDockLayout::AddFixed(QWidget* Control, int Height) {
  addChildWidget(Control);
  Add(new QWidgetItem(Control), Height, dkFixed);
}

void TDockLayout::AddGap(int Height) {
  Add(new QSpacerItem(0, Height, QSizePolicy::Minimum, QSizePolicy::Fixed), Height, dkGap);
}

void TDockLayout::AddPane(QWidget* Pane, int Height) {
  addChildWidget(Pane);
  Add(new QWidgetItem(Pane), Height, dkPane);
}

int TDockLayout::StoredHeight() const {
  int Sum = 0;
  for (const TEntry& E : FEntries) Sum += E.Height;
  return Sum;
}

void TDockLayout::addItem(QLayoutItem* Item) {
  // Whatever comes through the generic door keeps the height it asks for.
  Add(Item, Item->sizeHint().height(), dkFixed);
}

QLayoutItem* TDockLayout::itemAt(int Index) const {
  return Index >= 0 && Index < FEntries.size() ? FEntries[Index].Item : nullptr;
}

QLayoutItem* TDockLayout::takeAt(int Index) {
  if (Index < 0 || Index >= FEntries.size()) return nullptr;
  QLayoutItem* Item = FEntries.takeAt(Index).Item;
  invalidate();
  return Item;
}

int TDockLayout::count() const { return static_cast<int>(FEntries.size()); }

QSize TDockLayout::sizeHint() const { return {0, StoredHeight()}; }

QSize TDockLayout::minimumSize() const { return {0, StoredHeight()}; }

Qt::Orientations TDockLayout::expandingDirections() const { return Qt::Horizontal | Qt::Vertical; }

void TDockLayout::setGeometry(const QRect& Rect) {
  QLayout::setGeometry(Rect);
  const int Spare = Rect.height() - StoredHeight();
  const int Gaps = Total(dkGap);
  int ToPanes = FGrowth ? std::max(FGrowth(), 0) : Spare;
  int ToGaps = Spare - ToPanes;
  // The gaps take what the page has more or less than stored beyond the window's growth,
  // down to nothing; the panes the rest.
  if (Gaps == 0 || Gaps + ToGaps < 0) {
    const int Kept = Gaps == 0 ? 0 : -Gaps;
    ToPanes += ToGaps - Kept;
    ToGaps = Kept;
  }
  const int Weights = Total(dkPane);
  // Each pane's share is rounded on the running total, so that the shares add up exactly
  // and the last control ends on the page's bottom edge.
  int Weighed = 0;
  int Given = 0;
  bool GapDone = false;
  int Y = Rect.y();
  for (const TEntry& E : FEntries) {
    int Height = E.Height;
    if (E.Kind == dkPane && Weights > 0) {
      Weighed += E.Height;
      const int Due = static_cast<int>(std::lround(double(ToPanes) * Weighed / Weights));
      Height += Due - Given;
      Given = Due;
    } else if (E.Kind == dkGap && !GapDone) {
      Height += ToGaps;
      GapDone = true;
    }
    Height = std::max(Height, 0);
    E.Item->setGeometry(QRect(Rect.x(), Y, Rect.width(), Height));
    Y += Height;
  }
}
