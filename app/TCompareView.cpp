// TCompareView: the compare window's tabs, filled from a comparison made on a worker thread.
#include "app/TCompareView.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextBlock>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include "app/TAnsiText.h"
#include "app/TBarDelegate.h"
#include "app/TBodyView.h"
#include "app/TPassText.h"
#include "app/TTimingBars.h"

namespace {

// A text pane holds at most this much of a body: filling a plain text view is done on the UI
// thread, and past this it would hold the window for long.
constexpr std::size_t PaneBytes = std::size_t{1} << 20;
constexpr int SlowMs = 500;

QString Ms(double Value) { return QString::number(Value, 'f', 1); }

QTableWidgetItem* Item(const QString& Text) {
  auto* I = new QTableWidgetItem(Text);
  I->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  return I;
}

QString KindWord(TChangeKind Kind) {
  switch (Kind) {
    case TChangeKind::ckAdded: return QString::fromUtf8("ajout\u00e9");
    case TChangeKind::ckRemoved: return QString::fromUtf8("retir\u00e9");
    case TChangeKind::ckChanged: break;
  }
  return QString::fromUtf8("modifi\u00e9");
}

QString SpanWord(TSpanKind Kind) {
  switch (Kind) {
    case TSpanKind::skLookUp: return TTimingBars::KindName(TBarSpan::bkLookUp);
    case TSpanKind::skQuestion: return TTimingBars::KindName(TBarSpan::bkQuestion);
    case TSpanKind::skConnect: return TTimingBars::KindName(TBarSpan::bkConnect);
    case TSpanKind::skTls: return TTimingBars::KindName(TBarSpan::bkTls);
    case TSpanKind::skSend: return TTimingBars::KindName(TBarSpan::bkSend);
    case TSpanKind::skWait: return TTimingBars::KindName(TBarSpan::bkWait);
    case TSpanKind::skReceive: break;
  }
  return TTimingBars::KindName(TBarSpan::bkReceive);
}

QString Optional(const std::optional<double>& Value) { return Value ? Ms(*Value) : QString("-"); }

void ColourRow(QTableWidget* Table, int Row, const QColor& Colour) {
  for (int C = 0; C < Table->columnCount(); ++C)
    if (QTableWidgetItem* I = Table->item(Row, C)) I->setBackground(Colour);
}

// Marks the lines of Edits that belong to Pane's side.
void MarkLines(QPlainTextEdit* Pane, const std::vector<TLineEdit>& Edits, bool Inserted) {
  QList<QTextEdit::ExtraSelection> Marks;
  for (const TLineEdit& E : Edits) {
    if (E.Inserted != Inserted) continue;
    const QTextBlock Block =
        Pane->document()->findBlockByNumber(static_cast<int>(Inserted ? E.LineB : E.LineA));
    if (!Block.isValid()) continue;
    QTextEdit::ExtraSelection Mark;
    Mark.cursor = QTextCursor(Block);
    Mark.format.setBackground(
        TCompareView::KindColour(Inserted ? TChangeKind::ckAdded : TChangeKind::ckRemoved));
    Mark.format.setProperty(QTextFormat::FullWidthSelection, true);
    Marks << Mark;
  }
  Pane->setExtraSelections(Marks);
}

QString Shown(const TExchangePass& P) {
  const std::string_view Body(P.Body.data(), std::min(P.Body.size(), PaneBytes));
  return TAnsiText::FromReceived(Body);
}

}  // namespace

TCompareView::TCompareView(const TExchangePass& A, const TExchangePass& B, const QString& NameA,
                           const QString& NameB, QWidget* Parent)
    : QWidget(Parent, Qt::Window),
      FA(std::make_shared<const TExchangePass>(A)),
      FB(std::make_shared<const TExchangePass>(B)),
      FNameA(NameA),
      FNameB(NameB) {
  setObjectName("CompareView");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QString::fromUtf8("Comparer : %1 et %2").arg(NameA, NameB));
  auto* Layout = new QVBoxLayout(this);
  auto* Top = new QHBoxLayout;
  FVerdict = new QLabel(QString::fromUtf8("Comparaison en cours\u2026"), this);
  FVerdict->setObjectName("CompareVerdict");
  FVerdict->setTextFormat(Qt::PlainText);
  FVerdict->setWordWrap(true);
  FProgress = new QProgressBar(this);
  FProgress->setRange(0, 0);  // the compare unit tells no progress: a busy bar
  FProgress->hide();
  FStop = new QPushButton(QString::fromUtf8("Arr\u00eater"), this);
  FStop->setObjectName("CompareStop");
  FStop->hide();
  connect(FStop, &QPushButton::clicked, this, &TCompareView::Stop);
  Top->addWidget(FVerdict, 1);
  Top->addWidget(FProgress);
  Top->addWidget(FStop);
  Layout->addLayout(Top);
  BuildTabs();
  Layout->addWidget(FTabs, 1);
  resize(900, 620);
  FSlow.setSingleShot(true);
  connect(&FSlow, &QTimer::timeout, this, [this] {
    FProgress->show();
    FStop->show();
  });
  connect(&FWatcher, &QFutureWatcher<TCompareWork>::finished, this, &TCompareView::Arrived);
  FSlow.start(SlowMs);
  // Copies made here: the worker never touches what the inspector may change meanwhile.
  FWatcher.setFuture(QtConcurrent::run([A = FA, B = FB] { return Work(*A, *B); }));
}

TCompareView::~TCompareView() {
  // The worker goes on with its own copies; its result is dropped with the watcher.
  FWatcher.disconnect(this);
}

void TCompareView::BuildTabs() {
  FTabs = new QTabWidget(this);
  FHeaders = new QTableWidget(0, 4, FTabs);
  FHeaders->setObjectName("CompareHeaders");
  FHeaders->setHorizontalHeaderLabels({"", "Champ", FNameA, FNameB});
  FHeaders->verticalHeader()->hide();
  FHeaders->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  FHeaders->horizontalHeader()->setStretchLastSection(true);
  FBodyStack = new QStackedWidget(FTabs);
  FJson = new QTableWidget(0, 4, FBodyStack);
  FJson->setObjectName("CompareJson");
  FJson->setHorizontalHeaderLabels({"", "Chemin", FNameA, FNameB});
  FJson->verticalHeader()->hide();
  FJson->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  FJson->horizontalHeader()->setStretchLastSection(true);
  auto* Texts = new QSplitter(Qt::Horizontal, FBodyStack);
  FPaneA = TBodyView::NewPane(Texts, "CompareTextA");
  FPaneB = TBodyView::NewPane(Texts, "CompareTextB");
  // The two sides scroll together, line for line.
  connect(FPaneA->verticalScrollBar(), &QScrollBar::valueChanged, FPaneB->verticalScrollBar(), &QScrollBar::setValue);
  connect(FPaneB->verticalScrollBar(), &QScrollBar::valueChanged, FPaneA->verticalScrollBar(), &QScrollBar::setValue);
  auto* Pictures = new QWidget(FBodyStack);
  auto* PicturesLayout = new QHBoxLayout(Pictures);
  FPictureA = new QLabel(Pictures);
  FPictureB = new QLabel(Pictures);
  PicturesLayout->addWidget(FPictureA);
  PicturesLayout->addWidget(FPictureB);
  FBodyStack->addWidget(FJson);
  FBodyStack->addWidget(Texts);
  FBodyStack->addWidget(Pictures);
  auto* Body = new QWidget(FTabs);
  auto* BodyLayout = new QVBoxLayout(Body);
  FBodyFacts = new QLabel(Body);
  FBodyFacts->setObjectName("CompareBodyFacts");
  FBodyFacts->setTextFormat(Qt::PlainText);
  FBodyFacts->setWordWrap(true);
  BodyLayout->addWidget(FBodyFacts);
  BodyLayout->addWidget(FBodyStack, 1);
  FTabs->addTab(FHeaders, QString::fromUtf8("En-t\u00eates"));
  FTabs->addTab(Body, "Corps");
  BuildTimesTab();
}

void TCompareView::BuildTimesTab() {
  auto* Times = new QWidget(FTabs);
  auto* TimesLayout = new QVBoxLayout(Times);
  auto* BarTable = new QTableWidget(2, 2, Times);
  BarTable->setObjectName("CompareBars");
  BarTable->horizontalHeader()->hide();
  BarTable->verticalHeader()->hide();
  BarTable->horizontalHeader()->setStretchLastSection(true);
  BarTable->setMaximumHeight(BarTable->verticalHeader()->defaultSectionSize() * 2 + 6);
  BarTable->setItem(0, 0, Item(FNameA));
  BarTable->setItem(1, 0, Item(FNameB));
  FBars = new TBarDelegate(BarTable);
  BarTable->setItemDelegateForColumn(1, FBars);
  FTimes = new QTableWidget(0, 4, Times);
  FTimes->setObjectName("CompareTimes");
  FTimes->setHorizontalHeaderLabels(
      {QString::fromUtf8("\u00c9tape"), FNameA + " (ms)", FNameB + " (ms)", QString::fromUtf8("\u00c9cart (ms)")});
  FTimes->verticalHeader()->hide();
  FTimes->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  TimesLayout->addWidget(BarTable);
  TimesLayout->addWidget(FTimes, 1);
  FTabs->addTab(Times, "Temps");
}

TCompareWork TCompareView::Work(const TExchangePass& A, const TExchangePass& B) {
  TCompareWork W;
  W.Comparison = TPassCompare::Compare(A, B);
  if (W.Comparison.Body.Kind == TBodyKind::bkImage) {
    W.PictureA = TBodyView::Picture(A.Body);
    W.PictureB = TBodyView::Picture(B.Body);
    const QImage& IA = W.PictureA;
    const QImage& IB = W.PictureB;
    if (!IA.isNull() && !IB.isNull())
      W.SamePixels = IA.size() == IB.size() &&
                     IA.convertToFormat(QImage::Format_ARGB32) == IB.convertToFormat(QImage::Format_ARGB32);
  }
  return W;
}

QColor TCompareView::KindColour(TChangeKind Kind) {
  switch (Kind) {
    case TChangeKind::ckAdded: return QColor(0xd4, 0xf7, 0xd4);
    case TChangeKind::ckRemoved: return QColor(0xfb, 0xd5, 0xd5);
    case TChangeKind::ckChanged: break;
  }
  return QColor(0xfa, 0xee, 0xc0);
}

void TCompareView::Stop() {
  if (FDone) return;
  FStopped = true;
  FSlow.stop();
  FWatcher.disconnect(this);
  FProgress->hide();
  FStop->hide();
  FVerdict->setText(QString::fromUtf8("Comparaison arr\u00eat\u00e9e."));
  emit Finished();
}

bool TCompareView::ProgressShown() const { return !FProgress->isHidden(); }

void TCompareView::Arrived() {
  if (FStopped) return;
  FSlow.stop();
  FProgress->hide();
  FStop->hide();
  const TCompareWork W = FWatcher.result();
  const TPassComparison& C = W.Comparison;
  QStringList What;
  if (C.StatusA != C.StatusB) What << QString("statut %1 \u2192 %2").arg(C.StatusA).arg(C.StatusB);
  const auto Counted = std::count_if(C.Headers.begin(), C.Headers.end(), [](const THeaderChange& H) { return !H.Volatile; });
  if (Counted > 0) What << QString::fromUtf8("%1 champ(s) d'en-t\u00eate").arg(Counted);
  // Two encodings of the same picture are the same reply to a person looking at it.
  const bool BodySame = C.Body.Same || W.SamePixels.value_or(false);
  if (!BodySame) What << "corps";
  FVerdictText = What.isEmpty() ? QString::fromUtf8("identique") : QString::fromUtf8("diff\u00e9rent : ") + What.join(", ");
  FVerdictText += QString::fromUtf8("  (%1 %2 %3 / %4 %5 %6 ; version et raison non compt\u00e9es)")
                      .arg(QString::fromStdString(C.VersionA)).arg(C.StatusA).arg(TAnsiText::ForMessage(C.ReasonA),
                           QString::fromStdString(C.VersionB)).arg(C.StatusB).arg(TAnsiText::ForMessage(C.ReasonB));
  FVerdict->setText(FVerdictText);
  ShowHeaders(C);
  ShowBody(W);
  ShowTimes(C);
  FDone = true;
  emit Finished();
}

void TCompareView::ShowHeaders(const TPassComparison& C) {
  FHeaders->setRowCount(static_cast<int>(C.Headers.size()));
  for (int R = 0; R < FHeaders->rowCount(); ++R) {
    const THeaderChange& H = C.Headers[static_cast<std::size_t>(R)];
    FHeaders->setItem(R, 0, Item(H.Volatile ? QString("variable") : KindWord(H.Kind)));
    FHeaders->setItem(R, 1, Item(TAnsiText::ForMessage(H.Name)));
    FHeaders->setItem(R, 2, Item(TAnsiText::ForMessage(H.Before)));
    FHeaders->setItem(R, 3, Item(TAnsiText::ForMessage(H.After)));
    // A field that changes on every request is set apart in grey, not in a change's colour.
    ColourRow(FHeaders, R, H.Volatile ? QColor(0xe8, 0xe8, 0xe8) : KindColour(H.Kind));
  }
}

void TCompareView::ShowBody(const TCompareWork& W) {
  const TBodyComparison& B = W.Comparison.Body;
  QString Facts = QString::fromUtf8("%1 octets / %2 octets").arg(TAnsiText::Count(B.SizeA), TAnsiText::Count(B.SizeB));
  if (B.Cut) Facts += QString::fromUtf8(" (compar\u00e9s sur ce qui est gard\u00e9)");
  if (B.Kind == TBodyKind::bkText && std::max(FA->Body.size(), FB->Body.size()) > PaneBytes)
    Facts += QString::fromUtf8(" ; les panneaux montrent les %1 premiers octets").arg(TAnsiText::Count(PaneBytes));
  Facts += B.Same ? QString::fromUtf8(" ; corps identiques") : QString::fromUtf8(" ; corps diff\u00e9rents");
  FBodyText.clear();
  switch (B.Kind) {
    case TBodyKind::bkJson: ShowJson(B.Json); break;
    case TBodyKind::bkText: ShowTextBodies(B.Lines); break;
    case TBodyKind::bkImage: {
      FPictureA->setPixmap(QPixmap::fromImage(W.PictureA));
      FPictureB->setPixmap(QPixmap::fromImage(W.PictureB));
      FBodyStack->setCurrentIndex(2);
      const auto Size = [](const TImageFacts& I) {
        return QString("%1 %2\u00d7%3").arg(QString::fromStdString(I.Type)).arg(I.Width).arg(I.Height);
      };
      FBodyText = Size(B.ImageA) + " / " + Size(B.ImageB) + " ; ";
      FBodyText += !W.SamePixels        ? QString::fromUtf8("pixels non compar\u00e9s (image illisible)")
                   : *W.SamePixels      ? QString::fromUtf8("pixels identiques")
                                        : QString::fromUtf8("pixels diff\u00e9rents");
      break;
    }
    case TBodyKind::bkBytes:
      FBodyStack->setCurrentIndex(1);
      FPaneA->setPlainText(TBodyView::HexDump(std::string_view(FA->Body).substr(0, 64 * 1024)));
      FPaneB->setPlainText(TBodyView::HexDump(std::string_view(FB->Body).substr(0, 64 * 1024)));
      if (B.FirstDifference)
        FBodyText = QString::fromUtf8("Premier octet diff\u00e9rent : %1").arg(TAnsiText::Count(*B.FirstDifference));
      break;
  }
  FBodyFacts->setText(Facts + (FBodyText.isEmpty() ? QString() : "\n" + FBodyText.section('\n', 0, 0)));
}

void TCompareView::ShowJson(const TJsonDiffResult& Json) {
  FBodyStack->setCurrentIndex(0);
  FJson->setRowCount(static_cast<int>(Json.Changes.size()));
  QStringList Lines;
  for (int R = 0; R < FJson->rowCount(); ++R) {
    const TJsonChange& J = Json.Changes[static_cast<std::size_t>(R)];
    FJson->setItem(R, 0, Item(KindWord(J.Kind)));
    FJson->setItem(R, 1, Item(QString::fromStdString(J.Path)));
    FJson->setItem(R, 2, Item(QString::fromStdString(J.Before)));
    FJson->setItem(R, 3, Item(QString::fromStdString(J.After)));
    ColourRow(FJson, R, KindColour(J.Kind));
    Lines << QString::fromStdString(J.Path + ": " + (J.Before.empty() ? "-" : J.Before) + " \u2192 " +
                                    (J.After.empty() ? "-" : J.After));
  }
  if (Json.Count > Json.Changes.size())
    Lines << QString::fromUtf8("\u2026 %1 changements en tout").arg(Json.Count);
  FBodyText = QString::fromUtf8("%1 changement(s) JSON\n").arg(Json.Count) + Lines.join('\n');
}

void TCompareView::ShowTextBodies(const TLineDiffResult& Lines) {
  FBodyStack->setCurrentIndex(1);
  FPaneA->setPlainText(Shown(*FA));
  FPaneB->setPlainText(Shown(*FB));
  MarkLines(FPaneA, Lines.Edits, false);
  MarkLines(FPaneB, Lines.Edits, true);
  FBodyText = QString::fromUtf8("%1%2 ligne(s) modifi\u00e9e(s)").arg(Lines.Complete ? "" : "au moins ").arg(Lines.Count);
  for (const TLineEdit& E : Lines.Edits)
    FBodyText += QString("\n%1%2 %3").arg(E.Inserted ? "+" : "-").arg((E.Inserted ? E.LineB : E.LineA) + 1)
                     .arg(TAnsiText::FromReceived(E.Text));
}

void TCompareView::ShowTimes(const TPassComparison& C) {
  auto SA = TTimingBars::Spans(*FA, FA->Started);
  auto SB = TTimingBars::Spans(*FB, FB->Started);
  const double Scale = std::max(SA.empty() ? 0.0 : SA.back().To, SB.empty() ? 0.0 : SB.back().To);
  FBars->SetRows({std::move(SA), std::move(SB)}, Scale);
  FTimes->setRowCount(static_cast<int>(C.Timings.size()));
  for (int R = 0; R < FTimes->rowCount(); ++R) {
    const TSpanComparison& S = C.Timings[static_cast<std::size_t>(R)];
    FTimes->setItem(R, 0, Item(SpanWord(S.Kind)));
    FTimes->setItem(R, 1, Item(Optional(S.A)));
    FTimes->setItem(R, 2, Item(Optional(S.B)));
    FTimes->setItem(R, 3, Item(Optional(S.Difference())));
  }
}

QString TCompareView::Verdict() const { return FVerdictText; }

QString TCompareView::BodyText() const { return FBodyText; }

QString TCompareView::HeaderText() const {
  QStringList Lines;
  for (int R = 0; R < FHeaders->rowCount(); ++R) {
    QStringList Cells;
    for (int C = 0; C < 4; ++C) Cells << FHeaders->item(R, C)->text();
    Lines << Cells.join('\t');
  }
  return Lines.join('\n');
}

QColor TCompareView::HeaderColour(int Row) const {
  const QTableWidgetItem* I = FHeaders->item(Row, 0);
  return I ? I->background().color() : QColor();
}
