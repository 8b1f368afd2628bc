// The About dialog and the menu item that shows it: contents (read-only, with the project's
// version), picture, modeless showing, bringing to the front, and hiding with "&Fermer".
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "OrreryVersion.h"
#include "app/TForm1.h"
#include "app/TForm2.h"
#include "app/TQtEventBridge.h"
#include "tests/app/FormTestSupport.h"

class TForm2Test : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TQtEventBridge> Bridge;

 private slots:
  void initTestCase() { Bridge = std::make_unique<TQtEventBridge>(); }
  void cleanupTestCase() { Bridge.reset(); }

  void init() {
    Form2 = new TForm2;
    Form1 = new TForm1;
    Form1->show();
  }
  void cleanup() {
    delete Form1;
    delete Form2;
  }

  void holdsItsContents() {
    QCOMPARE(Form2->windowTitle(), QString("About..."));
    QVERIFY(!Form2->isVisible());  // created hidden
    QCOMPARE(Form2->size(), QSize(393, 195));
    auto* Name = testsupport::Control<QLabel>(Form2, "Label1");
    QCOMPARE(Name->text(), QString("KORVALINDE"));
    QCOMPARE(Name->font().pixelSize(), 24);
    QVERIFY(Name->font().bold());
    auto* Text = testsupport::Control<QPlainTextEdit>(Form2, "Memo1");
    QCOMPARE(Text->geometry(), QRect(0, 32, 265, 161));
    QVERIFY(Text->toPlainText().split("\n\n").size() >= 3);  // a few paragraphs
    // Read-only, and true: it names the version set for the project, and says what is saved.
    QVERIFY(Text->isReadOnly());
    const QString Before = Text->toPlainText();
    Text->setFocus();
    QTest::keyClicks(Text, "typed");
    QTest::keyClick(Text, Qt::Key_Backspace);
    QCOMPARE(Text->toPlainText(), Before);
    QVERIFY(Before.contains(QString("Orrery ") + ORRERY_VERSION + " "));
    QVERIFY(!Before.contains("@"));
    QVERIFY(!Before.contains("sans rien enregistrer"));
    QVERIFY(Before.contains(QString::fromUtf8("« Enregistrer la réponse… » (Ctrl+S)")));
    auto* Picture = testsupport::Control<QLabel>(Form2, "Image1");
    QCOMPARE(Picture->geometry(), QRect(264, 0, 129, 105));
    const QImage Image = Picture->pixmap().toImage();
    QCOMPARE(Image.size(), QSize(132, 100));
    QVERIFY(!Image.hasAlphaChannel());
    QVERIFY(!Picture->hasScaledContents());
    QCOMPARE(testsupport::Control<QPushButton>(Form2, "Button1")->text(), QString("&Fermer"));
    QCOMPARE(Form2->palette().color(QPalette::Window),
             Form2->palette().color(QPalette::HighlightedText));
  }

  void menuShowsItModelessAndFermerHidesIt() {
    auto* Item = testsupport::Control<QAction>(Form1, "Apropos1");
    QCOMPARE(Item->text(), QString("A propos"));
    Item->trigger();
    QVERIFY(Form2->isVisible());
    QVERIFY(!Form2->isModal());
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    // Shown again while visible: still the one dialog, in front.
    Form1->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Form1));
    Item->trigger();
    QVERIFY(QTest::qWaitForWindowActive(Form2));
    int AboutDialogs = 0;
    for (QWidget* Top : QApplication::topLevelWidgets())
      AboutDialogs += qobject_cast<TForm2*>(Top) != nullptr && Top->isVisible() ? 1 : 0;
    QCOMPARE(AboutDialogs, 1);
    testsupport::Control<QPushButton>(Form2, "Button1")->click();
    QVERIFY(!Form2->isVisible());
    Item->trigger();  // and it can be shown again after hiding
    QVERIFY(Form2->isVisible());
  }

  void menuHoldsItsItems_data() {
    QTest::addColumn<QString>("Menu");
    QTest::addColumn<QStringList>("Items");
    // Stopping comes first; the exchange details, the saving of the reply, the HAR export and
    // the opening of a HAR follow it, set apart from quitting.
    QTest::newRow("Fichier1") << "Fichier1"
                              << QStringList{QString::fromUtf8("&Arrêter"),
                                             QString::fromUtf8("Détails de l'échange…"),
                                             QString::fromUtf8("Enregistrer la réponse…"),
                                             QString::fromUtf8("Exporter en HAR…"),
                                             QString::fromUtf8("Ouvrir un HAR…"), "",
                                             "&Quitter"};
    QTest::newRow("N1") << "N1" << QStringList{"A propos"};
  }
  void menuHoldsItsItems() {
    QFETCH(QString, Menu);
    QFETCH(QStringList, Items);
    auto* M = testsupport::Control<QMenu>(Form1, Menu.toLatin1().constData());
    QStringList Texts;
    for (QAction* A : M->actions()) Texts << A->text();
    QCOMPARE(Texts, Items);
    QCOMPARE(M->title(), Menu == "N1" ? QString("&?") : QString("&Fichier"));
    if (Menu == "Fichier1") QCOMPARE(M->actions()[0]->shortcut(), QKeySequence(Qt::Key_Escape));
  }
};

QTEST_MAIN(TForm2Test)
#include "TForm2Test.moc"
