// The "Trames" tab: a table over the frame model, with fixed row heights and column widths so
// that no row is measured that is not drawn.
#include "app/TFrameView.h"

#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

#include "app/TAnsiText.h"
#include "app/TFrameModel.h"

TFrameView::TFrameView(QWidget* Parent) : QWidget(Parent), FModel(new TFrameModel(this)) {
  FTable = new QTableView(this);
  FTable->setObjectName("FrameTable");
  FTable->setModel(FModel);
  FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  FTable->setWordWrap(false);
  FTable->setTextElideMode(Qt::ElideRight);
  FTable->verticalHeader()->hide();
  // Contents-sized rows or columns would measure all 10 000 rows at each change.
  FTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  FTable->verticalHeader()->setDefaultSectionSize(FTable->fontMetrics().height() + 6);
  // The columns fit the rows in sight only: measuring all of them would cost as much.
  QHeaderView* Columns = FTable->horizontalHeader();
  Columns->setResizeContentsPrecision(0);
  Columns->setSectionResizeMode(QHeaderView::ResizeToContents);
  Columns->setSectionResizeMode(TFrameModel::fcDetail, QHeaderView::Stretch);
  FNote = new QLabel(this);
  FNote->setObjectName("FrameNote");
  FNote->setTextFormat(Qt::PlainText);
  FNote->setWordWrap(true);
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(FTable, 1);
  Layout->addWidget(FNote);
  Clear();
}

void TFrameView::Show(const TExchangePass& Pass, int Index) {
  FModel->Show(Pass, Index);
  FTable->setVisible(!Pass.Frames.empty());
  if (Pass.Frames.empty() && Pass.RequestVersion() == 20)
    SetNote(QString::fromUtf8("Aucune trame gard\u00e9e pour cet \u00e9change HTTP/2"));
  else if (Pass.Frames.empty())
    SetNote(QString::fromUtf8("Aucune trame : l'\u00e9change n'a pas parl\u00e9 HTTP/2"));
  else if (Pass.FramesLeftOut > 0)
    SetNote(QString::fromUtf8(
                "\u2026 %1 trames de plus non gard\u00e9es (seules les %2 premi\u00e8res le sont)")
                .arg(TAnsiText::Count(Pass.FramesLeftOut),
                     TAnsiText::Count(static_cast<std::int64_t>(TExchangePass::MaxFrames))));
  else
    SetNote(QString());
}

void TFrameView::Clear() {
  FModel->Clear();
  FTable->hide();
  SetNote(QString::fromUtf8("Aucune trame : l'\u00e9change n'a pas parl\u00e9 HTTP/2"));
}

QString TFrameView::NoteText() const { return FNote->isHidden() ? QString() : FNote->text(); }

void TFrameView::SetNote(const QString& Text) {
  if (FNote->text() != Text) FNote->setText(Text);
  FNote->setVisible(!Text.isEmpty());
}
