// THarOpening: a HAR file read for the exchange inspector on a worker thread, so that the
// window stays live however long the file is and whatever it turns out to be: only a regular
// file is read (a FIFO, a folder or a device is refused at once), reply bodies are kept as a
// live pass keeps them (their first MiB), and the reading can be stopped at any time.
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <memory>

#include "inspect/THarReader.h"

class THarOpening : public QObject {
  Q_OBJECT

 public:
  THarOpening(const QString& FileName, QObject* Parent);
  // Stops the reading and waits for its thread, which ends within one buffer.
  ~THarOpening() override;

  const QString& FileName() const { return FFileName; }
  // Asks the worker to stop; Finished still comes, with a log of fault hfStopped.
  void Stop();
  bool Stopping() const { return FProgress->Stop.load(); }
  // The part of the file read, in thousandths; -1 while its size is unknown.
  int Permille() const;
  // The log read, once Finished came; taken only once.
  THarLog TakeLog();

  // The window's own words for what stopped a reading, in French: "le fichier est vide".
  static QString FaultText(const THarLog& Log);
  // The message box's text for a file that could not be read whole; empty when it was.
  static QString Message(const THarLog& Log, const QString& FileName);

 signals:
  void Finished();

 private:
  QString FFileName;
  std::shared_ptr<THarProgress> FProgress;  // shared with the worker, which may end later
  QFutureWatcher<THarLog> FWatcher;
  bool FTaken = false;
};
