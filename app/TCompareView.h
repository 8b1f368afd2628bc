// TCompareView: two passes side by side ("Comparer"): the status, the reply's header fields
// added, removed and changed, the body's difference (JSON paths, or the two texts scrolled
// together), the pictures' pixels, and the two timing bars one above the other.
//
// The comparison runs on a worker thread on copies of the two passes, so that two large
// bodies never freeze the window; past half a second a progress bar and "Arrêter" show.
// TPassCompare has no hook to be interrupted: a stop drops the result and lets the worker
// finish on its own.
#pragma once

#include <QFutureWatcher>
#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>

#include "inspect/TPassCompare.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QTableWidget;
class TBarDelegate;

// What the worker hands back: the comparison, and for two pictures whether their pixels agree.
struct TCompareWork {
  TPassComparison Comparison;
  std::optional<bool> SamePixels;  // both bodies decode as pictures
  QImage PictureA, PictureB;       // decoded by the worker, not again on the UI thread
};

class TCompareView : public QWidget {
  Q_OBJECT

 public:
  // Compares A with B (NameA and NameB name them in the titles); the work starts at once.
  TCompareView(const TExchangePass& A, const TExchangePass& B, const QString& NameA,
               const QString& NameB, QWidget* Parent = nullptr);
  ~TCompareView() override;

  // The worker's result has been shown.
  bool Done() const { return FDone; }
  // The user stopped the comparison before its end: nothing is shown.
  bool Stopped() const { return FStopped; }
  void Stop();
  // The verdict line: "identique", "différent", or why there is none.
  QString Verdict() const;
  // The header table's rows as "kind\tname\tbefore\tafter" lines, kind one of "ajouté",
  // "retiré", "modifié", "variable".
  QString HeaderText() const;
  // The body's difference as shown: JSON paths, lines, or the pictures' and bytes' facts.
  QString BodyText() const;
  // The colour a header row is drawn with.
  QColor HeaderColour(int Row) const;
  // Both bodies' panes, scrolled together for a text diff.
  QPlainTextEdit* PaneA() const { return FPaneA; }
  QPlainTextEdit* PaneB() const { return FPaneB; }
  const TBarDelegate& Bars() const { return *FBars; }
  bool ProgressShown() const;

  // The work itself, as the worker runs it; pure but for QImage, which is safe off the UI
  // thread.
  static TCompareWork Work(const TExchangePass& A, const TExchangePass& B);
  // Colours of an added, removed and changed line.
  static QColor KindColour(TChangeKind Kind);

 signals:
  void Finished();

 private:
  void BuildTabs();
  void BuildTimesTab();
  void Arrived();
  void ShowHeaders(const TPassComparison& C);
  void ShowBody(const TCompareWork& W);
  void ShowTextBodies(const TLineDiffResult& Lines);
  void ShowJson(const TJsonDiffResult& Json);
  void ShowTimes(const TPassComparison& C);

  // Shared with the worker, which only reads them: large bodies are not copied twice.
  std::shared_ptr<const TExchangePass> FA, FB;
  QString FNameA, FNameB;
  QFutureWatcher<TCompareWork> FWatcher;
  QTimer FSlow;  // shows the progress past half a second
  bool FDone = false;
  bool FStopped = false;
  QString FVerdictText;
  QString FBodyText;
  QLabel* FVerdict;
  QProgressBar* FProgress;
  QPushButton* FStop;
  QTabWidget* FTabs;
  QTableWidget* FHeaders;
  QStackedWidget* FBodyStack;
  QTableWidget* FJson;
  QPlainTextEdit* FPaneA;
  QPlainTextEdit* FPaneB;
  QLabel* FBodyFacts;
  QLabel* FPictureA;
  QLabel* FPictureB;
  QTableWidget* FTimes;
  TBarDelegate* FBars;
};
