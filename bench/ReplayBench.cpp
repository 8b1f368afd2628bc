// Headless driver of the inspector's replay for bench/replay-bench.sh: a HAR file opened in
// the real window, every entry selected (Ctrl+A) and replayed, as "Rejouer" does after its
// confirmation.
//
//   replay_bench FILE.har
//
// One line: entries=N replayed=R total_ms=T paints=P max_turn_ms=G
// total_ms runs from the replay's start to its return; paints counts the paint events the
// inspector's widgets handled meanwhile, and max_turn_ms is the longest wait between two
// ticks of a 20 ms timer: how long the window was at worst unable to redraw or answer.
// Exits non-zero when an entry was not replayed (sent, with a whole reply).
#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "app/TExchangeDetails.h"
#include "app/TForm1.h"
#include "app/TForm2.h"
#include "app/TQtEventBridge.h"

namespace {

class TPaintCounter : public QObject {
 public:
  int Paints = 0;

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::Paint && Watched->isWidgetType() &&
        static_cast<QWidget*>(Watched)->window()->objectName() == "ExchangeDetails")
      ++Paints;
    return QObject::eventFilter(Watched, Event);
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: replay_bench FILE.har\n");
    return 2;
  }
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication App(argc, argv);
  QApplication::setApplicationName("Orrery");
  TQtEventBridge Bridge;
  TForm1 Main;
  Form1 = &Main;
  Main.show();
  TForm2 About;
  Form2 = &About;

  Main.OpenHar(QString::fromLocal8Bit(argv[1]));
  auto* Details = Main.findChild<TExchangeDetails*>("ExchangeDetails");
  // The file is read on a worker thread: the log is shown once its reading has ended.
  while (Details != nullptr && Details->Opening()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  if (Details == nullptr || !Details->ShowsLog()) {
    std::fprintf(stderr, "the file was not opened\n");
    return 1;
  }
  QApplication::processEvents();
  TPaintCounter Counter;
  App.installEventFilter(&Counter);
  // As Ctrl+A in the table does.
  Details->findChild<QTableWidget*>("PassTable")->selectAll();
  std::vector<int> All(Details->Passes().size());
  for (std::size_t I = 0; I < All.size(); ++I) All[I] = static_cast<int>(I);

  using TClock = std::chrono::steady_clock;
  const auto Start = TClock::now();
  auto Tick = Start;
  double MaxTurn = 0;
  const auto Turned = [&] {
    const auto Now = TClock::now();
    MaxTurn = std::max(MaxTurn, std::chrono::duration<double, std::milli>(Now - Tick).count());
    Tick = Now;
  };
  QTimer Ticker;
  QObject::connect(&Ticker, &QTimer::timeout, Turned);
  Ticker.start(20);
  Details->ReplaySelected(TReplayOptions());
  Turned();
  const double Ms = std::chrono::duration<double, std::milli>(TClock::now() - Start).count();
  int Same = 0;
  for (const int Pass : All)
    if (const TReplayResult* R = Details->ReplayOf(Pass); R && R->Replayed && R->Outcome != TReplayOutcome::roFailed) ++Same;
  std::printf("entries=%zu replayed=%d total_ms=%.1f paints=%d max_turn_ms=%.1f\n", All.size(), Same, Ms,
              Counter.Paints, MaxTurn);
  return Same == static_cast<int>(All.size()) ? 0 : 1;
}
