// The main window driven as a person would, against scripted loopback servers: the request
// actions and their panes, the status bar reports, the dialogs, stopping, closing and the menu.
#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QToolButton>
#include <QtTest>

#include "app/TAnsiText.h"
#include "tests/app/FormTestSupport.h"
#include "tests/http/ScriptedHttpServer.h"
#include "tests/support/LoopbackPeer.h"

using namespace testsupport;

namespace {

const QStringList MemoNames{"Memo1", "Memo2", "Memo3", "Memo4", "Memo5"};
const QString Old = "old text";

QString Lf(QString Text) { return Text.replace("\r\n", "\n"); }

}  // namespace

class TForm1Test : public MainWindowTest {
  Q_OBJECT

 private:
  std::shared_ptr<Gate> SlowLookup = std::make_shared<Gate>();

  QPlainTextEdit* Memo(const QString& Name) {
    return W<QPlainTextEdit>(Name.toLatin1().constData());
  }

  void FillMemos() {
    for (const QString& M : MemoNames) Memo(M)->setPlainText(Old);
  }
  QStringList MemoTexts() {
    QStringList Texts;
    for (const QString& M : MemoNames) Texts << Memo(M)->toPlainText();
    return Texts;
  }
  // Every named control's geometry, with each page laid out by showing it in turn.
  QHash<QString, QRect> Geometries() {
    auto* Pages = W<QTabWidget>("PageControl1");
    const int Current = Pages->currentIndex();
    for (int I = 0; I < Pages->count(); ++I) {
      Pages->setCurrentIndex(I);
      QCoreApplication::processEvents();
    }
    Pages->setCurrentIndex(Current);
    QHash<QString, QRect> All;
    for (QWidget* C : Form->findChildren<QWidget*>())
      if (!C->objectName().isEmpty()) All[C->objectName()] = C->geometry();
    return All;
  }
  // "slow.test" stands for a name server that does not answer until the case lets it.
  win::Resolver Names() override {
    return [Slow = SlowLookup, Known = MainWindowTest::Names()](
               const std::string& Name, std::vector<std::uint32_t>& Addrs, std::string& Canonical) {
      if (Name == "slow.test") Slow->Wait();
      return Known(Name, Addrs, Canonical);
    };
  }
  void EndSuite() override { SlowLookup->Open(); }

 private slots:
  // --- The window as it starts ------------------------------------------------------------

  void startsOnHeadExampleWithStoredSettings() {
    auto* Pages = W<QTabWidget>("PageControl1");
    QCOMPARE(Form->windowTitle(), QString("Orrery 1.00"));
    QStringList Titles, Names;
    for (int I = 0; I < Pages->count(); ++I) {
      Titles << Pages->tabText(I);
      Names << Pages->widget(I)->objectName();
    }
    QCOMPARE(Titles,
             (QStringList{"Informations sur HEAD", "Aller", "Post Example", "Head Example"}));
    QCOMPARE(Names, (QStringList{"TabSheet4", "TabSheet1", "TabSheet2", "TabSheet3"}));
    QCOMPARE(Pages->currentWidget()->objectName(), QString("TabSheet3"));
    QCOMPARE(Pages->size(), QSize(492, 291));
    QCOMPARE(W<QStatusBar>("StatusBar1")->height(), 23);
    QCOMPARE(Form->StatusText(), QString());
    for (const QString& M : MemoNames) {
      QVERIFY(Memo(M)->toPlainText().isEmpty());
      QVERIFY(!Memo(M)->isReadOnly());
      QCOMPARE(Memo(M)->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    }
    QCOMPARE(Edit("Edit10")->echoMode(), QLineEdit::Normal);  // the password shows as typed
    QVERIFY(!W<QCheckBox>("CheckBox1")->isChecked());
    QVERIFY(!W<QAction>("Arreter1")->isEnabled());
    TVelHTTP* H = Form->VelHTTP1;
    QCOMPARE(H->Port, 0);
    QCOMPARE(H->TimeOut, 0);
    QCOMPARE(H->ReportLevel, 0);
    QCOMPARE(H->ProxyPort, 0);
    QCOMPARE(QString::fromStdString(H->Body), QString("Default.htm"));
    QCOMPARE(QString::fromStdString(H->Header), QString("Head.txt"));
    QVERIFY(!H->InputFileMode && !H->OutputFileMode);
    QVERIFY(!H->OnAboutToSend && !H->OnRedirect && !H->OnAuthenticationNeeded);
    // Qt's own dialogs (the file choosers) speak French with the window.
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Look in:"), QString("Voir dans :"));
  }

  void controlsSitWhereStored_data() {
    QTest::addColumn<QString>("Name");
    QTest::addColumn<QString>("Caption");
    // An empty size is not compared; a negative top counts from the bottom of the page, where
    // the docked panes stack up.
    QTest::addColumn<QRect>("Geometry");
    QTest::newRow("Edit5") << "Edit5"
                           << "" << QRect(85, 27, 121, 21);
    QTest::newRow("Edit6") << "Edit6"
                           << "" << QRect(85, 51, 121, 21);
    QTest::newRow("Edit7") << "Edit7"
                           << "" << QRect(85, 75, 121, 21);
    QTest::newRow("Edit8") << "Edit8"
                           << "" << QRect(85, 99, 121, 21);
    QTest::newRow("Edit9") << "Edit9"
                           << "" << QRect(85, 123, 121, 21);
    QTest::newRow("Edit10") << "Edit10"
                            << "" << QRect(85, 147, 121, 21);
    QTest::newRow("Edit11") << "Edit11"
                            << "" << QRect(264, 43, 121, 21);
    // The port box is as wide as five digits need (portBoxShowsFiveDigits).
    QTest::newRow("Edit12") << "Edit12"
                            << "" << QRect(264, 82, -1, 21);
    QTest::newRow("CheckBox1") << "CheckBox1"
                               << "Utiliser un serveur prowy" << QRect(272, 8, 0, 0);
    QTest::newRow("Edit1") << "Edit1"
                           << "" << QRect(8, 10, 217, 21);
    QTest::newRow("Button1") << "Button1"
                             << "Aller !" << QRect(228, 8, 75, 17);
    QTest::newRow("SpeedButton1") << "SpeedButton1"
                                  << "" << QRect(339, 24, 9, 9);
    QTest::newRow("Edit2") << "Edit2"
                           << "" << QRect(61, 10, 164, 21);
    QTest::newRow("Edit3") << "Edit3"
                           << "" << QRect(61, 35, 164, 21);
    QTest::newRow("Button2") << "Button2"
                             << "&Envoyer" << QRect(234, 24, 75, 22);
    QTest::newRow("SpeedButton2") << "SpeedButton2"
                                  << "" << QRect(338, 56, 9, 9);
    QTest::newRow("Edit4") << "Edit4"
                           << "" << QRect(8, 16, 209, 21);
    QTest::newRow("Button3") << "Button3"
                             << "Go !" << QRect(224, 16, 75, 17);
    QTest::newRow("SpeedButton3") << "SpeedButton3"
                                  << "" << QRect(339, 24, 9, 9);
    QTest::newRow("Panel1") << "Panel1"
                            << "" << QRect(0, 0, 0, 41);
    QTest::newRow("Panel2") << "Panel2"
                            << "" << QRect(0, 0, 0, 73);
    QTest::newRow("Panel3") << "Panel3"
                            << "" << QRect(0, 0, 0, 41);
    QTest::newRow("Memo1") << "Memo1"
                           << "" << QRect(0, -104, 0, 104);
    QTest::newRow("Memo2") << "Memo2"
                           << "" << QRect(0, -188, 0, 58);
    QTest::newRow("Memo3") << "Memo3"
                           << "" << QRect(0, -86, 0, 73);
    QTest::newRow("Memo4") << "Memo4"
                           << "" << QRect(0, -155, 0, 56);
    QTest::newRow("Label2") << "Label2"
                            << "Corps du document" << QRect(0, -117, 0, 13);
    QTest::newRow("Label3") << "Label3"
                            << "HEAD doc" << QRect(0, -130, 0, 13);
    QTest::newRow("Label6") << "Label6"
                            << "Document Body" << QRect(0, -13, 0, 13);
    QTest::newRow("Label7") << "Label7"
                            << "Document Header" << QRect(0, -99, 0, 13);
    QTest::newRow("Label12") << "Label12"
                             << "Header Retrieved" << QRect(0, 41, 0, 13);
    QTest::newRow("Label19") << "Label19"
                             << "Request Header Information" << QRect(80, 4, 0, 0);
    QTest::newRow("Label8") << "Label8"
                            << "Effacer Memos" << QRect(313, 8, 0, 0);
    QTest::newRow("Label9") << "Label9"
                            << "Clear Memos" << QRect(313, 40, 0, 0);
    QTest::newRow("Label11") << "Label11"
                             << "Clear Memo" << QRect(313, 8, 0, 0);
  }
  void controlsSitWhereStored() {
    QFETCH(QString, Name);
    QFETCH(QString, Caption);
    QFETCH(QRect, Geometry);
    // Pages lay out their docked controls when shown.
    auto* Pages = W<QTabWidget>("PageControl1");
    for (int I = 0; I < Pages->count(); ++I) {
      Pages->setCurrentIndex(I);
      QCoreApplication::processEvents();
    }
    QWidget* C = W<QWidget>(Name.toLatin1().constData());
    if (!Caption.isEmpty()) QCOMPARE(C->property("text").toString(), Caption);
    const int Top = Geometry.y() < 0 ? C->parentWidget()->height() + Geometry.y() : Geometry.y();
    QCOMPARE(C->pos(), QPoint(Geometry.x(), Top));
    if (Geometry.width() > 0) QCOMPARE(C->width(), Geometry.width());
    if (Geometry.height() > 0) QCOMPARE(C->height(), Geometry.height());
    if (Geometry.width() == 0 && Geometry.height() > 0)
      QCOMPARE(C->width(), C->parentWidget()->width());
  }

  void tabWalksTheSettingsInOrder() {
    W<QTabWidget>("PageControl1")->setCurrentIndex(0);
    Edit("Edit5")->setFocus();
    QStringList Walk{QApplication::focusWidget()->objectName()};
    for (int I = 0; I < 8; ++I) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      Walk << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(Walk, (QStringList{"Edit5", "Edit6", "Edit7", "Edit8", "Edit9", "Edit10", "CheckBox1",
                                "Edit11", "Edit12"}));
  }

  // Five digits of a port show whole: the text does not scroll when the cursor goes past them.
  void portBoxShowsFiveDigits() {
    W<QTabWidget>("PageControl1")->setCurrentIndex(0);
    QLineEdit* Port = Edit("Edit12");
    Port->setText("88888");
    Port->setCursorPosition(0);
    Port->grab();  // a line edit scrolls its text as it paints
    const auto Cursor = [Port] { return Port->inputMethodQuery(Qt::ImCursorRectangle).toRect(); };
    const int Home = Cursor().center().x();
    Port->setCursorPosition(5);
    Port->grab();
    const int End = Cursor().center().x();
    QVERIFY2(qAbs(End - Home - Port->fontMetrics().horizontalAdvance("88888")) <= 1,
             qPrintable(QString("%1 to %2 in a box of %3").arg(Home).arg(End).arg(Port->width())));
    QVERIFY(End < Port->width());
    QCOMPARE(Port->geometry().topLeft(), QPoint(264, 82));
  }

  void pagesFollowTheWindowSize_data() {
    QTest::addColumn<QSize>("Growth");  // asked of the window beyond its stored size
    QTest::newRow("stored size") << QSize(0, 0);
    QTest::newRow("1000 x 780") << QSize(500, 420);
    QTest::newRow("wider only") << QSize(300, 0);
    QTest::newRow("taller only") << QSize(0, 200);
    QTest::newRow("one pixel taller") << QSize(0, 1);
    QTest::newRow("three pixels taller") << QSize(1, 3);
    QTest::newRow("smaller than stored") << QSize(-200, -150);
    QTest::newRow("narrower, taller") << QSize(-100, 50);
  }
  void pagesFollowTheWindowSize() {
    QFETCH(QSize, Growth);
    const QHash<QString, QRect> Stored = Geometries();
    Form->resize(Form->StoredSize() + Growth);
    // Never smaller than stored: below, a caption would have to overlap a pane.
    const QSize Grown(std::max(Growth.width(), 0), std::max(Growth.height(), 0));
    QCOMPARE(Form->size(), Form->StoredSize() + Grown);
    const QHash<QString, QRect> Now = Geometries();
    QCOMPARE(Now["PageControl1"].size(), Stored["PageControl1"].size() + Grown);
    QCOMPARE(Now["StatusBar1"].height(), 23);

    // The URL and data boxes take the extra width; what stands right of them moves along;
    // the settings page stays as stored.
    for (const char* Box : {"Edit1", "Edit2", "Edit3", "Edit4"})
      QCOMPARE(Now[Box], Stored[Box].adjusted(0, 0, Grown.width(), 0));
    for (const char* Right : {"Button1", "Label8", "SpeedButton1", "Button2", "Label9",
                              "SpeedButton2", "Button3", "Label11", "SpeedButton3"})
      QCOMPARE(Now[Right], Stored[Right].translated(Grown.width(), 0));
    for (const char* Setting : {"Edit5", "Edit10", "Edit11", "Edit12", "CheckBox1", "Label18"})
      QCOMPARE(Now[Setting], Stored[Setting]);

    // Top to bottom, each page is tiled by its docked controls, each as wide as the page.
    // The panes share the extra height in proportion to their stored heights; captions and
    // the empty strip ("") keep theirs.
    const QList<QStringList> Pages{{"Panel1", "", "Memo2", "Label3", "Label2", "Memo1"},
                                   {"Panel2", "", "Memo4", "Label7", "Memo3", "Label6"},
                                   {"Panel3", "Label12", "Memo5"}};
    for (const QStringList& Docked : Pages) {
      const QString Page = W<QWidget>(qPrintable(Docked[0]))->parentWidget()->objectName();
      int Y = 0, Weights = 0, Given = 0;
      for (const QString& Name : Docked)
        if (Name.startsWith("Memo")) Weights += Stored[Name].height();
      for (qsizetype I = 0; I < Docked.size(); ++I) {
        const QString& Name = Docked[I];
        if (Name.isEmpty()) {
          const int Gap = Now[Docked[I + 1]].y() - Y;
          QCOMPARE(Gap, Stored[Docked[I + 1]].y() - Stored[Docked[I - 1]].bottom() - 1);
          Y += Gap;
          continue;
        }
        QCOMPARE(Now[Name].y(), Y);
        QCOMPARE(Now[Name].width(), Now[Page].width());
        const int Extra = Now[Name].height() - Stored[Name].height();
        if (Name.startsWith("Memo")) {
          const double Share = double(Grown.height()) * Stored[Name].height() / Weights;
          QVERIFY2(qAbs(Extra - Share) < 1, qPrintable(QString("%1: %2").arg(Name).arg(Extra)));
          Given += Extra;
        } else {
          QCOMPARE(Extra, 0);
        }
        Y += Now[Name].height();
      }
      QCOMPARE(Y, Now[Page].height());
      QCOMPARE(Given, Grown.height());
    }
  }

  void hintsShowOnlyWhereThePanelShowsThem() {
    QCOMPARE(W<QToolButton>("SpeedButton1")->toolTip(), QString("Clear Body & Header Fields"));
    QCOMPARE(W<QToolButton>("SpeedButton2")->toolTip(), QString());
    QCOMPARE(W<QToolButton>("SpeedButton3")->toolTip(), QString("Clear Body & Header Fields"));
  }

  // --- Request actions --------------------------------------------------------------------

  void requestFillsItsPanes_data() {
    QTest::addColumn<QString>("Trigger");  // the button, or the box Enter is pressed in
    QTest::addColumn<QString>("UrlBox");
    QTest::addColumn<QString>("Reply");
    QTest::addColumn<QString>("RequestStart");
    QTest::addColumn<QStringList>("Panes");  // Memo1..Memo5 afterwards; "B"ody, "H"eader
    QTest::addColumn<QString>("CookieBox");  // the message shown, empty for none
    const QString Plain = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nthe body";
    const QString Cookie = "HTTP/1.0 200 OK\r\nSet-Cookie: sid=A1b2; path=/\r\n\r\nthe body";
    const QString Bidi = "HTTP/1.0 200 OK\r\nSet-Cookie: id=\u202Egpj.exe\r\n\r\nok\u2067";
    const QStringList Get{"B", "H", Old, Old, Old}, Post{Old, Old, "H", "B", Old},
        Head{Old, Old, Old, Old, "H"};
    QTest::newRow("GET") << "Button1"
                         << "Edit1" << Plain << "GET /page HTTP/1.0\r\n"
                         << Get << "";
    QTest::newRow("GET by Enter") << "Edit1"
                                  << "Edit1" << Plain << "GET /page HTTP/1.0\r\n"
                                  << Get << "";
    QTest::newRow("GET, cookie") << "Button1"
                                 << "Edit1" << Cookie << "GET /page HTTP/1.0\r\n"
                                 << Get << "Cookie:\nsid=A1b2; path=/";
    QTest::newRow("GET, bidirectional controls shown as marks")
        << "Button1"
        << "Edit1" << Bidi << "GET /page HTTP/1.0\r\n"
        << QStringList{"ok<U+2067>", "HTTP/1.0 200 OK\nSet-Cookie: id=<U+202E>gpj.exe\n\n", Old,
                       Old, Old}
        << "Cookie:\nid=<U+202E>gpj.exe";
    QTest::newRow("POST") << "Button2"
                          << "Edit2" << Plain << "POST /page HTTP/1.0\r\n"
                          << Post << "";
    QTest::newRow("POST by Enter in data") << "Edit3"
                                           << "Edit2" << Plain << "POST /page HTTP/1.0\r\n"
                                           << Post << "";
    QTest::newRow("POST, cookie") << "Button2"
                                  << "Edit2" << Cookie << "POST /page HTTP/1.0\r\n"
                                  << Post << "";
    QTest::newRow("HEAD") << "Button3"
                          << "Edit4" << Plain << "HEAD /page HTTP/1.0\r\n"
                          << Head << "";
    QTest::newRow("HEAD by Enter") << "Edit4"
                                   << "Edit4" << Plain << "HEAD /page HTTP/1.0\r\n"
                                   << Head << "";
    QTest::newRow("HEAD, cookie") << "Button3"
                                  << "Edit4" << Cookie << "HEAD /page HTTP/1.0\r\n"
                                  << Head << "";
  }
  void requestFillsItsPanes() {
    QFETCH(QString, Trigger);
    QFETCH(QString, UrlBox);
    QFETCH(QString, Reply);
    QFETCH(QString, RequestStart);
    QFETCH(QStringList, Panes);
    QFETCH(QString, CookieBox);
    ScriptedHttpServer Server({Whole(Reply.toStdString())});
    FillMemos();
    Edit(UrlBox.toLatin1().constData())->setText(Url("127.0.0.1", Server.Port()));
    Edit("Edit3")->setText("a b=c&d");
    Edit("Edit5")->setText("k=v");
    Edit("Edit9")->setText("user");
    Edit("Edit10")->setText("secret");
    Edit("Edit7")->setText(QString::fromUtf8("Orrery é€Ж"));  // Ж has no Windows-1252 byte
    ModalAnswerer Answerer;
    QVERIFY(Run(Trigger));

    const QString HeaderPart = Lf(Reply.left(Reply.indexOf("\r\n\r\n") + 4));
    const QString BodyPart = Reply.mid(Reply.indexOf("\r\n\r\n") + 4);
    QStringList Expected;
    for (const QString& P : Panes) Expected << (P == "B" ? BodyPart : P == "H" ? HeaderPart : P);
    QCOMPARE(MemoTexts(), Expected);

    QCOMPARE(Server.Requests().size(), std::size_t{1});
    const QString Sent = QString::fromStdString(Server.Requests()[0]);
    QVERIFY2(Sent.startsWith(RequestStart), qPrintable(Sent));
    QVERIFY(Sent.contains("\r\nCookie: k=v\r\n"));
    // Typed text goes out as UTF-8, Ж (which Windows-1252 lacks) included.
    QVERIFY(Server.Requests()[0].find("\r\nUser-Agent: Orrery \xC3\xA9\xE2\x82\xAC\xD0\x96\r\n") !=
            std::string::npos);
    QVERIFY(Sent.contains("\r\nAuthorization: Basic dXNlcjpzZWNyZXQ=\r\n"));
    if (RequestStart.startsWith("POST")) QVERIFY(Sent.endsWith("\r\n\r\na+b=c&d"));

    if (CookieBox.isEmpty()) {
      QCOMPARE(Answerer.Seen.size(), 0);
    } else {
      QCOMPARE(Answerer.Seen.size(), 1);
      QCOMPARE(Answerer.Seen[0].Kind, QString("message"));
      QCOMPARE(Answerer.Seen[0].Text, CookieBox);
    }
    QVERIFY(!Form->RequestRunning());
    QVERIFY(!W<QAction>("Arreter1")->isEnabled());
  }

  void paneShowsTheBytesReceived_data() {
    QTest::addColumn<QByteArray>("Body");
    QTest::addColumn<QString>("Shown");
    QTest::newRow("UTF-8") << QByteArray("caf\xC3\xA9 \xE2\x82\xAC") << QString::fromUtf8("café €");
    QTest::newRow("Windows-1252") << QByteArray("caf\xE9 \x80\x93") << QString::fromUtf8("café €“");
    QTest::newRow("NUL inside") << QByteArray("before\0after", 12)
                                << QString("before") + QChar(0) + "after";
    QTest::newRow("NUL and 1252") << QByteArray("\0\xE9", 2)
                                  << QString(QChar(0)) + QString::fromUtf8("é");
    QTest::newRow("BOM kept") << QByteArray("\xEF\xBB\xBFx") << QString(QChar(0xFEFF)) + "x";
    QTest::newRow("one long line") << QByteArray(100000, 'x') << QString(100000, 'x');
    QByteArray Faces("x");  // so that a pair straddles the piece boundary
    for (int I = 0; I < 20001; ++I) Faces += "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
    QTest::newRow("long line of surrogate pairs") << Faces << QString::fromUtf8(Faces);
    QTest::newRow("3 MB without a line end")
        << QByteArray(3 * 1024 * 1024, 'y') << QString(3 * 1024 * 1024, 'y');
    // More lines than the pane gives a block each.
    QTest::newRow("many short CR LF lines")
        << QByteArray("ab\r\n").repeated(300000) << QString("ab\n").repeated(300000);
    QTest::newRow("many empty lines") << QByteArray(500000, '\n') << QString(500000, '\n');
    QTest::newRow("many lines, lone CRs among them")
        << QByteArray("a\rb\n").repeated(200000) << QString("a\nb\n").repeated(200000);
  }
  void paneShowsTheBytesReceived() {
    QFETCH(QByteArray, Body);
    QFETCH(QString, Shown);
    ScriptedHttpServer Server({Whole("HTTP/1.0 200 OK\r\n\r\n" + Body.toStdString())});
    ModalAnswerer Answerer;
    QVERIFY(Get(Url("127.0.0.1", Server.Port())));
    QString Text = Memo("Memo1")->toPlainText();
    for (qsizetype I = Text.indexOf('\n'); I >= 0; I = Text.indexOf('\n', I + 1))
      QVERIFY(I + 1 == Text.size() || !Text[I + 1].isLowSurrogate());
    // Very long lines are shown in pieces; every character is still there, in order.
    if (!Shown.contains('\n')) Text.remove('\n');
    QCOMPARE(Text.size(), Shown.size());
    QVERIFY(Text == Shown);
    // However many lines or however long, the pane holds few blocks of bounded size.
    const QTextDocument* Document = Memo("Memo1")->document();
    QVERIFY(Document->blockCount() <= TAnsiText::MaxPaneBlocks + 1);
    for (QTextBlock B = Document->begin(); B.isValid(); B = B.next())
      QVERIFY2(B.length() <= TAnsiText::MaxPaneLine + 2, qPrintable(QString::number(B.length())));
  }

  // Everything typed goes to the component as UTF-8, as browsers send it, and at any length.
  void typedTextGoesOutAsUtf8_data() {
    QTest::addColumn<QString>("Box");
    QTest::addColumn<QString>("Typed");    // for a URL box, the path
    QTest::addColumn<QByteArray>("Sent");  // found in the request as the server received it
    const auto Basic = [](const char* Credentials) {
      return "\r\nAuthorization: Basic " + QByteArray(Credentials).toBase64() + "\r\n";
    };
    const QString Long(100000, u'p');
    QTest::newRow("URL for GET") << "Edit1" << QString::fromUtf8("/café")
                                 << QByteArray("GET /caf%C3%A9 HTTP/1.0\r\n");
    QTest::newRow("URL for POST") << "Edit2" << QString::fromUtf8("/Zürich")
                                  << QByteArray("POST /Z%C3%BCrich HTTP/1.0\r\n");
    QTest::newRow("URL for HEAD") << "Edit4" << QString::fromUtf8("/€")
                                  << QByteArray("HEAD /%E2%82%AC HTTP/1.0\r\n");
    QTest::newRow("Post Data") << "Edit3" << QString::fromUtf8("ville=Zürich €")
                               << QByteArray("\r\n\r\nville=Z%C3%BCrich+%E2%82%AC");
    QTest::newRow("cookie") << "Edit5" << QString::fromUtf8("ville=Zürich")
                            << QByteArray("\r\nCookie: ville=Z\xC3\xBCrich\r\n");
    QTest::newRow("e-mail") << "Edit6" << QString::fromUtf8("jürgen@exemple.fr")
                            << QByteArray("\r\nFrom: j\xC3\xBCrgen@exemple.fr\r\n");
    QTest::newRow("program") << "Edit7" << QString::fromUtf8("Orrery ж")
                             << QByteArray("\r\nUser-Agent: Orrery \xD0\xB6\r\n");
    QTest::newRow("referring page") << "Edit8" << QString::fromUtf8("http://exemple.fr/café")
                                    << QByteArray("\r\nReferer: http://exemple.fr/caf\xC3\xA9\r\n");
    QTest::newRow("login") << "Edit9" << QString::fromUtf8("jürgen") << Basic("j\xC3\xBCrgen:x");
    QTest::newRow("password") << "Edit10" << QString::fromUtf8("€uro")
                              << Basic("u:\xE2\x82\xACuro");
    QTest::newRow("URL of 100 000 characters")
        << "Edit1"
        << "/" + Long << "GET /" + Long.toLatin1() + " HTTP/1.0\r\n";
    QTest::newRow("Post Data of 100 000 characters")
        << "Edit3" << Long << "Content-Length: 100000\r\n\r\n" + Long.toLatin1();
  }
  void typedTextGoesOutAsUtf8() {
    QFETCH(QString, Box);
    QFETCH(QString, Typed);
    QFETCH(QByteArray, Sent);
    ScriptedHttpServer Server({Whole("HTTP/1.0 200 OK\r\n\r\nok")});
    const QString UrlBox = Box == "Edit3"                     ? "Edit2"
                           : Box == "Edit2" || Box == "Edit4" ? Box
                                                              : "Edit1";
    const bool TypedUrl = UrlBox == Box;
    Edit(qPrintable(UrlBox))
        ->setText(Url("127.0.0.1", Server.Port(), "") + (TypedUrl ? Typed : "/p"));
    Edit("Edit9")->setText("u");
    Edit("Edit10")->setText("x");
    if (!TypedUrl) Edit(qPrintable(Box))->setText(Typed);
    ModalAnswerer Answerer;
    QVERIFY(Run(UrlBox == "Edit1" ? "Button1" : UrlBox == "Edit2" ? "Button2" : "Button3"));
    QCOMPARE(Answerer.Seen.size(), 0);
    QCOMPARE(Server.Requests().size(), std::size_t{1});
    QVERIFY(Server.Requests()[0].find(Sent.toStdString()) != std::string::npos);
  }

  // A line edit cuts text at 32 767 characters unless told otherwise; none of ours does.
  void everyBoxTakesAnyLength() {
    const QString Long(100000, u'a');
    const QList<QLineEdit*> Boxes = Form->findChildren<QLineEdit*>();
    QCOMPARE(Boxes.size(), 15);  // with the three TLS file boxes
    for (QLineEdit* Box : Boxes) {
      Box->setText(Long);
      QVERIFY2(Box->text() == Long, qPrintable(Box->objectName()));
      Box->clear();
      Box->insert(Long);  // as a paste goes
      QVERIFY2(Box->text() == Long, qPrintable(Box->objectName()));
    }
  }

  // A body that ends before its announced length is kept and shown, and the status bar says
  // it is short; a reply that has no body (HEAD, 204) is never short.
  void shortBodyIsKeptAndSaidToBeShort_data() {
    QTest::addColumn<QString>("Button");
    QTest::addColumn<bool>("ViaProxy");
    QTest::addColumn<QByteArray>("Reply");
    QTest::addColumn<QString>("Short");  // the status bar's text afterwards; empty: not short
    const QByteArray Cut =
        "HTTP/1.0 200 OK\r\nContent-Length: 1000000\r\n\r\n" + QByteArray(100000, 'c');
    const QString CutText = "Corps incomplet : 100 000 octets sur 1 000 000";
    QTest::newRow("GET, cut") << "Button1" << false << Cut << CutText;
    QTest::newRow("GET through a proxy, cut") << "Button1" << true << Cut << CutText;
    QTest::newRow("POST, cut") << "Button2" << false << Cut << CutText;
    QTest::newRow("404 page, cut")
        << "Button1" << false
        << QByteArray("HTTP/1.0 404 Not Found\r\nContent-Length: 50\r\n\r\nshort")
        << "Corps incomplet : 5 octets sur 50";
    QTest::newRow("GET after 100 Continue, cut")
        << "Button1" << false
        << QByteArray(
               "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nshort")
        << "Corps incomplet : 5 octets sur 50";
    QTest::newRow("length listed twice, cut")
        << "Button1" << false
        << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 50, 50\r\n\r\nshort")
        << "Corps incomplet : 5 octets sur 50";
    QTest::newRow("GET, whole") << "Button1" << false
                                << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nwhole")
                                << "";
    QTest::newRow("GET through a proxy, whole")
        << "Button1" << true << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nwhole")
        << "";
    QTest::newRow("HEAD announcing a length")
        << "Button3" << false << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n")
        << "";
    QTest::newRow("204 announcing a length")
        << "Button1" << false
        << QByteArray("HTTP/1.0 204 No Content\r\nContent-Length: 1000\r\n\r\n") << "";
  }
  void shortBodyIsKeptAndSaidToBeShort() {
    QFETCH(QString, Button);
    QFETCH(bool, ViaProxy);
    QFETCH(QByteArray, Reply);
    QFETCH(QString, Short);
    ScriptedHttpServer Server({Whole(Reply.toStdString())});
    const QString Address =
        ViaProxy ? "http://origin.test/p" : Url("127.0.0.1", Server.Port(), "/p");
    for (const char* Box : {"Edit1", "Edit2", "Edit4"}) Edit(Box)->setText(Address);
    if (ViaProxy) {
      W<QCheckBox>("CheckBox1")->setChecked(true);
      Edit("Edit11")->setText("127.0.0.1");
      Edit("Edit12")->setText(QString::number(Server.Port()));
    }
    ModalAnswerer Answerer;
    QVERIFY(Run(Button));
    QCOMPARE(Answerer.Seen.size(), 0);
    const QByteArray Body = Reply.mid(Reply.lastIndexOf("\r\n\r\n") + 4);
    if (Button != "Button3")
      QCOMPARE(Memo(Button == "Button1" ? "Memo1" : "Memo4")->toPlainText().remove('\n'),
               QString(Body));
    QCOMPARE(Form->ShortBodyText(), Short);
    if (Short.isEmpty())
      QVERIFY(!Form->StatusText().startsWith("Corps"));
    else
      QCOMPARE(Form->StatusText(), Short);
  }

  // The cookie's message wraps a cookie of any length within the screen, and scrolls it.
  void cookieMessageStaysOnScreen_data() {
    QTest::addColumn<int>("Length");
    QTest::addColumn<bool>("Scrolls");
    QTest::newRow("short") << 12 << false;
    QTest::newRow("6 KB") << 6144 << true;
    QTest::newRow("16 KB") << 16384 << true;
  }
  void cookieMessageStaysOnScreen() {
    QFETCH(int, Length);
    QFETCH(bool, Scrolls);
    QString Cookie = "sid=";
    while (Cookie.size() < Length) Cookie += "A1b2C3d4-_";
    Cookie.truncate(Length);
    ScriptedHttpServer Server(
        {Whole("HTTP/1.0 200 OK\r\nSet-Cookie: " + Cookie.toStdString() + "\r\n\r\nbody")});
    Edit("Edit1")->setText(Url("127.0.0.1", Server.Port()));
    int Width = 0, ScreenWidth = 0, LineCount = 0, WidestLine = 0, PaneWidth = 0, ScrollRange = 0;
    QString Shown;
    ModalAnswerer Answerer;
    Answerer.Answer = [&](QDialog* D) {
      auto* Pane = D->findChild<QPlainTextEdit*>("CookieText");
      if (Pane != nullptr) {
        Width = D->frameGeometry().width();
        ScreenWidth = D->screen()->availableGeometry().width();
        Shown = Pane->toPlainText();
        const QTextBlock Block = Pane->document()->firstBlock();
        Pane->document()->documentLayout()->blockBoundingRect(Block);  // lays the block out
        LineCount = Block.layout()->lineCount();
        for (int I = 0; I < LineCount; ++I)
          WidestLine = std::max(WidestLine, qCeil(Block.layout()->lineAt(I).naturalTextWidth()));
        PaneWidth = Pane->viewport()->width();
        ScrollRange = Pane->verticalScrollBar()->maximum();
      }
      D->accept();
    };
    QVERIFY(Run("Button1"));
    QCOMPARE(Answerer.Seen.size(), 1);
    QCOMPARE(Answerer.Seen[0].Kind, QString("message"));
    QCOMPARE(Answerer.Seen[0].Text, "Cookie:\n" + Cookie);
    QCOMPARE(Shown, Cookie);
    QVERIFY2(Width <= ScreenWidth, qPrintable(QString("%1 of %2").arg(Width).arg(ScreenWidth)));
    QVERIFY(LineCount >= 1);
    QVERIFY2(WidestLine <= PaneWidth,
             qPrintable(QString("%1 in %2").arg(WidestLine).arg(PaneWidth)));
    QCOMPARE(ScrollRange > 0, Scrolls);
  }

  // --- Status bar ----------------------------------------------------------------------------

  void statusBarFollowsTheExchange_data() {
    QTest::addColumn<QString>("Host");
    QTest::addColumn<QString>("Reply");
    QTest::addColumn<int>("BodyBytes");
    QTest::addColumn<int>("Total");           // shown after " of "
    QTest::addColumn<QStringList>("Result");  // the texts after the transfer, in order
    const QString Small(300, QChar(u'b'));
    const QString Large(300000, QChar(u'L'));
    const QString Done = "Connection........ Sat..... checking...";
    QTest::newRow("host name, with length")
        << "localhost"
        << "HTTP/1.0 200 OK\r\nContent-Length: 300\r\n\r\n" + Small << 300 << 300
        << QStringList{Done, "Transaction Completed", "Deconnection"};
    QTest::newRow("dotted address, no length")
        << "127.0.0.1"
        << "HTTP/1.0 200 OK\r\n\r\n" + Small << 300 << 0
        << QStringList{Done, "Transaction Completed", "Deconnection"};
    QTest::newRow("several blocks")
        << "127.0.0.1"
        << "HTTP/1.0 200 OK\r\nContent-length:  300000\r\n\r\n" + Large << 300000 << 300000
        << QStringList{Done, "Transaction Completed", "Deconnection"};
    QTest::newRow("404") << "localhost"
                         << "HTTP/1.0 404 Not Found\r\n\r\n" + Small << 300 << 0
                         << QStringList{"Get Failed", "Deconnection"};
  }
  void statusBarFollowsTheExchange() {
    QFETCH(QString, Host);
    QFETCH(QString, Reply);
    QFETCH(int, BodyBytes);
    QFETCH(int, Total);
    QFETCH(QStringList, Result);
    ScriptedHttpServer Server({Whole(Reply.toStdString())});
    ModalAnswerer Answerer;
    QVERIFY(Get(Url(Host.toLatin1().constData(), Server.Port())));

    // "Host Resolved" for a name only; "Connected"; progress with a growing count (the
    // server's close may be noticed in between); then the result texts.
    QStringList R = Reports;
    if (Host == "localhost") QCOMPARE(R.takeFirst(), QString("Host Resolved"));
    QCOMPARE(R.takeFirst(), QString("Connected"));
    qint64 Last = 0;
    const QRegularExpression Progress(QString("^(\\d+) of %1 retrieved$").arg(Total));
    while (!R.isEmpty() && R.size() > Result.size()) {
      const QString T = R.takeFirst();
      if (T == "Deconnection") continue;
      const auto M = Progress.match(T);
      QVERIFY2(M.hasMatch(), qPrintable(T));
      QVERIFY(M.captured(1).toLongLong() > Last);
      Last = M.captured(1).toLongLong();
    }
    QCOMPARE(Last, qint64{BodyBytes});
    QCOMPARE(R, Result);
    QCOMPARE(Form->StatusText(), Result.last());
  }

  void statusReportAfterAReply_data() {
    QTest::addColumn<int>("Code");
    QTest::addColumn<QString>("Shown");
    QTest::newRow("404") << 404 << QString::fromUtf8("Objet non trouvé");
    QTest::newRow("200") << 200 << "Transaction Completed";
    QTest::newRow("403") << 403 << "Transaction Completed";
  }
  void statusReportAfterAReply() {
    QFETCH(int, Code);
    QFETCH(QString, Shown);
    ScriptedHttpServer Server({Whole(QString("HTTP/1.0 %1 X\r\n\r\n").arg(Code).toStdString())});
    ModalAnswerer Answerer;
    QVERIFY(Get(Url("127.0.0.1", Server.Port())));
    // Any status report while the component still holds the reply's code.
    Reports.clear();
    Form->VelHTTP1->StatusMessage(2, "Transaction Completed");
    QCOMPARE(Form->StatusText(), Shown);
    QCOMPARE(Reports.last(), Shown);
  }

  void resultTextsByCommand() {
    // The bytes are Windows-1252: "é" is one byte.
    QCOMPARE(TForm1::SuccessText(hcGet), std::string("Connection........ Sat..... checking..."));
    QCOMPARE(TForm1::SuccessText(hcHead), std::string("Connection HEAD r\xE9ussi"));
    QCOMPARE(TForm1::SuccessText(hcUnLink), std::string("D\xE9lien r\xE9ussi"));
    QCOMPARE(TForm1::FailureText(hcUnLink), std::string("UnLink Failed"));
    QCOMPARE(TForm1::FailureText(hcWrapped), std::string("Wrapped Failed"));
    QCOMPARE(TForm1::SuccessText(13), std::string());
    Form->VelHTTP1Status(nullptr, "before");
    Form->VelHTTP1Success(static_cast<CmdType>(13));
    QCOMPARE(Form->StatusText(), QString("before"));
    Form->VelHTTP1Success(hcPost);
    QCOMPARE(Form->StatusText(), QString::fromUtf8("Connection Post réussi"));
  }

  // --- Failures ------------------------------------------------------------------------------

  void errorsAreReportedAndTheProgramGoesOn_data() {
    QTest::addColumn<QString>("Address");  // %1 stands for a refusing port
    QTest::addColumn<QStringList>("Dialogs");
    QTest::newRow("empty URL") << "" << QStringList{"Empty URL"};
    // The window turns TLS on: an https URL is requested, here of a port that refuses.
    QTest::newRow("https refused") << "https://127.0.0.1:%1/"
                                   << QStringList{QString::fromUtf8("Connection annulée"),
                                                  "Connection Failed"};
    QTest::newRow("refused") << "http://127.0.0.1:%1/"
                             << QStringList{QString::fromUtf8("Connection annulée"),
                                            "Connection Failed"};
  }
  void errorsAreReportedAndTheProgramGoesOn() {
    QFETCH(QString, Address);
    QFETCH(QStringList, Dialogs);
    FillMemos();
    ModalAnswerer Answerer;
    QVERIFY(Get(Address.contains("%1") ? Address.arg(RefusingPort()) : Address));
    QStringList Texts;
    for (const SeenDialog& D : Answerer.Seen) Texts << D.Text;
    QCOMPARE(Texts, Dialogs);
    QCOMPARE(MemoTexts(), (QStringList{Old, Old, Old, Old, Old}));
    // The program goes on: the next request works.
    ScriptedHttpServer Server({Whole("HTTP/1.0 200 OK\r\n\r\nfine")});
    QVERIFY(Get(Url("127.0.0.1", Server.Port())));
    QCOMPARE(Memo("Memo1")->toPlainText(), QString("fine"));
  }

  void proxySettingThatCannotBeUsedSendsNothing_data() {
    QTest::addColumn<QString>("ProxyText");
    QTest::addColumn<QString>("PortText");
    QTest::addColumn<QString>("Error");
    const auto Row = [](const char* Name, const char* Proxy, const char* Port, const char* Error) {
      QTest::newRow(Name) << QString(Proxy) << QString(Port) << QString(Error).replace("%1", Port);
    };
    const char* NoInteger = "'%1' is not a valid integer value";
    Row("empty", "127.0.0.1", "", NoInteger);
    Row("letters", "127.0.0.1", "80a", NoInteger);
    Row("Windows-1252 text", "127.0.0.1", "€", NoInteger);  // the report decodes it
    Row("bidi control", "127.0.0.1", "\u202E", "'<U+202E>' is not a valid integer value");
    // Decimal digits alone make a port, whatever else a number may be written as.
    Row("hexadecimal", "127.0.0.1", "0x49C8", NoInteger);
    Row("Pascal's hexadecimal", "127.0.0.1", "$49C8", NoInteger);
    Row("sign", "127.0.0.1", "+18888", NoInteger);
    // An empty proxy would mean a direct connection, past the proxy the user asked for.
    const char* NoServer =
        "Serveur proxy vide : indiquez-le, ou décochez « Utiliser un serveur prowy ».";
    Row("empty server", "", "3128", NoServer);
    Row("blank server", "  ", "3128", NoServer);
  }
  void proxySettingThatCannotBeUsedSendsNothing() {
    QFETCH(QString, ProxyText);
    QFETCH(QString, PortText);
    QFETCH(QString, Error);
    ScriptedHttpServer Server({Whole("HTTP/1.0 200 OK\r\n\r\nx")});
    W<QCheckBox>("CheckBox1")->setChecked(true);
    Edit("Edit11")->setText(ProxyText);
    Edit("Edit12")->setText(PortText);
    Edit("Edit5")->setText("not copied");
    ModalAnswerer Answerer;
    QVERIFY(Get(Url("127.0.0.1", Server.Port())));
    QCOMPARE(Answerer.Seen.size(), 1);
    QCOMPARE(Answerer.Seen[0].Text, Error);
    QCOMPARE(Server.Accepted(), 0);
    QCOMPARE(QString::fromStdString(Form->VelHTTP1->Proxy), ProxyText);
    QCOMPARE(QString::fromStdString(Form->VelHTTP1->HeaderInfo.Cookie), QString());
  }

  // Unchecked means direct: the proxy of an earlier request is not used again, and the port
  // box is not read.
  void uncheckingTheProxyBoxGoesDirect() {
    ScriptedHttpServer Proxy({Whole("HTTP/1.0 200 OK\r\n\r\none")});
    ScriptedHttpServer Origin({Whole("HTTP/1.0 200 OK\r\n\r\ntwo")});
    W<QCheckBox>("CheckBox1")->setChecked(true);
    Edit("Edit11")->setText("127.0.0.1");
    Edit("Edit12")->setText(QString(" %1 ").arg(Proxy.Port()));  // blanks around are no part of it
    ModalAnswerer Answerer;
    QVERIFY(Get(Url("127.0.0.1", Origin.Port(), "/doc")));
    QCOMPARE(Memo("Memo1")->toPlainText(), QString("one"));
    W<QCheckBox>("CheckBox1")->setChecked(false);
    Edit("Edit12")->setText("not read");
    QVERIFY(Run("Button1"));
    QCOMPARE(Answerer.Seen.size(), 0);
    QCOMPARE(Memo("Memo1")->toPlainText(), QString("two"));
    QCOMPARE(QString::fromStdString(Form->VelHTTP1->Proxy), QString());
    QCOMPARE(Form->VelHTTP1->ProxyPort, 0);
    QCOMPARE(Proxy.Requests().size(), std::size_t{1});
    QVERIFY(QString::fromStdString(Proxy.Requests()[0])
                .startsWith(
                    QString("GET %1 HTTP/1.0\r\n").arg(Url("127.0.0.1", Origin.Port(), "/doc"))));
    QCOMPARE(Origin.Requests().size(), std::size_t{1});
    QVERIFY(QString::fromStdString(Origin.Requests()[0]).startsWith("GET /doc HTTP/1.0\r\n"));
  }

  // "Accepter la compression" asks for the codings and shows the body decoded, the
  // inspector's body giving both sizes; unchecked, the request is the window's old one and a
  // coded body shows as it came.
  void compressionBoxAsksAndDecodes() {
    const std::string Zipped(
        "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x4b\xce\xcf\x2d\x28\x4a\x2d\x2e\x4e\x4d\x51\x28"
        "\x48\x4c\x4f\xd5\x51\x48\x49\x4d\xce\x4f\x49\x4d\x01\x00\xc5\x1b\xd5\x95\x18\x00\x00\x00",
        44);
    for (const bool Checked : {true, false}) {
      ScriptedHttpServer Server({Whole("HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + Zipped)});
      W<QCheckBox>("CheckBox3")->setChecked(Checked);
      ModalAnswerer Answerer;
      QVERIFY(Get(Url("127.0.0.1", Server.Port())));
      QCOMPARE(Memo("Memo1")->toPlainText() == "compressed page, decoded", Checked);
      QCOMPARE(Server.Requests().at(0).find("\r\nAccept-Encoding: deflate, gzip, br, zstd\r\n") !=
                   std::string::npos,
               Checked);
      W<QAction>("DetailsEchange1")->trigger();
      QCOMPARE(Form->findChild<QLabel*>("BodyNote")->text(),
               Checked ? QString::fromUtf8("44 octets transférés / 24 décodés") : QString());
    }
  }

  // "Version HTTP": 1.0 unless 1.1 is chosen; then the next GET reuses the connection, and the
  // window's end closes it, which the server's third read sees. The connections are numbered
  // in the order the window's component opened them.
  void httpVersionChoiceKeepsTheConnection() {
    const std::string Reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    ScriptedHttpServer Old({Whole(Reply)});
    QVERIFY(Get(Url("127.0.0.1", Old.Port())));
    QVERIFY(Old.Requests().at(0).starts_with("GET /page HTTP/1.0\r\n"));
    W<QComboBox>("ComboBox1")->setCurrentText("1.1");
    using namespace steps;
    TScriptedPeer Kept({{ReadRequest(), Send(Reply), ReadRequest(), Send(Reply), ReadRequest()}});
    QVERIFY(Get(Url("127.0.0.1", Kept.Port())) && Get(Url("127.0.0.1", Kept.Port())));
    QVERIFY(Reports.contains("Re-using connection #1"));
    QVERIFY(Kept.Requests().at(1).starts_with("GET /page HTTP/1.1\r\n"));
    // A POST on a kept connection the server closed is not sent again, and the window says so.
    TScriptedPeer Closes({{ReadRequest(), Send(Reply), ReadRequest()}});
    Edit("Edit2")->setText(Url("127.0.0.1", Closes.Port()));
    ModalAnswerer Answerer;
    QVERIFY(Get(Url("127.0.0.1", Closes.Port())) && Run("Button2"));
    QVERIFY2(Form->StatusText().contains(QString::fromUtf8(
                 "gardée #2 avant la réponse, et un POST n'est pas envoyé deux fois")),
             qPrintable(Form->StatusText()));
    delete Form;
    Form = nullptr;
    QVERIFY(QTest::qWaitFor([&Kept] { return Kept.Requests().size() == 3; }, 5000));
  }

  // An IPv6 proxy typed in brackets, as an authority writes it, is reached at that address.
  void ipv6ProxyInBrackets() {
    std::string Request;
    testsupport::LoopbackPeer Proxy(
        [&](int Fd) {
          Request = testsupport::ReadHttpRequest(Fd);
          testsupport::SendAll(Fd, "HTTP/1.0 200 OK\r\n\r\nvia six");
        },
        1, 8, AF_INET6);
    W<QCheckBox>("CheckBox1")->setChecked(true);
    Edit("Edit11")->setText("[::1]");
    Edit("Edit12")->setText(QString::number(Proxy.Port()));
    ModalAnswerer Answerer;
    QVERIFY(Get("http://origin.test/doc"));
    QCOMPARE(Answerer.Seen.size(), 0);
    QCOMPARE(Memo("Memo1")->toPlainText(), QString("via six"));
    QVERIFY(QString::fromStdString(Request).startsWith("GET http://origin.test/doc HTTP/1.0\r\n"));
  }

  void invalidHostAsksForAnother_data() {
    QTest::addColumn<bool>("Confirm");
    QTest::addColumn<QString>("Typed");
    QTest::addColumn<QString>("HostAfter");
    QTest::addColumn<QString>("Error");  // empty: the request went through
    QTest::newRow("confirmed empty") << true << ""
                                     << ""
                                     << "Null Remote Address";
    QTest::newRow("cancelled") << false << "ignored"
                               << "unknown.test"
                               << "Null Remote Address";
    QTest::newRow("confirmed with a host") << true << "127.0.0.1"
                                           << "127.0.0.1"
                                           << "";
  }
  void invalidHostAsksForAnother() {
    QFETCH(bool, Confirm);
    QFETCH(QString, Typed);
    QFETCH(QString, HostAfter);
    QFETCH(QString, Error);
    ScriptedHttpServer Server({Whole("HTTP/1.0 200 OK\r\n\r\nserved")});
    Edit("Edit1")->setText(Url("unknown.test", Server.Port()));
    ModalAnswerer Answerer;
    QString Prompt, StartValue;
    Answerer.Answer = [&](QDialog* D) {
      if (auto* Input = qobject_cast<QInputDialog*>(D)) {
        StartValue = Input->textValue();
        QCOMPARE(Input->okButtonText(), QString("OK"));
        QCOMPARE(Input->cancelButtonText(), QString("Cancel"));
        Input->setTextValue(Typed);
        if (Confirm)
          Input->accept();
        else
          Input->reject();
      } else {
        D->accept();
      }
    };
    QVERIFY(Run("Button1"));
    QVERIFY(Answerer.Seen.size() >= 1);
    QCOMPARE(Answerer.Seen[0].Kind, QString("input"));
    QCOMPARE(Answerer.Seen[0].Title, QString("Serveur invalide"));
    QCOMPARE(Answerer.Seen[0].Text, QString::fromUtf8("Spécifier un nouveau serveur:"));
    QCOMPARE(StartValue, QString());
    QCOMPARE(QString::fromStdString(Form->VelHTTP1->Host), HostAfter);
    if (Error.isEmpty()) {
      QCOMPARE(Answerer.Seen.size(), 1);
      QCOMPARE(Memo("Memo1")->toPlainText(), QString("served"));
    } else {
      QCOMPARE(Answerer.Seen.size(), 2);
      QCOMPARE(Answerer.Seen[1].Text, Error);
      QCOMPARE(Server.Accepted(), 0);
    }
  }

  // --- Stopping, refusing, clearing ------------------------------------------------------------

  void stopEndsTheRequestQuietly_data() {
    QTest::addColumn<bool>("ByKey");
    QTest::addColumn<bool>("InLookUp");   // else connected to a server that stays silent
    QTest::addColumn<bool>("InDetails");  // the details window has the focus
    QTest::newRow("Esc, silent server") << true << false << false;
    QTest::newRow("menu item, silent server") << false << false << false;
    QTest::newRow("Esc, look-up") << true << true << false;
    QTest::newRow("Esc in the details window") << true << false << true;
    QTest::newRow("stop button of the details window") << false << false << true;
  }
  void stopEndsTheRequestQuietly() {
    QFETCH(bool, ByKey);
    QFETCH(bool, InLookUp);
    QFETCH(bool, InDetails);
    LoopbackPeer Silent([](int Fd) { HoldOpen(Fd); });
    FillMemos();
    Edit("Edit1")->setText(Url(InLookUp ? "slow.test" : "127.0.0.1", Silent.Port()));
    auto* Stop = W<QAction>("Arreter1");
    auto* Save = W<QAction>("EnregistrerReponse1");
    QWidget* Details = nullptr;
    if (InDetails) {
      W<QAction>("DetailsEchange1")->trigger();
      Details = W<QWidget>("ExchangeDetails");
      Details->activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(Details));
    }
    bool EnabledWhileRunning = false;
    bool SaveEnabledWhileRunning = true;
    QTimer Act;
    Act.setInterval(5);
    connect(&Act, &QTimer::timeout, this, [&] {
      // A timer runs only inside a wait of the request: for a look-up, the first one.
      if (!Form->RequestRunning()) return;
      if (!InLookUp && (Silent.Accepted() < 1 || Form->StatusText() != "Connected")) return;
      // The window manager's activation is asynchronous and, on a busy machine, the main
      // window's may land after the details window's: act only once the details window has
      // the keyboard, as a user pressing keys there would.
      if (InDetails && !Details->isActiveWindow()) {
        Details->activateWindow();
        return;
      }
      Act.stop();
      EnabledWhileRunning = Stop->isEnabled();
      SaveEnabledWhileRunning = Save->isEnabled();
      // The request buttons are disabled meanwhile: neither a click nor Enter says a word.
      const QString Before = Form->StatusText();
      W<QPushButton>("Button3")->click();
      QTest::keyClick(Edit("Edit3"), Qt::Key_Return);
      QCOMPARE(Form->StatusText(), Before);
      // Saving opens no dialog meanwhile: neither by its key nor when asked directly.
      QWidget* Focus = QApplication::focusWidget();
      QTest::keyClick(Focus, Qt::Key_S, Qt::ControlModifier);
      Form->SaveReply("never-written.bin");
      QVERIFY(!InDetails || Focus->window() == Details);
      if (ByKey)
        QTest::keyClick(Focus, Qt::Key_Escape);
      else if (InDetails)
        W<QToolButton>("StopButton")->click();
      else
        Stop->trigger();
    });
    Act.start();
    ModalAnswerer Answerer;
    QVERIFY(Run(InDetails ? "Button1" : "Edit1"));
    QVERIFY(EnabledWhileRunning);
    QVERIFY(!SaveEnabledWhileRunning);
    for (auto* B : {"Button1", "Button2", "Button3"}) QVERIFY(W<QPushButton>(B)->isEnabled());
    QVERIFY(!Stop->isEnabled());
    QVERIFY(Save->isEnabled());
    QCOMPARE(Form->StatusText(), QString::fromUtf8("Requête arrêtée"));
    QCOMPARE(Answerer.Seen.size(), 0);
    QVERIFY(!QFile::exists("never-written.bin"));
    QCOMPARE(MemoTexts(), (QStringList{Old, Old, Old, Old, Old}));
    if (!InLookUp) QVERIFY(Silent.Finished.Wait());  // the connection was closed
    QCOMPARE(Silent.Accepted(), InLookUp ? 0 : 1);
  }

  void clearButtonsEmptyTheirOwnPanes_data() {
    QTest::addColumn<QString>("Button");
    QTest::addColumn<QStringList>("After");
    QTest::newRow("SpeedButton1") << "SpeedButton1" << QStringList{"", "", Old, Old, Old};
    QTest::newRow("SpeedButton2") << "SpeedButton2" << QStringList{Old, Old, "", "", Old};
    QTest::newRow("SpeedButton3") << "SpeedButton3" << QStringList{Old, Old, Old, Old, ""};
  }
  void clearButtonsEmptyTheirOwnPanes() {
    QFETCH(QString, Button);
    QFETCH(QStringList, After);
    FillMemos();
    Form->VelHTTP1Status(nullptr, "kept");
    W<QToolButton>(Button.toLatin1().constData())->click();
    QCOMPARE(MemoTexts(), After);
    QCOMPARE(Form->StatusText(), QString("kept"));
  }

  // --- Ending the program ----------------------------------------------------------------------

  void closingEndsTheProgram_data() {
    QTest::addColumn<bool>("DuringRequest");
    QTest::addColumn<bool>("ByMenu");
    QTest::newRow("close, idle") << false << false;
    QTest::newRow("Quitter, idle") << false << true;
    QTest::newRow("close during a request") << true << false;
    QTest::newRow("Quitter during a request") << true << true;
  }
  void closingEndsTheProgram() {
    QFETCH(bool, DuringRequest);
    QFETCH(bool, ByMenu);
    LoopbackPeer Silent([](int Fd) { HoldOpen(Fd); });
    Edit("Edit1")->setText(Url("127.0.0.1", Silent.Port()));
    About->show();  // an open About dialog does not keep the program alive
    auto Close = [&] {
      if (ByMenu)
        W<QAction>("Quitter1")->trigger();
      else
        Form->close();
    };
    QTimer Act;
    Act.setInterval(5);
    connect(&Act, &QTimer::timeout, this, [&] {
      if (DuringRequest && (Silent.Accepted() < 1 || !Form->RequestRunning())) return;
      Act.stop();
      Close();
    });
    if (DuringRequest) QTimer::singleShot(0, this, [this] { W<QPushButton>("Button1")->click(); });
    Act.start();
    Tripwire Wire(10000, [] { QCoreApplication::exit(2); });
    ModalAnswerer Answerer;
    const int Code = QCoreApplication::exec();  // the event loop the program runs
    QCOMPARE(Code, 0);
    QVERIFY(!Wire.Tripped);
    QVERIFY(!Form->isVisible());
    QVERIFY(!About->isVisible());
    QVERIFY(!Form->RequestRunning());
    QCOMPARE(Answerer.Seen.size(), 0);
    if (DuringRequest) QVERIFY(Silent.Finished.Wait());
  }
};

QTEST_MAIN(TForm1Test)
#include "TForm1Test.moc"
