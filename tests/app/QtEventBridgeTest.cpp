// Qt's loop and the platform queue driving each other: platform messages reach their
// windows from Qt's loop, and a component's wait keeps Qt's events flowing without
// burning the CPU.
#include <sys/resource.h>

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include "app/TQtEventBridge.h"
#include "base/TApplication.h"
#include "platform/WinUser.h"
#include "socket/TQuaywire.h"
#include "tests/support/LoopbackPeer.h"

namespace {

int Ticks = 0;

win::LRESULT CountingProc(win::HWND W, win::UINT M, win::WPARAM Wp, win::LPARAM Lp) {
  if (M == win::WM_TIMER || M == win::WM_USER + 1) {
    ++Ticks;
    return 0;
  }
  return win::DefWindowProcA(W, M, Wp, Lp);
}

double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec) +
         static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

}  // namespace

class QtEventBridgeTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    win::WNDCLASSA C;
    C.lpfnWndProc = CountingProc;
    C.lpszClassName = "BridgeTestClass";
    C.hInstance = win::GetModuleHandleA(nullptr);
    QVERIFY(win::RegisterClassA(&C) != 0);
  }

  void platformMessagesArriveThroughQtsLoop() {
    TQtEventBridge Bridge;
    const win::HWND W = win::CreateWindowExA(0, "BridgeTestClass", "", 0, 0, 0, 0, 0, 0, nullptr,
                                             win::GetModuleHandleA(nullptr), nullptr);
    QVERIFY(W != 0);
    Ticks = 0;
    win::PostMessageA(W, win::WM_USER + 1, 0, 0);
    QVERIFY(win::SetTimer(W, 1, 20, nullptr) != 0);
    QTRY_VERIFY_WITH_TIMEOUT(Ticks >= 3, 5000);  // one posted message and timer ticks
    win::DestroyWindow(W);
  }

  void componentWaitKeepsQtEventsFlowing() {
    TQtEventBridge Bridge;
    testsupport::Gate Reply;
    testsupport::LoopbackPeer Peer([&](int Fd) {
      Reply.Wait();
      testsupport::SendAll(Fd, "hello\r\n");
    });
    TOwned<TQuaywire> Q(new TQuaywire(nullptr));
    Q->Host = "127.0.0.1";
    Q->Port = Peer.Port();
    Q->TimeOut = 5000;
    Q->Connect();
    // A Qt timer firing during the ReadLn wait stands for the user's clicks: the reply
    // comes only after it ran.
    int QtTimerRan = 0;
    QTimer::singleShot(50, [&] {
      ++QtTimerRan;
      Reply.Open();
    });
    QCOMPARE(QString::fromStdString(Q->ReadLn()), QString("hello\r\n"));
    QCOMPARE(QtTimerRan, 1);
  }

  void silentWaitUsesNoCpu() {
    TQtEventBridge Bridge;
    testsupport::Gate Done;
    testsupport::LoopbackPeer Peer([&](int) { Done.Wait(); });
    TOwned<TQuaywire> Q(new TQuaywire(nullptr));
    Q->Host = "127.0.0.1";
    Q->Port = Peer.Port();
    Q->TimeOut = 600;
    Q->Connect();
    const double Before = CpuSeconds();
    QElapsedTimer Wall;
    Wall.start();
    QVERIFY_THROWS_EXCEPTION(EAbortError, Q->ReadLn());
    QVERIFY(Wall.elapsed() >= 500);
    // A spinning wait would use the whole 600 ms of a core.
    QVERIFY2(CpuSeconds() - Before < 0.15, "the wait used the CPU");
    Done.Open();
  }
};

QTEST_MAIN(QtEventBridgeTest)
#include "QtEventBridgeTest.moc"
