// TExchangeDetails' sources of passes (the recorder or a HAR file), "Comparer" and "Rejouer"
// with its confirmation.
#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <set>
#include <utility>

#include "app/TAnsiText.h"
#include "app/TCompareView.h"
#include "app/TExchangeDetails.h"
#include "inspect/THarWriter.h"
#include <nlohmann/json.hpp>

namespace {

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
      P.Started += std::chrono::duration_cast<std::chrono::steady_clock::duration>(P.StartedAt - *First);
    Out.push_back(std::move(P));
  }
  return Out;
}

QString Methods(const std::vector<THarEntry>& Entries) {
  std::set<std::string> Unsafe;
  for (const THarEntry& E : Entries)
    if (E.Refused.empty() && !TPassReplay::SafeMethod(E.Pass.Method)) Unsafe.insert(E.Pass.Method);
  QStringList Out;
  for (const std::string& M : Unsafe) Out << TAnsiText::ForMessage(M);
  return Out.join(", ");
}

}  // namespace

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
  FReplays.clear();
  FStoppedPass = -1;
  FShownPasses = 0;
  FSelected = -1;
  FTunnel = false;
  FBodyShown.clear();
  FSource->setText(QString::fromUtf8("Fichier : %1 (%2 entr\u00e9e(s))").arg(Name).arg(FLog->Entries.size()));
  FSource->show();
  FLive->show();
  Refresh();
}

void TExchangeDetails::ShowLive() {
  if (Replaying() || !FLog) return;
  FLog.reset();
  FLoaded.clear();
  FReplays.clear();
  FStoppedPass = -1;
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
    if (Row.row() < static_cast<int>(FRows.size())) Chosen.insert(FRows[static_cast<std::size_t>(Row.row())].Pass);
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
  FTable->selectionModel()->select(Rows, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  UpdateButtons();
}

const TReplayResult* TExchangeDetails::ReplayOf(int Pass) const {
  if (!FLog && (Passes().empty() || Passes().front().Started != FReplayedStart)) return nullptr;
  if (Pass < 0 || Pass >= static_cast<int>(FReplays.size()) || !FReplays[static_cast<std::size_t>(Pass)])
    return nullptr;
  return &*FReplays[static_cast<std::size_t>(Pass)];
}

QString TExchangeDetails::OutcomeWord(TReplayOutcome Outcome) {
  switch (Outcome) {
    case TReplayOutcome::roSame: return "identique";
    case TReplayOutcome::roDiffers: return QString::fromUtf8("diff\u00e9rent");
    case TReplayOutcome::roFailed: return QString::fromUtf8("\u00e9chec");
    case TReplayOutcome::roSkipped: break;
  }
  return QString::fromUtf8("non envoy\u00e9");
}

QString TExchangeDetails::StoppedWord() { return QString::fromUtf8("arr\u00eat\u00e9"); }

QString TExchangeDetails::ReplayWord(const TReplayResult& R, int Pass) const {
  return Pass == FStoppedPass ? StoppedWord() : OutcomeWord(R.Outcome);
}

void TExchangeDetails::FillReplayCell(int Row, int Pass) {
  const TReplayResult* R = ReplayOf(Pass);
  // A refused entry is one a replay will never send: it says so before any replay.
  const bool Refused = FLog && !FLog->Entries[static_cast<std::size_t>(Pass)].Refused.empty();
  auto* I = new QTableWidgetItem(R         ? ReplayWord(*R, Pass)
                                 : Refused ? QString::fromUtf8("refus\u00e9e")
                                           : QString());
  I->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  if (R) I->setToolTip(TAnsiText::ForMessage(R->Why.empty() || Pass == FStoppedPass ? R->URL : R->Why));
  if (R && R->Outcome == TReplayOutcome::roDiffers) I->setBackground(TCompareView::KindColour(TChangeKind::ckChanged));
  if (R && R->Outcome == TReplayOutcome::roFailed && Pass != FStoppedPass) I->setBackground(TCompareView::KindColour(TChangeKind::ckRemoved));
  FTable->setItem(Row, pcReplay, I);
}

void TExchangeDetails::UpdateButtons() {
  const auto Chosen = SelectedPasses();
  const bool OneReplayed = Chosen.size() == 1 && ReplayOf(Chosen[0]) && ReplayOf(Chosen[0])->Replayed;
  FCompare->setEnabled(Chosen.size() == 2 || OneReplayed);
  FReplayButton->setText(Replaying() ? QString::fromUtf8("Arr\u00eater le rejeu") : QString("Rejouer"));
  FReplayButton->setEnabled(Replaying() || !Chosen.empty());
}

TCompareView* TExchangeDetails::CompareSelected() {
  const auto Chosen = SelectedPasses();
  const auto& All = Passes();
  TCompareView* View = nullptr;
  const auto Name = [](int Pass) { return QString::fromUtf8("N\u00b0 %1").arg(Pass + 1); };
  if (Chosen.size() == 2) {
    View = new TCompareView(All[static_cast<std::size_t>(Chosen[0])], All[static_cast<std::size_t>(Chosen[1])],
                            Name(Chosen[0]), Name(Chosen[1]), this);
  } else if (Chosen.size() == 1 && ReplayOf(Chosen[0]) && ReplayOf(Chosen[0])->Replayed) {
    View = new TCompareView(All[static_cast<std::size_t>(Chosen[0])], *ReplayOf(Chosen[0])->Replayed,
                            Name(Chosen[0]), QString::fromUtf8("rejou\u00e9"), this);
  }
  if (View != nullptr) View->show();
  return View;
}

std::vector<THarEntry> TExchangeDetails::EntriesOf(const std::vector<int>& Chosen) const {
  // The window's own passes go by way of their HAR entries: one path for every replay, and
  // the composed lines and checks of the reader apply to them too.
  const THarLog Own = FLog ? THarLog() : THarReader::ReadText(THarWriter::Text(THarWriter::Document(Passes())));
  const THarLog& Log = FLog ? *FLog : Own;
  std::vector<THarEntry> Out;
  for (const int Pass : Chosen)
    if (Pass < static_cast<int>(Log.Entries.size())) {
      Out.push_back(Log.Entries[static_cast<std::size_t>(Pass)]);
      if (FLog) Out.back().Pass = FLoaded[static_cast<std::size_t>(Pass)];  // held there
    }
  return Out;
}

void TExchangeDetails::ReplayClicked() {
  if (!FRun.Idle()) return;
  const auto Chosen = SelectedPasses();
  if (Chosen.empty()) return;
  const QString Unsafe = Methods(EntriesOf(Chosen));
  QDialog Ask(this);
  Ask.setObjectName("ReplayDialog");
  Ask.setWindowTitle("Rejouer");
  auto* Layout = new QVBoxLayout(&Ask);
  auto* Intro = new QLabel(QString::fromUtf8("%1 \u00e9change(s) renvoy\u00e9(s) tels qu'enregistr\u00e9s, sans les "
                                             "r\u00e9glages de la page \u00ab Informations sur HEAD \u00bb, sauf la "
                                             "v\u00e9rification du certificat et son autorit\u00e9.")
                               .arg(Chosen.size()), &Ask);
  Intro->setWordWrap(true);
  Layout->addWidget(Intro);
  auto* Form = new QFormLayout;
  auto* Base = new QLineEdit(&Ask);
  Base->setObjectName("ReplayBase");
  Base->setPlaceholderText("https://autre.exemple:8443");
  Form->addRow(QString::fromUtf8("Autre base (facultatif) :"), Base);
  Layout->addLayout(Form);
  auto* Keep = new QCheckBox(QString::fromUtf8("Garder les identifiants (Authorization, Cookie) pour l'autre base"), &Ask);
  Keep->setObjectName("KeepCredentials");
  Keep->setEnabled(false);
  connect(Base, &QLineEdit::textChanged, Keep, [Keep](const QString& T) { Keep->setEnabled(!T.trimmed().isEmpty()); });
  Layout->addWidget(Keep);
  auto* SendUnsafe = new QCheckBox(QString::fromUtf8("Renvoyer aussi les m\u00e9thodes non s\u00fbres (%1) : elles "
                                                     "peuvent modifier des donn\u00e9es du serveur").arg(Unsafe), &Ask);
  SendUnsafe->setObjectName("ReplayUnsafe");
  SendUnsafe->setVisible(!Unsafe.isEmpty());
  Layout->addWidget(SendUnsafe);
  auto* Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &Ask);
  Buttons->button(QDialogButtonBox::Ok)->setText("Rejouer");
  Buttons->button(QDialogButtonBox::Cancel)->setText("Annuler");
  connect(Buttons, &QDialogButtonBox::accepted, &Ask, &QDialog::accept);
  connect(Buttons, &QDialogButtonBox::rejected, &Ask, &QDialog::reject);
  Layout->addWidget(Buttons);
  if (Ask.exec() != QDialog::Accepted) return;
  TReplayOptions Options;
  Options.Base = Base->text().trimmed().toStdString();
  Options.KeepCredentials = !Options.Base.empty() && Keep->isChecked();
  Options.Unsafe = !Unsafe.isEmpty() && SendUnsafe->isChecked();
  if (!Options.Base.empty() && TPassReplay::Rebase("http://x/", Options.Base).empty()) {
    QMessageBox::warning(this, "Rejouer",
                         QString::fromUtf8("\u00ab %1 \u00bb n'est pas une base http ou https (sch\u00e9ma://h\u00f4te[:port]).")
                             .arg(Base->text()));
    return;
  }
  if (ReplayTlsOf) {
    const std::optional<TTlsSettings> Page = ReplayTlsOf();
    if (!Page) return;
    Options.Tls = *Page;
  }
  ReplaySelected(Options);
}

void TExchangeDetails::StopReplay() {
  if (FReplay == nullptr) return;
  FReplayStopped = true;
  FReplay->Abort();
}

void TExchangeDetails::SetReplaying(TPassReplay* Replay) {
  FReplay = Replay;
  // What cannot run meanwhile hears it from the run state; the stop is on while it runs.
  FRun.Set(Replay != nullptr ? TWindowRun::TState::Replay : TWindowRun::TState::Idle);
  UpdateButtons();
}

void TExchangeDetails::ReplaySelected(const TReplayOptions& Options) {
  if (!FRun.Idle()) return;
  const auto Chosen = SelectedPasses();
  const std::vector<THarEntry> Entries = EntriesOf(Chosen);
  TPassReplay Replay(Options);
  FReplayStopped = false;
  FStoppedPass = -1;
  FFollowed = {};
  if (!FLog && (Passes().empty() || Passes().front().Started != FReplayedStart)) FReplays.clear();
  if (!FLog && !Passes().empty()) FReplayedStart = Passes().front().Started;
  FReplays.resize(Passes().size());
  SetReplaying(&Replay);
  // The replay waits by pumping messages: the window may be closed meanwhile.
  const QPointer<TExchangeDetails> Alive(this);
  for (std::size_t I = 0; I < Entries.size(); ++I) {
    TReplayResult R = Replay.Replay(Entries[I]);
    if (!Alive) return;
    if (FReplayStopped && R.Outcome == TReplayOutcome::roFailed) FStoppedPass = Chosen[I];
    FReplays[static_cast<std::size_t>(Chosen[I])] = std::move(R);
    FillReplayCell(RowOf(Chosen[I], false), Chosen[I]);
    FillNote();
    if (FReplayStopped) break;
    FollowReplay(Chosen[I], I + 1 < Chosen.size() ? Chosen[I + 1] : -1);
  }
  SetReplaying(nullptr);
}

void TExchangeDetails::FollowReplay(int Done, int Next) {
  // The next row comes into sight as a running request's passes do, unless the reader has
  // scrolled away from the last one brought there; at most every RefreshGapMs, as a
  // request's redraws, so that scrolling does not slow fast entries down.
  const auto Now = TTimingBars::TClock::now();
  if (Next < 0 || Now - FFollowed.At < std::chrono::milliseconds(RefreshGapMs)) return;
  const QTableWidgetItem* Shown = FTable->item(RowOf(FFollowed.Pass < 0 ? Done : FFollowed.Pass, false), pcReplay);
  if (Shown == nullptr || !FTable->viewport()->rect().intersects(FTable->visualItemRect(Shown))) return;
  FFollowed = {Now, Next};
  FTable->scrollToItem(FTable->item(RowOf(Next, false), pcReplay));
}
