// TExchangeDetails: the modeless window about the last request: for each pass, the method
// and URL, the exact bytes sent, the reply's status line and header block, and the time at
// which each stage was reached. It follows a running request as it goes.
#pragma once

#include <QString>
#include <QWidget>
#include <string>

#include "app/TExchangeLog.h"

class QAction;
class QPlainTextEdit;
class QToolButton;

class TExchangeDetails : public QWidget {
  Q_OBJECT

 public:
  // Shows Log, which must outlive the window (the main window owns both).
  explicit TExchangeDetails(const TExchangeLog& Log, QWidget* Parent = nullptr);

  const TExchangeLog& Log() const { return FLog; }
  // The window's text: every pass of the last request, as Render gives it.
  QString Text() const;
  // Rebuilds the text from the log, keeping the reader's place.
  void Refresh();
  // The main window's stop: a button at the top, and its shortcut (Esc) while this window
  // has the focus, so a request can be stopped from here too.
  void SetStopAction(QAction* Stop);

  // The text for the passes of a log.
  static QString Render(const TExchangeLog& Log);
  // Bytes as text: printable ASCII as it is; CR, LF, tab and backslash as \r, \n, \t, \\;
  // every other byte as \xNN. A line break follows each \n, so a header reads line by line.
  static QString Escaped(const std::string& Bytes);

 private:
  const TExchangeLog& FLog;
  QPlainTextEdit* FMemo;
  QToolButton* FStop;
};
