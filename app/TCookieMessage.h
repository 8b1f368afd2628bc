// TCookieMessage: the message that shows the cookie a GET received.
#pragma once

#include <QDialog>
#include <QString>

class QPlainTextEdit;

// "Cookie:" on one line and the cookie under it, like a message box, but the cookie sits in a
// read-only pane that wraps anywhere and scrolls: a cookie of several kilobytes has no blank
// to wrap at, and a message box would grow wider than the screen to hold it on one line.
class TCookieMessage : public QDialog {
  Q_OBJECT
  Q_PROPERTY(QString text READ text)

 public:
  explicit TCookieMessage(const QString& Cookie, QWidget* Parent = nullptr);

  // The whole message, as a message box would hold it: "Cookie:", a line end, the cookie.
  QString text() const;
  QPlainTextEdit* Pane() const { return FPane; }

  // The widest the message gets, whatever the screen.
  static constexpr int MaxWidth = 480;
  // Lines of the cookie shown before the pane scrolls.
  static constexpr int MaxLines = 16;

 private:
  QString FCookie;
  QPlainTextEdit* FPane;
};
