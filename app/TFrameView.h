// TFrameView: the inspector's "Trames" tab: the HTTP/2 frames of the selected pass's
// connection, from its request on, in the order they went and came (TFrameModel), and under
// them how many more were only counted; for a pass that did not speak HTTP/2, a line that
// says so.
#pragma once

#include <QWidget>

#include "inspect/TExchangePass.h"

class QLabel;
class QTableView;
class TFrameModel;

class TFrameView : public QWidget {
  Q_OBJECT

 public:
  explicit TFrameView(QWidget* Parent = nullptr);
  // Shows the frames of Pass, the Index-th of its source; a running pass shown again gains
  // its new rows, and the reader keeps his place.
  void Show(const TExchangePass& Pass, int Index);
  // Shows no pass (none selected, or a tunnel's row).
  void Clear();
  const TFrameModel& Model() const { return *FModel; }
  QTableView* Table() const { return FTable; }
  // The line under the table (or instead of it); empty when none shows.
  QString NoteText() const;

 private:
  void SetNote(const QString& Text);

  TFrameModel* FModel;
  QTableView* FTable;
  QLabel* FNote;
};
