// The French words of the window for the TLS layer's facts and reasons.
#include "app/TTlsText.h"

#include <QDateTime>
#include <QStringList>

#include "tls/CertificateTime.h"
#include "tls/TTimeSpan.h"

namespace TlsText {
namespace {

QString Names(const std::vector<std::string>& List) {
  QStringList Out;
  for (const std::string& N : List) Out << QString::fromStdString(N);
  if (Out.size() < 2) return Out.join(QString());
  const QString Last = Out.takeLast();
  return Out.join(", ") + " et " + Last;
}

// "le certificat de a.test", "le certificat du serveur".
QString Whose(const TTlsReason& R) {
  return R.Subject.empty() ? QString::fromUtf8("le certificat du serveur")
                           : QString::fromUtf8("le certificat de %1").arg(QString::fromStdString(R.Subject));
}

// " : le certificat de a.test <Verb> <date> (il y a 3 jours)"; nothing when no date is known.
QString Dated(const TTlsReason& R, const char* Verb) {
  if (R.When == 0) return QString();
  return QString::fromUtf8(" : %1 %2 %3 (%4)")
      .arg(Whose(R), QString::fromUtf8(Verb), Date(R.When), Relative(R.When, R.Now));
}

QString Quoted(const std::string& Name) {
  return QString::fromUtf8("\u00ab %1 \u00bb").arg(QString::fromStdString(Name));
}

QString WeakSignature(const TTlsReason& R) {
  const QString Algorithm = QString::fromStdString(R.Algorithm);
  const QString Lower = Algorithm.toLower();
  const QString Family = Lower.contains("sha1") ? "SHA-1" : Lower.contains("md5") ? "MD5" : "";
  const QString How = Family.isEmpty() ? Algorithm : Family + " (" + Algorithm + ")";
  return QString::fromUtf8("Signature de certificat trop faible : %1 est sign\u00e9 en %2, qui "
                           "n'est plus reconnu comme s\u00fbr.")
      .arg(Whose(R), How);
}

QString WeakKey(const TTlsReason& R) {
  const bool Rsa = R.KeyType.rfind("RSA", 0) == 0 || R.KeyType == "DSA";
  const QString Key = R.KeyType.empty() ? QString::fromUtf8("une cl\u00e9")
                                        : QString::fromUtf8("une cl\u00e9 %1").arg(R.KeyType.c_str());
  return QString::fromUtf8("Cl\u00e9 de certificat trop faible : %1 a %2 de %3 bits%4")
      .arg(Whose(R), Key)
      .arg(R.KeyBits)
      .arg(Rsa ? QString::fromUtf8(" ; il en faut au moins 2048.") : QString::fromUtf8(", trop peu pour \u00eatre s\u00fbre."));
}

QString NameMismatch(const TTlsReason& R) {
  const QString Asked = QString::fromStdString(R.NameAsked);
  if (R.NamesCovered.empty())
    return QString::fromUtf8("Le certificat ne correspond pas au nom demand\u00e9 : il ne cite aucun "
                             "nom, donc pas %1.")
        .arg(Asked);
  return QString::fromUtf8("Le certificat ne correspond pas au nom demand\u00e9 : il couvre %1, "
                           "pas %2.")
      .arg(Names(R.NamesCovered), Asked);
}

QString Authority(const TTlsReason& R) {
  // The server sent no authority: a left-out intermediate and an authority of the user's own
  // that was never named look the same from here.
  if (R.Problem == TTlsProblem::tpMissingIntermediate)
    return QString::fromUtf8("Autorit\u00e9 inconnue ou cha\u00eene incompl\u00e8te : %1 vient "
                             "de %2, soit une autorit\u00e9 que ce syst\u00e8me ne conna\u00eet "
                             "pas (\u00e0 indiquer dans \u00ab Autorit\u00e9 de certification "
                             "(PEM) \u00bb), soit un certificat interm\u00e9diaire que le serveur "
                             "n'a pas envoy\u00e9.")
        .arg(Whose(R), R.Authority.empty() ? QString::fromUtf8("son \u00e9metteur") : Quoted(R.Authority));
  return QString::fromUtf8("Certificat \u00e9mis par une autorit\u00e9 non reconnue : %1 vient "
                           "de %2, une autorit\u00e9 \u00e0 laquelle ce syst\u00e8me ne fait pas "
                           "confiance.")
      .arg(Whose(R), R.Authority.empty() ? QString::fromUtf8("une autorit\u00e9") : Quoted(R.Authority));
}

QString Handshake(const TTlsReason& R) {
  const QString Detail = QString::fromStdString(R.Detail);
  switch (R.Problem) {
    case TTlsProblem::tpNoCommonVersion:
      return R.NoneOffered
                 ? QString::fromUtf8("Aucune version de TLS commune : la version la plus basse "
                                     "demand\u00e9e d\u00e9passe la plus haute, aucune n'a "
                                     "\u00e9t\u00e9 propos\u00e9e.")
                 : QString::fromUtf8("Aucune version de TLS commune : le serveur a refus\u00e9 "
                                     "toutes les versions de TLS propos\u00e9es.");
    case TTlsProblem::tpClientCertificateWanted:
      return QString::fromUtf8("Certificat client exig\u00e9 : le serveur a demand\u00e9 un "
                               "certificat client et a coup\u00e9 la connexion faute d'en "
                               "recevoir un.");
    case TTlsProblem::tpHandshakeFailed:
      return QString::fromUtf8("\u00c9chec de la n\u00e9gociation TLS") +
             (Detail.isEmpty() ? QString(".") : " : " + Detail + ".");
    default:
      return QString::fromUtf8("\u00c9chec de la v\u00e9rification du certificat : %1.").arg(Detail);
  }
}

QString OneReason(const TTlsReason& R) {
  switch (R.Problem) {
    case TTlsProblem::tpNone: return QString();
    case TTlsProblem::tpExpired:
      return QString::fromUtf8("Le certificat a expir\u00e9") +
             Dated(R, "\u00e9tait valable jusqu'au") + ".";
    case TTlsProblem::tpNotYetValid:
      return QString::fromUtf8("Le certificat n'est pas encore valable") +
             Dated(R, "est valable \u00e0 partir du") + ".";
    case TTlsProblem::tpNameMismatch: return NameMismatch(R);
    case TTlsProblem::tpSelfSigned:
      return QString::fromUtf8("Certificat auto-sign\u00e9 : %1 est sign\u00e9 par lui-m\u00eame, "
                               "et non par une autorit\u00e9 reconnue par ce syst\u00e8me.")
          .arg(Whose(R));
    case TTlsProblem::tpUntrustedAuthority:
    case TTlsProblem::tpMissingIntermediate: return Authority(R);
    case TTlsProblem::tpWeakSignature: return WeakSignature(R);
    case TTlsProblem::tpWeakKey: return WeakKey(R);
    default: return Handshake(R);
  }
}

}  // namespace

QString Reason(const TTlsReason& R) {
  QStringList Lines{OneReason(R)};
  for (const TTlsReason& Next : R.Further) Lines << OneReason(Next);
  return Lines.join('\n');
}

// 0 is what a certificate holds whose dates were never read (a HAR without them), not 1970.
QString Date(std::int64_t Seconds) {
  if (Seconds == 0) return QString("date inconnue");
  return QString::fromStdString(CertificateTime::UtcText(Seconds));
}

namespace {

// "3 jours", "1 heure", "0 seconde": French counts 0 and 1 in the singular.
QString Amount(const TTimeSpan& Span) {
  static constexpr const char* Names[] = {"jour", "heure", "minute", "seconde"};
  return QString("%1 %2%3")
      .arg(Span.Count)
      .arg(Names[static_cast<int>(Span.Unit)])
      .arg(Span.Count > 1 ? "s" : "");
}

}  // namespace

QString Relative(std::int64_t When, std::int64_t Now) {
  const TTimeSpan Span = SpanBetween(When, Now);
  return (Span.Past ? "il y a " : "dans ") + Amount(Span);
}

QString DaysLeft(const TTlsCertificate& C, std::int64_t Now, bool* Short) {
  constexpr std::int64_t Day = 86400;
  if (C.NotAfter == 0) {
    if (Short != nullptr) *Short = false;
    return QString("dates inconnues");
  }
  if (Short != nullptr) *Short = C.NotAfter - Now < 30 * Day || Now < C.NotBefore;
  if (Now < C.NotBefore) return "valable " + Relative(C.NotBefore, Now);
  const TTimeSpan Left = SpanBetween(C.NotAfter, Now);
  return (Left.Past ? QString::fromUtf8("expir\u00e9 depuis ") : QString("encore ")) + Amount(Left);
}

QString Period(const TTlsCertificate& C) {
  if (C.NotBefore == 0 && C.NotAfter == 0) return QString::fromUtf8("dates de validit\u00e9 inconnues");
  return QString("valable du %1 au %2").arg(Date(C.NotBefore), Date(C.NotAfter));
}

QString Validity(const TTlsCertificate& C, std::int64_t Now, bool* Short) {
  const QString Left = DaysLeft(C, Now, Short);
  if (C.NotBefore == 0 && C.NotAfter == 0) return Left;
  return QString("du %1 au %2 (%3)").arg(Date(C.NotBefore), Date(C.NotAfter), Left);
}

QString Key(const TTlsCertificate& C) {
  const QString Type = QString::fromStdString(C.KeyType);
  if (C.KeyBits > 0) return QString("%1 %2 bits").arg(Type).arg(C.KeyBits).trimmed();
  return Type.isEmpty() ? QString("inconnue") : Type + ", taille inconnue";
}

QString ChainList(const std::vector<TTlsCertificate>& Chain) {
  QStringList Lines;
  for (const TTlsCertificate& C : Chain) {
    const std::string& Name = C.CommonName.empty() ? C.Subject : C.CommonName;
    const std::string& By = C.IssuerCommonName.empty() ? C.Issuer : C.IssuerCommonName;
    Lines << QString::fromUtf8("%1, \u00e9mis par %2, %3")
                 .arg(QString::fromStdString(Name), QString::fromStdString(By), Period(C));
  }
  return Lines.join('\n');
}

bool LetThrough(const TTlsFacts& F) {
  return F.Outcome.HandshakeDone && (F.VerifyWaived || F.Outcome.VerifyResult == 0);
}

QString Ended(const TTlsFacts& F) {
  if (!F.Outcome.HandshakeDone) return QString::fromUtf8("\u00c9chec de la n\u00e9gociation TLS");
  if (!LetThrough(F)) return QString::fromUtf8("Certificat refus\u00e9");
  // Only h2 is said: the 1.x a server takes is the one asked for.
  return QString::fromStdString(F.Version) +
         (F.VerifyWaived ? QString::fromUtf8(", certificat non v\u00e9rifi\u00e9")
                         : QString::fromUtf8(", certificat v\u00e9rifi\u00e9")) +
         (F.Alpn == "h2" ? QString(", ALPN h2") : QString());
}

}  // namespace TlsText
