// TTlsPage: the TLS side of the main window. The certificate check, the authority, the client
// certificate and its key of the "Informations sur HEAD" page become a request's or a replay's
// settings, their files checked first; an encrypted key's passphrase is asked once in a run;
// a refused certificate is shown in its dialog, where the user may let the request go on
// without the check; and a failed handshake or check is said in plain words.
//
// It knows nothing of the window that holds it: the page's fields, where its dialogs open,
// the status bar's text, the message box and the run state are lent to it.
#pragma once

#include <QString>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tls/TTlsSettings.h"

class QCheckBox;
class QLineEdit;
class QWidget;
class TTlsProgress;
class TWindowRun;

class TTlsPage {
 public:
  // The page's fields: the check, and the three files.
  struct TFields {
    QCheckBox* Verify = nullptr;
    QLineEdit* CaFile = nullptr;
    QLineEdit* CertFile = nullptr;
    QLineEdit* KeyFile = nullptr;
  };
  // What the window lends: the parent of the dialogs, the status bar's text and a message box.
  struct TWindow {
    QWidget* Dialogs = nullptr;
    std::function<void(const QString&)> Status;
    std::function<void(const QString&)> Message;
  };
  // Progress names the last pass, the one a refused certificate is of. Run turns to a stop
  // when a passphrase is not given, and no file chooser opens while a request runs. The
  // fields, the dialogs' parent, Progress and Run must outlive this.
  TTlsPage(const TFields& Fields, TWindow Window, const TTlsProgress& Progress, TWindowRun& Run);

  // The settings of a request that starts at Url: the page's, the certificates accepted, the
  // files checked (what they hold only for an https Url) and an encrypted key's passphrase.
  // Elsewhere: it goes on at another server than the first, which the client certificate is
  // not for. Throws, with the refusal's words, when the files cannot be used.
  TTlsSettings ForRequest(const QString& Url, bool Elsewhere);
  // The page's settings for a replay, its files checked as for a request; none, with the
  // refusal said, when they cannot be used.
  std::optional<TTlsSettings> ForReplay();

  // After a failed request, the dialog of a refused certificate: GoOn when the user goes on
  // without the check (the certificate is then accepted for its server); Cancelled, with the
  // status said, when not; NotRefused for any other error.
  enum class TRefusal { NotRefused, Cancelled, GoOn };
  TRefusal AskAboutRefusal(const std::exception_ptr& Error);
  // A failed handshake or check of a request made with Used, said in plain words; false for
  // any other error.
  bool ShowFailure(const std::exception_ptr& Error, const TTlsSettings& Used) const;

  // The "…" button beside a file's box: a file chooser for that box.
  enum class TFile { CaFile, CertFile, KeyFile };
  void ChooseFile(TFile File);

  // The certificates the user let through after seeing them refused, for this run only.
  const std::vector<TTlsAccepted>& Accepted() const { return FAccepted; }

 private:
  // What a request and a replay alike trust: the check, the CA file, the certificates accepted.
  TTlsSettings Trusted() const;
  void CheckFiles(TTlsSettings& Settings);
  std::string PassphraseFor(const std::string& KeyFile);

  TFields FFields;
  TWindow FWindow;
  const TTlsProgress& FProgress;
  TWindowRun& FRun;
  std::vector<TTlsAccepted> FAccepted;
  // The passphrases of encrypted keys by file, asked once in a run.
  std::map<std::string, std::string> FPassphrases;
};
