// TDockLayout: a page's controls docked one under the other at their stored heights, with
// the panes sharing whatever height the window gains.
#pragma once

#include <QLayout>
#include <QList>
#include <functional>

// Every control spans the page's width and gets its stored height, the panes their share of
// the height the window gained, in proportion to their stored heights; captions and empty
// strips keep theirs. The window's growth is measured from its stored size, not the page's:
// the page control's frame and tabs need not be as high here as where the heights were
// stored, and what the page has more or less than the sum of the heights at the stored size
// goes to its empty strip (or, on a page without one, to its panes). The sum is also the
// layout's minimum: below it a caption would have to overlap a pane.
class TDockLayout : public QLayout {
 public:
  // Growth gives how much taller than stored the window is; without it, the page is.
  explicit TDockLayout(QWidget* Parent, std::function<int()> Growth = nullptr);
  ~TDockLayout() override;

  // A control that keeps its height.
  void AddFixed(QWidget* Control, int Height);
  // An empty strip that keeps its height.
  void AddGap(int Height);
  // A pane: its height at the stored size, and its share of any extra height.
  void AddPane(QWidget* Pane, int Height);
  // The page's height at the stored size.
  int StoredHeight() const;

  void addItem(QLayoutItem* Item) override;
  QLayoutItem* itemAt(int Index) const override;
  QLayoutItem* takeAt(int Index) override;
  int count() const override;
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  Qt::Orientations expandingDirections() const override;
  void setGeometry(const QRect& Rect) override;

 private:
  enum TKind { dkFixed, dkGap, dkPane };
  struct TEntry {
    QLayoutItem* Item;
    int Height;
    TKind Kind;
  };
  void Add(QLayoutItem* Item, int Height, TKind Kind);
  int Total(TKind Kind) const;

  std::function<int()> FGrowth;
  QList<TEntry> FEntries;
};
