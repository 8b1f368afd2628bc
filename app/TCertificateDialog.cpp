// The dialog of a refused certificate: "Annuler" (also Esc, and the default) or "Continuer
// sans vérifier".
#include "app/TCertificateDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/TAnsiText.h"
#include "app/TTlsText.h"

TCertificateDialog::TCertificateDialog(const QString& Server, const TTlsFacts& Facts,
                                       QWidget* Parent)
    : QDialog(Parent) {
  setObjectName("CertificateRefused");
  setWindowTitle(QString::fromUtf8("Certificat refus\u00e9"));
  // The names and the reason quote the certificate, which the server chose: a bidirectional
  // control there would make one name read as another.
  const QString Reason = TAnsiText::WithVisibleBidi(TlsText::Reason(Facts.Reason));
  const QString Chain = TAnsiText::WithVisibleBidi(TlsText::ChainList(Facts.Chain));
  FText = Reason + "\n" + Chain;

  auto* Layout = new QVBoxLayout(this);
  auto* Head = new QLabel(
      QString::fromUtf8("Le certificat de %1 n'a pas pass\u00e9 la v\u00e9rification.")
          .arg(TAnsiText::WithVisibleBidi(Server)),
      this);
  Head->setTextFormat(Qt::PlainText);
  auto* Why = new QLabel(Reason, this);
  Why->setObjectName("Reason");
  Why->setTextFormat(Qt::PlainText);
  Why->setWordWrap(true);
  Why->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* ChainTitle = new QLabel(QString::fromUtf8("Cha\u00eene envoy\u00e9e par le serveur :"), this);
  auto* ChainView = new QPlainTextEdit(Chain, this);
  ChainView->setObjectName("Chain");
  ChainView->setReadOnly(true);
  ChainView->setLineWrapMode(QPlainTextEdit::NoWrap);
  ChainView->setMaximumHeight(ChainView->fontMetrics().lineSpacing() * 5 + 12);
  auto* Risk = new QLabel(
      QString::fromUtf8("En continuant sans v\u00e9rifier, quiconque r\u00e9pond \u00e0 la place du serveur "
                        "peut lire et modifier l'\u00e9change.\n"
                        "Continuer sans v\u00e9rifier ne v\u00e9rifie plus ce certificat pour ce "
                        "serveur jusqu'\u00e0 la fin du programme ; les \u00e9changes ainsi faits "
                        "sont marqu\u00e9s non v\u00e9rifi\u00e9s."),
      this);
  Risk->setObjectName("Risk");
  Risk->setWordWrap(true);

  auto* Buttons = new QDialogButtonBox(this);
  QPushButton* Cancel = Buttons->addButton("Annuler", QDialogButtonBox::RejectRole);
  QPushButton* GoOn = Buttons->addButton(QString::fromUtf8("Continuer sans v\u00e9rifier"),
                                         QDialogButtonBox::AcceptRole);
  Cancel->setObjectName("Cancel");
  GoOn->setObjectName("Continue");
  Cancel->setDefault(true);
  connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  for (QWidget* W : std::initializer_list<QWidget*>{Head, Why, ChainTitle, ChainView, Risk, Buttons})
    Layout->addWidget(W);
  // Wide enough for the chain's lines (within reason), which say the dates at their end.
  int Widest = 0;
  for (const QString& Line : Chain.split('\n'))
    Widest = std::max(Widest, ChainView->fontMetrics().horizontalAdvance(Line));
  resize(std::clamp(Widest + 60, std::max(sizeHint().width(), 480), 820), sizeHint().height());
}
