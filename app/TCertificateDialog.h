// TCertificateDialog: "Certificat refusé", the dialog of a request whose certificate check
// failed: why, in plain words, the chain as the server sent it, and the choice to go on
// without the check for that server and certificate.
#pragma once

#include <QDialog>
#include <QString>

#include "tls/TTlsFacts.h"

class TCertificateDialog : public QDialog {
  Q_OBJECT
  // The reason and the chain as shown, for a reader that wants the words.
  Q_PROPERTY(QString text READ Text)

 public:
  // Server is "host:port" as the request named it.
  TCertificateDialog(const QString& Server, const TTlsFacts& Facts, QWidget* Parent = nullptr);

  QString Text() const { return FText; }

 private:
  QString FText;
};
