// Headless driver of the main window for scripts/bench.sh: a GET from the "Aller" page of the
// real window, timed from the reply's last byte to the body pane painted with it.
//
//   window_bench URL BYTES [GETS]      GETS (1) requests of URL, whose body has BYTES bytes,
//                                      each by a click on "Aller !"; the second and later ones
//                                      replace the text the pane already holds
//
// One line per GET:
//   get=I bytes=B shown_ms=S settled_ms=D from_success_ms=F total_ms=T pane_chars=C
//   pane_blocks=K paints=P ready_mib=R maxrss_mib=M
// shown_ms runs from the last OnPacketRecvd (the component has the last byte of the body) to
// the return of a forced repaint of the pane's viewport after the click handler filled it;
// settled_ms goes on until the events the filling posted have been handled, i.e. until the
// window answers again. from_success_ms starts at OnSuccess instead (the close has been seen).
// total_ms is the whole click. ready_mib is the resident size before the first GET; maxrss_mib
// the peak up to the window's answer, before this driver checks the pane. A body longer than
// a pane shows is checked against its first TAnsiText::MaxPaneBytes and the closing line.
// Exits non-zero when a GET failed, the body is not whole, the pane does not hold it, or no
// paint of the pane was processed.
#include <sys/resource.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "app/TAnsiText.h"
#include "app/TForm1.h"
#include "app/TForm2.h"
#include "app/TQtEventBridge.h"

namespace {

using TClock = std::chrono::steady_clock;

double Ms(TClock::time_point From, TClock::time_point To) {
  return std::chrono::duration<double, std::milli>(To - From).count();
}

double ResidentMiB() {
  std::ifstream Statm("/proc/self/statm");
  long Pages = 0, Resident = 0;
  Statm >> Pages >> Resident;
  return static_cast<double>(Resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

double PeakMiB() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return static_cast<double>(Usage.ru_maxrss) / 1024.0;
}

// Counts the paint events the pane's viewport has handled.
class TPaintCounter : public QObject {
 public:
  int Paints = 0;

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::Paint) ++Paints;
    return QObject::eventFilter(Watched, Event);
  }
};

template <class T>
T* Control(QWidget& Window, const char* Name) {
  T* Child = Window.findChild<T*>(Name);
  if (Child == nullptr) {
    std::fprintf(stderr, "the window has no control %s\n", Name);
    std::exit(2);
  }
  return Child;
}

// The pane's text without the line ends the pane adds to very long lines, against the body
// (its part a pane shows, for a long one; the body here is ASCII).
bool PaneHoldsBody(const QPlainTextEdit& Pane, const std::string& Body) {
  QString Text = Pane.toPlainText();
  const std::size_t Shown = std::min(Body.size(), TAnsiText::MaxPaneBytes);
  const std::string_view Part(Body.data(), Shown);
  if (Shown < Body.size()) {
    // The closing line stands on a line of its own.
    const QString Tail =
        "\n" + TAnsiText::LeftOutLine(static_cast<std::int64_t>(Body.size() - Shown));
    if (!Text.endsWith(Tail)) return false;
    Text.chop(Tail.size() - (Part.empty() || Part.back() != '\n' ? 0 : 1));
  }
  if (Part.find_first_of("\r\n") == std::string_view::npos) Text.remove(u'\n');
  const QString Expected = QString::fromUtf8(Part.data(), static_cast<qsizetype>(Part.size()))
                               .replace(QLatin1String("\r\n"), QLatin1String("\n"))
                               .replace(u'\r', u'\n');
  return Text == Expected;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: window_bench URL BYTES [GETS]\n");
    return 2;
  }
  const QString URL = QString::fromLocal8Bit(argv[1]);
  const long long Bytes = std::atoll(argv[2]);
  const int Gets = argc > 3 ? std::atoi(argv[3]) : 1;
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  QApplication App(argc, argv);
  QApplication::setApplicationName("Orrery");
  TQtEventBridge Bridge;
  TForm1 Main;
  Form1 = &Main;
  Main.show();
  TForm2 About;
  Form2 = &About;

  // As a user would: open the "Aller" page, type the URL.
  Control<QTabWidget>(Main, "PageControl1")->setCurrentWidget(Control<QWidget>(Main, "TabSheet1"));
  Control<QLineEdit>(Main, "Edit1")->setText(URL);
  auto* Pane = Control<QPlainTextEdit>(Main, "Memo1");
  auto* Button = Control<QPushButton>(Main, "Button1");
  TPaintCounter Counter;
  Pane->viewport()->installEventFilter(&Counter);

  // Until the window is on screen and has painted once.
  QElapsedTimer Wait;
  Wait.start();
  while ((Main.windowHandle() == nullptr || !Main.windowHandle()->isExposed() ||
          Counter.Paints == 0) &&
         Wait.elapsed() < 10000)
    QApplication::processEvents(QEventLoop::AllEvents, 50);
  if (Counter.Paints == 0) {
    std::fprintf(stderr, "the window was never painted\n");
    return 1;
  }

  // The reply's end, as the window learns it: the last block's progress event, taken before
  // the window's own handlers run; OnSuccess follows once the server's close has been read.
  TClock::time_point LastPacket{}, Success{};
  TVelHTTP& Http = *Main.VelHTTP1;
  auto Recvd = Http.OnPacketRecvd;
  Http.OnPacketRecvd = [&LastPacket, Recvd](TObject* Sender) {
    LastPacket = TClock::now();
    if (Recvd) Recvd(Sender);
  };
  auto Succeeded = Http.OnSuccess;
  Http.OnSuccess = [&Success, Succeeded](CmdType Cmd) {
    Success = TClock::now();
    if (Succeeded) Succeeded(Cmd);
  };

  const double Ready = ResidentMiB();
  int Failed = 0;
  for (int I = 1; I <= Gets; ++I) {
    LastPacket = Success = TClock::time_point{};
    const int PaintsBefore = Counter.Paints;
    const auto Start = TClock::now();
    Button->click();  // returns once the panes are filled
    Pane->viewport()->repaint();
    const auto Shown = TClock::now();
    QApplication::processEvents();
    const auto Settled = TClock::now();
    const double Peak = PeakMiB();

    const bool Whole = Http.ReplyNumber == 200 && static_cast<long long>(Http.Body.size()) == Bytes;
    const bool Painted = Counter.Paints > PaintsBefore;
    const bool Held = Whole && PaneHoldsBody(*Pane, Http.Body);
    if (LastPacket == TClock::time_point{} || Success == TClock::time_point{} || !Painted ||
        !Held) {
      std::fprintf(stderr,
                   "GET %d: status %d, %zu bytes of %lld, progress %s, success %s, painted %s, "
                   "pane holds the body %s; status bar \"%s\"\n",
                   I, Http.ReplyNumber, Http.Body.size(), Bytes,
                   LastPacket == TClock::time_point{} ? "no" : "yes",
                   Success == TClock::time_point{} ? "no" : "yes", Painted ? "yes" : "no",
                   Held ? "yes" : "no", Main.StatusText().toLocal8Bit().constData());
      ++Failed;
      continue;
    }
    std::printf(
        "get=%d bytes=%zu shown_ms=%.1f settled_ms=%.1f from_success_ms=%.1f total_ms=%.1f "
        "pane_chars=%d pane_blocks=%d paints=%d ready_mib=%.1f maxrss_mib=%.1f\n",
        I, Http.Body.size(), Ms(LastPacket, Shown), Ms(LastPacket, Settled), Ms(Success, Shown),
        Ms(Start, Settled), Pane->document()->characterCount(), Pane->document()->blockCount(),
        Counter.Paints - PaintsBefore, Ready, Peak);
    std::fflush(stdout);
  }
  return Failed == 0 ? 0 : 1;
}
