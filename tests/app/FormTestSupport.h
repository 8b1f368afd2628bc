// Helpers for driving the windows from QtTest: answering modal dialogs as they appear, and a
// tripwire that ends a request the test would otherwise wait on for ever.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <functional>

namespace testsupport {

// The child control Name of Parent; a missing one ends the run, as every later step of the
// test would fail on it.
template <class T>
T* Control(QObject* Parent, const char* Name) {
  T* Child = Parent->findChild<T*>(Name);
  if (Child == nullptr) qFatal("no control %s", Name);
  return Child;
}

// "http://Host:Port" followed by Path.
inline QString Url(const char* Host, std::uint16_t Port, const char* Path = "/page") {
  return QString("http://%1:%2%3").arg(Host).arg(Port).arg(Path);
}

// What a modal dialog showed.
struct SeenDialog {
  QString Kind;   // "message" (a box, or a dialog with a text property), "input", a class name
  QString Title;  // window title
  QString Text;   // message text or input prompt
};

// Watches for modal dialogs while the test is inside a request (the request's waits keep
// Qt's loop running) and answers each one through Answer; the default accepts. A dialog still
// open a while after its answer (a file dialog can refuse an accept while it is still reading
// its folder) is answered again, and after ten seconds rejected, so that the test fails
// instead of waiting for ever; Seen lists each dialog once.
class ModalAnswerer : public QObject {
 public:
  std::function<void(QDialog*)> Answer = [](QDialog* D) { D->accept(); };
  QList<SeenDialog> Seen;

  ModalAnswerer() {
    FPoll.setInterval(5);
    QObject::connect(&FPoll, &QTimer::timeout, this, [this] { Poll(); });
    FPoll.start();
  }

 private:
  static constexpr int RetryTicks = 50;  // 250 ms at 5 ms a tick
  static constexpr int GiveUpTicks = 2000;

  void Poll() {
    auto* D = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (D == nullptr || !D->isVisible()) return;
    if (D->property("answered").toBool()) {
      const int Ticks = D->property("answerTicks").toInt() + 1;
      D->setProperty("answerTicks", Ticks);
      if (Ticks >= GiveUpTicks)
        D->reject();
      else if (Ticks % RetryTicks == 0)
        Answer(D);
      return;
    }
    D->setProperty("answered", true);
    SeenDialog S;
    S.Title = D->windowTitle();
    if (auto* Box = qobject_cast<QMessageBox*>(D)) {
      S.Kind = "message";
      S.Text = Box->text();
    } else if (auto* Input = qobject_cast<QInputDialog*>(D)) {
      S.Kind = "input";
      S.Text = Input->labelText();
    } else if (D->metaObject()->indexOfProperty("text") >= 0) {
      // A message of the window's own make (the cookie's) that holds its text as a box would.
      S.Kind = "message";
      S.Text = D->property("text").toString();
    } else {
      S.Kind = D->metaObject()->className();
    }
    Seen.append(S);
    Answer(D);
  }

  QTimer FPoll;
};

// Calls Trip once after Limit unless disarmed first; Tripped says whether it did.
class Tripwire : public QObject {
 public:
  Tripwire(int LimitMs, std::function<void()> Trip) : FTrip(std::move(Trip)) {
    FTimer.setSingleShot(true);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this] {
      Tripped = true;
      if (auto* D = QApplication::activeModalWidget()) D->close();
      FTrip();
    });
    FTimer.start(LimitMs);
  }
  bool Tripped = false;

 private:
  std::function<void()> FTrip;
  QTimer FTimer;
};

}  // namespace testsupport
