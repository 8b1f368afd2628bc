// TStatusMarks: the status bar's two marks beside its text, kept once the request is over: the
// last pass's word on its certificate, and, only while it applies, that the exchange went on
// without the certificate check.
#pragma once

#include <QPointer>
#include <QString>

class QLabel;
class QStatusBar;
class TTlsProgress;

class TStatusMarks {
 public:
  // Adds both marks to Bar, hidden, after what it holds already; they go with it.
  explicit TStatusMarks(QStatusBar* Bar);

  // Both marks as the exchange recorded stands.
  void Show(const TTlsProgress& Progress);
  // "Non vérifié" while a pass went on unchecked; empty otherwise.
  QString Security() const;
  // "Certificat vérifié" or "Certificat non vérifié" for a last pass over https that went
  // through; empty otherwise.
  QString Certificate() const;

 private:
  QPointer<QLabel> FSecurity;     // null once the status bar is gone
  QPointer<QLabel> FCertificate;
};
