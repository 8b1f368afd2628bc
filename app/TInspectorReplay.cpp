// TInspectorReplay: the inspector's "Rejouer", its confirmation and the results it keeps.
#include "app/TInspectorReplay.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidgetItem>
#include <QVBoxLayout>
#include <algorithm>
#include <set>
#include <utility>

#include "app/TAnsiText.h"
#include "app/TCompareView.h"
#include "app/TWindowRun.h"
#include "inspect/THarWriter.h"
#include <nlohmann/json.hpp>

namespace {

QString Methods(const std::vector<THarEntry>& Entries) {
  std::set<std::string> Unsafe;
  for (const THarEntry& E : Entries)
    if (E.Refused.empty() && !TPassReplay::SafeMethod(E.Pass.Method)) Unsafe.insert(E.Pass.Method);
  QStringList Out;
  for (const std::string& M : Unsafe) Out << TAnsiText::ForMessage(M);
  return Out.join(", ");
}

}  // namespace

TInspectorReplay::TInspectorReplay(TSource Source, TEvents Events, TWindowRun& Run, QWidget* Parent)
    : QObject(Parent), FSource(std::move(Source)), FEvents(std::move(Events)), FRun(Run), FDialogs(Parent) {}

TInspectorReplay::~TInspectorReplay() {
  // Not through SetRunning: its events would reach the inspector being destroyed.
  if (FReplay != nullptr) FRun.Set(TWindowRun::TState::Idle);
}

void TInspectorReplay::Clear() {
  FResults.clear();
  FStoppedPass = -1;
}

bool TInspectorReplay::SameRequest() const {
  const std::vector<TExchangePass>& Passes = FSource.PassesShown();
  return FSource.LogShown() != nullptr || (!Passes.empty() && Passes.front().Started == FReplayedStart);
}

const TReplayResult* TInspectorReplay::Of(int Pass) const {
  if (!SameRequest()) return nullptr;
  if (Pass < 0 || Pass >= static_cast<int>(FResults.size()) || !FResults[static_cast<std::size_t>(Pass)])
    return nullptr;
  return &*FResults[static_cast<std::size_t>(Pass)];
}

QString TInspectorReplay::OutcomeWord(TReplayOutcome Outcome) {
  switch (Outcome) {
    case TReplayOutcome::roSame: return "identique";
    case TReplayOutcome::roDiffers: return QString::fromUtf8("diff\u00e9rent");
    case TReplayOutcome::roFailed: return QString::fromUtf8("\u00e9chec");
    case TReplayOutcome::roSkipped: break;
  }
  return QString::fromUtf8("non envoy\u00e9");
}

QString TInspectorReplay::StoppedWord() { return QString::fromUtf8("arr\u00eat\u00e9"); }

int TInspectorReplay::WidestWord(const QFontMetrics& Metrics) {
  int Widest = 0;
  for (const TReplayOutcome O : {TReplayOutcome::roSame, TReplayOutcome::roDiffers, TReplayOutcome::roFailed,
                                 TReplayOutcome::roSkipped})
    Widest = std::max(Widest, Metrics.horizontalAdvance(OutcomeWord(O)));
  return std::max(Widest, Metrics.horizontalAdvance(StoppedWord()));
}

QString TInspectorReplay::Word(const TReplayResult& R, int Pass) const {
  return Pass == FStoppedPass ? StoppedWord() : OutcomeWord(R.Outcome);
}

QTableWidgetItem* TInspectorReplay::NewCell(int Pass) const {
  const TReplayResult* R = Of(Pass);
  // A refused entry is one a replay will never send: it says so before any replay.
  const THarLog* Log = FSource.LogShown();
  const bool Refused = Log != nullptr && !Log->Entries[static_cast<std::size_t>(Pass)].Refused.empty();
  auto* I = new QTableWidgetItem(R         ? Word(*R, Pass)
                                 : Refused ? QString::fromUtf8("refus\u00e9e")
                                           : QString());
  I->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  if (R) I->setToolTip(TAnsiText::ForMessage(R->Why.empty() || Pass == FStoppedPass ? R->URL : R->Why));
  if (R && R->Outcome == TReplayOutcome::roDiffers) I->setBackground(TCompareView::KindColour(TChangeKind::ckChanged));
  if (R && R->Outcome == TReplayOutcome::roFailed && Pass != FStoppedPass) I->setBackground(TCompareView::KindColour(TChangeKind::ckRemoved));
  return I;
}

QString TInspectorReplay::NoteLine(int Pass) const {
  const TReplayResult* Replayed = Of(Pass);
  if (Replayed == nullptr) return QString();
  // A stop is no failure: the component's words for the abort are not the reason.
  const bool Stopped = Pass == FStoppedPass;
  return "Rejeu : " + Word(*Replayed, Pass) + " (" + TAnsiText::ForMessage(Replayed->URL) + ")" +
         (Replayed->Why.empty() || Stopped ? QString() : " : " + TAnsiText::ForMessage(Replayed->Why));
}

std::vector<THarEntry> TInspectorReplay::EntriesOf(const std::vector<int>& Chosen) const {
  // The window's own passes go by way of their HAR entries: one path for every replay, and
  // the composed lines and checks of the reader apply to them too.
  const THarLog* File = FSource.LogShown();
  const std::vector<TExchangePass>& Passes = FSource.PassesShown();
  const THarLog Own = File ? THarLog() : THarReader::ReadText(THarWriter::Text(THarWriter::Document(Passes)));
  const THarLog& Log = File ? *File : Own;
  std::vector<THarEntry> Out;
  for (const int Pass : Chosen)
    if (Pass < static_cast<int>(Log.Entries.size())) {
      Out.push_back(Log.Entries[static_cast<std::size_t>(Pass)]);
      if (File) Out.back().Pass = Passes[static_cast<std::size_t>(Pass)];  // held there
    }
  return Out;
}

std::optional<TReplayOptions> TInspectorReplay::Ask(const std::vector<int>& Chosen) {
  const QString Unsafe = Methods(EntriesOf(Chosen));
  QDialog Ask(FDialogs);
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
  if (Ask.exec() != QDialog::Accepted) return std::nullopt;
  TReplayOptions Options;
  Options.Base = Base->text().trimmed().toStdString();
  Options.KeepCredentials = !Options.Base.empty() && Keep->isChecked();
  Options.Unsafe = !Unsafe.isEmpty() && SendUnsafe->isChecked();
  if (!Options.Base.empty() && TPassReplay::Rebase("http://x/", Options.Base).empty()) {
    QMessageBox::warning(FDialogs, "Rejouer",
                         QString::fromUtf8("\u00ab %1 \u00bb n'est pas une base http ou https (sch\u00e9ma://h\u00f4te[:port]).")
                             .arg(Base->text()));
    return std::nullopt;
  }
  return Options;
}

void TInspectorReplay::Stop() {
  if (FReplay == nullptr) return;
  FStopped = true;
  FReplay->Abort();
}

void TInspectorReplay::SetRunning(TPassReplay* Replay) {
  FReplay = Replay;
  // What cannot run meanwhile hears it from the run state; the stop is on while it runs.
  FRun.Set(Replay != nullptr ? TWindowRun::TState::Replay : TWindowRun::TState::Idle);
  if (FEvents.OnRunChanged) FEvents.OnRunChanged();
}

void TInspectorReplay::Replay(const std::vector<int>& Chosen, const TReplayOptions& Options) {
  if (!FRun.Idle()) return;
  const std::vector<THarEntry> Entries = EntriesOf(Chosen);
  TPassReplay Replay(Options);
  FStopped = false;
  FStoppedPass = -1;
  const std::vector<TExchangePass>& Passes = FSource.PassesShown();
  const bool Live = FSource.LogShown() == nullptr;
  if (Live && !SameRequest()) FResults.clear();
  if (Live && !Passes.empty()) FReplayedStart = Passes.front().Started;
  FResults.resize(Passes.size());
  SetRunning(&Replay);
  // The replay waits by pumping messages: the inspector, and this with it, may be closed
  // meanwhile.
  const QPointer<TInspectorReplay> Alive(this);
  for (std::size_t I = 0; I < Entries.size(); ++I) {
    TReplayResult R = Replay.Replay(Entries[I]);
    if (!Alive) return;
    if (FStopped && R.Outcome == TReplayOutcome::roFailed) FStoppedPass = Chosen[I];
    FResults[static_cast<std::size_t>(Chosen[I])] = std::move(R);
    const int Next = !FStopped && I + 1 < Chosen.size() ? Chosen[I + 1] : -1;
    if (FEvents.OnReplayed) FEvents.OnReplayed(Chosen[I], Next);
    if (FStopped) break;
  }
  SetRunning(nullptr);
}
