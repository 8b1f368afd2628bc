// The main window's https side: the TLS settings of the "Informations sur HEAD" page into the
// component, their files checked when a request starts, an encrypted key's passphrase, the
// dialog of a refused certificate and the request going on from the refused pass.
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/TAnsiText.h"
#include "app/TCertificateDialog.h"
#include "app/TForm1.h"
#include "app/TTlsText.h"
#include "base/Exception.h"
#include "base/TApplication.h"
#include "http/CredentialScope.h"
#include "http/HttpErrors.h"
#include "socket/ETlsSockError.h"
#include "tls/TTlsContext.h"
#include "ui_TForm1.h"

namespace {

[[noreturn]] void Refuse(const QString& Text) {
  throw EHttpSettingError(TAnsiText::FromQString(Text));
}

QString Shown(const std::string& File) {
  return QString::fromUtf8("\u00ab %1 \u00bb").arg(QFile::decodeName(QByteArray::fromStdString(File)));
}

QString ErrorText(int Error) { return QString::fromLocal8Bit(std::strerror(Error)); }

QString NotAFile(const QString& Field, const std::string& File) {
  return QString::fromUtf8("%1 %2 : ce n'est pas un fichier ordinaire (un tube, un p\u00e9riph\u00e9rique ou un "
                           "dossier) ; indiquez un fichier PEM.")
      .arg(Field, Shown(File));
}

// The file of a field, read whole (a PEM file is small; more than 16 MiB is no PEM file), and
// holding Marker; refused otherwise, naming the field and the file. It is opened without
// blocking and must be a regular file once links are followed: a FIFO would hold the window's
// thread in open() until a writer came, a device would be read for ever.
QByteArray ReadPem(const QString& Field, const std::string& File, const char* Marker) {
  const int Fd = ::open(File.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    const int Error = errno;
    Refuse(QString::fromUtf8("%1 %2 : fichier illisible (%3).").arg(Field, Shown(File), ErrorText(Error)));
  }
  struct stat Kind {};
  const bool Regular = ::fstat(Fd, &Kind) == 0 && S_ISREG(Kind.st_mode);
  QFile In;
  if (!Regular || !In.open(Fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    ::close(Fd);
    Refuse(NotAFile(Field, File));
  }
  const QByteArray Text = In.read(std::int64_t{16} << 20);
  if (!Text.contains(Marker))
    Refuse(QString::fromUtf8("%1 %2 : ce n'est pas un fichier PEM qui contient %3.")
               .arg(Field, Shown(File),
                    QString::fromUtf8(std::strstr(Marker, "CERT") ? "un certificat" : "une cl\u00e9 priv\u00e9e")));
  return Text;
}

void RefuseOddFile(const QString& Field, const std::string& File) {
  struct stat Kind {};
  if (!File.empty() && ::stat(File.c_str(), &Kind) == 0 && !S_ISREG(Kind.st_mode)) Refuse(NotAFile(Field, File));
}

bool IsEncryptedKey(const QByteArray& Pem) {
  return Pem.contains("BEGIN ENCRYPTED PRIVATE KEY") || Pem.contains("Proc-Type: 4,ENCRYPTED");
}

std::string PathOf(const QLineEdit* Box) {
  return QFile::encodeName(Box->text().trimmed()).toStdString();
}

const QString CaField = QString::fromUtf8("Autorit\u00e9 de certification (PEM)");
const QString CertField = QString::fromUtf8("Certificat client (PEM)");
const QString KeyField = QString::fromUtf8("Cl\u00e9 client (PEM)");

// A file that is there but is no regular file is refused whatever the request, before any
// opens it: the TLS layer reads the CA file with the check unticked too, and a redirection
// from http to https would have it read the files unchecked.
void RefuseOddFiles(const TTlsSettings& S) {
  RefuseOddFile(CaField, S.CaFile);
  RefuseOddFile(CertField, S.CertFile);
  RefuseOddFile(KeyField, S.KeyFile);
}

}  // namespace

void TForm1::PrepareTls(const QString& Url, bool Elsewhere) {
  TTlsSettings S;
  S.Verify = FUi->CheckBox2->isChecked();
  S.CaFile = PathOf(FUi->Edit13);
  // Like the login, the client certificate is for the first server only.
  if (!Elsewhere) {
    S.CertFile = PathOf(FUi->Edit14);
    S.KeyFile = PathOf(FUi->Edit15);
  }
  S.Accepted = FAccepted;
  // What the files hold matters only to https; a plain request goes as it always did.
  RefuseOddFiles(S);
  if (Url.trimmed().startsWith("https:", Qt::CaseInsensitive)) CheckTlsFiles(S);
  VelHTTP1->SecureSocket = true;
  VelHTTP1->TlsSettings = S;
}

std::optional<TTlsSettings> TForm1::ReplayTls() {
  // What to trust is the page's as it stands, checked as before a request; whose identity a
  // request carries (a client certificate) is not, as the login is not.
  TTlsSettings S;
  S.Verify = FUi->CheckBox2->isChecked();
  S.CaFile = PathOf(FUi->Edit13);
  S.Accepted = FAccepted;
  try {
    RefuseOddFiles(S);
    CheckTlsFiles(S);
  } catch (...) {
    Application.HandleException(std::current_exception());
    return std::nullopt;
  }
  return S;
}

void TForm1::CheckTlsFiles(TTlsSettings& S) {
  if (!S.CaFile.empty() && S.Verify) ReadPem(CaField, S.CaFile, "-----BEGIN CERTIFICATE-----");
  if (S.CertFile.empty() && !S.KeyFile.empty())
    Refuse(QString::fromUtf8("%1 %2 : il lui faut aussi un certificat client.").arg(KeyField, Shown(S.KeyFile)));
  bool Encrypted = false;
  if (!S.CertFile.empty()) {
    const QByteArray Cert = ReadPem(CertField, S.CertFile, "-----BEGIN CERTIFICATE-----");
    const QByteArray Key = S.KeyFile.empty() ? Cert : ReadPem(KeyField, S.KeyFile, "PRIVATE KEY-----");
    Encrypted = IsEncryptedKey(Key);
    if (Encrypted) S.KeyPassphrase = PassphraseFor(S.KeyFile.empty() ? S.CertFile : S.KeyFile);
  }
  // OpenSSL has the last word on what the files hold; its context is cached for the request.
  try {
    TTlsContext::For(S);
  } catch (const ETlsError& E) {
    const QString Why = TAnsiText::FromReceived(E.what());
    if (E.Kind() == TTlsErrorKind::tkCaFile)
      Refuse(QString::fromUtf8("%1 %2 : aucun certificat utilisable (%3).").arg(CaField, Shown(S.CaFile), Why));
    const std::string& KeyFile = S.KeyFile.empty() ? S.CertFile : S.KeyFile;
    if (Encrypted) FPassphrases.erase(KeyFile);  // asked again next time
    Refuse(QString::fromUtf8("%1 %2 et %3 %4 inutilisables%5 (%6).")
               .arg(CertField, Shown(S.CertFile), KeyField, Shown(KeyFile),
                    Encrypted ? QString::fromUtf8(" : phrase secr\u00e8te erron\u00e9e, ou cl\u00e9 "
                                                  "qui ne va pas avec le certificat")
                              : QString(),
                    Why));
  }
}

std::string TForm1::PassphraseFor(const std::string& KeyFile) {
  const auto Known = FPassphrases.find(KeyFile);
  if (Known != FPassphrases.end()) return Known->second;
  QInputDialog Query(this);
  Query.setObjectName("PassphraseQuery");
  Query.setInputMode(QInputDialog::TextInput);
  Query.setTextEchoMode(QLineEdit::Password);
  Query.setWindowTitle(QString::fromUtf8("Cl\u00e9 client chiffr\u00e9e"));
  Query.setLabelText(QString::fromUtf8("Phrase secr\u00e8te de la cl\u00e9 %1 :").arg(Shown(KeyFile)));
  Query.setOkButtonText("OK");
  Query.setCancelButtonText("Annuler");
  if (Query.exec() != QDialog::Accepted) {
    // No passphrase, no request: as a stop, which reports nothing.
    FRun.Set(TWindowRun::TState::Stopping);
    throw Exception("passphrase not given");
  }
  return FPassphrases[KeyFile] = TAnsiText::FromQString(Query.textValue());
}

TForm1::TRefusal TForm1::AskAboutRefusal(const std::exception_ptr& Error) {
  try {
    std::rethrow_exception(Error);
  } catch (const ETlsSockError& E) {
    const TExchangePass& Pass = FTlsProgress->Last();
    if (E.Kind() != TTlsErrorKind::tkCheck || !Pass.Tls || Pass.Tls->Chain.empty())
      return TRefusal::NotRefused;
    const TTlsFacts Facts = *Pass.Tls;
    const int Port = CredentialScope::ServerOf(Pass.URL).value_or(TPassServer{}).Port;
    const QString Server = QString::fromStdString(Facts.Reason.NameAsked) + ":" + QString::number(Port);
    TCertificateDialog Dialog(Server, Facts, this);
    if (Dialog.exec() != QDialog::Accepted) {
      SetStatus(QString::fromUtf8("Certificat refus\u00e9"));
      return TRefusal::Cancelled;
    }
    FAccepted.push_back({Facts.Reason.NameAsked, Port, Facts.Chain.front().Sha256});
    return TRefusal::GoOn;
  } catch (...) {
    return TRefusal::NotRefused;
  }
}

bool TForm1::ShowTlsFailure(const std::exception_ptr& Error) {
  try {
    std::rethrow_exception(Error);
  } catch (const ETlsSockError& E) {
    // Checked before a request to https, the CA file is read again by a redirection from
    // http: the same words as for the request, then the library's.
    const TTlsSettings& S = VelHTTP1->TlsSettings;
    if (E.Kind() == TTlsErrorKind::tkCaFile) {
      ShowMessage(QString::fromUtf8("%1 %2 : aucun certificat utilisable (%3).")
                      .arg(CaField, Shown(S.CaFile), TAnsiText::FromReceived(E.what())));
      return true;
    }
    if (E.Reason().Problem == TTlsProblem::tpNone) return false;
    // The reason first; the library's words after it, for a search or a report.
    ShowMessage(TlsText::Reason(E.Reason()) + "\n\n" + TAnsiText::FromReceived(E.what()));
    return true;
  } catch (...) {
    return false;
  }
}

void TForm1::Resume(const std::string& Method, const std::string& Url, const std::string& Data) {
  VelHTTP1->Perform(CommandNamed(Method).value_or(hcGet), Url, Data);
}

void TForm1::ChooseFile(QLineEdit* Box, const QString& Title) {
  if (RequestRunning()) return;  // disabled meanwhile: a dialog would hold the request's reads
  QFileDialog Dialog(this, Title, QFileInfo(Box->text()).path());
  Dialog.setFileMode(QFileDialog::ExistingFile);
  Dialog.setNameFilters({QString::fromUtf8("Fichiers PEM (*.pem *.crt *.cer *.key)"), "Tous les fichiers (*)"});
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) return;
  Box->setText(QDir::toNativeSeparators(Dialog.selectedFiles().constFirst()));
}

void TForm1::SpeedButton4Click() { ChooseFile(FUi->Edit13, CaField); }
void TForm1::SpeedButton5Click() { ChooseFile(FUi->Edit14, CertField); }
void TForm1::SpeedButton6Click() { ChooseFile(FUi->Edit15, KeyField); }

QString TForm1::SecurityMark() const { return FSecurity ? FSecurity->text() : QString(); }

QString TForm1::CertificateMark() const { return FCertificate ? FCertificate->text() : QString(); }

void TForm1::ShowSecurityMark() {
  if (!FSecurity || !FCertificate) return;
  FSecurity->setText(FTlsProgress->Unverified() ? QString::fromUtf8("Non v\u00e9rifi\u00e9") : QString());
  FSecurity->setVisible(FTlsProgress->Unverified());
  const std::optional<TTlsFacts>& Tls = FTlsProgress->Last().Tls;
  QString Word;
  if (Tls && TlsText::LetThrough(*Tls))
    Word = Tls->VerifyWaived ? QString::fromUtf8("Certificat non v\u00e9rifi\u00e9")
                             : QString::fromUtf8("Certificat v\u00e9rifi\u00e9");
  FCertificate->setText(Word);
  FCertificate->setVisible(!Word.isEmpty());
}
