// TStatusMarks: the certificate marks of the main window's status bar.
#include "app/TStatusMarks.h"

#include <QLabel>
#include <QStatusBar>
#include <optional>

#include "app/TTlsProgress.h"
#include "app/TTlsText.h"

TStatusMarks::TStatusMarks(QStatusBar* Bar) {
  // Beside the one text, kept once the request is over: whether the last pass's certificate
  // was checked.
  auto* Checked = new QLabel(Bar);
  Checked->setObjectName("CertificateMark");
  Checked->hide();
  Bar->addPermanentWidget(Checked);
  FCertificate = Checked;
  // Beside it, and only while it applies: the exchange went on unchecked.
  auto* Mark = new QLabel(Bar);
  Mark->setObjectName("SecurityMark");
  Mark->setStyleSheet("QLabel { color: #b00000; font-weight: bold; }");
  Mark->hide();
  Bar->addPermanentWidget(Mark);
  FSecurity = Mark;
}

QString TStatusMarks::Security() const { return FSecurity ? FSecurity->text() : QString(); }

QString TStatusMarks::Certificate() const { return FCertificate ? FCertificate->text() : QString(); }

void TStatusMarks::Show(const TTlsProgress& Progress) {
  if (!FSecurity || !FCertificate) return;
  FSecurity->setText(Progress.Unverified() ? QString::fromUtf8("Non v\u00e9rifi\u00e9") : QString());
  FSecurity->setVisible(Progress.Unverified());
  const std::optional<TTlsFacts>& Tls = Progress.Last().Tls;
  QString Word;
  if (Tls && TlsText::LetThrough(*Tls))
    Word = Tls->VerifyWaived ? QString::fromUtf8("Certificat non v\u00e9rifi\u00e9")
                             : QString::fromUtf8("Certificat v\u00e9rifi\u00e9");
  FCertificate->setText(Word);
  FCertificate->setVisible(!Word.isEmpty());
}
