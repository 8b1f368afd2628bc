// TTlsPage: the page's TLS settings checked into a request's, the passphrase of an encrypted
// key, the dialog of a refused certificate and the words of a failed handshake or check.
#include "app/TTlsPage.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "app/TAnsiText.h"
#include "app/TCertificateDialog.h"
#include "app/TTlsProgress.h"
#include "app/TTlsText.h"
#include "app/TWindowRun.h"
#include "base/Exception.h"
#include "base/TApplication.h"
#include "http/CredentialScope.h"
#include "http/HttpErrors.h"
#include "socket/ETlsSockError.h"
#include "tls/TTlsContext.h"

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

TTlsPage::TTlsPage(const TFields& Fields, TWindow Window, const TTlsProgress& Progress, TWindowRun& Run)
    : FFields(Fields), FWindow(std::move(Window)), FProgress(Progress), FRun(Run) {}

TTlsSettings TTlsPage::Trusted() const {
  TTlsSettings S;
  S.Verify = FFields.Verify->isChecked();
  S.CaFile = PathOf(FFields.CaFile);
  S.Accepted = FAccepted;
  return S;
}

TTlsSettings TTlsPage::ForRequest(const QString& Url, bool Elsewhere) {
  TTlsSettings S = Trusted();
  // Like the login, the client certificate is for the first server only.
  if (!Elsewhere) {
    S.CertFile = PathOf(FFields.CertFile);
    S.KeyFile = PathOf(FFields.KeyFile);
  }
  // What the files hold matters only to https; a plain request goes as it always did.
  RefuseOddFiles(S);
  if (Url.trimmed().startsWith("https:", Qt::CaseInsensitive)) CheckFiles(S);
  return S;
}

std::optional<TTlsSettings> TTlsPage::ForReplay() {
  // What to trust is the page's as it stands, checked as before a request; whose identity a
  // request carries (a client certificate) is not, as the login is not.
  TTlsSettings S = Trusted();
  try {
    RefuseOddFiles(S);
    CheckFiles(S);
  } catch (...) {
    Application.HandleException(std::current_exception());
    return std::nullopt;
  }
  return S;
}

void TTlsPage::CheckFiles(TTlsSettings& S) {
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

std::string TTlsPage::PassphraseFor(const std::string& KeyFile) {
  const auto Known = FPassphrases.find(KeyFile);
  if (Known != FPassphrases.end()) return Known->second;
  QInputDialog Query(FWindow.Dialogs);
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

TTlsPage::TRefusal TTlsPage::AskAboutRefusal(const std::exception_ptr& Error) {
  try {
    std::rethrow_exception(Error);
  } catch (const ETlsSockError& E) {
    const TExchangePass& Pass = FProgress.Last();
    if (E.Kind() != TTlsErrorKind::tkCheck || !Pass.Tls || Pass.Tls->Chain.empty())
      return TRefusal::NotRefused;
    const TTlsFacts Facts = *Pass.Tls;
    const int Port = CredentialScope::ServerOf(Pass.URL).value_or(TPassServer{}).Port;
    const QString Server = QString::fromStdString(Facts.Reason.NameAsked) + ":" + QString::number(Port);
    TCertificateDialog Dialog(Server, Facts, FWindow.Dialogs);
    if (Dialog.exec() != QDialog::Accepted) {
      FWindow.Status(QString::fromUtf8("Certificat refus\u00e9"));
      return TRefusal::Cancelled;
    }
    FAccepted.push_back({Facts.Reason.NameAsked, Port, Facts.Chain.front().Sha256});
    return TRefusal::GoOn;
  } catch (...) {
    return TRefusal::NotRefused;
  }
}

bool TTlsPage::ShowFailure(const std::exception_ptr& Error, const TTlsSettings& Used) const {
  try {
    std::rethrow_exception(Error);
  } catch (const ETlsSockError& E) {
    // Checked before a request to https, the CA file is read again by a redirection from
    // http: the same words as for the request, then the library's.
    if (E.Kind() == TTlsErrorKind::tkCaFile) {
      FWindow.Message(QString::fromUtf8("%1 %2 : aucun certificat utilisable (%3).")
                          .arg(CaField, Shown(Used.CaFile), TAnsiText::FromReceived(E.what())));
      return true;
    }
    if (E.Reason().Problem == TTlsProblem::tpNone) return false;
    // The reason first; the library's words after it, for a search or a report.
    FWindow.Message(TlsText::Reason(E.Reason()) + "\n\n" + TAnsiText::FromReceived(E.what()));
    return true;
  } catch (...) {
    return false;
  }
}

void TTlsPage::ChooseFile(TFile File) {
  if (FRun.Request()) return;  // disabled meanwhile: a dialog would hold the request's reads
  QLineEdit* const Box = File == TFile::CaFile     ? FFields.CaFile
                         : File == TFile::CertFile ? FFields.CertFile
                                                   : FFields.KeyFile;
  const QString& Title = File == TFile::CaFile ? CaField : File == TFile::CertFile ? CertField : KeyField;
  QFileDialog Dialog(FWindow.Dialogs, Title, QFileInfo(Box->text()).path());
  Dialog.setFileMode(QFileDialog::ExistingFile);
  Dialog.setNameFilters({QString::fromUtf8("Fichiers PEM (*.pem *.crt *.cer *.key)"), "Tous les fichiers (*)"});
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) return;
  Box->setText(QDir::toNativeSeparators(Dialog.selectedFiles().constFirst()));
}

