// The glue between Qt's event loop and the platform queue.
#include "app/TQtEventBridge.h"

#include "app/TAnsiText.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>

#include "base/TApplication.h"
#include "platform/MessageQueue.h"

TQtEventBridge::TQtEventBridge(QObject* Parent) : QObject(Parent) {
  FNotifier = new QSocketNotifier(win::QueuePollFd(), QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, &TQtEventBridge::QueueReadable);

  Application.OnProcessMessages = [] {
    // Platform messages first: their harvest leaves the queue's fd quiet, so the
    // notifier does not fire again inside processEvents.
    win::DispatchAll();
    QCoreApplication::processEvents();
  };
  Application.OnWaitForEvent = [](int TimeoutMs) {
    if (win::HasPending()) return;
    QTimer Limit;
    if (TimeoutMs >= 0) {
      Limit.setSingleShot(true);
      Limit.start(TimeoutMs);  // its timeout event ends the wait
    }
    // Returns after Qt has handled at least one event: a GUI event, a timer, or the
    // notifier on the queue's fd (which dispatches the platform messages).
    QEventLoop Loop;
    Loop.processEvents(QEventLoop::WaitForMoreEvents);
  };
  // A message may quote what the user typed (UTF-8) as well as the components' own texts
  // (Windows-1252), and a server's text (a Location it sent); it is shown as plain text,
  // whatever markup or bidirectional controls it quotes.
  Application.OnException = [](const std::string& Message) {
    QMessageBox Box(QMessageBox::Critical, QCoreApplication::applicationName(),
                    TAnsiText::ForMessage(Message), QMessageBox::Ok);
    Box.setTextFormat(Qt::PlainText);
    Box.exec();
  };
}

TQtEventBridge::~TQtEventBridge() {
  Application.OnProcessMessages = nullptr;
  Application.OnWaitForEvent = nullptr;
  Application.OnException = nullptr;
}

void TQtEventBridge::QueueReadable() { win::DispatchAll(); }
