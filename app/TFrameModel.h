// TFrameModel: the HTTP/2 frames of one pass as a table model for the inspector's "Trames"
// tab: a row per frame in the order they went and came, its cells written only when a view
// asks for them, so that the 10 000 frames a pass keeps cost a row in sight each.
#pragma once

#include <QAbstractTableModel>
#include <string>
#include <vector>

#include "inspect/TExchangePass.h"

class TFrameModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum TColumn { fcTime, fcDirection, fcType, fcFlags, fcStream, fcLength, fcDetail, ColumnCount };

  explicit TFrameModel(QObject* Parent = nullptr);
  // Shows the frames of Pass, the Index-th of its source. The same pass again (a running one,
  // whose frames only grow) adds the rows that came since instead of rebuilding all of them.
  void Show(const TExchangePass& Pass, int Index);
  void Clear();

  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

  // What a frame's "Détail" cell says: the decoded header list of HEADERS (lines joined by
  // "; "), the error's name of RST_STREAM, GOAWAY's with its last stream, SETTINGS' pairs,
  // WINDOW_UPDATE's increment; empty for the others.
  static QString Detail(const THttp2Frame& Frame);

 private:
  // The frames are copied: the recorder's vectors move as a running pass grows, and a view
  // paints whenever it likes.
  std::vector<THttp2Frame> FFrames;
  std::vector<double> FTimes;
  std::string FKey;  // the pass shown: its index and its start
};
