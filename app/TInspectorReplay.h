// TInspectorReplay: "Rejouer" of the exchange inspector. Its confirmation asks for another
// base, whether the credentials go there too and whether unsafe methods are sent; the chosen
// passes are then sent again one at a time on a component of their own, each result kept by
// its pass for the "Rejeu" column and the note. A stop ends the entry being sent (it says
// "arrêté", not a failure) and the rest are not sent.
//
// It knows nothing of the inspector that owns it: it reads the passes shown, and the file
// they come from, through its source, and tells each result back.
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "inspect/THarReader.h"
#include "inspect/TPassReplay.h"

class QFontMetrics;
class QTableWidgetItem;
class QWidget;
class TWindowRun;

class TInspectorReplay : public QObject {
  Q_OBJECT

 public:
  // The passes shown, and the file's log they were read from (null for the recorder's).
  struct TSource {
    std::function<const std::vector<TExchangePass>&()> PassesShown;
    std::function<const THarLog*()> LogShown;
  };
  // What the owner hears: a replay started or ended; a pass's result kept, Next being the
  // pass sent after it (-1 when none is, or a stop ends the replay there).
  struct TEvents {
    std::function<void()> OnRunChanged;
    std::function<void(int Done, int Next)> OnReplayed;
  };
  // Parent is the inspector, which owns this; the dialogs open over it. Run says a replay
  // runs, and one starts only while it is idle; it must outlive this.
  TInspectorReplay(TSource Source, TEvents Events, TWindowRun& Run, QWidget* Parent);
  // Destroyed while its replay waits (its inspector closed): the window runs nothing any more.
  ~TInspectorReplay() override;

  // The confirmation for replaying Chosen: its options, or none when the user cancels or
  // gives a base that is none (said in a box). The TLS settings are the caller's to add.
  std::optional<TReplayOptions> Ask(const std::vector<int>& Chosen);
  // Chosen sent again with Options, in order. Returns at once when a replay or a request runs.
  void Replay(const std::vector<int>& Chosen, const TReplayOptions& Options);
  bool Running() const { return FReplay != nullptr; }
  // Ends the entry being replayed; the rest are not sent.
  void Stop();
  // Forgets every result: the passes shown are others.
  void Clear();

  // The last replay's result for a pass, if any.
  const TReplayResult* Of(int Pass) const;
  // A pass's cell of the "Rejeu" column: its result's word, or "refusée" for a file's entry
  // that a replay never sends.
  QTableWidgetItem* NewCell(int Pass) const;
  // The note's line on a pass's replay; empty when it has none.
  QString NoteLine(int Pass) const;
  // The width in Metrics of the widest word the "Rejeu" column may show.
  static int WidestWord(const QFontMetrics& Metrics);
  // "identique", "différent", "échec", "non envoyé".
  static QString OutcomeWord(TReplayOutcome Outcome);
  // "arrêté": the entry a stop cut short.
  static QString StoppedWord();

 private:
  // OutcomeWord, or StoppedWord for the entry a stop cut short.
  QString Word(const TReplayResult& R, int Pass) const;
  // The entry a pass is replayed from: the file's own, or the pass written as an entry.
  std::vector<THarEntry> EntriesOf(const std::vector<int>& Passes) const;
  // Whether the recorder's passes are still those of the request replayed.
  bool SameRequest() const;
  void SetRunning(TPassReplay* Replay);

  TSource FSource;
  TEvents FEvents;
  TWindowRun& FRun;
  QWidget* FDialogs;
  // By pass: the last replay's result. Of the recorder's passes, kept only while they are
  // those of the request replayed (its first pass's start).
  std::vector<std::optional<TReplayResult>> FResults;
  std::chrono::steady_clock::time_point FReplayedStart{};
  TPassReplay* FReplay = nullptr;  // while a replay runs
  bool FStopped = false;           // its stop was asked: the passes after are not sent
  int FStoppedPass = -1;           // the pass whose replay the stop cut short
};
