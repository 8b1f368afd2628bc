// TPassText: the window's wording of a recorded pass.
#include "app/TPassText.h"

#include <QUrl>

#include "app/TAnsiText.h"
#include "http/HostName.h"
#include "http/THttpUrl.h"
#include "inspect/HttpText.h"
#include "platform/WinSock.h"

QString TPassText::Escaped(const std::string& Bytes) {
  static const char Hex[] = "0123456789ABCDEF";
  QString Text;
  Text.reserve(static_cast<qsizetype>(Bytes.size()));
  for (const char C : Bytes) {
    const auto B = static_cast<unsigned char>(C);
    if (B == '\r') {
      Text += "\\r";
    } else if (B == '\n') {
      Text += "\\n\n";
    } else if (B == '\t') {
      Text += "\\t";
    } else if (B == '\\') {
      Text += "\\\\";
    } else if (B < 0x20 || B > 0x7E) {
      Text += "\\x";
      Text += QChar(Hex[B >> 4]);
      Text += QChar(Hex[B & 15]);
    } else {
      Text += QChar(B);
    }
  }
  return Text;
}

QString TPassText::ShortBodyText(const TExchangePass& Pass) {
  if (!Pass.BodyShort()) return QString();
  return QString::fromUtf8("Corps incomplet : %1 octets sur %2")
      .arg(TAnsiText::Count(Pass.BodyBytes), TAnsiText::Count(*Pass.AnnouncedLength()));
}

std::string TPassText::ContentType(const TExchangePass& Pass) {
  return FieldValue(HeaderFields(FinalReply(Pass.ReplyHeader), true), "Content-Type").value_or("");
}

QString TPassText::Authority(std::string_view Host, int Port) {
  return TAnsiText::ForMessage(HostName::InAuthority(std::string(Host))) + ":" + QString::number(Port);
}

namespace {

// How a connect attempt failed, in the window's words for the usual causes.
QString ConnectErrorWords(int Error) {
  switch (Error) {
    case win::WSAECONNREFUSED: return QString::fromUtf8("refus\u00e9e, erreur %1").arg(Error);
    case win::WSAETIMEDOUT: return QString::fromUtf8("d\u00e9lai d\u00e9pass\u00e9, erreur %1").arg(Error);
    case win::WSAENETUNREACH:
    case win::WSAEHOSTUNREACH: return QString::fromUtf8("injoignable, erreur %1").arg(Error);
    default: return QString::fromUtf8("erreur %1").arg(Error);
  }
}

}  // namespace

QStringList TPassText::AttemptLines(const TExchangePass& Pass) {
  QStringList Lines;
  for (const TConnectTry& T : Pass.Attempts) {
    const double Took = T.Ended ? *T.Ended - T.Started : 0;
    const QString Ms = QString::number(Took, 'f', 1);
    QString How;
    switch (T.Outcome) {
      case TConnectTry::TOutcome::Running: How = QString::fromUtf8("en cours"); break;
      case TConnectTry::TOutcome::Connected:
        How = QString::fromUtf8("\u00e9tablie en %1 ms").arg(Ms);
        break;
      case TConnectTry::TOutcome::Failed:
        How = QString::fromUtf8("\u00e9chec apr\u00e8s %1 ms (%2)").arg(Ms, ConnectErrorWords(T.Error));
        break;
      case TConnectTry::TOutcome::Abandoned:
        How = QString::fromUtf8("abandonn\u00e9e apr\u00e8s %1 ms").arg(Ms);
        break;
    }
    Lines << QString::fromUtf8("Connexion \u00e0 %1 (\u00e0 %2 ms) : %3")
                 .arg(Authority(T.Address, T.Port), QString::number(T.Started, 'f', 1), How);
  }
  return Lines;
}

QString TPassText::ConnectionCell(const TExchangePass& Pass) {
  if (Pass.Connection < 0) return QString();
  const QString Number = "#" + QString::number(Pass.Connection);
  const QString Cell =
      Pass.ConnectionReused ? Number + QString::fromUtf8(" r\u00e9utilis\u00e9e") : Number;
  return Pass.Stream > 0 ? Cell + QString::fromUtf8(", flux %1").arg(Pass.Stream) : Cell;
}

QString TPassText::VersionCell(const TExchangePass& Pass) {
  switch (Pass.RequestVersion()) {
    case 10: return "HTTP/1.0";
    case 11: return "HTTP/1.1";
    case 20: return "HTTP/2";
    default: return QString();
  }
}

QStringList TPassText::ConnectionLines(const TExchangePass& Pass) {
  QStringList Lines;
  const QString Number = Pass.Connection >= 0 ? "#" + QString::number(Pass.Connection) : QString();
  // The closed connection's number is not in the record: the new one's is.
  if (Pass.Resent)
    Lines << QString::fromUtf8(
                 "Connexion gard\u00e9e ferm\u00e9e par le serveur avant la r\u00e9ponse : "
                 "requ\u00eate renvoy\u00e9e sur une nouvelle connexion") +
                 (Number.isEmpty() ? QString() : " (" + Number + ")");
  if (Number.isEmpty()) return Lines;
  if (Pass.ConnectionReused)
    Lines << QString::fromUtf8(
                 "Connexion %1 r\u00e9utilis\u00e9e : gard\u00e9e ouverte par un "
                 "\u00e9change pr\u00e9c\u00e9dent")
                 .arg(Number);
  if (Pass.ConnectionKept)
    Lines << QString::fromUtf8("Connexion %1 gard\u00e9e ouverte apr\u00e8s cet \u00e9change")
                 .arg(Number);
  return Lines;
}

QString TPassText::HostForms(const TExchangePass& Pass) {
  std::string Host;
  try {
    Host = THttpUrl::SplitReference(Pass.URL).Host;
  } catch (const std::exception&) {
    return QString();  // a recording's URL the rules refuse has no server to name
  }
  const QString Ace = QString::fromStdString(Host);
  // Only an A-label has another form; Qt's list of domains it shows in Unicode is for
  // browsers hiding look-alikes, which is what this line must not do.
  if (!Ace.contains(QLatin1String("xn--"), Qt::CaseInsensitive)) return QString();
  const QString Unicode = QUrl::fromAce(Ace.toLatin1(), QUrl::IgnoreIDNWhitelist);
  if (Unicode.isEmpty() || Unicode.compare(Ace, Qt::CaseInsensitive) == 0) return QString();
  return QString::fromUtf8("Serveur : %1 (%2)").arg(Ace, Unicode);
}
