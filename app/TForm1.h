// The main window: three request pages (GET, POST, HEAD), the page of request header
// settings, the status bar that follows each exchange, and the menu.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/TAnchors.h"
#include "app/TTlsProgress.h"
#include "app/TWindowRun.h"
#include "http/TVelHTTP.h"
#include "inspect/TExchangeRecorder.h"

class QLabel;
class TExchangeDetails;
class TStatusMarks;
class TTlsPage;
namespace Ui {
class TForm1;
}

// The window owns its HTTP component. A request runs inside the click handler that started
// it: the component keeps Qt's loop running while it waits, so its events (the status bar
// handlers, the two dialogs) and the user's further clicks arrive re-entrantly. Only one
// request runs at a time; Esc or "&Arrêter" stops it, and closing the window aborts it and
// ends the program once the handler has unwound. While it runs no dialog of the window's own
// opens: a modal dialog would hold the request's reads until it is closed, and a server that
// times out its sending would cut the reply meanwhile.
class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* Parent = nullptr);
  ~TForm1() override;

  // The HTTP component, created with the window's stored settings.
  TVelHTTP* VelHTTP1 = nullptr;

  // The status bar's one text.
  QString StatusText() const;
  // Writes the last reply's header block and body to FileName exactly as received, or says
  // in a message box why it cannot.
  void SaveReply(const QString& FileName);
  // True from a request button's click until its request has ended.
  bool RequestRunning() const { return FRun.Request(); }
  // "Corps incomplet : <kept> octets sur <announced>" when the last reply's body ended before
  // the length it announced; empty otherwise.
  QString ShortBodyText() const;
  // The record of the last request, pass by pass, that the details window shows.
  const TExchangeRecorder& Recorder() const { return *FRecorder; }
  // Writes the last exchange as HAR 1.2 to FileName (by way of a temporary file), or says in
  // a message box why it cannot.
  void ExportHar(const QString& FileName);
  // Reads the HAR file FileName into the details window (opened if need be) instead of the
  // recorder's passes; a file broken midway shows the entries read up to there, and why it
  // stopped in a message box.
  void OpenHar(const QString& FileName);
  // The longest reply body the window takes; past it the panes show what was kept.
  static constexpr std::int64_t MaxBody = std::int64_t{256} << 20;
  // The window's client size at its stored geometry, which is also its smallest.
  QSize StoredSize() const { return FStoredSize; }
  // The certificates the user let through after seeing them refused, for this run only.
  const std::vector<TTlsAccepted>& Accepted() const;
  // The status bar's mark of an exchange that went on without the certificate check; empty
  // when every pass was checked.
  QString SecurityMark() const;
  // The status bar's lasting word on the last pass over https: "Certificat vérifié" or
  // "Certificat non vérifié"; empty for a pass without TLS or whose certificate was refused.
  QString CertificateMark() const;

  // Component event handlers.
  void VelHTTP1Connect(TObject* Sender);
  void VelHTTP1HostResolved(TObject* Sender);
  void VelHTTP1Status(TObject* Sender, const std::string& Status);
  void VelHTTP1PacketRecvd(TObject* Sender);
  void VelHTTP1PacketSent(TObject* Sender);
  void VelHTTP1Disconnect(TObject* Sender);
  void VelHTTP1Success(CmdType Cmd);
  void VelHTTP1Failure(CmdType Cmd);
  void VelHTTP1ConnectionFailed(TObject* Sender);
  void VelHTTP1InvalidHost(bool& Handled);

  // The texts the status bar shows for a result, as Windows-1252 bytes; empty for a code
  // outside the command table.
  static std::string SuccessText(int Cmd);
  static std::string FailureText(int Cmd);

 signals:
  // Every status bar report, in order, including one that repeats the current text.
  void StatusTextChanged(const QString& Text);

 public slots:
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void SpeedButton1Click();
  void SpeedButton2Click();
  void SpeedButton3Click();
  // The "…" buttons of the TLS files: a file chooser for the box beside each.
  void SpeedButton4Click();
  void SpeedButton5Click();
  void SpeedButton6Click();
  void Arreter1Click();
  void Quitter1Click();
  void Apropos1Click();
  void DetailsEchange1Click();
  void EnregistrerReponse1Click();
  void ExporterHar1Click();
  void OuvrirHar1Click();

 protected:
  void closeEvent(QCloseEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;

 private:
  // Parts of the construction: the stored look and geometry, the pages' docking and
  // anchors, the component with its stored settings, and the controls' signals.
  void SetUpLook();
  void SetUpPages();
  void FitPortBox();
  void SetUpComponent();
  void ConnectControls();
  // Asks whether to save a reply whose body is not whole (Why, then Reason); true to go on.
  bool ConfirmPartialSave(const QString& Why, const QString& Reason);
  // Fills the panes after a body longer than MaxBody, and says so.
  void ShowTooLarge(const std::function<void()>& Show, std::int64_t Limit);
  // The settings page into VelHTTP1, shared by the three request actions. Url is where the
  // request starts; Elsewhere: it goes on from a pass to another server than the first, which
  // the caller's credentials are not for.
  void PrepareRequest(const QString& Url, bool Elsewhere);
  // A request action: where it starts, the call, the panes it fills, and its form data (for
  // a POST that goes on from a refused pass).
  struct TAction {
    QString Url;
    std::function<void()> Request;
    std::function<void()> Show;
    std::string Data;
  };
  // How one request call ended.
  struct TOutcome {
    TWindowRun::TState Ended;
    std::exception_ptr Error;
    std::int64_t TooLarge = 0;
  };
  // Runs one request action: refuses it while another runs, reports its errors, tells a stop
  // or a close apart from a failure, and after a refused certificate asks whether to go on
  // from the refused pass. Show fills the panes once the request returned.
  void RunAction(const TAction& Action);
  // GoingOn: the request goes on from the refused pass, which the record keeps.
  TOutcome RunOnce(const QString& Url, const std::function<void()>& Request, bool Elsewhere,
                   bool GoingOn = false);
  void ShowOutcome(const TOutcome& Out, const std::function<void()>& Show);
  // The request again from the refused pass, as that pass was to be sent.
  void Resume(const std::string& Method, const std::string& Url, const std::string& Data);
  void ShowSecurityMark();
  // What the run state allows: the stop item while anything runs, the saving items and the
  // request buttons not while a request runs, opening a HAR not while a replay runs.
  void RunChanged();
  void SetStatus(const QString& Text);
  void SetStatusAnsi(const std::string& Text);
  void ShowMessage(const QString& Text);

  std::unique_ptr<Ui::TForm1> FUi;
  QPointer<QLabel> FStatusText;  // null once the status bar is gone
  QSize FStoredSize;
  TAnchors FAnchors;  // the request bars' boxes and buttons, by the window's width
  // The window's run state, the inspector's replay included, changed in one place.
  TWindowRun FRun;
  bool FButtonsOff = false;  // the request buttons are off for the request running
  bool FResuming = false;  // the request running goes on from a refused pass
  // Where the focus was when the request started, and where disabling the buttons moved it.
  struct TRunFocus {
    QPointer<QWidget> Before;
    QPointer<QWidget> Moved;
  } FRunFocus;
  // Set when the last reply's body went past MaxBody: the panes show what was kept.
  bool FTooLarge = false;
  // Records every request of VelHTTP1 for the details window, open or not.
  std::unique_ptr<TExchangeRecorder> FRecorder;
  QPointer<TExchangeDetails> FDetails;  // created when first opened
  // The tunnel and handshake steps for the status bar, and the last pass that made one.
  std::unique_ptr<TTlsProgress> FTlsProgress;
  // The status bar's marks of the last pass's certificate check.
  std::unique_ptr<TStatusMarks> FMarks;
  // The page's TLS settings, the certificates accepted and the refusals' dialog.
  std::unique_ptr<TTlsPage> FTls;
};

extern TForm1* Form1;
