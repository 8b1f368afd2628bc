// The "Sécurité" tab: the session's facts and the certificate chain, selectable and copyable.
#include "app/TSecurityView.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>
#include <functional>

#include "app/TAnsiText.h"
#include "app/TTlsText.h"

namespace {

// A session's names come from the peer, or from a file: their bidirectional controls show as
// marks.
QString Q(const std::string& Text) { return TAnsiText::ForMessage(Text); }

QString Joined(const std::vector<std::string>& List) {
  QStringList Out;
  for (const std::string& S : List) Out << Q(S);
  return Out.join(", ");
}

QString CheckWords(const TTlsFacts& F) {
  const QString Reason = TlsText::Reason(F.Reason);
  if (!F.Outcome.HandshakeDone) return Reason.isEmpty() ? QString::fromUtf8("n\u00e9gociation inachev\u00e9e") : Reason;
  if (F.VerifyWaived)
    return Reason.isEmpty() ? QString::fromUtf8("non v\u00e9rifi\u00e9 (v\u00e9rification d\u00e9sactiv\u00e9e)")
                            : QString::fromUtf8("non v\u00e9rifi\u00e9, accept\u00e9 malgr\u00e9 : ") + Reason;
  if (F.Outcome.VerifyResult == 0) return QString::fromUtf8("certificat v\u00e9rifi\u00e9");
  return QString::fromUtf8("refus\u00e9 : ") + Reason;
}

// The proxy's status line when it answered CONNECT with anything but a 2xx; empty otherwise.
QString TunnelRefusal(const TExchangePass& P) {
  if (P.TunnelStatus == 0 || (P.TunnelStatus >= 200 && P.TunnelStatus <= 299)) return QString();
  return TAnsiText::FromReceived(P.TunnelReply.substr(0, P.TunnelReply.find_first_of("\r\n")));
}

// A pass without a TLS session: plain http, or an https pass that ended before its handshake.
QString WhyNotEncrypted(const TExchangePass& P) {
  const QString Refusal = TunnelRefusal(P);
  if (!Refusal.isEmpty())
    return QString::fromUtf8("aucun : le proxy a refus\u00e9 le tunnel vers le serveur (%1), rien n'a "
                             "\u00e9t\u00e9 envoy\u00e9 au serveur")
        .arg(Refusal);
  // A recording's pass on a kept connection: the handshake belongs to an earlier entry.
  if (P.URL.rfind("https:", 0) == 0 && P.ConnectionReused)
    return QString::fromUtf8(
               "inconnu : connexion #%1 r\u00e9utilis\u00e9e, n\u00e9goci\u00e9e par un "
               "\u00e9change pr\u00e9c\u00e9dent")
        .arg(P.Connection);
  if (P.URL.rfind("https:", 0) == 0)
    return QString::fromUtf8("aucun : l'\u00e9change s'est arr\u00eat\u00e9 avant la n\u00e9gociation TLS");
  return QString::fromUtf8("aucun : l'\u00e9change n'a pas \u00e9t\u00e9 chiffr\u00e9 (http)");
}

}  // namespace

TSecurityView::TSecurityView(QWidget* Parent) : QTreeWidget(Parent) {
  setObjectName("SecurityView");
  setColumnCount(2);
  setHeaderLabels({"Champ", "Valeur"});
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setWordWrap(true);
  // At the usual size DejaVu Sans, the common default, draws a capital's accent as a faint
  // dot, and "Émetteur" reads "Emetteur"; the main window's families draw it whole.
  QFont Drawn = font();
  Drawn.setFamilies({"Liberation Sans", "Arial", Drawn.family()});
  setFont(Drawn);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* Copy = new QAction("Copier", this);
  Copy->setShortcut(QKeySequence::Copy);
  connect(Copy, &QAction::triggered, this, &TSecurityView::CopySelected);
  addAction(Copy);
}

QTreeWidgetItem* TSecurityView::Add(QTreeWidgetItem* Parent, const QString& Field,
                                    const QString& Value) {
  auto* Item = Parent ? new QTreeWidgetItem(Parent) : new QTreeWidgetItem(this);
  // A value may quote the certificate or the proxy, which the peer chose: a bidirectional
  // control there would make one name read as another.
  const QString Shown = TAnsiText::WithVisibleBidi(Value);
  Item->setText(0, Field);
  Item->setText(1, Shown);
  Item->setToolTip(1, Shown);
  return Item;
}

void TSecurityView::Show(const TExchangePass& P, std::int64_t Now) {
  clear();
  if (!P.Tls) {
    Add(nullptr, QString::fromUtf8("Chiffrement"), WhyNotEncrypted(P));
    return;
  }
  const TTlsFacts& F = *P.Tls;
  if (P.ConnectionReused)
    Add(nullptr, "Connexion",
        QString::fromUtf8(
            "#%1 r\u00e9utilis\u00e9e : session n\u00e9goci\u00e9e \u00e0 son ouverture, "
            "par un \u00e9change pr\u00e9c\u00e9dent")
            .arg(P.Connection));
  const auto Or = [](const std::string& S) { return S.empty() ? QString::fromUtf8("\u2014") : Q(S); };
  Add(nullptr, "Version", Or(F.Version));
  Add(nullptr, "Suite de chiffrement", Or(F.Cipher));
  Add(nullptr, QString::fromUtf8("Groupe d'\u00e9change de cl\u00e9s"), Or(F.Group));
  Add(nullptr, "ALPN", Or(F.Alpn));
  Add(nullptr, QString::fromUtf8("SNI envoy\u00e9"), F.Sni.empty() ? QString::fromUtf8("aucun (adresse IP)") : Q(F.Sni));
  Add(nullptr, "Session reprise", F.Resumed ? "oui" : "non");
  if (P.TlsStartedAt && P.SecuredAt)
    Add(nullptr, QString::fromUtf8("N\u00e9gociation"),
        QString("%1 ms").arg(*P.SecuredAt - *P.TlsStartedAt, 0, 'f', 1));
  // A certificate that failed several checks: the first on the row, each other one below it.
  const QStringList Words = CheckWords(F).split('\n');
  QTreeWidgetItem* Check = Add(nullptr, QString::fromUtf8("V\u00e9rification"), Words.first());
  for (qsizetype I = 1; I < Words.size(); ++I)
    Add(Check, QString(), Words[I])->setForeground(1, QColor(0xB0, 0, 0));
  if (!TlsText::LetThrough(F) || F.VerifyWaived) Check->setForeground(1, QColor(0xB0, 0, 0));
  Add(nullptr, QString::fromUtf8("Cha\u00eene"),
      QString::fromUtf8("%1 certificat(s), tels que le serveur les a envoy\u00e9s").arg(F.Chain.size()));
  for (std::size_t I = 0; I < F.Chain.size(); ++I)
    AddCertificate(F.Chain[I], static_cast<int>(I), Now);
  expandAll();
}

void TSecurityView::AddCertificate(const TTlsCertificate& C, int Depth, std::int64_t Now) {
  QTreeWidgetItem* Top = topLevelItem(topLevelItemCount() - 1);
  QTreeWidgetItem* Node =
      Add(Top, QString::number(Depth), Q(C.CommonName.empty() ? C.Subject : C.CommonName));
  Add(Node, "Sujet", Q(C.Subject));
  Add(Node, QString::fromUtf8("\u00c9metteur"), Q(C.Issuer));
  QStringList Names;
  if (!C.DnsNames.empty()) Names << Joined(C.DnsNames);
  if (!C.IpAddresses.empty()) Names << Joined(C.IpAddresses);
  Add(Node, "Noms couverts", Names.isEmpty() ? QString::fromUtf8("\u2014") : Names.join(", "));
  bool Short = false;
  QTreeWidgetItem* Validity =
      Add(Node, QString::fromUtf8("Validit\u00e9"), TlsText::Validity(C, Now, &Short));
  if (Short) Validity->setForeground(1, QColor(0xB0, 0, 0));
  Add(Node, QString::fromUtf8("Num\u00e9ro de s\u00e9rie"), Q(C.Serial));
  Add(Node, "Empreinte SHA-256", Q(C.Sha256));
  Add(Node, QString::fromUtf8("Cl\u00e9"), TlsText::Key(C));
  Add(Node, "Signature", Q(C.SignatureAlgorithm));
}

void TSecurityView::ShowTunnel(const TExchangePass& P) {
  clear();
  const QString Refusal = TunnelRefusal(P);
  Add(nullptr, QString::fromUtf8("Chiffrement"),
      QString::fromUtf8("aucun : la demande de tunnel au proxy (CONNECT) passe en clair") +
          (Refusal.isEmpty() ? QString() : QString::fromUtf8(", et le proxy l'a refus\u00e9e (%1)").arg(Refusal)));
}

QString TSecurityView::Text() const {
  QString Out;
  std::function<void(const QTreeWidgetItem*, int)> Walk = [&](const QTreeWidgetItem* I, int Level) {
    Out += QString(Level * 2, ' ') + I->text(0) + ": " + I->text(1) + "\n";
    for (int C = 0; C < I->childCount(); ++C) Walk(I->child(C), Level + 1);
  };
  for (int T = 0; T < topLevelItemCount(); ++T) Walk(topLevelItem(T), 0);
  return Out;
}

void TSecurityView::CopySelected() const {
  QStringList Values;
  for (const QTreeWidgetItem* I : selectedItems()) Values << I->text(1);
  if (!Values.isEmpty()) QApplication::clipboard()->setText(Values.join('\n'));
}

void TSecurityView::keyPressEvent(QKeyEvent* Event) {
  if (Event->matches(QKeySequence::Copy)) {
    CopySelected();
    return;
  }
  QTreeWidget::keyPressEvent(Event);
}
