// The main window's request actions, its status bar reports, its dialogs and its menu.
#include "app/TForm1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QResizeEvent>
#include <QStatusBar>
#include <QTranslator>
#include <algorithm>
#include <array>
#include <exception>
#include <limits>
#include <utility>

#include "OrreryVersion.h"
#include "app/TAnsiText.h"
#include "app/TCookieMessage.h"
#include "app/TDockLayout.h"
#include "app/TExchangeDetails.h"
#include "app/TForm2.h"
#include "app/TPassText.h"
#include "app/TReplyFile.h"
#include "app/TStatusMarks.h"
#include "app/TTlsPage.h"
#include "base/Exception.h"
#include "base/SysUtils.h"
#include "base/TApplication.h"
#include "http/CredentialScope.h"
#include "http/HostName.h"
#include "http/HttpErrors.h"
#include <nlohmann/json.hpp>

#include "inspect/THarReader.h"
#include "inspect/THarWriter.h"
#include "ui_TForm1.h"

TForm1* Form1 = nullptr;

namespace {

struct TResultTexts {
  const char* Success;
  const char* Failure;
};

// By command code; Windows-1252 bytes ("\xE9" is "é").
constexpr std::array<TResultTexts, 13> ResultTexts{{
    {"Connection........ Sat..... checking...", "Get Failed"},
    {"Options r\xE9ussi", "Options Failed"},
    {"Connection HEAD r\xE9ussi", "Head Failed"},
    {"Connection Post r\xE9ussi", "Post Failed"},
    {"Connection Put r\xE9ussi", "Put Failed"},
    {"Connection Patch r\xE9ussi", "Patch Failed"},
    {"Copie r\xE9ussi", "Copy Failed"},
    {"Changement r\xE9ussi", "Move Failed"},
    {"Effacement r\xE9ussi", "Delete Failed"},
    {"Lien r\xE9ussi", "Link Failed"},
    {"D\xE9lien r\xE9ussi", "UnLink Failed"},
    {"Trace r\xE9ussi", "Trace Failed"},
    {"Wrapped r\xE9ussi", "Wrapped Failed"},
}};

// A port is decimal digits, blanks around them aside: StrToInt would also take "0x49C8",
// "$49C8" and "+18888".
int ProxyPortOf(const QString& Text) {
  const QString Digits = Text.trimmed();
  if (Digits.isEmpty() || !std::all_of(Digits.begin(), Digits.end(), [](QChar C) { return C >= u'0' && C <= u'9'; }))
    throw EConvertError("'" + TAnsiText::FromQString(Text) + "' is not a valid integer value");
  return StrToInt(Digits.toStdString());
}

}  // namespace

TForm1::TForm1(QWidget* Parent) : QMainWindow(Parent), FUi(std::make_unique<Ui::TForm1>()) {
  FUi->setupUi(this);
  setWindowTitle(QStringLiteral("Orrery " ORRERY_VERSION));
  // The window speaks French; so do Qt's own dialogs and menus (the file choosers, the edit
  // boxes' menus) while it is there, from the system's translations of Qt when installed.
  auto* QtFrench = new QTranslator(this);
  if (QtFrench->load(QLocale(QLocale::French), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QCoreApplication::installTranslator(QtFrench);
  SetUpLook();
  SetUpPages();
  // The page control gets the stored client size; the frame adds the rest. Smaller, the
  // pages' captions would have to overlap their panes.
  resize(492, FUi->MainMenu1->sizeHint().height() + 291 + 23);
  FStoredSize = size();
  setMinimumSize(FStoredSize);
  move(264, 250);
  SetUpComponent();
  ConnectControls();
}

void TForm1::SetUpLook() {
  QFont Font("MS Sans Serif");
  Font.setFamilies({"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial"});
  Font.setPixelSize(11);
  setFont(Font);
  QPalette Face = palette();
  Face.setColor(QPalette::Window, Face.color(QPalette::Button));
  setPalette(Face);

  // The status bar in simple mode: one text. A label rather than a temporary message, so
  // that hovering the menu does not wipe the report.
  FUi->StatusBar1->setFixedHeight(23);
  auto* Simple = new QLabel(FUi->StatusBar1);
  Simple->setObjectName("SimpleText");
  Simple->setTextFormat(Qt::PlainText);
  Simple->setIndent(2);
  FUi->StatusBar1->addWidget(Simple, 1);
  FStatusText = Simple;
  FMarks = std::make_unique<TStatusMarks>(FUi->StatusBar1);

  // Hints show only on the panels that show them.
  for (QWidget* Panel : {FUi->Panel1, FUi->Panel2, FUi->Panel3}) {
    const bool Show = Panel->property("showHint").toBool();
    for (auto* B : Panel->findChildren<QToolButton*>())
      if (Show) B->setToolTip(B->property("hint").toString());
  }
  for (QLabel* L : FUi->TabSheet4->findChildren<QLabel*>()) L->adjustSize();
  for (QWidget* Panel : {FUi->Panel1, FUi->Panel2, FUi->Panel3})
    for (QLabel* L : Panel->findChildren<QLabel*>()) L->adjustSize();
  // The stored positions suit MS Sans Serif; where this machine's font is wider, a
  // caption keeps its right edge clear of its box instead of running under it, and the
  // check box shows its whole caption.
  for (QLabel* L : {FUi->Label13, FUi->Label14, FUi->Label15, FUi->Label16, FUi->Label17,
                    FUi->Label18, FUi->Label25}) {
    const int Right = FUi->Edit5->x() - 3;
    if (L->geometry().right() > Right) L->move(std::max(2, Right - L->width()), L->y());
  }
  for (QCheckBox* Box : {FUi->CheckBox1, FUi->CheckBox2, FUi->CheckBox3})
    Box->resize(std::max(Box->width(), Box->sizeHint().width()), Box->height());
  FUi->ComboBox1->resize(std::max(FUi->ComboBox1->width(), FUi->ComboBox1->sizeHint().width()),
                         FUi->ComboBox1->height());
  FitPortBox();
  // A line edit cuts what is typed or pasted at 32 767 characters unless told otherwise, and
  // says nothing: a long URL or form would go out cut.
  for (QLineEdit* Box : findChildren<QLineEdit*>())
    Box->setMaxLength(std::numeric_limits<int>::max());
}

void TForm1::FitPortBox() {
  // Five digits must show whole; the stored width suits MS Sans Serif's digits only.
  QLineEdit* Box = FUi->Edit12;
  const QFontMetrics Metrics(Box->font());
  int Digit = 0;
  for (char16_t C = u'0'; C <= u'9'; ++C)
    Digit = std::max(Digit, Metrics.horizontalAdvance(QChar(C)));
  // The box's size hint is 17 'x' wide inside its frame and margins.
  const int Around = Box->sizeHint().width() - 17 * Metrics.horizontalAdvance(u'x');
  // The text, the cursor after it and the pixel the box keeps free beside it.
  Box->resize(std::max(Box->width(), 5 * Digit + 2 + Around), Box->height());
}

void TForm1::SetUpPages() {
  // Docked top to bottom as stored; a taller window gives its extra height to the panes.
  const auto Growth = [this] { return height() - FStoredSize.height(); };
  auto* Aller = new TDockLayout(FUi->TabSheet1, Growth);
  Aller->AddFixed(FUi->Panel1, 41);
  Aller->AddGap(34);
  Aller->AddPane(FUi->Memo2, 58);
  Aller->AddFixed(FUi->Label3, 13);
  Aller->AddFixed(FUi->Label2, 13);
  Aller->AddPane(FUi->Memo1, 104);
  auto* Post = new TDockLayout(FUi->TabSheet2, Growth);
  Post->AddFixed(FUi->Panel2, 73);
  Post->AddGap(35);
  Post->AddPane(FUi->Memo4, 56);
  Post->AddFixed(FUi->Label7, 13);
  Post->AddPane(FUi->Memo3, 73);
  Post->AddFixed(FUi->Label6, 13);
  auto* Head = new TDockLayout(FUi->TabSheet3, Growth);
  Head->AddFixed(FUi->Panel3, 41);
  Head->AddFixed(FUi->Label12, 13);
  Head->AddPane(FUi->Memo5, Aller->StoredHeight() - 41 - 13);  // the rest of the page

  // A wider window widens the URL and data boxes; what stands right of them moves along.
  for (QWidget* Box : {FUi->Edit1, FUi->Edit2, FUi->Edit3, FUi->Edit4, FUi->Edit13, FUi->Edit14,
                       FUi->Edit15})
    FAnchors.Stretch(Box);
  for (QWidget* Right : std::initializer_list<QWidget*>{
           FUi->Button1, FUi->Label8, FUi->SpeedButton1, FUi->Button2, FUi->Label9,
           FUi->SpeedButton2, FUi->Button3, FUi->Label11, FUi->SpeedButton3, FUi->SpeedButton4,
           FUi->SpeedButton5, FUi->SpeedButton6})
    FAnchors.Follow(Right);
}

void TForm1::SetUpComponent() {
  VelHTTP1 = new TVelHTTP(nullptr);
  VelHTTP1->Name = "VelHTTP1";
  VelHTTP1->Port = 0;
  VelHTTP1->TimeOut = 0;
  VelHTTP1->ReportLevel = 0;
  VelHTTP1->ProxyPort = 0;
  VelHTTP1->Body = "Default.htm";
  VelHTTP1->Header = "Head.txt";
  VelHTTP1->InputFileMode = false;
  VelHTTP1->OutputFileMode = false;
  // A body past this is cut and said to be longer; unbounded, a server could fill memory.
  VelHTTP1->MaxBodySize = MaxBody;
  VelHTTP1->OnConnect = [this](TObject* S) { VelHTTP1Connect(S); };
  VelHTTP1->OnDisconnect = [this](TObject* S) { VelHTTP1Disconnect(S); };
  VelHTTP1->OnHostResolved = [this](TObject* S) { VelHTTP1HostResolved(S); };
  VelHTTP1->OnStatus = [this](TObject* S, const std::string& T) { VelHTTP1Status(S, T); };
  VelHTTP1->OnInvalidHost = [this](bool& Handled) { VelHTTP1InvalidHost(Handled); };
  VelHTTP1->OnConnectionFailed = [this](TObject* S) { VelHTTP1ConnectionFailed(S); };
  VelHTTP1->OnPacketRecvd = [this](TObject* S) { VelHTTP1PacketRecvd(S); };
  VelHTTP1->OnPacketSent = [this](TObject* S) { VelHTTP1PacketSent(S); };
  VelHTTP1->OnSuccess = [this](CmdType Cmd) { VelHTTP1Success(Cmd); };
  VelHTTP1->OnFailure = [this](CmdType Cmd) { VelHTTP1Failure(Cmd); };
  // One observer of the component among any: the handlers above are not its business.
  FRecorder = std::make_unique<TExchangeRecorder>(*VelHTTP1);
  // The inspector redraws on its own schedule, never inside the component's events: its
  // work there would be charged to the stage the recorder is timing.
  FRecorder->OnChange = [this] {
    if (FDetails && FDetails->isVisible()) FDetails->RefreshSoon();
  };
  // The tunnel and the handshake in the status bar, from the component's steps: its status
  // reports of them are below the window's level.
  FTlsProgress = std::make_unique<TTlsProgress>(*VelHTTP1, *FRecorder);
  FTls = std::make_unique<TTlsPage>(
      TTlsPage::TFields{FUi->CheckBox2, FUi->Edit13, FUi->Edit14, FUi->Edit15},
      TTlsPage::TWindow{this, [this](const QString& Text) { SetStatus(Text); },
                        [this](const QString& Text) { ShowMessage(Text); }},
      *FTlsProgress, FRun);
  FTlsProgress->OnText = [this](const QString& Text) {
    if (FRun.State() == TWindowRun::TState::Closing) return;
    SetStatus(Text);
    ShowSecurityMark();
  };
  // Once the request is over nothing is timed: its end shows at once.
  FRecorder->OnRequestEnd = [this] {
    if (FDetails && FDetails->isVisible()) FDetails->Refresh();
  };
}

void TForm1::ConnectControls() {
  connect(FUi->Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(FUi->Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(FUi->Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  // Enter in a URL or data box clicks that page's button, so that it does nothing while the
  // button is disabled.
  connect(FUi->Edit1, &QLineEdit::returnPressed, FUi->Button1, &QAbstractButton::click);
  connect(FUi->Edit2, &QLineEdit::returnPressed, FUi->Button2, &QAbstractButton::click);
  connect(FUi->Edit3, &QLineEdit::returnPressed, FUi->Button2, &QAbstractButton::click);
  connect(FUi->Edit4, &QLineEdit::returnPressed, FUi->Button3, &QAbstractButton::click);
  connect(FUi->SpeedButton1, &QToolButton::clicked, this, &TForm1::SpeedButton1Click);
  connect(FUi->SpeedButton2, &QToolButton::clicked, this, &TForm1::SpeedButton2Click);
  connect(FUi->SpeedButton3, &QToolButton::clicked, this, &TForm1::SpeedButton3Click);
  connect(FUi->SpeedButton4, &QToolButton::clicked, this, &TForm1::SpeedButton4Click);
  connect(FUi->SpeedButton5, &QToolButton::clicked, this, &TForm1::SpeedButton5Click);
  connect(FUi->SpeedButton6, &QToolButton::clicked, this, &TForm1::SpeedButton6Click);
  connect(FUi->Arreter1, &QAction::triggered, this, &TForm1::Arreter1Click);
  // Back to 1.0, nothing is kept any more: the connections 1.1 left open go at once, unless a
  // request is running on the component (the next one's start closes them then).
  connect(FUi->ComboBox1, &QComboBox::currentIndexChanged, this, [this](int Index) {
    if (Index == 0 && !FRun.Request()) VelHTTP1->CloseIdleConnections();
  });
  connect(&FRun, &TWindowRun::Changed, this, &TForm1::RunChanged);
  connect(FUi->Quitter1, &QAction::triggered, this, &TForm1::Quitter1Click);
  connect(FUi->Apropos1, &QAction::triggered, this, &TForm1::Apropos1Click);
  connect(FUi->DetailsEchange1, &QAction::triggered, this, &TForm1::DetailsEchange1Click);
  connect(FUi->EnregistrerReponse1, &QAction::triggered, this, &TForm1::EnregistrerReponse1Click);
  connect(FUi->ExporterHar1, &QAction::triggered, this, &TForm1::ExporterHar1Click);
  connect(FUi->OuvrirHar1, &QAction::triggered, this, &TForm1::OuvrirHar1Click);
}

TForm1::~TForm1() {
  // The status bar goes first: the component may still report while it is destroyed, and
  // the handlers then find no status bar and do nothing.
  delete FUi->StatusBar1;
  delete FDetails;
  VelHTTP1->Free();
  VelHTTP1 = nullptr;
  if (Form1 == this) Form1 = nullptr;
}

QString TForm1::StatusText() const { return FStatusText ? FStatusText->text() : QString(); }

const std::vector<TTlsAccepted>& TForm1::Accepted() const { return FTls->Accepted(); }

QString TForm1::SecurityMark() const { return FMarks->Security(); }

QString TForm1::CertificateMark() const { return FMarks->Certificate(); }

void TForm1::ShowSecurityMark() { FMarks->Show(*FTlsProgress); }

std::string TForm1::SuccessText(int Cmd) {
  return Cmd >= 0 && Cmd < static_cast<int>(ResultTexts.size()) ? ResultTexts[Cmd].Success : "";
}

std::string TForm1::FailureText(int Cmd) {
  return Cmd >= 0 && Cmd < static_cast<int>(ResultTexts.size()) ? ResultTexts[Cmd].Failure : "";
}

void TForm1::SetStatus(const QString& Text) {
  if (!FStatusText) return;
  // What a peer or a file said shows with its bidirectional controls as marks.
  const QString Shown = TAnsiText::WithVisibleBidi(Text);
  FStatusText->setText(Shown);
  emit StatusTextChanged(Shown);
}

void TForm1::SetStatusAnsi(const std::string& Text) { SetStatus(TAnsiText::ToQString(Text)); }

void TForm1::ShowMessage(const QString& Text) {
  QMessageBox Box(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                  TAnsiText::WithVisibleBidi(Text), QMessageBox::Ok, this);
  Box.setTextFormat(Qt::PlainText);
  Box.exec();
}

// --- Request actions ---------------------------------------------------------------------

void TForm1::PrepareRequest(const QString& Url, bool Elsewhere) {
  VelHTTP1->InputFileMode = false;
  VelHTTP1->OutputFileMode = false;
  VelHTTP1->ReportLevel = 2;
  // Off by default: the request of the window is the one it always made.
  VelHTTP1->AcceptEncoding = FUi->CheckBox3->isChecked();
  // HTTP/1.0 unless the user chose 1.1 or 2: then the connections are kept for the next
  // requests. With 1.0 none is kept, nor left from an earlier choice. 2 offers h2 to an https
  // server (by ALPN, 1.1 when it declines); plain http then speaks 1.1, as curl --http2 does.
  static constexpr THttpVersion Chosen[] = {hv10, hv11, hv2};
  const int Index = FUi->ComboBox1->currentIndex();
  VelHTTP1->HttpVersion = Index >= 0 && Index < 3 ? Chosen[Index] : hv10;
  if (VelHTTP1->HttpVersion == hv10) VelHTTP1->CloseIdleConnections();
  if (FUi->CheckBox1->isChecked()) {
    // An IPv6 proxy may be typed as an authority writes it ("[::1]"); the component takes
    // the bare address.
    std::string ProxyHost = TAnsiText::FromQString(FUi->Edit11->text());
    const std::string Bare = TAnsiText::FromQString(FUi->Edit11->text().trimmed());
    if (Bare.size() > 2 && Bare.front() == '[' && Bare.back() == ']' &&
        HostName::IsAddress6(std::string_view(Bare).substr(1, Bare.size() - 2)))
      ProxyHost = Bare.substr(1, Bare.size() - 2);
    VelHTTP1->Proxy = ProxyHost;
    VelHTTP1->ProxyPort = ProxyPortOf(FUi->Edit12->text());
    // To the component an empty Proxy means a direct connection: the request would go past
    // the proxy the user asked for, without a word.
    if (FUi->Edit11->text().trimmed().isEmpty())
      throw EHttpSettingError(TAnsiText::FromQString(
          QString::fromUtf8("Serveur proxy vide : indiquez-le, ou d\u00e9cochez \u00ab %1 \u00bb.")
              .arg(FUi->CheckBox1->text())));
  } else {
    // Unchecked means direct, as the user expects: no proxy of an earlier request lingers.
    VelHTTP1->Proxy.clear();
    VelHTTP1->ProxyPort = 0;
  }
  THeaderInfo& Info = VelHTTP1->HeaderInfo;
  const std::string Cookie = TAnsiText::FromQString(FUi->Edit5->text());
  // Going on at another server, the caller's cookie and login stay behind, as they would
  // have had the request run through; a cookie the component holds from a server's reply
  // is its own, and goes only to that server.
  if (!Elsewhere || Info.Cookie == Cookie) Info.Cookie = Elsewhere ? std::string() : Cookie;
  Info.LocalMailAddress = TAnsiText::FromQString(FUi->Edit6->text());
  Info.LocalProgram = TAnsiText::FromQString(FUi->Edit7->text());
  Info.Referer = TAnsiText::FromQString(FUi->Edit8->text());
  Info.UserId = Elsewhere ? std::string() : TAnsiText::FromQString(FUi->Edit9->text());
  Info.Password = Elsewhere ? std::string() : TAnsiText::FromQString(FUi->Edit10->text());
  TTlsSettings Tls = FTls->ForRequest(Url, Elsewhere);
  VelHTTP1->SecureSocket = true;
  VelHTTP1->TlsSettings = std::move(Tls);
}

void TForm1::RunAction(const TAction& Action) {
  // A replay from the details window runs on its own component, but in a nested wait that
  // a request started meanwhile would hold until its own end.
  if (!FRun.Idle()) {
    // The running exchange is left alone; a second one would share its socket.
    SetStatus(QString::fromUtf8("Requête déjà en cours"));
    return;
  }
  FRecorder->Clear();
  ShowSecurityMark();
  TOutcome Out = RunOnce(Action.Url, Action.Request, false);
  // The passes a refusal goes on from stay recorded: the first is the request's own.
  const auto& Passes = FRecorder->Passes();
  const std::string FirstUrl = Passes.empty() ? std::string() : Passes.front().URL;
  // Each refusal the user waives goes on from its pass; a later pass may be refused again.
  while (Out.Ended == TWindowRun::TState::Request && Out.Error) {
    const TTlsPage::TRefusal Refusal = FTls->AskAboutRefusal(Out.Error);
    if (Refusal == TTlsPage::TRefusal::NotRefused) break;
    if (Refusal == TTlsPage::TRefusal::Cancelled) return;
    const std::string Method = FTlsProgress->Last().Method, Url = FTlsProgress->Last().URL;
    const bool Elsewhere = !CredentialScope::SameServer(Url, FirstUrl);
    Out = RunOnce(QString::fromStdString(Url),
                  [this, Method, Url, Data = Action.Data] { Resume(Method, Url, Data); },
                  Elsewhere, true);
  }
  ShowOutcome(Out, Action.Show);
}

void TForm1::Resume(const std::string& Method, const std::string& Url, const std::string& Data) {
  VelHTTP1->Perform(CommandNamed(Method).value_or(hcGet), Url, Data);
}

TForm1::TOutcome TForm1::RunOnce(const QString& Url, const std::function<void()>& Request,
                                 bool Elsewhere, bool GoingOn) {
  FRun.Set(TWindowRun::TState::Request);
  FTooLarge = false;
  FResuming = GoingOn;
  TOutcome Out{TWindowRun::TState::Request, nullptr};
  try {
    // Going on from a refused pass, the inspector keeps it: it shows why the check was waived
    // (a new request's RunAction has cleared it).
    PrepareRequest(Url, Elsewhere);
    if (GoingOn)
      FRecorder->Continue(Request);
    else
      FRecorder->Run(Request);
  } catch (const EHttpBodyTooLarge& E) {
    Out.TooLarge = E.Limit();
  } catch (...) {
    Out.Error = std::current_exception();
  }
  Out.Ended = FRun.State();
  FResuming = false;
  FRun.Set(TWindowRun::TState::Idle);
  ShowSecurityMark();
  return Out;
}

void TForm1::ShowOutcome(const TOutcome& Out, const std::function<void()>& Show) {
  if (Out.Ended == TWindowRun::TState::Closing) return;  // the program is ending: nothing more to show
  if (Out.Ended == TWindowRun::TState::Stopping) {
    // A stop the user asked for is no failure: no report, and the panes keep their text.
    SetStatus(QString::fromUtf8("Requête arrêtée"));
    return;
  }
  if (Out.Error) {
    // The component says it in English: the window says it in its own words, as a failure.
    try {
      std::rethrow_exception(Out.Error);
    } catch (const EHttpEmptyReply&) {
      // A POST on a kept connection the server closed is not sent again: the server may have
      // taken it before it closed.
      const auto& Passes = FRecorder->Passes();
      const QString Text =
          !Passes.empty() && Passes.back().ConnectionReused
              ? QString::fromUtf8(
                    "R\u00e9ponse vide : le serveur a ferm\u00e9 la connexion gard\u00e9e "
                    "#%1 avant la r\u00e9ponse, et un POST n'est pas envoy\u00e9 deux fois.")
                    .arg(Passes.back().Connection)
              : QString::fromUtf8(
                    "R\u00e9ponse vide : le serveur a ferm\u00e9 la connexion sans rien envoyer.");
      SetStatus(Text);
      Application.HandleException(Exception(Text.toStdString()));
      return;
    } catch (...) {
    }
    if (!FTls->ShowFailure(Out.Error, VelHTTP1->TlsSettings)) Application.HandleException(Out.Error);
    return;
  }
  if (Out.TooLarge > 0) {
    ShowTooLarge(Show, Out.TooLarge);
    return;
  }
  // A body cut short is kept and shown, and said to be short before anything else is shown.
  const QString Short = ShortBodyText();
  if (!Short.isEmpty()) SetStatus(Short);
  try {
    Show();
  } catch (...) {
    Application.HandleException(std::current_exception());
  }
}

void TForm1::RunChanged() {
  const bool Request = FRun.Request();
  FUi->Arreter1->setEnabled(!FRun.Idle());
  FUi->EnregistrerReponse1->setEnabled(!Request);
  FUi->ExporterHar1->setEnabled(!Request);
  // A file picked during a replay could only be refused.
  FUi->OuvrirHar1->setEnabled(!FRun.Replaying());
  if (Request == FButtonsOff) return;  // a stop or a close asked for changes no button
  FButtonsOff = Request;
  // A click meanwhile could only be refused, and the refusal would be overwritten by the next
  // progress report: the buttons say beforehand that they cannot start another request.
  QWidget* const Focus = focusWidget();
  for (QPushButton* Button : {FUi->Button1, FUi->Button2, FUi->Button3})
    Button->setEnabled(!Request);
  // The file choosers are dialogs too.
  for (QToolButton* Button : {FUi->SpeedButton4, FUi->SpeedButton5, FUi->SpeedButton6})
    Button->setEnabled(!Request);
  // A disabled button hands its focus on; it takes it back at the end, unless it has moved on
  // meanwhile, so that Space on the button runs the request again.
  if (Request) {
    FRunFocus = {Focus, Focus != focusWidget() ? focusWidget() : nullptr};
  } else if (FRunFocus.Before && FRunFocus.Moved && FRunFocus.Moved == focusWidget()) {
    FRunFocus.Before->setFocus();
  }
}

QString TForm1::ShortBodyText() const {
  const auto& Passes = FRecorder->Passes();
  return Passes.empty() ? QString() : TPassText::ShortBodyText(Passes.back());
}

void TForm1::ShowTooLarge(const std::function<void()>& Show, std::int64_t Limit) {
  // The component kept the body's first Limit bytes: they are shown and can be saved.
  FTooLarge = true;
  const QString Text =
      QString::fromUtf8("R\u00e9ponse plus longue que %1 octets : seuls ses %1 premiers octets "
                        "sont gard\u00e9s et montr\u00e9s.")
          .arg(TAnsiText::Count(Limit));
  SetStatus(Text);
  try {
    Show();
  } catch (...) {
    Application.HandleException(std::current_exception());
  }
  ShowMessage(Text);
}

void TForm1::Button1Click() {
  RunAction({FUi->Edit1->text(),
             [this] { VelHTTP1->Get(TAnsiText::FromQString(FUi->Edit1->text())); },
             [this] {
               FUi->Memo1->setPlainText(TAnsiText::ForPane(VelHTTP1->Body));
               FUi->Memo2->setPlainText(TAnsiText::ForPane(VelHTTP1->Header));
               if (!VelHTTP1->CookieIn().empty()) {
                 TCookieMessage Message(TAnsiText::ForMessage(VelHTTP1->CookieIn()), this);
                 Message.exec();
               }
             },
             {}});
}

void TForm1::Button2Click() {
  const std::string Data = TAnsiText::FromQString(FUi->Edit3->text());
  RunAction({FUi->Edit2->text(),
             [this, Data] { VelHTTP1->Post(TAnsiText::FromQString(FUi->Edit2->text()), Data); },
             [this] {
               FUi->Memo3->setPlainText(TAnsiText::ForPane(VelHTTP1->Header));
               FUi->Memo4->setPlainText(TAnsiText::ForPane(VelHTTP1->Body));
             },
             Data});
}

void TForm1::Button3Click() {
  RunAction({FUi->Edit4->text(),
             [this] { VelHTTP1->Head(TAnsiText::FromQString(FUi->Edit4->text())); },
             [this] { FUi->Memo5->setPlainText(TAnsiText::ForPane(VelHTTP1->Header)); },
             {}});
}

void TForm1::SpeedButton1Click() {
  FUi->Memo1->clear();
  FUi->Memo2->clear();
}

void TForm1::SpeedButton2Click() {
  FUi->Memo3->clear();
  FUi->Memo4->clear();
}

void TForm1::SpeedButton3Click() { FUi->Memo5->clear(); }

void TForm1::SpeedButton4Click() { FTls->ChooseFile(TTlsPage::TFile::CaFile); }
void TForm1::SpeedButton5Click() { FTls->ChooseFile(TTlsPage::TFile::CertFile); }
void TForm1::SpeedButton6Click() { FTls->ChooseFile(TTlsPage::TFile::KeyFile); }

// --- Component events --------------------------------------------------------------------

void TForm1::VelHTTP1Connect(TObject*) { SetStatus("Connected"); }

void TForm1::VelHTTP1HostResolved(TObject*) { SetStatus("Host Resolved"); }

void TForm1::VelHTTP1Status(TObject*, const std::string& Status) {
  if (!FStatusText) return;
  SetStatusAnsi(Status);
  if (VelHTTP1->ReplyNumber == 404) SetStatusAnsi("Objet non trouv\xE9");
}

void TForm1::VelHTTP1PacketRecvd(TObject*) {
  SetStatusAnsi(IntToStr(VelHTTP1->BytesRecvd) + " of " + IntToStr(VelHTTP1->BytesTotal) +
                " retrieved");
}

void TForm1::VelHTTP1PacketSent(TObject*) {
  SetStatusAnsi(IntToStr(VelHTTP1->BytesSent) + " of " + IntToStr(VelHTTP1->BytesTotal) + " sent");
}

void TForm1::VelHTTP1Disconnect(TObject*) {
  if (!FStatusText) return;
  SetStatus("Deconnection");
}

void TForm1::VelHTTP1Success(CmdType Cmd) {
  const std::string Text = SuccessText(Cmd);
  if (!Text.empty()) SetStatusAnsi(Text);
}

void TForm1::VelHTTP1Failure(CmdType Cmd) {
  const std::string Text = FailureText(Cmd);
  if (!Text.empty()) SetStatusAnsi(Text);
}

void TForm1::VelHTTP1ConnectionFailed(TObject*) {
  // Going on from a refused pass opens a new connection: the server may have gone meanwhile,
  // and nothing was cancelled.
  if (FResuming && FRun.State() == TWindowRun::TState::Request) {
    const std::optional<TPassServer> Server = CredentialScope::ServerOf(FTlsProgress->Last().URL);
    QString Peer;
    if (!VelHTTP1->Proxy.empty())
      Peer = TPassText::Authority(VelHTTP1->Proxy, VelHTTP1->ProxyPort);
    else if (Server)
      Peer = TPassText::Authority(Server->Host, Server->Port);
    ShowMessage(QString::fromUtf8("La connexion \u00e0 %1 pour continuer sans v\u00e9rifier a \u00e9chou\u00e9 : le "
                                  "serveur ne l'accepte plus ou ne r\u00e9pond plus.")
                    .arg(Peer));
    return;
  }
  ShowMessage(
      TAnsiText::ToQString("Connection annul\xE9"
                           "e"));
}

void TForm1::VelHTTP1InvalidHost(bool& Handled) {
  QInputDialog Query(this);
  Query.setObjectName("InvalidHostQuery");
  Query.setInputMode(QInputDialog::TextInput);
  Query.setWindowTitle("Serveur invalide");
  Query.setLabelText(
      TAnsiText::ToQString("Sp\xE9"
                           "cifier un nouveau serveur:"));
  Query.setTextValue(QString());
  Query.setOkButtonText("OK");
  Query.setCancelButtonText("Cancel");
  if (Query.exec() != QDialog::Accepted) return;
  VelHTTP1->Host = TAnsiText::FromQString(Query.textValue());
  Handled = true;
}

// --- Menu and closing ----------------------------------------------------------------------

void TForm1::Arreter1Click() {
  // A replay hears the same action in the inspector.
  if (!FRun.Request()) return;
  if (FRun.State() == TWindowRun::TState::Request) FRun.Set(TWindowRun::TState::Stopping);
  VelHTTP1->Abort();
}

void TForm1::Quitter1Click() { close(); }

void TForm1::Apropos1Click() {
  if (!Form2) return;
  Form2->show();
  Form2->raise();
  Form2->activateWindow();
}

void TForm1::resizeEvent(QResizeEvent* Event) {
  QMainWindow::resizeEvent(Event);
  FAnchors.Apply(width() - FStoredSize.width());
}

void TForm1::closeEvent(QCloseEvent* Event) {
  Event->accept();
  if (Form2) Form2->hide();
  if (FRun.Request()) {
    // The request's handler is still on the stack: it unwinds after the abort, and the
    // window is destroyed only after the event loop has returned.
    FRun.Set(TWindowRun::TState::Closing);
    VelHTTP1->Abort();
  }
  if (FDetails) FDetails->StopReplay();
  QCoreApplication::quit();
}

// --- Exchange details and saving the reply ----------------------------------------------------

void TForm1::DetailsEchange1Click() {
  if (!FDetails) {
    FDetails = new TExchangeDetails(*FRecorder, FRun, this);
    // A window of its own: closing it leaves the program running, and the main window's
    // closing still ends it.
    FDetails->setAttribute(Qt::WA_QuitOnClose, false);
    FDetails->SetStopAction(FUi->Arreter1);
    FDetails->SetExportAction(FUi->ExporterHar1);
    FDetails->TlsSettingsOf = [this] { return VelHTTP1->TlsSettings; };
    FDetails->ReplayTlsOf = [this] { return FTls->ForReplay(); };
  }
  FDetails->Refresh();
  FDetails->show();
  FDetails->raise();
  FDetails->activateWindow();
}

void TForm1::EnregistrerReponse1Click() {
  if (RequestRunning()) return;  // disabled meanwhile: a dialog would hold the request's reads
  if (!FRecorder->Complete() && !FTooLarge) {
    SaveReply(QString());  // says there is nothing to save
    return;
  }
  const QString Short = ShortBodyText();
  if (!Short.isEmpty() &&
      !ConfirmPartialSave(Short, QString::fromUtf8("Le serveur a ferm\u00e9 la connexion avant la "
                                                   "fin annonc\u00e9e.")))
    return;
  if (FTooLarge &&
      !ConfirmPartialSave(QString::fromUtf8("Corps incomplet : les %1 premiers octets")
                              .arg(TAnsiText::Count(MaxBody)),
                          QString::fromUtf8("La r\u00e9ponse est plus longue que ce que la "
                                            "fen\u00eatre garde.")))
    return;
  QFileDialog Dialog(this, QString::fromUtf8("Enregistrer la r\u00e9ponse"));
  Dialog.setAcceptMode(QFileDialog::AcceptSave);
  Dialog.setFileMode(QFileDialog::AnyFile);
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) return;
  SaveReply(Dialog.selectedFiles().constFirst());
}

bool TForm1::ConfirmPartialSave(const QString& Why, const QString& Reason) {
  QMessageBox Box(QMessageBox::Question, QCoreApplication::applicationName(),
                  Why + "\n" + Reason +
                      QString::fromUtf8(" Enregistrer ce qui a \u00e9t\u00e9 re\u00e7u ?"),
                  QMessageBox::Save | QMessageBox::Cancel, this);
  Box.setTextFormat(Qt::PlainText);
  Box.button(QMessageBox::Save)->setText("Enregistrer");
  Box.button(QMessageBox::Cancel)->setText("Annuler");
  Box.setDefaultButton(QMessageBox::Cancel);
  Box.exec();
  return Box.clickedButton() == Box.button(QMessageBox::Save);
}

void TForm1::SaveReply(const QString& FileName) {
  if (RequestRunning()) return;  // nothing of ours opens while a request runs
  // After a reply cut off by an error or a stop, Header and Body hold no whole reply.
  if (!FRecorder->Complete() && !FTooLarge) {
    ShowMessage(QString::fromUtf8("Aucune r\u00e9ponse compl\u00e8te \u00e0 enregistrer."));
    return;
  }
  const QString Why = TReplyFile::Write(FileName, VelHTTP1->Header, VelHTTP1->Body);
  if (!Why.isEmpty())
    ShowMessage(
        QString::fromUtf8("Impossible d'enregistrer la r\u00e9ponse dans \u00ab %1 \u00bb : %2")
            .arg(QDir::toNativeSeparators(FileName), Why));
}

void TForm1::ExporterHar1Click() {
  if (RequestRunning()) return;  // disabled meanwhile: a dialog would hold the request's reads
  if (FRecorder->Passes().empty()) {
    ShowMessage(QString::fromUtf8("Aucun \u00e9change \u00e0 exporter."));
    return;
  }
  QFileDialog Dialog(this, QString::fromUtf8("Exporter en HAR"));
  Dialog.setAcceptMode(QFileDialog::AcceptSave);
  Dialog.setFileMode(QFileDialog::AnyFile);
  Dialog.setNameFilters({"HTTP Archive (*.har)", "Tous les fichiers (*)"});
  Dialog.setDefaultSuffix("har");
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) return;
  ExportHar(Dialog.selectedFiles().constFirst());
}

void TForm1::OuvrirHar1Click() {
  if (RequestRunning()) return;  // a dialog would hold the request's reads
  QFileDialog Dialog(this, QString::fromUtf8("Ouvrir un HAR"));
  Dialog.setFileMode(QFileDialog::ExistingFile);
  Dialog.setNameFilters({"HTTP Archive (*.har)", "Tous les fichiers (*)"});
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) return;
  OpenHar(Dialog.selectedFiles().constFirst());
}

void TForm1::OpenHar(const QString& FileName) {
  if (RequestRunning()) return;
  DetailsEchange1Click();
  if (FRun.Replaying()) {
    ShowMessage(QString::fromUtf8("Un rejeu est en cours : arr\u00eatez-le avant d'ouvrir un autre fichier."));
    return;
  }
  FDetails->OpenFile(FileName);  // read on a worker: the window stays live
}

void TForm1::ExportHar(const QString& FileName) {
  if (RequestRunning()) return;  // nothing of ours opens while a request runs
  QString Why;
  try {
    THarWriter::Save(QFile::encodeName(FileName).toStdString(), THarWriter::Document(*FRecorder));
    return;
  } catch (const std::exception& E) {
    Why = TAnsiText::FromReceived(E.what());
  }
  ShowMessage(
      QString::fromUtf8("Impossible d'exporter l'\u00e9change dans \u00ab %1 \u00bb : %2")
          .arg(QDir::toNativeSeparators(FileName), Why));
}
