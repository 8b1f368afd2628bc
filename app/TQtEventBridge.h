// Lets Qt's event loop and the platform message queue drive each other: Qt watches the
// queue's fd and dispatches platform messages when it becomes readable, and the components'
// waits block in Qt's loop, so the window stays live while a request runs.
#pragma once

#include <QObject>

class QSocketNotifier;

class TQtEventBridge : public QObject {
  Q_OBJECT

 public:
  // Installs the application hooks; one bridge per program, on the GUI thread.
  explicit TQtEventBridge(QObject* Parent = nullptr);
  ~TQtEventBridge() override;

 private slots:
  void QueueReadable();

 private:
  QSocketNotifier* FNotifier = nullptr;
};
