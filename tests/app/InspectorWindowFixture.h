// The ground of the two inspector suites: a fresh main window (and its about box) for each
// case, the Qt event bridge, a scratch folder, names that never reach a real DNS, and the
// steps their cases share: a request run by its button under a tripwire, one reply served and
// fetched, the details window opened from the menu, a file dialog answered with a path.
#pragma once

#include <arpa/inet.h>

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/TExchangeDetails.h"
#include "app/TForm1.h"
#include "app/TForm2.h"
#include "app/TQtEventBridge.h"
#include "platform/WinSock.h"
#include "tests/app/FormTestSupport.h"
#include "tests/http/ScriptedHttpServer.h"

class InspectorWindowTest : public QObject {
  Q_OBJECT

 protected:
  TForm1* Form = nullptr;
  QTemporaryDir Scratch;

  template <class T>
  T* W(const char* Name) {
    return testsupport::Control<T>(Form, Name);
  }

  // Runs the request of a page by its button; false when the tripwire had to end it.
  bool Run(const char* Button) {
    testsupport::Tripwire Wire(10000, [this] { Form->VelHTTP1->Abort(); });
    W<QPushButton>(Button)->click();
    return !Wire.Tripped;
  }
  bool Get(const QString& Url) {
    W<QLineEdit>("Edit1")->setText(Url);
    return Run("Button1");
  }

  // Gets "/page" from a server on Host that answers the one request with Reply.
  bool GetReply(const std::string& Reply, const char* Host = "127.0.0.1") {
    testsupport::ScriptedHttpServer Server({testsupport::Whole(Reply)});
    return Get(testsupport::Url(Host, Server.Port()));
  }

  TExchangeDetails* OpenDetails() {
    W<QAction>("DetailsEchange1")->trigger();
    return Form->findChild<TExchangeDetails*>("ExchangeDetails");
  }

  // "Ouvrir un HAR…" on Path: the inspector, once the worker has read the file and any box
  // about it was answered.
  TExchangeDetails* OpenHar(const QString& Path) {
    Form->OpenHar(Path);
    auto* Details = Form->findChild<TExchangeDetails*>("ExchangeDetails");
    if (Details == nullptr || !QTest::qWaitFor([Details] { return !Details->Opening(); }, 30000))
      return nullptr;
    return Details;
  }

  // An answer to the dialogs of a save: the file dialog gets Path, any other is accepted.
  // Until the file dialog has read its folder the name typed may not stick, and it stays
  // open for the answerer to come back.
  // selectFile leaves the name box alone once the box has the focus, and a change of folder
  // may have emptied it: then the name is typed into the box itself.
  static void SaveAs(QDialog* D, const QString& Path) {
    auto* Files = qobject_cast<QFileDialog*>(D);
    if (Files != nullptr) Files->selectFile(Path);
    auto* Name = Files != nullptr ? Files->findChild<QLineEdit*>("fileNameEdit") : nullptr;
    if (Name != nullptr && Files->selectedFiles() != QStringList{Path} &&
        Files->directory() == QFileInfo(Path).dir())
      Name->setText(QFileInfo(Path).fileName());
    if (Files == nullptr || Files->selectedFiles() == QStringList{Path}) D->accept();
  }

  static std::string FileBytes(const QString& Name) {
    std::ifstream In(Name.toStdString(), std::ios::binary);
    std::ostringstream All;
    All << In.rdbuf();
    return All.str();
  }

 private slots:
  void initTestCase() {
    QApplication::setApplicationName("Orrery");
    Bridge = std::make_unique<TQtEventBridge>();
    QVERIFY(Scratch.isValid());
  }
  void cleanupTestCase() { Bridge.reset(); }

  // "localhost" is the loopback and every other name is unknown; a case may put its own
  // resolver in for its run.
  void init() {
    win::SetResolver(
        [](const std::string& Name, std::vector<std::uint32_t>& Addrs, std::string& Canonical) {
          if (Name != "localhost") return 11001;
          Addrs.push_back(htonl(INADDR_LOOPBACK));
          Canonical = Name;
          return 0;
        });
    About = new TForm2;
    Form2 = About;
    Form = new TForm1;
    Form1 = Form;
    Form->show();
  }
  void cleanup() {
    delete Form;
    delete About;
    win::SetResolver(nullptr);
  }

 private:
  TForm2* About = nullptr;
  std::unique_ptr<TQtEventBridge> Bridge;
};
