// Helpers for driving the windows from QtTest: answering modal dialogs as they appear, a
// tripwire that ends a request the test would otherwise wait on for ever, and the ground the
// main window's suites stand on.
#pragma once

#include <arpa/inet.h>

#include <QApplication>
#include <QDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/TForm1.h"
#include "app/TForm2.h"
#include "app/TQtEventBridge.h"
#include "platform/WinSock.h"

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

// A suite of the main window: a fresh window (and its about box) for each case, shown and
// active, with every status bar report it makes; the Qt event bridge; names looked up by the
// suite's own resolver, never a real DNS; and requests started as a person would.
class MainWindowTest : public QObject {
  Q_OBJECT

 protected:
  TForm1* Form = nullptr;
  TForm2* About = nullptr;
  QStringList Reports;  // every status bar report of the current case

  template <class T>
  T* W(const char* Name) {
    return Control<T>(Form, Name);
  }
  QLineEdit* Edit(const char* Name) { return W<QLineEdit>(Name); }
  QString Text(const char* Memo) { return W<QPlainTextEdit>(Memo)->toPlainText(); }

  // Starts a page's request by Control (a button is clicked, Enter is pressed in a box) and
  // returns when it is over, a ModalAnswerer of the case taking its dialogs meanwhile; false
  // when the tripwire had to abort a request that hung.
  bool Run(const QString& Control) {
    Tripwire Wire(15000, [this] { Form->VelHTTP1->Abort(); });
    const QByteArray Name = Control.toLatin1();
    if (Control.startsWith("Button")) {
      W<QPushButton>(Name.constData())->click();
    } else {
      QLineEdit* Box = Edit(Name.constData());
      Box->setFocus();
      QTest::keyClick(Box, Qt::Key_Return);
    }
    return !Wire.Tripped;
  }
  bool Get(const QString& Url) {
    Edit("Edit1")->setText(Url);
    return Run("Button1");
  }

  // The names the cases may look up: "localhost" is the loopback, no other name is known.
  virtual win::Resolver Names() {
    return Loopback([](const std::string& Name) { return Name == "localhost"; });
  }
  // A resolver that gives the loopback for each name Known takes and knows no other.
  static win::Resolver Loopback(bool (*Known)(const std::string&)) {
    return [Known](const std::string& Name, std::vector<std::uint32_t>& Addrs,
                   std::string& Canonical) {
      if (!Known(Name)) return 11001;
      Addrs.push_back(htonl(INADDR_LOOPBACK));
      Canonical = Name;
      return 0;
    };
  }
  // What a suite starts before its first case and ends after its last (its servers).
  virtual void StartSuite() {}
  virtual void EndSuite() {}

 private slots:
  void initTestCase() {
    QApplication::setApplicationName("Orrery");
    FBridge = std::make_unique<TQtEventBridge>();
    win::SetResolver(Names());
    StartSuite();
  }
  void cleanupTestCase() {
    EndSuite();
    win::SetResolver(nullptr);
    FBridge.reset();
  }
  void init() {
    About = new TForm2;
    Form2 = About;
    Form = new TForm1;
    Form1 = Form;
    Reports.clear();
    connect(Form, &TForm1::StatusTextChanged, this, [this](const QString& T) { Reports << T; });
    Form->show();
    Form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Form));
  }
  void cleanup() {
    delete Form;
    delete About;
    QCOMPARE(Form1, nullptr);
    QCOMPARE(Form2, nullptr);
  }

 private:
  std::unique_ptr<TQtEventBridge> FBridge;
};

}  // namespace testsupport
