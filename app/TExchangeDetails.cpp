// TExchangeDetails: the exchange inspector's table, tabs and buttons, fed by the recorder or a
// HAR file; its two sources of passes, the selection and "Comparer".
#include "app/TExchangeDetails.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStyle>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <ctime>
#include <set>
#include <utility>

#include "app/TAnsiText.h"
#include "app/TBodyView.h"
#include "app/TCompareView.h"
#include "app/TFlowLayout.h"
#include "app/TFrameView.h"
#include "app/THarOpening.h"
#include "app/TPassText.h"
#include "app/TSecurityView.h"
#include "inspect/TCommandRenderer.h"

namespace {

QString Ms(double Value) { return QString::number(Value, 'f', 1); }

// The step an error happened in, in the words of the timing bars; empty when it says none.
QString StepWords(TSockStep Step) {
  switch (Step) {
    case TSockStep::ssLookUp: return QString::fromUtf8("recherche de l'h\u00f4te");
    case TSockStep::ssConnect: return "connexion";
    case TSockStep::ssHandshake: return QString::fromUtf8("n\u00e9gociation TLS");
    case TSockStep::ssCertificate: return QString::fromUtf8("v\u00e9rification du certificat");
    case TSockStep::ssSend: return "envoi";
    case TSockStep::ssReceive: return QString::fromUtf8("r\u00e9ception");
    case TSockStep::ssNone: break;
  }
  return QString();
}

// Replaces a pane's text, keeping the reader's place when the text only grew.
void SetKeeping(QPlainTextEdit* Pane, const QString& Text) {
  if (Pane->toPlainText() == Text) return;
  const int Line = Pane->verticalScrollBar()->value();
  Pane->setPlainText(Text);
  Pane->verticalScrollBar()->setValue(Line);
}

QTableWidgetItem* Item(const QString& Text, Qt::Alignment Align = Qt::AlignLeft) {
  auto* I = new QTableWidgetItem(Text);
  I->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  I->setTextAlignment(Align | Qt::AlignVCenter);
  return I;
}

bool Unset(std::chrono::system_clock::time_point T) { return T.time_since_epoch().count() == 0; }

// The file's passes, placed on one clock by their start dates, so that their bars stand
// where they happened; a pass without a date starts with the first. The passes move out of
// the entries: a file of many entries is held once.
std::vector<TExchangePass> Placed(THarLog& Log) {
  std::vector<TExchangePass> Out;
  const auto Origin = std::chrono::steady_clock::now();
  std::optional<std::chrono::system_clock::time_point> First;
  for (THarEntry& E : Log.Entries) {
    TExchangePass P = std::exchange(E.Pass, TExchangePass());
    if (!Unset(P.StartedAt) && !First) First = P.StartedAt;
    P.Started = Origin;
    if (!Unset(P.StartedAt) && P.StartedAt > *First)
      P.Started +=
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(P.StartedAt - *First);
    Out.push_back(std::move(P));
  }
  return Out;
}

}  // namespace

TExchangeDetails::TExchangeDetails(const TExchangeRecorder& Recorder, TWindowRun& Run,
                                   QWidget* Parent)
    : QWidget(Parent, Qt::Window), FRecorder(Recorder), FRun(Run) {
  BuildReplay();
  setObjectName("ExchangeDetails");
  setWindowTitle(QString::fromUtf8("D\u00e9tails de l'\u00e9change"));
  FSoon.setSingleShot(true);
  connect(&FSoon, &QTimer::timeout, this, &TExchangeDetails::SoonTimedOut);
  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(4, 4, 4, 4);
  BuildTop();
  BuildOpening();
  FTable = new QTableWidget(0, ColumnCount, this);
  FTable->setObjectName("PassTable");
  FTable->setHorizontalHeaderLabels({QString::fromUtf8("N\u00b0"),
                                     QString::fromUtf8("M\u00e9thode"), "URL", "Statut", "Taille",
                                     "Temps (ms)", "Version", "Connexion", "Chronologie", "Rejeu"});
  FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  // Two rows for "Comparer", any for "Rejouer"; the current row is the one the tabs show.
  FTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
  FTable->verticalHeader()->hide();
  FTable->setWordWrap(false);
  FTable->setTextElideMode(Qt::ElideMiddle);
  // Sized to their contents by FitColumns: a header left to do it measures every row again
  // at each cell a replay fills in.
  // The URLs and the bars share what the other columns leave, however wide the window.
  FTable->horizontalHeader()->setSectionResizeMode(pcURL, QHeaderView::Stretch);
  FTable->horizontalHeader()->setSectionResizeMode(pcBar, QHeaderView::Stretch);
  FBars = new TBarDelegate(FTable);
  FTable->setItemDelegateForColumn(pcBar, FBars);
  connect(FTable, &QTableWidget::itemSelectionChanged, this, [this] {
    UpdateButtons();
    const int Row = FTable->currentRow();
    if (Row < 0 || Row >= static_cast<int>(FRows.size())) return;
    const TRow Chosen = FRows[static_cast<std::size_t>(Row)];
    if (Chosen.Pass == FSelected && Chosen.Tunnel == FTunnel) return;
    FSelected = Chosen.Pass;
    FTunnel = Chosen.Tunnel;
    FBodyShown.clear();
    FillPass();
  });
  FNote = new QLabel(this);
  FNote->setObjectName("PassNote");
  FNote->setTextFormat(Qt::PlainText);
  FNote->setWordWrap(true);
  BuildTabs();
  auto* Lower = new QWidget(this);
  auto* LowerLayout = new QVBoxLayout(Lower);
  LowerLayout->setContentsMargins(0, 0, 0, 0);
  LowerLayout->addWidget(FNote);
  LowerLayout->addWidget(FTabs, 1);
  auto* Split = new QSplitter(Qt::Vertical, this);
  Split->addWidget(FTable);
  Split->addWidget(Lower);
  Split->setStretchFactor(1, 2);
  Layout->addWidget(Split, 1);
  resize(760, 560);
  Refresh();
}

void TExchangeDetails::BuildReplay() {
  // First of all: filling the table asks it for the "Rejeu" cells.
  FReplays =
      new TInspectorReplay({[this]() -> const std::vector<TExchangePass>& { return Passes(); },
                            [this]() -> const THarLog* { return FLog ? &*FLog : nullptr; }},
                           {[this] { UpdateButtons(); },
                            [this](int Done, int Next) {
                              FillReplayCell(RowOf(Done, false), Done);
                              FillNote();
                              FollowReplay(Done, Next);
                            }},
                           FRun, this);
}

void TExchangeDetails::BuildTop() {
  // The buttons and the legend go on to further lines in a narrow window, never out of it.
  auto* Top = new TFlowLayout;
  FStop = new QToolButton(this);
  FStop->setObjectName("StopButton");
  FStop->setToolButtonStyle(Qt::ToolButtonTextOnly);
  FStop->hide();
  FCopy = new QPushButton("Copier comme commande", this);
  FCopy->setObjectName("CopyCommandButton");
  connect(FCopy, &QPushButton::clicked, this, &TExchangeDetails::CopyCommands);
  FExport = new QToolButton(this);
  FExport->setObjectName("ExportHarButton");
  FExport->setToolButtonStyle(Qt::ToolButtonTextOnly);
  FExport->hide();
  FCompare = new QPushButton("Comparer", this);
  FCompare->setObjectName("CompareButton");
  FCompare->setToolTip(
      QString::fromUtf8("Deux échanges choisis côte à côte, ou un échange et son rejeu"));
  connect(FCompare, &QPushButton::clicked, this, [this] { CompareSelected(); });
  FReplayButton = new QPushButton("Rejouer", this);
  FReplayButton->setObjectName("ReplayButton");
  connect(FReplayButton, &QPushButton::clicked, this, [this] {
    if (FReplays->Running())
      StopReplay();
    else
      ReplayClicked();
  });
  FLive = new QPushButton(QString::fromUtf8("Échanges de la fenêtre"), this);
  FLive->setObjectName("LiveButton");
  FLive->hide();
  connect(FLive, &QPushButton::clicked, this, &TExchangeDetails::ShowLive);
  FSource = new QLabel(this);
  FSource->setObjectName("SourceLabel");
  FSource->setTextFormat(Qt::PlainText);
  FSource->setMinimumWidth(1);  // a long file name is cut rather than widening the window
  FSource->hide();
  Top->addWidget(FStop);
  Top->addWidget(FCopy);
  Top->addWidget(FExport);
  Top->addWidget(FCompare);
  Top->addWidget(FReplayButton);
  BuildLegend(Top);
  static_cast<QVBoxLayout*>(layout())->addLayout(Top);
  // The file shown, on a line of its own, only while one is.
  auto* Source = new QHBoxLayout;
  Source->addWidget(FSource);
  Source->addWidget(FLive);
  Source->addStretch(1);
  static_cast<QVBoxLayout*>(layout())->addLayout(Source);
}

void TExchangeDetails::BuildOpening() {
  FOpeningRow = new QWidget(this);
  FOpeningRow->setObjectName("OpeningRow");
  auto* Row = new QHBoxLayout(FOpeningRow);
  Row->setContentsMargins(0, 0, 0, 0);
  Row->addWidget(new QLabel(QString::fromUtf8("Lecture du fichier\u2026"), FOpeningRow));
  // The stop before the bar: a window wider than the screen still shows it.
  FOpeningStop = new QPushButton(QString::fromUtf8("Arr\u00eater"), FOpeningRow);
  FOpeningStop->setObjectName("StopOpeningButton");
  connect(FOpeningStop, &QPushButton::clicked, this, &TExchangeDetails::StopOpening);
  Row->addWidget(FOpeningStop);
  FOpeningBar = new QProgressBar(FOpeningRow);
  FOpeningBar->setObjectName("OpeningProgress");
  FOpeningBar->setRange(0, 1000);
  FOpeningBar->setTextVisible(false);
  Row->addWidget(FOpeningBar, 1);
  // Esc while a file is read; the main window's stop (Esc too) is off meanwhile, no request
  // running.
  FOpeningEsc = new QAction(this);
  FOpeningEsc->setShortcut(Qt::Key_Escape);
  FOpeningEsc->setEnabled(false);
  connect(FOpeningEsc, &QAction::triggered, this, &TExchangeDetails::StopOpening);
  addAction(FOpeningEsc);
  FOpeningRow->hide();
  static_cast<QVBoxLayout*>(layout())->addWidget(FOpeningRow);
  FOpeningTimer.setInterval(100);
  connect(&FOpeningTimer, &QTimer::timeout, this, &TExchangeDetails::OpeningTick);
  connect(&FWholeBody, &QFutureWatcher<TWholeBody>::finished, this,
          &TExchangeDetails::WholeBodyRead);
}

void TExchangeDetails::ReadWholeBody() {
  if (!FLog || FSelected < 0 || FTunnel || FWholeBody.isRunning()) return;
  THarEntry Entry = FLog->Entries[static_cast<std::size_t>(FSelected)];
  Entry.Pass = FLoaded[static_cast<std::size_t>(FSelected)];
  FBody->OfferWhole({});
  FBody->SetNote(QString::fromUtf8("Lecture du corps entier\u2026"));
  FWholeBody.setFuture(QtConcurrent::run(
      [File = FLogFile, Pass = FSelected, Entry, Type = TPassText::ContentType(Entry.Pass)] {
        TWholeBody Whole{File, Pass, THarReader::ReadBody(File, Entry), {}};
        if (Whole.Body) Whole.Prepared = TBodyView::Prepare(*Whole.Body, Type);
        return Whole;
      }));
}

void TExchangeDetails::WholeBodyRead() {
  TWholeBody Whole = FWholeBody.future().takeResult();
  if (!FLog || Whole.File != FLogFile || Whole.Pass != FSelected || FTunnel) return;
  const TExchangePass& P = FLoaded[static_cast<std::size_t>(FSelected)];
  if (!Whole.Body) {
    FBody->SetNote(QString::fromUtf8("Le corps entier n'a pas pu \u00eatre relu dans le fichier."));
    return;
  }
  FBody->SetPrepared(std::move(*Whole.Body), TPassText::ContentType(P), std::move(Whole.Prepared),
                     TPassText::ShortBodyText(P));
  FBodyShown += ":whole";
}

void TExchangeDetails::OpenFile(const QString& FileName) {
  if (Replaying()) return;
  delete FOpening;
  FOpening = new THarOpening(FileName, this);
  connect(FOpening, &THarOpening::Finished, this, &TExchangeDetails::OpeningFinished);
  FOpeningSince.start();
  FOpeningTimer.start();
  FOpeningEsc->setEnabled(true);
}

void TExchangeDetails::StopOpening() {
  if (FOpening == nullptr) return;
  FOpening->Stop();
  FOpeningRow->hide();
  FOpeningEsc->setEnabled(false);
}

void TExchangeDetails::OpeningTick() {
  if (FOpening == nullptr || FOpening->Stopping()) return;
  if (FOpeningSince.elapsed() >= OpeningShownMs) FOpeningRow->show();
  const int Permille = FOpening->Permille();
  FOpeningBar->setRange(0, Permille < 0 ? 0 : 1000);  // busy while the size is unknown
  FOpeningBar->setValue(std::max(Permille, 0));
}

void TExchangeDetails::OpeningFinished() {
  THarOpening* Done = FOpening;
  FOpening = nullptr;
  FOpeningTimer.stop();
  FOpeningRow->hide();
  FOpeningEsc->setEnabled(false);
  Done->deleteLater();  // its watcher is what called
  THarLog Log = Done->TakeLog();
  if (Log.Fault == THarFault::hfStopped || Replaying()) return;
  const QString Message = THarOpening::Message(Log, Done->FileName());
  FLogFile = QFile::encodeName(Done->FileName()).toStdString();
  ShowLog(std::move(Log), TAnsiText::WithVisibleBidi(QFileInfo(Done->FileName()).fileName()));
  if (Message.isEmpty()) return;
  QMessageBox Box(QMessageBox::NoIcon, QCoreApplication::applicationName(), Message,
                  QMessageBox::Ok, this);
  Box.setTextFormat(Qt::PlainText);
  Box.exec();
}

void TExchangeDetails::BuildLegend(QLayout* Into) {
  // The bars' colours in the order of a pass, each swatch kept with its name.
  for (const TBarSpan::TKind Kind :
       {TBarSpan::bkLookUp, TBarSpan::bkQuestion, TBarSpan::bkConnect, TBarSpan::bkTls,
        TBarSpan::bkSend, TBarSpan::bkWait, TBarSpan::bkReceive}) {
    auto* Entry = new QWidget(this);
    auto* Pair = new QHBoxLayout(Entry);
    Pair->setContentsMargins(4, 0, 0, 0);
    auto* Swatch = new QLabel(Entry);
    Swatch->setFixedSize(10, 10);
    Swatch->setStyleSheet(QString("background: %1").arg(TTimingBars::Colour(Kind).name()));
    Pair->addWidget(Swatch);
    Pair->addWidget(new QLabel(TTimingBars::KindName(Kind), Entry));
    Into->addWidget(Entry);
  }
}

QRect TExchangeDetails::Placement(const QRect& Main, const QRect& Screen, const QSize& Want) {
  QSize Size = Want.boundedTo(Screen.size());
  const int Right = Screen.right() + 1;
  int X = 0;
  if (Right - 1 - Main.right() >= Size.width()) {
    X = Main.right() + 1;
  } else if (Main.left() - Screen.left() >= Size.width()) {
    X = Main.left() - Size.width();
  } else {
    // Over the main window's right part, its left third left in sight: narrower for that,
    // down to half the width wanted.
    X = std::max(Right - Size.width(),
                 std::min(Main.left() + Main.width() / 3, Right - Size.width() / 2));
    Size.setWidth(Right - X);
  }
  const int Y = std::clamp(Main.top(), Screen.top(), Screen.bottom() + 1 - Size.height());
  return QRect(QPoint(X, Y), Size);
}

void TExchangeDetails::showEvent(QShowEvent* Event) {
  QWidget::showEvent(Event);
  if (FPlaced || parentWidget() == nullptr) return;
  FPlaced = true;
  // Its frame, as the main window's tells it, is kept within the screen too.
  const QWidget* Main = parentWidget()->window();
  const QSize Frame = Main->frameGeometry().size() - Main->size();
  const QScreen* On = Main->screen() != nullptr ? Main->screen() : screen();
  if (On == nullptr) return;
  const QRect Place = Placement(Main->frameGeometry(), On->availableGeometry(),
                                size().expandedTo(minimumSizeHint()) + Frame);
  resize(Place.size() - Frame);
  move(Place.topLeft());
}

void TExchangeDetails::BuildTabs() {
  FTabs = new QTabWidget(this);
  FTabs->setObjectName("PassTabs");
  FRequest = TBodyView::NewPane(FTabs, "RequestText");
  FReply = TBodyView::NewPane(FTabs, "ReplyText");
  FBody = new TBodyView(FTabs);
  FBody->setObjectName("BodyView");
  auto* Times = new QWidget(FTabs);
  FStages = new QTableWidget(0, 4, Times);
  FStages->setObjectName("StageTable");
  FStages->setHorizontalHeaderLabels({QString::fromUtf8("\u00c9tape"),
                                      QString::fromUtf8("D\u00e9but (ms)"),
                                      QString::fromUtf8("Dur\u00e9e (ms)"), QString()});
  FStages->verticalHeader()->hide();
  FStages->setSelectionMode(QAbstractItemView::NoSelection);
  FStages->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  FStages->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
  FStageBars = new TBarDelegate(FStages);
  FStages->setItemDelegateForColumn(3, FStageBars);
  FTotal = new QLabel(Times);
  FTotal->setObjectName("TimesTotal");
  auto* TimesLayout = new QVBoxLayout(Times);
  TimesLayout->addWidget(FStages, 1);
  TimesLayout->addWidget(FTotal);
  FTabs->addTab(FRequest, QString::fromUtf8("Requ\u00eate"));
  FTabs->addTab(FReply, QString::fromUtf8("R\u00e9ponse"));
  FTabs->addTab(FBody, "Corps");
  FTabs->addTab(Times, "Temps");
  FFrames = new TFrameView(FTabs);
  FFrames->setObjectName("FrameView");
  FTabs->addTab(FFrames, "Trames");
  FSecurity = new TSecurityView(FTabs);
  FTabs->addTab(FSecurity, QString::fromUtf8("S\u00e9curit\u00e9"));
}

void TExchangeDetails::SetStopAction(QAction* Stop) {
  FStop->setDefaultAction(Stop);
  FStop->show();
  addAction(Stop);
  connect(Stop, &QAction::triggered, this, &TExchangeDetails::StopReplay);
}

void TExchangeDetails::SetExportAction(QAction* Export) {
  FExport->setDefaultAction(Export);
  FExport->show();
}

void TExchangeDetails::RefreshSoon() {
  if (!FSoon.isActive()) FSoon.start(RefreshDelay());
}

int TExchangeDetails::RefreshDelay() const {
  if (!Now()) return 0;
  using namespace std::chrono;
  const auto Since = std::max(FRefreshed, Passes().front().Started);
  const auto Left =
      milliseconds(RefreshGapMs) - duration_cast<milliseconds>(TTimingBars::TClock::now() - Since);
  return static_cast<int>(std::max<milliseconds::rep>(0, Left.count()));
}

void TExchangeDetails::SoonTimedOut() {
  // A zero delay asked between two passes of a chain finds the next pass running: it waits.
  if (const int Delay = RefreshDelay(); Delay > 0) {
    FSoon.start(Delay);
    return;
  }
  Refresh();
}

std::optional<double> TExchangeDetails::Now() const {
  if (FLog) return std::nullopt;  // a file's passes ran long ago
  const auto& Passes = this->Passes();
  if (Passes.empty() || Passes.back().At[xsBodyEnd] || !Passes.back().Error.empty() ||
      !SourceError().empty())
    return std::nullopt;
  return std::chrono::duration<double, std::milli>(TTimingBars::TClock::now() -
                                                   Passes.front().Started)
      .count();
}

void TExchangeDetails::Refresh() {
  FSoon.stop();
  FRefreshed = TTimingBars::TClock::now();
  const auto& Passes = this->Passes();
  // A new request, or a further pass while the last one was being read: follow it.
  const bool Follow = Passes.size() < FShownPasses ||
                      FSelected == static_cast<int>(FShownPasses) - 1 || FSelected < 0;
  FillTable(Passes);
  FShownPasses = Passes.size();
  FCopy->setEnabled(!Passes.empty());
  const int Want = Passes.empty() ? -1
                   : Follow       ? static_cast<int>(Passes.size()) - 1
                                  : std::min(FSelected, static_cast<int>(Passes.size()) - 1);
  if (Want != FSelected) FBodyShown.clear();
  FSelected = Want;
  if (Want != FSelected) FTunnel = false;
  {
    const QSignalBlocker Quiet(FTable);
    if (FSelected >= 0) FTable->selectRow(RowOf(FSelected, FTunnel));
  }
  UpdateButtons();
  FillPass();
}

void TExchangeDetails::SelectPass(int Index) {
  if (Index < -1 || Index >= static_cast<int>(Passes().size())) return;
  FSelected = Index;
  FTunnel = false;
  FBodyShown.clear();
  {
    const QSignalBlocker Quiet(FTable);
    if (Index >= 0) FTable->selectRow(RowOf(Index, false));
  }
  UpdateButtons();
  FillPass();
}

int TExchangeDetails::RowOf(int Pass, bool Tunnel) const {
  if (Pass < 0 || Pass >= static_cast<int>(FPassRows.size())) return -1;
  const int Row = FPassRows[static_cast<std::size_t>(Pass)];
  if (!Tunnel) return Row;
  return Row > 0 && FRows[static_cast<std::size_t>(Row - 1)].Tunnel ? Row - 1 : -1;
}

void TExchangeDetails::FitColumns() {
  for (const TColumn C :
       {pcNumber, pcMethod, pcStatus, pcSize, pcTime, pcVersion, pcConnection, pcReplay})
    FTable->resizeColumnToContents(C);
  // Room for every word a replay may write in its column, so that none is cut off.
  const int Widest = TInspectorReplay::WidestWord(FTable->fontMetrics());
  const int Margins =
      2 * (FTable->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, FTable) + 1);
  FTable->setColumnWidth(pcReplay, std::max(FTable->columnWidth(pcReplay), Widest + Margins));
}

void TExchangeDetails::FillTable(const std::vector<TExchangePass>& Passes) {
  FRows.clear();
  FPassRows.assign(Passes.size(), -1);
  for (std::size_t I = 0; I < Passes.size(); ++I) {
    if (!Passes[I].TunnelRequest.empty()) FRows.push_back({static_cast<int>(I), true});
    FPassRows[I] = static_cast<int>(FRows.size());
    FRows.push_back({static_cast<int>(I), false});
  }
  FTable->setRowCount(static_cast<int>(FRows.size()));
  const auto Right = Qt::AlignRight;
  auto PassBars = TTimingBars::Rows(Passes, Now());
  const double Scale = TTimingBars::Scale(PassBars);
  std::vector<std::vector<TBarSpan>> Bars;
  for (std::size_t Row = 0; Row < FRows.size(); ++Row) {
    const int R = static_cast<int>(Row);
    const TExchangePass& P = Passes[static_cast<std::size_t>(FRows[Row].Pass)];
    const QString Number = QString::number(FRows[Row].Pass + 1);
    if (FRows[Row].Tunnel) {
      // The CONNECT exchange with the proxy: its target, the proxy's status, no body.
      const std::string& T = P.TunnelRequest;
      const std::size_t From = T.find(' ') + 1, To = T.find(' ', From);
      const auto Done = P.TlsStartedAt ? P.TlsStartedAt : P.At[xsHeaderEnd];
      FTable->setItem(R, pcNumber, Item(Number, Right));
      FTable->setItem(R, pcMethod, Item("CONNECT"));
      FTable->setItem(R, pcURL, Item(TAnsiText::ForMessage(T.substr(From, To - From))));
      FTable->setItem(
          R, pcStatus,
          Item(P.TunnelStatus > 0 ? QString::number(P.TunnelStatus) : QString(), Right));
      FTable->setItem(R, pcSize, Item("0", Right));
      FTable->setItem(R, pcTime, Item(Done ? Ms(*Done) : QString(), Right));
      TExchangePass Connect;
      Connect.Method = "CONNECT";
      Connect.RequestHeader = T;
      FTable->setItem(R, pcVersion, Item(TPassText::VersionCell(Connect)));
      // The tunnel is made on the connection its pass opens.
      FTable->setItem(R, pcConnection, Item(TPassText::ConnectionCell(P)));
      FTable->setItem(R, pcBar, Item(QString()));
      FTable->setItem(R, pcReplay, Item(QString()));
      Bars.emplace_back();
      continue;
    }
    const auto End = P.At[xsBodyEnd] ? P.At[xsBodyEnd] : P.EndedAt;
    FTable->setItem(R, pcNumber, Item(Number, Right));
    FTable->setItem(R, pcMethod, Item(QString::fromLatin1(P.Method.c_str())));
    FTable->setItem(R, pcURL, Item(TAnsiText::ForMessage(P.URL)));
    FTable->setItem(R, pcStatus,
                    Item(P.ReplyNumber > 0 ? QString::number(P.ReplyNumber)
                         : P.Error.empty() ? QString()
                                           : QString::fromUtf8("\u00e9chec"),
                         Right));
    FillReplayCell(R, FRows[Row].Pass);
    FTable->setItem(R, pcSize, Item(TAnsiText::Count(P.ContentBytes()), Right));
    FTable->setItem(R, pcTime, Item(End ? Ms(*End) : QString(), Right));
    FTable->setItem(R, pcVersion, Item(TPassText::VersionCell(P)));
    FTable->setItem(R, pcConnection, Item(TPassText::ConnectionCell(P)));
    FTable->setItem(R, pcBar, Item(QString()));
    Bars.push_back(std::move(PassBars[static_cast<std::size_t>(FRows[Row].Pass)]));
  }
  FBars->SetRows(std::move(Bars), Scale);
  FitColumns();
  FTable->viewport()->update();
}

namespace {
// The request as the pane shows it: its header block, then its body (the part kept).
QString ShownRequest(const TExchangePass& P) {
  QString Sent = TPassText::Escaped(P.RequestHeader);
  if (P.RequestBodySize > 0) {
    Sent += QString::fromUtf8("--- Corps (%1 octets").arg(TAnsiText::Count(P.RequestBodySize));
    if (P.RequestBodySize > static_cast<std::int64_t>(P.RequestBody.size()))
      Sent += QString::fromUtf8(", les %1 premiers")
                  .arg(TAnsiText::Count(static_cast<std::int64_t>(P.RequestBody.size())));
    Sent += ")\n" + TPassText::Escaped(P.RequestBody);
  }
  return Sent;
}
}  // namespace

void TExchangeDetails::FillPass() {
  FillNote();
  const auto& Passes = this->Passes();
  if (FSelected < 0 || FSelected >= static_cast<int>(Passes.size())) {
    SetKeeping(FRequest, QString());
    SetKeeping(FReply, QString());
    if (!FBodyShown.empty() || FBody->Text().size() > 0) FBody->SetBody({}, {}, {});
    FBodyShown.clear();
    FillTimes(TExchangePass());
    FFrames->Clear();
    FSecurity->Show(TExchangePass(), 0);
    return;
  }
  const TExchangePass& P = Passes[static_cast<std::size_t>(FSelected)];
  if (FTunnel) {
    FillTunnel(P);
    return;
  }
  FSecurity->Show(P, std::time(nullptr));
  FFrames->Show(P, FSelected);
  SetKeeping(FRequest, ShownRequest(P));
  SetKeeping(FReply, TPassText::Escaped(P.ReplyHeader));
  QString Note = TPassText::ShortBodyText(P);
  if (Note.isEmpty() && P.BodyCut())
    Note = QString::fromUtf8("Les %1 premiers octets sur %2")
               .arg(TAnsiText::Count(static_cast<std::int64_t>(P.Body.size())),
                    TAnsiText::Count(P.ContentBytes()));
  // A coded body: what crossed the wire beside what it decoded to.
  if (P.DecodedBytes)
    Note = QString::fromUtf8("%1 octets transf\u00e9r\u00e9s / %2 d\u00e9cod\u00e9s")
               .arg(TAnsiText::Count(P.BodyBytes), TAnsiText::Count(*P.DecodedBytes)) +
           (Note.isEmpty() ? QString() : " ; " + Note);
  // The body view is rebuilt only when what it shows changed: a picture or a 1 MiB hex dump
  // costs, and past the kept 1 MiB only the count goes on growing. While the pass is still
  // read it waits for the end, showing only the note: a rebuild then would be charged to the
  // reception it shows.
  const bool Reading = FSelected + 1 == static_cast<int>(Passes.size()) && Now();
  const std::string Key = std::to_string(FSelected) + ":" +
                          (Reading ? std::string("reading") : std::to_string(P.Body.size())) + ":" +
                          (P.At[xsBodyEnd] ? "end" : "");
  if (Key != FBodyShown && Reading) {
    FBody->SetBody({}, {}, Note);
    FBodyShown = Key;
  } else if (Key != FBodyShown && Key + ":whole" != FBodyShown) {
    FBody->SetBody(P.Body, TPassText::ContentType(P), Note);
    FBodyShown = Key;
    if (FLog && !FLogFile.empty() && FLog->Entries[static_cast<std::size_t>(FSelected)].BodyAt != 0)
      FBody->OfferWhole([this] { ReadWholeBody(); });
  } else if (Key == FBodyShown) {
    FBody->SetNote(Note);
  }
  FillTimes(P);
}

void TExchangeDetails::FillTunnel(const TExchangePass& P) {
  SetKeeping(FRequest, TPassText::Escaped(P.TunnelRequest));
  SetKeeping(FReply, TPassText::Escaped(P.TunnelReply));
  if (FBodyShown != "tunnel") FBody->SetBody({}, {}, {});
  FBodyShown = "tunnel";
  FillTimes(P);
  FFrames->Clear();
  FSecurity->ShowTunnel(P);
}

void TExchangeDetails::FillTimes(const TExchangePass& Pass) {
  // One row per stage reached, each on the pass's own clock and scale.
  const bool Last = FSelected >= 0 && FSelected + 1 == static_cast<int>(Passes().size());
  std::optional<double> Now;
  if (Last && this->Now())
    Now = std::chrono::duration<double, std::milli>(TTimingBars::TClock::now() - Pass.Started)
              .count();
  const std::vector<TBarSpan> Spans = TTimingBars::Spans(Pass, Pass.Started, Now);
  FStages->setRowCount(static_cast<int>(Spans.size()));
  std::vector<std::vector<TBarSpan>> Rows;
  for (std::size_t I = 0; I < Spans.size(); ++I) {
    const TBarSpan& S = Spans[I];
    const int R = static_cast<int>(I);
    FStages->setItem(R, 0, Item(TTimingBars::KindName(S.Kind)));
    FStages->setItem(R, 1, Item(Ms(S.From), Qt::AlignRight));
    FStages->setItem(R, 2, Item(Ms(S.To - S.From), Qt::AlignRight));
    FStages->setItem(R, 3, Item(QString()));
    Rows.push_back({S});
  }
  FStageBars->SetRows(std::move(Rows), Spans.empty() ? 0 : Spans.back().To);
  FStages->viewport()->update();
  const auto End = Pass.At[xsBodyEnd] ? Pass.At[xsBodyEnd] : Pass.EndedAt;
  QString Total = QString::fromUtf8("Total : %1 ms, %2 octets re\u00e7us")
                      .arg(End ? Ms(*End) : QString("-"), TAnsiText::Count(Pass.BytesReceived()));
  if (End && *End > 0)
    Total +=
        QString::fromUtf8(", %1 Kio/s")
            .arg(static_cast<double>(Pass.BytesReceived()) / 1024.0 / (*End / 1000.0), 0, 'f', 1);
  FTotal->setText(Total);
}

void TExchangeDetails::FillNote() {
  QStringList Lines;
  const auto& Passes = this->Passes();
  if (Passes.empty()) Lines << QString::fromUtf8("Aucune requ\u00eate pour l'instant.");
  if (FSelected >= 0 && FSelected < static_cast<int>(Passes.size())) {
    const TExchangePass& P = Passes[static_cast<std::size_t>(FSelected)];
    if (const QString Forms = TPassText::HostForms(P); !Forms.isEmpty()) Lines << Forms;
    if (!P.Proxy.empty()) Lines << "Proxy : " + TPassText::Authority(P.Proxy, P.ProxyPort);
    Lines << TPassText::AttemptLines(P);
    Lines << TPassText::ConnectionLines(P);
    if (!P.HostUsed().empty())
      Lines << QString::fromUtf8(
                   "Serveur utilis\u00e9 : %1 (donn\u00e9 apr\u00e8s \u00ab Serveur "
                   "invalide \u00bb)")
                   .arg(TAnsiText::ForMessage(P.HostUsed()));
    if (!P.Error.empty()) {
      const QString Step = StepWords(P.ErrorStep);
      Lines << "Erreur : " + TAnsiText::ForMessage(P.Error) +
                   (Step.isEmpty() ? QString() : QString::fromUtf8(" (\u00e9tape : %1)").arg(Step));
    }
    const QString Short = TPassText::ShortBodyText(P);
    if (!Short.isEmpty()) Lines << Short;
    // The entry the file broke in is refused for that: said in the window's words.
    const std::string& Refused =
        FLog ? FLog->Entries[static_cast<std::size_t>(FSelected)].Refused : P.Error;
    if (FLog && !Refused.empty())
      Lines << QString::fromUtf8("Entr\u00e9e refus\u00e9e, jamais renvoy\u00e9e : ") +
                   (Refused == FLog->Error ? THarOpening::FaultText(*FLog)
                                           : TAnsiText::ForMessage(Refused));
    if (const QString Replayed = FReplays->NoteLine(FSelected); !Replayed.isEmpty())
      Lines << Replayed;
    if (P.Tls && P.Tls->VerifyWaived && P.Tls->Outcome.HandshakeDone)
      Lines << QString::fromUtf8(
          "Certificat non v\u00e9rifi\u00e9 : l'\u00e9change a continu\u00e9 sans "
          "la v\u00e9rification (voir \u00ab S\u00e9curit\u00e9 \u00bb)");
  }
  // A file's reading is said in the window's words; the recorder's errors come as they are.
  const QString FileFault = FLog ? THarOpening::FaultText(*FLog) : QString();
  if (!SourceError().empty())
    Lines << "Erreur : " + (FileFault.isEmpty() ? TAnsiText::ForMessage(SourceError()) : FileFault);
  FNote->setText(Lines.join(u'\n'));
  FNote->setVisible(!Lines.isEmpty());
}

int TExchangeDetails::RowCount() const { return FTable->rowCount(); }

QString TExchangeDetails::Cell(int Row, TColumn Column) const {
  const QTableWidgetItem* I = FTable->item(Row, Column);
  return I ? I->text() : QString();
}

std::vector<QRectF> TExchangeDetails::BarRects(int Row, const QRectF& Cell) const {
  return FBars->RowRects(Row, Cell);
}

QString TExchangeDetails::RequestText() const { return FRequest->toPlainText(); }

QString TExchangeDetails::ReplyText() const { return FReply->toPlainText(); }

QString TExchangeDetails::NoteText() const { return FNote->text(); }

QString TExchangeDetails::SecurityText() const { return FSecurity->Text(); }

QString TExchangeDetails::TimesText() const {
  QString T;
  for (int R = 0; R < FStages->rowCount(); ++R)
    T += FStages->item(R, 0)->text() + "\t" + FStages->item(R, 1)->text() + "\t" +
         FStages->item(R, 2)->text() + "\n";
  return T + FTotal->text();
}

QString TExchangeDetails::Text() const {
  QString T;
  for (int R = 0; R < RowCount(); ++R) {
    QStringList Cells;
    for (int C = pcNumber; C < pcBar; ++C) Cells << Cell(R, static_cast<TColumn>(C));
    T += Cells.join(u'\t') + "\n";
  }
  return T + NoteText() + "\n" + RequestText() + "\n" + ReplyText() + "\n" + TimesText() + "\n";
}

QString TExchangeDetails::Commands(const TExchangePass& Pass, const TTlsSettings* Tls) {
  const std::string Options = Tls != nullptr ? TCommandRenderer::TlsOptions(Pass, *Tls) : "";
  // The options go right after the program's name (and curl's -0).
  std::string Cli = TCommandRenderer::OrreryCli(Pass);
  std::string Curl = TCommandRenderer::Curl(Pass);
  Cli.insert(Cli.find(' ') == std::string::npos ? Cli.size() : Cli.find(' '), Options);
  const std::size_t After0 = Curl.rfind("curl -0", 0) == 0 ? 7 : Curl.find(' ');
  Curl.insert(std::min(After0, Curl.size()), Options);
  return TAnsiText::FromReceived(Cli + "\n" + Curl + "\n");
}

void TExchangeDetails::CopyCommands() {
  if (Passes().empty()) return;
  const TTlsSettings Tls = TlsSettingsOf ? TlsSettingsOf() : TTlsSettings();
  // A first pass on a kept connection holds that connection's check: waived, the command
  // waives it too.
  const TExchangePass& First = Passes().front();
  const QString Copied = Commands(First, TlsSettingsOf ? &Tls : nullptr);
  QApplication::clipboard()->setText(Copied);
  // A certificate accepted after its refusal: the copied -k holds for its key alone.
  // Asked of the TLS options alone: the URL and the header lines are the server's or a file's.
  const bool Pinned =
      TlsSettingsOf &&
      TCommandRenderer::TlsOptions(First, Tls).find(" --pinnedpubkey ") != std::string::npos;
  FCopy->setToolTip(Pinned ? QString::fromUtf8("Commande copi\u00e9e avec -k limit\u00e9 \u00e0 la "
                                               "cl\u00e9 publique du certificat accept\u00e9 "
                                               "(--pinnedpubkey)")
                           : QString());
  if (Pinned)
    QToolTip::showText(FCopy->mapToGlobal(QPoint(0, FCopy->height())), FCopy->toolTip(), FCopy);
}

// --- Sources of passes and the selection ---------------------------------------------------

const std::vector<TExchangePass>& TExchangeDetails::Passes() const {
  return FLog ? FLoaded : FRecorder.Passes();
}

const std::string& TExchangeDetails::SourceError() const {
  return FLog ? FLog->Error : FRecorder.Error();
}

void TExchangeDetails::ShowLog(THarLog Log, const QString& Name) {
  if (Replaying()) return;  // the results under way belong to the passes shown
  FLoaded = Placed(Log);
  FLog = std::move(Log);
  FReplays->Clear();
  FShownPasses = 0;
  FSelected = -1;
  FTunnel = false;
  FBodyShown.clear();
  FSource->setText(
      QString::fromUtf8("Fichier : %1 (%2 entr\u00e9e(s))").arg(Name).arg(FLog->Entries.size()));
  FSource->show();
  FLive->show();
  Refresh();
}

void TExchangeDetails::ShowLive() {
  if (Replaying() || !FLog) return;
  FLog.reset();
  FLoaded.clear();
  FReplays->Clear();
  FShownPasses = 0;
  FSelected = -1;
  FBodyShown.clear();
  FSource->hide();
  FLive->hide();
  Refresh();
}

std::vector<int> TExchangeDetails::SelectedPasses() const {
  std::set<int> Chosen;
  for (const QModelIndex& Row : FTable->selectionModel()->selectedRows())
    if (Row.row() < static_cast<int>(FRows.size()))
      Chosen.insert(FRows[static_cast<std::size_t>(Row.row())].Pass);
  return {Chosen.begin(), Chosen.end()};
}

void TExchangeDetails::SelectPasses(const std::vector<int>& Chosen) {
  // One range per run of rows, and one change of the selection: every reader of the
  // selection (the buttons, the headers' highlight) goes through its ranges.
  QItemSelection Rows;
  int First = -1, Last = -2;
  const auto Close = [&] {
    if (First >= 0) Rows.select(FTable->model()->index(First, 0), FTable->model()->index(Last, 0));
  };
  for (const int Pass : std::set<int>(Chosen.begin(), Chosen.end())) {
    const int Row = RowOf(Pass, false);
    if (Row < 0) continue;
    if (Row != Last + 1) {
      Close();
      First = Row;
    }
    Last = Row;
  }
  Close();
  FTable->selectionModel()->select(Rows,
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  UpdateButtons();
}

void TExchangeDetails::UpdateButtons() {
  const auto Chosen = SelectedPasses();
  const bool OneReplayed =
      Chosen.size() == 1 && ReplayOf(Chosen[0]) && ReplayOf(Chosen[0])->Replayed;
  FCompare->setEnabled(Chosen.size() == 2 || OneReplayed);
  FReplayButton->setText(Replaying() ? QString::fromUtf8("Arr\u00eater le rejeu")
                                     : QString("Rejouer"));
  FReplayButton->setEnabled(Replaying() || !Chosen.empty());
}

TCompareView* TExchangeDetails::CompareSelected() {
  const auto Chosen = SelectedPasses();
  const auto& All = Passes();
  TCompareView* View = nullptr;
  const auto Name = [](int Pass) { return QString::fromUtf8("N\u00b0 %1").arg(Pass + 1); };
  if (Chosen.size() == 2) {
    View = new TCompareView(All[static_cast<std::size_t>(Chosen[0])],
                            All[static_cast<std::size_t>(Chosen[1])], Name(Chosen[0]),
                            Name(Chosen[1]), this);
  } else if (Chosen.size() == 1 && ReplayOf(Chosen[0]) && ReplayOf(Chosen[0])->Replayed) {
    View =
        new TCompareView(All[static_cast<std::size_t>(Chosen[0])], *ReplayOf(Chosen[0])->Replayed,
                         Name(Chosen[0]), QString::fromUtf8("rejou\u00e9"), this);
  }
  if (View != nullptr) View->show();
  return View;
}

void TExchangeDetails::FollowReplay(int Done, int Next) {
  // The next row comes into sight as a running request's passes do, unless the reader has
  // scrolled away from the last one brought there; at most every RefreshGapMs, as a
  // request's redraws, so that scrolling does not slow fast entries down.
  const auto Now = TTimingBars::TClock::now();
  if (Next < 0 || Now - FFollowed.At < std::chrono::milliseconds(RefreshGapMs)) return;
  const QTableWidgetItem* Shown =
      FTable->item(RowOf(FFollowed.Pass < 0 ? Done : FFollowed.Pass, false), pcReplay);
  if (Shown == nullptr || !FTable->viewport()->rect().intersects(FTable->visualItemRect(Shown)))
    return;
  FFollowed = {Now, Next};
  FTable->scrollToItem(FTable->item(RowOf(Next, false), pcReplay));
}

// --- Replaying ---------------------------------------------------------------------------

const TReplayResult* TExchangeDetails::ReplayOf(int Pass) const { return FReplays->Of(Pass); }

void TExchangeDetails::FillReplayCell(int Row, int Pass) {
  FTable->setItem(Row, pcReplay, FReplays->NewCell(Pass));
}

void TExchangeDetails::ReplayClicked() {
  if (!FRun.Idle()) return;
  const auto Chosen = SelectedPasses();
  if (Chosen.empty()) return;
  std::optional<TReplayOptions> Options = FReplays->Ask(Chosen);
  if (!Options) return;
  if (ReplayTlsOf) {
    const std::optional<TTlsSettings> Page = ReplayTlsOf();
    if (!Page) return;
    Options->Tls = *Page;
  }
  ReplaySelected(*Options);
}

void TExchangeDetails::ReplaySelected(const TReplayOptions& Options) {
  if (!FRun.Idle()) return;
  FFollowed = {};
  FReplays->Replay(SelectedPasses(), Options);
}

void TExchangeDetails::StopReplay() { FReplays->Stop(); }
