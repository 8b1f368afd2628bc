// The exchange details window and the saving of a reply, driven through the main window's
// menu against scripted loopback servers: the bytes sent as the server saw them, one entry
// per pass of a redirection chain, timings in order, and the reply saved byte for byte (a
// body cut short only after a question).
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>

#include "app/TAnsiText.h"
#include "app/TFrameModel.h"
#include "app/TFrameView.h"
#include "app/TPassText.h"
#include "tests/app/InspectorWindowFixture.h"

using namespace testsupport;

namespace {

// Every stage a whole pass reaches has a time, none negative and none before the stage
// ahead of it; the look-up only for a host name.
bool TimingsInOrder(const TExchangePass& P, bool LookedUp) {
  if (P.At[xsLookedUp].has_value() != LookedUp) return false;
  double Last = 0;
  for (int S = 0; S < ExchangeStageCount; ++S) {
    if (S == xsLookedUp && !LookedUp) continue;
    if (!P.At[S] || *P.At[S] < Last) return false;
    Last = *P.At[S];
  }
  return true;
}

std::string AllByteValues() {
  std::string S;
  for (int Round = 0; Round < 8; ++Round)
    for (int B = 0; B < 256; ++B) S += static_cast<char>(B);
  return S;
}

}  // namespace

class TExchangeDetailsTest : public InspectorWindowTest {
  Q_OBJECT

 private slots:
  // --- The menu --------------------------------------------------------------------------

  void menuItems_data() {
    QTest::addColumn<QString>("Name");
    QTest::addColumn<QString>("Caption");
    QTest::addColumn<QKeySequence>("Shortcut");
    QTest::newRow("details") << "DetailsEchange1" << QString::fromUtf8("Détails de l'échange…")
                             << QKeySequence("Ctrl+D");
    QTest::newRow("save") << "EnregistrerReponse1" << QString::fromUtf8("Enregistrer la réponse…")
                          << QKeySequence("Ctrl+S");
  }
  void menuItems() {
    QFETCH(QString, Name);
    QFETCH(QString, Caption);
    QFETCH(QKeySequence, Shortcut);
    auto* Item = W<QAction>(Name.toLatin1().constData());
    QCOMPARE(Item->text(), Caption);
    QCOMPARE(Item->shortcut(), Shortcut);
    QVERIFY(W<QMenu>("Fichier1")->actions().contains(Item));
  }

  // --- The details window ----------------------------------------------------------------

  void showsTheBytesTheServerReceived_data() {
    QTest::addColumn<QString>("Button");
    QTest::addColumn<QString>("Data");
    QTest::addColumn<QString>("Agent");
    QTest::newRow("get") << "Button1"
                         << ""
                         << "";
    QTest::newRow("get with a program name") << "Button1"
                                             << ""
                                             << "Probe/1.0";
    QTest::newRow("post") << "Button2"
                          << "a b=c&d"
                          << "";
    QTest::newRow("post of more than 4 KiB") << "Button2" << QString(5000, 'x') << "";
  }
  void showsTheBytesTheServerReceived() {
    QFETCH(QString, Button);
    QFETCH(QString, Data);
    QFETCH(QString, Agent);
    ScriptedHttpServer Peer({Whole("HTTP/1.0 200 OK\r\n\r\nok")});
    TExchangeDetails* Details = OpenDetails();
    QVERIFY(Details != nullptr);
    QVERIFY(Details->isVisible() && !Details->isModal());
    W<QLineEdit>("Edit7")->setText(Agent);
    W<QLineEdit>(Button == "Button1" ? "Edit1" : "Edit2")->setText(Url("127.0.0.1", Peer.Port()));
    W<QLineEdit>("Edit3")->setText(Data);
    QVERIFY(Run(Button.toLatin1().constData()));
    QCOMPARE(Peer.Requests().size(), std::size_t(1));
    const std::string Received = Peer.Requests()[0];
    QCOMPARE(Details->Recorder().Passes().size(), std::size_t(1));
    const TExchangePass& P = Details->Recorder().Passes()[0];
    const std::size_t HeaderEnd = Received.find("\r\n\r\n") + 4;
    QCOMPARE(P.RequestHeader, Received.substr(0, HeaderEnd));
    QCOMPARE(P.RequestBodySize, static_cast<std::int64_t>(Received.size() - HeaderEnd));
    QCOMPARE(P.RequestBody, Received.substr(HeaderEnd, TExchangePass::BodyKept));
    // The window shows the same bytes, escaped, while it stays open.
    QVERIFY(Details->RequestText().startsWith(TPassText::Escaped(P.RequestHeader)));
    QVERIFY(Details->RequestText().endsWith(TPassText::Escaped(P.RequestBody)));
    QCOMPARE(Details->ReplyText(), TPassText::Escaped("HTTP/1.0 200 OK\r\n\r\n"));
  }

  // Three redirections make four passes, each with its own request and reply.
  void showsEveryPassOfARedirectionChain() {
    ScriptedHttpServer Peer({Whole("HTTP/1.0 302 Found\r\nLocation: /b\r\n\r\n"),
                             Whole("HTTP/1.0 302 Found\r\nLocation: /c\r\n\r\n"),
                             Whole("HTTP/1.0 302 Found\r\nLocation: /d\r\n\r\n"),
                             Whole("HTTP/1.0 200 OK\r\n\r\nfinal")});
    QVERIFY(Get(Url("127.0.0.1", Peer.Port(), "/a")));
    TExchangeDetails* Details = OpenDetails();
    const auto& Passes = Details->Recorder().Passes();
    QCOMPARE(Passes.size(), std::size_t(4));
    const char* Paths[] = {"/a", "/b", "/c", "/d"};
    for (std::size_t I = 0; I < Passes.size(); ++I) {
      QCOMPARE(QString::fromStdString(Passes[I].URL), Url("127.0.0.1", Peer.Port(), Paths[I]));
      QVERIFY(Passes[I].RequestHeader.rfind(std::string("GET ") + Paths[I] + " HTTP/1.0\r\n", 0) ==
              0);
      QCOMPARE(Passes[I].ReplyNumber, I < 3 ? 302 : 200);
      QVERIFY(TimingsInOrder(Passes[I], false));
      QCOMPARE(Details->Cell(static_cast<int>(I), TExchangeDetails::pcNumber),
               QString::number(I + 1));
      QCOMPARE(Details->Cell(static_cast<int>(I), TExchangeDetails::pcURL),
               Url("127.0.0.1", Peer.Port(), Paths[I]));
    }
    QCOMPARE(Details->RowCount(), 4);
  }

  void timingsAreInOrder_data() {
    QTest::addColumn<QString>("Host");
    QTest::addColumn<bool>("LookedUp");
    QTest::newRow("dotted address") << "127.0.0.1" << false;
    QTest::newRow("host name") << "localhost" << true;
  }
  void timingsAreInOrder() {
    QFETCH(QString, Host);
    QFETCH(bool, LookedUp);
    QVERIFY(GetReply("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'b'),
                     Host.toLatin1().constData()));
    const TExchangeDetails* Details = OpenDetails();
    QCOMPARE(Details->Recorder().Passes().size(), std::size_t(1));
    const TExchangePass& P = Details->Recorder().Passes()[0];
    QVERIFY(TimingsInOrder(P, LookedUp));
    QCOMPARE(P.BodyBytes, std::int64_t(100000));
    QCOMPARE(P.BytesReceived(), std::int64_t(P.ReplyHeader.size() + 100000));
    // A stage not reached has no row in the Temps tab.
    QCOMPARE(Details->TimesText().contains(QString::fromUtf8("Recherche de l'hôte")), LookedUp);
  }

  // The window follows a request while it runs, on its own timer: no stage's callback
  // rebuilds it (that work would be charged to the stage), and the reply's header shows
  // while the body is still awaited.
  void followsARunningRequest() {
    Gate HeaderSeen;
    LoopbackPeer Peer([&](int Fd) {
      ReadHttpRequest(Fd);
      SendAll(Fd, "HTTP/1.0 200 OK\r\nX-Step: 1\r\n\r\n");
      HeaderSeen.Wait();
      SendAll(Fd, "body");
    });
    TExchangeDetails* Details = OpenDetails();
    bool RebuiltInStage = false;
    bool ShownEarly = false;
    QTimer Poll;
    Poll.setInterval(5);
    connect(&Poll, &QTimer::timeout, this, [&] {
      if (!Details->ReplyText().contains("X-Step: 1")) return;
      ShownEarly = !Details->Recorder().Complete();
      Poll.stop();
      HeaderSeen.Open();
    });
    TVelHTTP* H = Form->VelHTTP1;
    const TStageEvent Earlier = H->OnStage;
    H->OnStage = [&](TObject* Sender, THttpStage Stage) {
      const QString Before = Details->Text();
      if (Earlier) Earlier(Sender, Stage);
      RebuiltInStage = RebuiltInStage || Details->Text() != Before;
      if (Stage == hsHeaderEnd) Poll.start();
    };
    QVERIFY(Get(Url("127.0.0.1", Peer.Port())));
    HeaderSeen.Open();
    QVERIFY(!RebuiltInStage);
    QVERIFY(ShownEarly);
    QVERIFY(Details->Recorder().Complete());
  }

  // --- Saving the reply -------------------------------------------------------------------

  void savesTheReplyByteForByte_data() {
    QTest::addColumn<QByteArray>("Reply");
    const std::string Binary = AllByteValues();
    QTest::newRow("text") << QByteArray(
        "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello\n");
    QTest::newRow("binary body") << QByteArray::fromStdString(
        "HTTP/1.0 200 OK\r\nContent-Length: 2048\r\n\r\n" + Binary);
    QTest::newRow("LF-only header") << QByteArray("HTTP/1.0 200 OK\nX-A: 1\n\nbody\r\n");
    QTest::newRow("empty body") << QByteArray("HTTP/1.0 204 No Content\r\n\r\n");
    QTest::newRow("404 page") << QByteArray("HTTP/1.0 404 Not Found\r\n\r\n<h1>nope</h1>");
    // More than a pane shows: the pane ends on a note, the file holds every byte.
    QTest::newRow("body over 16 MiB") << "HTTP/1.0 200 OK\r\n\r\n" +
                                             QByteArray("0123456789abcde\n").repeated(1 << 20) +
                                             QByteArray(1000, 'z');
  }
  void savesTheReplyByteForByte() {
    QFETCH(QByteArray, Reply);
    const std::string Sent = Reply.toStdString();
    QVERIFY(GetReply(Sent));
    const QString File = Scratch.filePath(QString("reply-%1.bin").arg(QTest::currentDataTag()));
    ModalAnswerer Answerer;
    Answerer.Answer = [&](QDialog* D) { SaveAs(D, File); };
    W<QAction>("EnregistrerReponse1")->trigger();
    QCOMPARE(Answerer.Seen.size(), 1);
    QCOMPARE(Answerer.Seen[0].Kind, QString("QFileDialog"));
    QVERIFY(FileBytes(File) == Sent);
    const std::size_t BodySize = Sent.size() - Sent.find("\r\n\r\n") - 4;
    const QString Pane = W<QPlainTextEdit>("Memo1")->toPlainText();
    if (BodySize > TAnsiText::MaxPaneBytes)
      QVERIFY(Pane.endsWith("\n" + TAnsiText::LeftOutLine(static_cast<std::int64_t>(
                                       BodySize - TAnsiText::MaxPaneBytes))));
    else
      QVERIFY(!Pane.contains(TAnsiText::LeftOutLine(0).left(3)));
  }

  // A body cut short is kept; before it is saved, the user is told and asked.
  // The length is the final reply's, not an interim reply's, and a list of equal values counts.
  void savingAShortBodyAsksFirst_data() {
    QTest::addColumn<bool>("Confirm");
    QTest::addColumn<QByteArray>("Head");
    const QByteArray Plain = "HTTP/1.0 200 OK\r\nContent-Length: 1000000\r\n\r\n";
    QTest::newRow("saved") << true << Plain;
    QTest::newRow("cancelled") << false << Plain;
    QTest::newRow("after 100 Continue") << false << "HTTP/1.1 100 Continue\r\n\r\n" + Plain;
    QTest::newRow("length listed twice")
        << false << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 1000000, 1000000\r\n\r\n");
  }
  void savingAShortBodyAsksFirst() {
    QFETCH(bool, Confirm);
    QFETCH(QByteArray, Head);
    const std::string Sent = Head.toStdString() + std::string(100000, 'c');
    QVERIFY(GetReply(Sent));
    const QString Short = QString::fromUtf8("Corps incomplet : 100 000 octets sur 1 000 000");
    QVERIFY(OpenDetails()->Text().contains(Short));
    const QString File = Scratch.filePath(QString("short-%1.bin").arg(QTest::currentDataTag()));
    ModalAnswerer Answerer;
    Answerer.Answer = [&](QDialog* D) {
      if (auto* Box = qobject_cast<QMessageBox*>(D)) {
        Box->button(Confirm ? QMessageBox::Save : QMessageBox::Cancel)->click();
        return;
      }
      SaveAs(D, File);
    };
    W<QAction>("EnregistrerReponse1")->trigger();
    QCOMPARE(Answerer.Seen.size(), Confirm ? 2 : 1);
    QCOMPARE(Answerer.Seen[0].Kind, QString("message"));
    QVERIFY2(Answerer.Seen[0].Text.startsWith(Short + "\n"), qPrintable(Answerer.Seen[0].Text));
    if (Confirm) {
      QCOMPARE(Answerer.Seen[1].Kind, QString("QFileDialog"));
      QVERIFY(FileBytes(File) == Sent);
    } else {
      QVERIFY(!QFile::exists(File));
    }
  }

  // --- The Trames tab ----------------------------------------------------------------------

  // A recorded HTTP/2 pass: a row per frame in the window's words, the frames past the
  // record's limit counted under them, its version and stream in the pass table; an HTTP/1.1
  // pass says that it sent no frame.
  void framesTabOfARecordedPass() {
    struct TRow {
      THttp2Frame Frame;
      QString Shown;  // the row's cells, joined by "|"
    };
    const std::vector<TRow> Rows{
        {{true, THttp2Frame::ftSettings, 0, 0, 12, "", 0, 0, "ENABLE_PUSH=0 INITIAL_WINDOW_SIZE=65535"},
         "0.0|→|SETTINGS||0|12|ENABLE_PUSH=0 INITIAL_WINDOW_SIZE=65535"},
        {{true, THttp2Frame::ftHeaders, 5, 1, 30, ":method: GET\r\n:path: /\r\n", 0, 0, ""},
         "1.0|→|HEADERS|END_STREAM|END_HEADERS|1|30|:method: GET; :path: /"},
        {{false, THttp2Frame::ftWindowUpdate, 0, 0, 4, "", 0, 0, "1048576"},
         "2.0|←|WINDOW_UPDATE||0|4|incrément 1048576"},
        {{false, THttp2Frame::ftData, 0, 1, 16384, "", 0, 0, ""}, "3.0|←|DATA||1|16 384|"},
        {{false, THttp2Frame::ftRstStream, 0, 1, 4, "", 2, 0, ""},
         "4.0|←|RST_STREAM||1|4|INTERNAL_ERROR"},
        {{false, THttp2Frame::ftGoAway, 0, 0, 8, "", 1, 1, ""},
         "5.0|←|GOAWAY||0|8|PROTOCOL_ERROR, dernier flux 1"},
    };
    THarLog Log;
    TExchangePass& H2 = Log.Entries.emplace_back().Pass;
    H2.Method = "GET";
    H2.URL = "https://a.test/";
    H2.RequestHeader = "GET / HTTP/2\r\nHost: a.test\r\n\r\n";
    H2.Connection = 0;
    H2.Stream = 1;
    for (const TRow& R : Rows) {
      H2.FrameTimes.push_back(static_cast<double>(H2.Frames.size()));
      H2.Frames.push_back(R.Frame);
    }
    H2.FramesLeftOut = 1234;
    TExchangePass& H1 = Log.Entries.emplace_back().Pass;
    H1.Method = "GET";
    H1.URL = "http://a.test/";
    H1.RequestHeader = "GET / HTTP/1.1\r\nHost: a.test\r\n\r\n";
    TExchangeDetails* Details = OpenDetails();
    Details->ShowLog(std::move(Log), "h2.har");
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcVersion), QString("HTTP/2"));
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcConnection), QString("#0, flux 1"));
    QCOMPARE(Details->Cell(1, TExchangeDetails::pcVersion), QString("HTTP/1.1"));
    Details->SelectPass(0);
    const TFrameModel& Model = Details->FrameView()->Model();
    QCOMPARE(Model.rowCount(), static_cast<int>(Rows.size()));
    for (int R = 0; R < Model.rowCount(); ++R) {
      QStringList Cells;
      for (int C = 0; C < TFrameModel::ColumnCount; ++C) Cells << Model.index(R, C).data().toString();
      QCOMPARE(Cells.join(u'|'), Rows[static_cast<std::size_t>(R)].Shown);
    }
    QCOMPARE(Details->FrameView()->NoteText(),
             QString::fromUtf8("… 1 234 trames de plus non gardées (seules les 10 000 premières le sont)"));
    Details->SelectPass(1);
    QCOMPARE(Model.rowCount(), 0);
    QCOMPARE(Details->FrameView()->NoteText(),
             QString::fromUtf8("Aucune trame : l'échange n'a pas parlé HTTP/2"));
  }

  // A running pass shown again gains rows at the end instead of a rebuild, which would lose
  // the reader's place; another pass (or a new one at the same index) is rebuilt.
  void framesOfARunningPassAreAdded() {
    TExchangePass P;
    P.Started = std::chrono::steady_clock::now();
    const auto Grow = [&P](std::size_t To) {
      P.Frames.resize(To);
      P.FrameTimes.resize(To);
    };
    TFrameModel Model;
    QSignalSpy Reset(&Model, &QAbstractItemModel::modelReset);
    QSignalSpy Added(&Model, &QAbstractItemModel::rowsInserted);
    Grow(TExchangePass::MaxFrames / 2);
    Model.Show(P, 0);
    Grow(TExchangePass::MaxFrames);
    Model.Show(P, 0);
    QCOMPARE(Model.rowCount(), static_cast<int>(TExchangePass::MaxFrames));
    QCOMPARE(Reset.count(), 1);
    QCOMPARE(Added.count(), 1);
    P.Started += std::chrono::milliseconds(1);
    Model.Show(P, 0);
    QCOMPARE(Reset.count(), 2);
  }

  void saveSaysWhatWentWrong_data() {
    QTest::addColumn<bool>("Request");
    QTest::addColumn<QString>("File");
    QTest::addColumn<QString>("Message");
    QTest::newRow("no reply yet") << false << "never.bin"
                                  << QString::fromUtf8("Aucune réponse complète à enregistrer.");
    QTest::newRow("folder missing") << true << "no/such/folder/reply.bin"
                                    << QString::fromUtf8("Impossible d'enregistrer la réponse");
  }
  void saveSaysWhatWentWrong() {
    QFETCH(bool, Request);
    QFETCH(QString, File);
    QFETCH(QString, Message);
    if (Request) QVERIFY(GetReply("HTTP/1.0 200 OK\r\n\r\nok"));
    const QString Path = Scratch.filePath(File);
    ModalAnswerer Answerer;
    Form->SaveReply(Path);
    QCOMPARE(Answerer.Seen.size(), 1);
    QCOMPARE(Answerer.Seen[0].Kind, QString("message"));
    QVERIFY2(Answerer.Seen[0].Text.startsWith(Message), qPrintable(Answerer.Seen[0].Text));
    QVERIFY(!QFile::exists(Path));
  }
};

QTEST_MAIN(TExchangeDetailsTest)
#include "TExchangeDetailsTest.moc"
