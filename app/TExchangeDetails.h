// TExchangeDetails: the modeless exchange inspector of "Détails de l'échange…": a table of
// the passes of the last request, each with a timing bar on a scale shared by every row, and
// tabs on the selected pass: the bytes sent, the reply's head, its body (text, hex or
// picture), its stage times, its HTTP/2 frames and its TLS session. A CONNECT tunnel through the proxy is a row
// of its own, before its pass. It follows a running request as it goes, stops it, copies its
// request as commands and exports it as HAR.
//
// Its passes come from one source at a time: the window's recorder (live), or a HAR file
// opened with "Ouvrir un HAR…"; both are shown by the same code. Two selected passes can be
// compared side by side, and the selected passes replayed, each row then saying how the new
// reply compares with the one shown.
#pragma once

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/TBarDelegate.h"
#include "app/TBodyView.h"
#include "app/TInspectorReplay.h"
#include "app/TWindowRun.h"
#include "inspect/TExchangeRecorder.h"
#include "inspect/THarReader.h"
#include "inspect/TPassReplay.h"
#include "tls/TTlsSettings.h"

class QAction;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QToolButton;
class TCompareView;
class TFrameView;
class THarOpening;
class TSecurityView;

class TExchangeDetails : public QWidget {
  Q_OBJECT

 public:
  // The columns of the pass table.
  enum TColumn {
    pcNumber,
    pcMethod,
    pcURL,
    pcStatus,
    pcSize,
    pcTime,
    pcVersion,
    pcConnection,
    pcBar,
    pcReplay,
    ColumnCount
  };
  // Shows Recorder; a replay runs only while Run is idle, and Run says so meanwhile. Both
  // must outlive the window (the main window owns all three).
  TExchangeDetails(const TExchangeRecorder& Recorder, TWindowRun& Run, QWidget* Parent = nullptr);

  const TExchangeRecorder& Recorder() const { return FRecorder; }
  // The passes shown: the recorder's, or those of the file opened.
  const std::vector<TExchangePass>& Passes() const;
  // Shows the entries of Log (read from the file Name) instead of the recorder's passes;
  // refused entries are rows too, with their reason.
  void ShowLog(THarLog Log, const QString& Name);
  // Reads the HAR file FileName on a worker thread, then shows it as ShowLog does, with a box
  // that says in French what stopped the reading when it was not whole. Past OpeningShownMs a
  // progress bar and a stop button show (Esc stops too); a reading stopped leaves the passes shown as they
  // were. A reading under way is given up for the new one.
  void OpenFile(const QString& FileName);
  bool Opening() const { return FOpening != nullptr; }
  void StopOpening();
  static constexpr int OpeningShownMs = 500;
  // Back to the recorder's passes.
  void ShowLive();
  bool ShowsLog() const { return FLog.has_value(); }

  // The passes of the selected rows, in order.
  std::vector<int> SelectedPasses() const;
  void SelectPasses(const std::vector<int>& Passes);
  // "Comparer": the two selected passes, or one and its replay; null when the selection is
  // neither.
  TCompareView* CompareSelected();
  // "Rejouer": the selected passes sent again with Options (the confirmation's choices);
  // each result is kept by its pass and shown in the "Rejeu" column. Returns at once when a
  // replay or a request runs.
  void ReplaySelected(const TReplayOptions& Options);
  // Asks for the replay's options (another base, credentials, unsafe methods), then replays.
  void ReplayClicked();
  bool Replaying() const { return FRun.Replaying(); }
  // Ends the entry being replayed; the rest are not sent. The entry cut short says
  // "arrêté", not a failure.
  void StopReplay();
  // The last replay's result for a pass, if any.
  const TReplayResult* ReplayOf(int Pass) const;
  // Where the window opens, of size Want: within Screen (the available area), beside Main
  // (right, else left) where there is room, else over Main's right part up to the screen's
  // edge, leaving Main's left third in sight when half of Want's width is left for it; its
  // top at Main's, moved up as far as its height needs.
  static QRect Placement(const QRect& Main, const QRect& Screen, const QSize& Want);
  // Rebuilds the table and the selected pass's tabs from the record, keeping the selection
  // and the reader's place.
  void Refresh();
  // Asks for a Refresh on the window's own schedule, never at once: a change of the record
  // comes inside the component's events, and a rebuild there would be charged to the stage
  // being timed. The timer still fires inside the component's waits, so what a redraw
  // costs is bounded instead: while a pass runs the window is redrawn at most every
  // RefreshGapMs, and not before RefreshGapMs after the request began, so that a short
  // exchange is drawn once, and the body view waits for the body's end; when no pass runs
  // (the request has ended) it is redrawn at the next turn of the event loop.
  void RefreshSoon();
  static constexpr int RefreshGapMs = 250;
  // The main window's stop, with its shortcut (Esc) while this window has the focus, and its
  // HAR export: buttons at the top. The stop ends a replay too, and is on while one runs.
  void SetStopAction(QAction* Stop);
  void SetExportAction(QAction* Export);

  // The pass the tabs show; -1 when there is none.
  int SelectedPass() const { return FSelected; }
  void SelectPass(int Index);
  // A cell of the pass table, as shown.
  QString Cell(int Row, TColumn Column) const;
  int RowCount() const;
  // The rectangles of a row's timing bar in a cell of that size, and the scale (ms) of the
  // column; the Temps tab's rows likewise.
  std::vector<QRectF> BarRects(int Row, const QRectF& Cell) const;
  const TBarDelegate& Bars() const { return *FBars; }
  const TBarDelegate& StageBars() const { return *FStageBars; }
  // The texts of the tabs and of the note under the table.
  QString RequestText() const;
  QString ReplyText() const;
  QString TimesText() const;
  QString NoteText() const;
  QString SecurityText() const;
  TBodyView* BodyView() const { return FBody; }
  TFrameView* FrameView() const { return FFrames; }
  // The table's rows and every tab's text, for a reader who wants them all at once.
  QString Text() const;

  // The first pass's request as an orrery-cli command and a curl command, one a line. For an
  // https pass, Tls (the settings it was made with) adds what makes them do the same: -k for
  // a pass whose check was waived, --cacert, --cert and --key.
  static QString Commands(const TExchangePass& Pass, const TTlsSettings* Tls = nullptr);
  // The TLS settings of the last request, for Commands.
  std::function<TTlsSettings()> TlsSettingsOf;
  // The TLS settings a replay goes with, the page's as they are when it starts; none when
  // they cannot be used (the caller said why), and the replay does not start.
  std::function<std::optional<TTlsSettings>()> ReplayTlsOf;
  // Puts Commands of the first pass on the clipboard.
  void CopyCommands();

 protected:
  void showEvent(QShowEvent* Event) override;

 private:
  void BuildReplay();
  void BuildTop();
  void BuildLegend(QLayout* Into);
  void BuildTabs();
  void BuildOpening();
  void OpeningTick();
  void OpeningFinished();
  // The whole body of a HAR's pass, read again from its file with its views made, both off
  // the window's thread.
  struct TWholeBody {
    std::string File;
    int Pass = -1;
    std::optional<std::string> Body;
    TBodyView::TPrepared Prepared;
  };
  void ReadWholeBody();
  void WholeBodyRead();
  void FillTable(const std::vector<TExchangePass>& Passes);
  void FillPass();
  void FillTimes(const TExchangePass& Pass);
  void FillNote();
  // Milliseconds on the first pass's clock while the last pass is still under way.
  std::optional<double> Now() const;
  // How long RefreshSoon's timer still waits: 0 when no pass runs.
  int RefreshDelay() const;
  void SoonTimedOut();
  // The error of the source as a whole (the recorder's, or what stopped the file's reading).
  const std::string& SourceError() const;
  void UpdateButtons();
  void FillReplayCell(int Row, int Pass);
  // The columns sized to their contents, measured once per fill rather than at every cell a
  // replay changes.
  void FitColumns();
  // Keeps the row of the pass to be replayed next in sight while the reader follows.
  void FollowReplay(int Done, int Next);

  // The table's rows: each pass, after its tunnel's row when it made one.
  struct TRow {
    int Pass;
    bool Tunnel;
  };
  std::vector<TRow> FRows;
  std::vector<int> FPassRows;  // by pass: its row (its tunnel's is the one before)
  int RowOf(int Pass, bool Tunnel) const;
  void FillTunnel(const TExchangePass& Pass);

  const TExchangeRecorder& FRecorder;
  int FSelected = -1;
  bool FTunnel = false;  // the selected row is its pass's tunnel
  std::size_t FShownPasses = 0;
  std::string FBodyShown;  // the key of what the body tab shows, to spare rebuilding it
  QTimer FSoon;
  TTimingBars::TClock::time_point FRefreshed;  // the last Refresh
  QToolButton* FStop;
  QToolButton* FExport;
  QPushButton* FCopy;
  QPushButton* FCompare;
  QPushButton* FReplayButton;
  QPushButton* FLive;
  QLabel* FSource;
  std::optional<THarLog> FLog;  // the file's entries, their passes moved to FLoaded
  THarOpening* FOpening = nullptr;  // while a file is read
  QElapsedTimer FOpeningSince;
  QTimer FOpeningTimer;
  QWidget* FOpeningRow;
  QProgressBar* FOpeningBar;
  QPushButton* FOpeningStop;
  QAction* FOpeningEsc;
  std::string FLogFile;  // the file shown, as the system names it, for a body read again
  QFutureWatcher<TWholeBody> FWholeBody;
  std::vector<TExchangePass> FLoaded;
  TWindowRun& FRun;
  // "Rejouer" and the results it keeps by pass, cleared when the source changes; a child.
  TInspectorReplay* FReplays;
  struct TFollowed {
    TTimingBars::TClock::time_point At{};  // when the table last scrolled to the replay
    int Pass = -1;                         // to which pass's row
  } FFollowed;
  bool FPlaced = false;            // opened once, where Placement put it
  QTableWidget* FTable;
  TBarDelegate* FBars;
  QLabel* FNote;
  QTabWidget* FTabs;
  QPlainTextEdit* FRequest;
  QPlainTextEdit* FReply;
  TBodyView* FBody;
  TSecurityView* FSecurity;
  TFrameView* FFrames;
  QTableWidget* FStages;
  TBarDelegate* FStageBars;
  QLabel* FTotal;
};
