// TFlowLayout: controls placed left to right at their preferred sizes, going on to a new line
// where the width runs out, so that a row of buttons stays whole in a narrow window.
#pragma once

#include <QLayout>
#include <QList>

// Its minimum width is its widest control's, and its height follows the width it is given
// (height for width), as a word-wrapped label's does.
class TFlowLayout : public QLayout {
 public:
  explicit TFlowLayout(QWidget* Parent = nullptr);
  ~TFlowLayout() override;

  void addItem(QLayoutItem* Item) override;
  QLayoutItem* itemAt(int Index) const override;
  QLayoutItem* takeAt(int Index) override;
  int count() const override;
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  Qt::Orientations expandingDirections() const override;
  bool hasHeightForWidth() const override;
  int heightForWidth(int Width) const override;
  void setGeometry(const QRect& Rect) override;

 private:
  // Lays the items out in Rect (only measures when Place is false); returns the height used.
  int Flow(const QRect& Rect, bool Place) const;

  QList<QLayoutItem*> FItems;
};
