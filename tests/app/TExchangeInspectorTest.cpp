// The exchange inspector against scripted loopback servers: its rows for a redirection chain,
// the timing bars' geometry, the body view chosen by content, the commands it copies (run
// again with curl), its HAR against the stored reference, stopping from it, and the window's
// bound on a reply body.
#include <QBuffer>
#include <QClipboard>
#include <QComboBox>
#include <QInputDialog>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QToolButton>
#include <algorithm>
#include <nlohmann/json.hpp>

#include "app/TAnsiText.h"
#include "app/TBodyView.h"
#include "app/TTimingBars.h"
#include "platform/WinSock.h"
#include "tests/app/InspectorWindowFixture.h"
#include "tests/inspect/SameRequest.h"
#include "tests/inspect/ThreeHops.h"
#include "tests/support/HarMask.h"

using namespace testsupport;

namespace {

QByteArray Encoded(const QImage& Image, const char* Format) {
  QByteArray Bytes;
  QBuffer Buffer(&Bytes);
  Buffer.open(QIODevice::WriteOnly);
  Image.save(&Buffer, Format);
  return Bytes;
}

}  // namespace

class TExchangeInspectorTest : public InspectorWindowTest {
  Q_OBJECT

 private:
  // Runs the scripted three-hop chain through the "Aller" page; Port, when given, is told
  // the server's.
  bool ThreeHops(std::uint16_t* Port = nullptr) {
    ScriptedHttpServer Server(ThreeHopsReplies());
    if (Port != nullptr) *Port = Server.Port();
    return Get(Url("127.0.0.1", Server.Port(), ThreeHopsStart));
  }

 private slots:
  // --- The table of passes -----------------------------------------------------------------

  void threeHopRows_data() {
    QTest::addColumn<int>("Row");
    QTest::addColumn<QString>("Path");
    QTest::addColumn<QString>("Status");
    QTest::addColumn<QString>("Size");
    QTest::addColumn<QString>("BodyStart");
    QTest::newRow("302") << 0 << "/start" << "302" << "32" << "<a href=";
    QTest::newRow("301") << 1 << "/second" << "301" << "0" << "";
    QTest::newRow("200") << 2 << "/third?lang=fr&q=caf%C3%A9" << "200" << "17" << "Bonjour";
  }
  void threeHopRows() {
    QFETCH(int, Row);
    QFETCH(QString, Path);
    QFETCH(QString, Status);
    QFETCH(QString, Size);
    QFETCH(QString, BodyStart);
    std::uint16_t Port = 0;
    QVERIFY(ThreeHops(&Port));
    TExchangeDetails* Details = OpenDetails();
    QCOMPARE(Details->RowCount(), 3);
    QCOMPARE(Details->Cell(Row, TExchangeDetails::pcNumber), QString::number(Row + 1));
    QCOMPARE(Details->Cell(Row, TExchangeDetails::pcMethod), QString("GET"));
    QCOMPARE(Details->Cell(Row, TExchangeDetails::pcURL),
             Url("127.0.0.1", Port, Path.toUtf8().constData()));
    QCOMPARE(Details->Cell(Row, TExchangeDetails::pcStatus), Status);
    QCOMPARE(Details->Cell(Row, TExchangeDetails::pcSize), Size);
    QVERIFY(!Details->Cell(Row, TExchangeDetails::pcTime).isEmpty());
    // The last pass is selected; every pass keeps its own body and head to look at.
    QCOMPARE(Details->SelectedPass(), 2);
    Details->SelectPass(Row);
    QVERIFY(Details->BodyView()->Text().startsWith(BodyStart));
    QVERIFY(Details->ReplyText().startsWith("HTTP/1.0 " + Status + " "));
    QVERIFY(Details->RequestText().startsWith("GET " + Path.section("127.0.0.1", 0, 0)));
  }

  // --- Timing bars --------------------------------------------------------------------------

  // Spans on the first pass's clock, by the stage times of hand-made passes: the second pass
  // starts Offset ms after the first.
  void barGeometry_data() {
    QTest::addColumn<double>("Offset");
    // Look-up (or -1), connect, sent, status, end; then the end of a pass cut short, and
    // when a question for another server was put and answered.
    QTest::addColumn<QList<double>>("At");
    QTest::addColumn<QList<double>>("Widths");
    QTest::addColumn<QList<double>>("Lefts");
    QTest::newRow("host name") << 10.0 << QList<double>{5, 15, 20, 60, 90}
                               << QList<double>{5, 10, 5, 40, 30}
                               << QList<double>{10, 15, 25, 30, 70};
    QTest::newRow("dotted address") << 0.0 << QList<double>{-1, 4, 6, 50, 100}
                                    << QList<double>{4, 2, 44, 50} << QList<double>{0, 4, 6, 50};
    QTest::newRow("no body yet") << 50.0 << QList<double>{-1, 10, 20, -1, -1}
                                 << QList<double>{10, 10} << QList<double>{50, 60};
    QTest::newRow("stopped mid-body") << 0.0 << QList<double>{-1, 4, 6, 50, -1, 150}
                                      << QList<double>{4, 2, 44, 100} << QList<double>{0, 4, 6, 50};
    QTest::newRow("another server given")
        << 0.0 << QList<double>{-1, 30, 32, 40, 60, 60, 5, 25} << QList<double>{5, 20, 5, 2, 8, 20}
        << QList<double>{0, 5, 25, 30, 32, 40};
  }
  void barGeometry() {
    QFETCH(double, Offset);
    QFETCH(QList<double>, At);
    QFETCH(QList<double>, Widths);
    QFETCH(QList<double>, Lefts);
    const auto Origin = std::chrono::steady_clock::now();
    std::vector<TExchangePass> Passes(2);
    Passes[0].Started = Origin;
    Passes[0].At = {std::nullopt, 1.0, 2.0, 3.0, 3.0, 200.0};  // sets the scale: 200 ms
    Passes[1].Started = Origin + std::chrono::microseconds(static_cast<long>(Offset * 1000));
    const TExchangeStage Stages[] = {xsLookedUp, xsConnected, xsRequestSent, xsStatusLine,
                                     xsBodyEnd};
    for (int I = 0; I < 5; ++I)
      if (At[I] >= 0) Passes[1].At[Stages[I]] = At[I];
    if (At.size() > 5) Passes[1].EndedAt = At[5];
    if (At.size() > 7) Passes[1].HostQuestion = THostQuestion{At[6], At[7], "h"};
    const auto Rows = TTimingBars::Rows(Passes);
    const double Scale = TTimingBars::Scale(Rows);
    QCOMPARE(Scale, 200.0);
    // 2 pixels a millisecond.
    const std::vector<QRectF> Rects = TTimingBars::Rects(Rows[1], Scale, QRectF(7, 3, 400, 10));
    QCOMPARE(static_cast<int>(Rects.size()), Widths.size());
    for (std::size_t I = 0; I < Rects.size(); ++I) {
      QVERIFY(std::abs(Rects[I].width() - 2 * Widths[static_cast<qsizetype>(I)]) < 1e-6);
      QVERIFY(std::abs(Rects[I].left() - 7 - 2 * Lefts[static_cast<qsizetype>(I)]) < 1e-6);
      QCOMPARE(Rects[I].top(), 3.0);
      QCOMPARE(Rects[I].height(), 10.0);
    }
  }

  // In the window: every row's bar on one scale, the latest end at the right edge, each
  // stage as wide as its time; the Temps tab gives the same times as numbers.
  void barsFollowTheRecordedTimes() {
    QVERIFY(ThreeHops());
    TExchangeDetails* Details = OpenDetails();
    const auto& Passes = Details->Recorder().Passes();
    const QRectF Cell(0, 0, 1008, 24);
    const QRectF Area = TBarDelegate::BarArea(Cell);
    const double Scale = Details->Bars().Scale();
    QCOMPARE(Scale, *Passes.back().AtFrom(Passes.front().Started, xsBodyEnd));
    const double PerMs = Area.width() / Scale;
    for (int Row = 0; Row < 3; ++Row) {
      const TExchangePass& P = Passes[static_cast<std::size_t>(Row)];
      const std::vector<QRectF> Rects = Details->BarRects(Row, Cell);
      QCOMPARE(Rects.size(), std::size_t(4));  // a dotted address: no look-up
      const TExchangeStage Ends[] = {xsConnected, xsRequestSent, xsStatusLine, xsBodyEnd};
      double From = *P.AtFrom(Passes.front().Started, xsConnected) - *P.At[xsConnected];
      for (std::size_t I = 0; I < 4; ++I) {
        const double To = *P.AtFrom(Passes.front().Started, Ends[I]);
        QVERIFY(std::abs(Rects[I].left() - (Area.left() + From * PerMs)) < 1e-6);
        QVERIFY(std::abs(Rects[I].width() - std::max(1.0, (To - From) * PerMs)) < 1e-6);
        From = To;
      }
    }
    Details->SelectPass(1);
    QCOMPARE(Details->StageBars().Rows().size(), std::size_t(4));
    QVERIFY(Details->TimesText().contains(QString::fromUtf8("Réception")));
    QVERIFY(Details->TimesText().contains(QString::fromUtf8("Total : ")));
  }

  // --- The body view -----------------------------------------------------------------------

  void bodyViewByContent_data() {
    QTest::addColumn<QByteArray>("Fields");
    QTest::addColumn<QByteArray>("Body");
    QTest::addColumn<int>("Mode");
    QTest::addColumn<QSize>("ImageSize");
    QTest::addColumn<QString>("Shows");  // the start of the text or hex view
    QImage Picture(37, 23, QImage::Format_RGB32);
    Picture.fill(Qt::darkCyan);
    const QByteArray Png = Encoded(Picture, "PNG");
    QTest::newRow("png") << QByteArray("Content-Type: image/png\r\n") << Png
                         << int(TBodyView::bmImage) << QSize(37, 23) << "";
    QTest::newRow("png named as text") << QByteArray("Content-Type: text/plain\r\n") << Png
                                       << int(TBodyView::bmImage) << QSize(37, 23) << "";
    QTest::newRow("jpeg") << QByteArray() << Encoded(Picture, "JPEG") << int(TBodyView::bmImage)
                          << QSize(37, 23) << "";
    QTest::newRow("bmp") << QByteArray() << Encoded(Picture, "BMP") << int(TBodyView::bmImage)
                         << QSize(37, 23) << "";
    QTest::newRow("gif") << QByteArray()
                         << QByteArray("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00"
                                       "\x00!\xf9\x04\x01\x00\x00\x00\x00,\x00\x00\x00\x00\x01"
                                       "\x00\x01\x00\x00\x02\x02\x44\x01\x00;",
                                       43)
                         << int(TBodyView::bmImage) << QSize(1, 1) << "";
    QTest::newRow("broken png") << QByteArray() << Png.left(40) << int(TBodyView::bmHex)
                                << QSize(0, 0) << "00000000  89 50 4e 47 0d 0a 1a 0a  00 00";
    QByteArray Binary;
    for (int B = 0; B < 256; ++B) Binary += static_cast<char>(B);
    QTest::newRow("binary") << QByteArray("Content-Type: application/octet-stream\r\n") << Binary
                            << int(TBodyView::bmHex) << QSize(0, 0)
                            << "00000000  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  "
                               "|................|\n00000010  10";
    QTest::newRow("json") << QByteArray("Content-Type: application/json; charset=utf-8\r\n")
                          << QByteArray("{\"b\":[1,2],\"a\":\"caf\xC3\xA9\"}")
                          << int(TBodyView::bmText) << QSize(0, 0)
                          << QString::fromUtf8("{\n  \"b\": [\n    1,\n    2\n  ],\n  \"a\": \"café\"\n}");
    // Every token as it came: a parsed and rewritten document would change these numbers.
    QTest::newRow("json numbers as sent")
        << QByteArray("Content-Type: application/json\r\n")
        << QByteArray("\xEF\xBB\xBF{\"n\":[-0,1.10,1E+2,123456789012345678901234567890,{},[ ]],"
                      "\"s\":\"\\u00e9\"}")
        << int(TBodyView::bmText) << QSize(0, 0)
        << QString("{\n  \"n\": [\n    -0,\n    1.10,\n    1E+2,\n    "
                   "123456789012345678901234567890,\n    {},\n    []\n  ],\n  \"s\": \"\\u00e9\"\n}");
    QTest::newRow("json named as text") << QByteArray("Content-Type: text/plain\r\n")
                                        << QByteArray("{\"b\":[1,2]}") << int(TBodyView::bmText)
                                        << QSize(0, 0) << "{\"b\":[1,2]}";
    QTest::newRow("json that does not parse")
        << QByteArray("Content-Type: application/problem+json\r\n") << QByteArray("{\"b\":")
        << int(TBodyView::bmText) << QSize(0, 0) << "{\"b\":";
    // Nesting past the bound stays as it came (parsing and writing recurse per level);
    // brackets inside strings are no nesting.
    const QByteArray Json = "Content-Type: application/json\r\n";
    QTest::newRow("json nested 400 000 deep")
        << Json << QByteArray(400000, '[') + QByteArray(400000, ']') << int(TBodyView::bmText)
        << QSize(0, 0) << "[[[[[[[[";
    QTest::newRow("json nested 257 deep") << Json << QByteArray(257, '[') + QByteArray(257, ']')
                                          << int(TBodyView::bmText) << QSize(0, 0) << "[[[[[[[[";
    QTest::newRow("json nested 256 deep")
        << Json << QByteArray(256, '[') + QByteArray(256, ']') << int(TBodyView::bmText)
        << QSize(0, 0) << "[\n  [\n    [";
    QTest::newRow("json with brackets in a string")
        << Json << "{\"a\":\"\\\"" + QByteArray(300, '[') + "\"}" << int(TBodyView::bmText)
        << QSize(0, 0) << "{\n  \"a\": \"\\\"[[[";
    QTest::newRow("windows-1252 text") << QByteArray() << QByteArray("caf\xE9 cr\xE8me\r\n")
                                       << int(TBodyView::bmText) << QSize(0, 0)
                                       << QString::fromUtf8("café crème");
  }
  void bodyViewByContent() {
    QFETCH(QByteArray, Fields);
    QFETCH(QByteArray, Body);
    QFETCH(int, Mode);
    QFETCH(QSize, ImageSize);
    QFETCH(QString, Shows);
    QVERIFY(GetReply("HTTP/1.0 200 OK\r\n" + Fields.toStdString() + "\r\n" + Body.toStdString()));
    TBodyView* View = OpenDetails()->BodyView();
    QCOMPARE(int(View->Mode()), Mode);
    QCOMPARE(View->ImageSize(), ImageSize);
    if (Mode == TBodyView::bmHex) QVERIFY2(View->Hex().startsWith(Shows), qPrintable(View->Hex()));
    if (Mode == TBodyView::bmText)
      QVERIFY2(View->Text().startsWith(Shows), qPrintable(View->Text()));
    // The user can switch; a picture is offered only when there is one.
    View->SetMode(TBodyView::bmHex);
    QCOMPARE(View->Mode(), TBodyView::bmHex);
    QVERIFY(View->Hex().startsWith("00000000  "));
    View->SetMode(TBodyView::bmImage);
    QCOMPARE(View->Mode(), !ImageSize.isEmpty() ? TBodyView::bmImage : TBodyView::bmHex);
  }

  // --- Copy as command --------------------------------------------------------------------

  void copiedCurlSendsTheSameRequest_data() {
    QTest::addColumn<QString>("Button");
    QTest::addColumn<QString>("Data");
    QTest::addColumn<QStringList>("Settings");  // Edit5 to Edit10
    QTest::newRow("get") << "Button1" << "" << QStringList{"", "", "", "", "", ""};
    QTest::newRow("get with every setting")
        << "Button1" << ""
        << QStringList{"id=1; lang=fr", "moi@example.org", "Probe/1.0 (it's mine)",
                       "http://127.0.0.1/from?a=1&b=2", "user", "p\xC3\xA4ss"};
    QTest::newRow("post") << "Button2" << QString::fromUtf8("a b=c&d=Zürich €") << QStringList{
        "", "", "Probe/2", "", "", ""};
    QTest::newRow("head") << "Button3" << "" << QStringList{"", "", "", "", "", ""};
    // The name is unknown here, and "Serveur invalide" is answered with 127.0.0.1.
    QTest::newRow("after Serveur invalide") << "Button1"
                                            << "" << QStringList{"", "", "", "", "", ""};
  }
  void copiedCurlSendsTheSameRequest() {
    QFETCH(QString, Button);
    QFETCH(QString, Data);
    QFETCH(QStringList, Settings);
    const ReplyScript Ok = Whole("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    ScriptedHttpServer Peer({Ok, Ok});
    const char* Boxes[] = {"Edit5", "Edit6", "Edit7", "Edit8", "Edit9", "Edit10"};
    for (int I = 0; I < 6; ++I) W<QLineEdit>(Boxes[I])->setText(Settings[I]);
    const char* UrlBox = Button == "Button1" ? "Edit1" : Button == "Button2" ? "Edit2" : "Edit4";
    const bool Asked = QByteArray(QTest::currentDataTag()).contains("Serveur");
    W<QLineEdit>(UrlBox)->setText(
        Url(Asked ? "nosuch.invalid" : "127.0.0.1", Peer.Port(), "/form?x=1"));
    ModalAnswerer Answerer;
    Answerer.Answer = [](QDialog* D) {
      if (auto* Input = qobject_cast<QInputDialog*>(D)) Input->setTextValue("127.0.0.1");
      D->accept();
    };
    W<QLineEdit>("Edit3")->setText(Data);
    QVERIFY(Run(Button.toLatin1().constData()));
    TExchangeDetails* Details = OpenDetails();
    Control<QPushButton>(Details, "CopyCommandButton")->click();
    const QStringList Lines = QApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
    QCOMPARE(Lines.size(), 2);
    QVERIFY(Lines[0].startsWith("orrery-cli "));
    QVERIFY(Lines[1].startsWith("curl "));
    QProcess Curl;
    Curl.start("/bin/sh", {"-c", Lines[1] + " -s -o /dev/null"});
    QVERIFY(Curl.waitForFinished(20000));
    QCOMPARE(Curl.exitCode(), 0);
    const std::vector<std::string> Received = Peer.Requests();
    QCOMPARE(Received.size(), std::size_t(2));
    QCOMPARE(QString::fromStdString(ComparableRequest(Received[1])),
             QString::fromStdString(ComparableRequest(Received[0])));
    // The inspector names the server used.
    QCOMPARE(Details->NoteText().contains(QString::fromUtf8("Serveur utilis\u00e9 : 127.0.0.1")), Asked);
  }

  // The note names every address the connection tried and how each ended, and both forms
  // of an international name; a name the test resolver gives [::1] (where nothing listens on
  // the port) before 127.0.0.1.
  void noteNamesTheAttemptsAndBothFormsOfTheName() {
    ScriptedHttpServer Peer({Whole("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")});
    win::SetAddrResolver([](const std::string& Name, int, std::vector<win::SOCKADDR_INET>& Out,
                            std::string& Canonical) {
      if (Name != "xn--bcher-kva.test") return win::WSAHOST_NOT_FOUND;
      win::SOCKADDR_INET V6{}, V4{};
      V6.Ipv6.sin6_family = AF_INET6;
      V6.Ipv6.sin6_addr = in6addr_loopback;
      V4.Ipv4.sin_family = AF_INET;
      V4.Ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      Out = {V6, V4};
      Canonical = Name;
      return 0;
    });
    const auto Restore = qScopeGuard([] { win::SetAddrResolver({}); });
    ModalAnswerer Answerer;  // a failure's message must not hold the test
    QVERIFY(Get(QString::fromUtf8("http://b\u00fccher.test:%1/").arg(Peer.Port())));
    const QStringList Note = OpenDetails()->NoteText().split(u'\n');
    const QString At = ":" + QString::number(Peer.Port());
    QVERIFY(Note.contains(QString::fromUtf8("Serveur : xn--bcher-kva.test (b\u00fccher.test)")));
    const auto Line = [&](const QString& Start) {
      const auto Found = std::find_if(Note.begin(), Note.end(), [&](const QString& L) { return L.startsWith(Start); });
      return Found == Note.end() ? QString() : *Found;
    };
    QVERIFY2(Line(QString::fromUtf8("Connexion \u00e0 [::1]") + At).contains(QString::fromUtf8("\u00e9chec apr\u00e8s")) &&
                 Line(QString::fromUtf8("Connexion \u00e0 [::1]") + At).endsWith(QString::fromUtf8("(refus\u00e9e, erreur 10061)")),
             qPrintable(Note.join(u'|')));
    QVERIFY2(Line(QString::fromUtf8("Connexion \u00e0 127.0.0.1") + At).contains(QString::fromUtf8("\u00e9tablie")),
             qPrintable(Note.join(u'|')));
  }

  // --- Connections -------------------------------------------------------------------------

  // The second of two GETs with 1.1: on the connection kept from the first, or on a new one
  // once the server closed the kept one. Its connection in the table and the note, kept open
  // after it too; a reused one has no connect span in its bar or its times.
  void secondGetsConnection_data() {
    QTest::addColumn<bool>("Closed");
    QTest::addColumn<QString>("Cell");
    QTest::addColumn<QString>("Line");
    QTest::newRow("reused")
        << false << QString::fromUtf8("#0 réutilisée")
        << QString::fromUtf8("Connexion #0 réutilisée : gardée ouverte par un échange précédent");
    QTest::newRow("resent")
        << true << "#1"
        << QString::fromUtf8(
               "Connexion gardée fermée par le serveur avant la réponse : requête "
               "renvoyée sur une nouvelle connexion (#1)");
  }
  void secondGetsConnection() {
    QFETCH(bool, Closed);
    QFETCH(QString, Cell);
    QFETCH(QString, Line);
    using namespace steps;
    const std::string Ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    TScriptedPeer Server(
        Closed
            ? std::vector<TConnectionScript>{{ReadRequest(), Send(Ok), ReadRequest()},
                                             {ReadRequest(), Send(Ok)}}
            : std::vector<TConnectionScript>{{ReadRequest(), Send(Ok), ReadRequest(), Send(Ok)}});
    W<QComboBox>("ComboBox1")->setCurrentText("1.1");
    QVERIFY(Get(Url("127.0.0.1", Server.Port())) && Get(Url("127.0.0.1", Server.Port())));
    TExchangeDetails* Details = OpenDetails();
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcConnection), Cell);
    const QString After =
        QString::fromUtf8("Connexion %1 gardée ouverte après cet échange").arg(Cell.left(2));
    QCOMPARE(Details->NoteText().split(u'\n').filter(QString::fromUtf8("gardée")),
             (QStringList{Line, After}));
    QCOMPARE(Details->BarRects(0, QRectF(0, 0, 500, 20)).size(), std::size_t(Closed ? 4 : 3));
    QCOMPARE(Details->TimesText().startsWith("Envoi\t"), !Closed);
  }

  // A recording's https entry on a kept connection holds no session: Sécurité says whose it was.
  void recordedPassOnAKeptConnection() {
    THarLog Log;
    TExchangePass& P = Log.Entries.emplace_back().Pass;
    P.URL = "https://a.test/";
    P.Connection = 4;
    P.ConnectionReused = true;
    TExchangeDetails* Details = OpenDetails();
    Details->ShowLog(std::move(Log), "a.har");
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcConnection) + " " + Details->SecurityText(),
             QString::fromUtf8(
                 "#4 réutilisée Chiffrement: inconnu : connexion #4 réutilisée, négociée par un "
                 "échange précédent\n"));
  }

  // --- HAR --------------------------------------------------------------------------------

  void harOfThreeHopsEqualsTheReference() {
    QVERIFY(ThreeHops());
    const QString File = Scratch.filePath("three-hops.har");
    ModalAnswerer Answerer;
    Form->ExportHar(File);
    QCOMPARE(Answerer.Seen.size(), 0);
    const std::string Reference = FileBytes(ORRERY_INSPECT_DATA "/three-hops.har");
    QVERIFY(!Reference.empty());
    QCOMPARE(QString::fromStdString(MaskedHarText(FileBytes(File))),
             QString::fromStdString(MaskedHarText(Reference)));
  }

  void harExportThroughTheMenu_data() {
    QTest::addColumn<QString>("File");
    QTest::addColumn<QString>("Message");  // start of the message box's text; empty for none
    QTest::newRow("written") << "menu.har" << "";
    QTest::newRow("folder missing") << "no/such/folder/x.har"
                                    << QString::fromUtf8("Impossible d'exporter l'échange");
  }
  void harExportThroughTheMenu() {
    QFETCH(QString, File);
    QFETCH(QString, Message);
    QVERIFY(ThreeHops());
    const QString Path = Scratch.filePath(File);
    ModalAnswerer Answerer;
    Answerer.Answer = [&](QDialog* D) { SaveAs(D, Path); };
    Control<QToolButton>(OpenDetails(), "ExportHarButton")->click();
    QCOMPARE(Answerer.Seen.size(), Message.isEmpty() ? 1 : 2);
    QCOMPARE(Answerer.Seen[0].Kind, QString("QFileDialog"));
    if (Message.isEmpty()) {
      QCOMPARE(MaskedHar(FileBytes(Path))["log"]["entries"].size(), std::size_t(3));
    } else {
      QCOMPARE(Answerer.Seen[1].Kind, QString("message"));
      QVERIFY2(Answerer.Seen[1].Text.startsWith(Message), qPrintable(Answerer.Seen[1].Text));
      QVERIFY(!QFile::exists(Path));
    }
  }

  // --- Stopping from the inspector, and what is off meanwhile ------------------------------

  void stopsFromTheInspector_data() {
    QTest::addColumn<bool>("ByKey");
    QTest::newRow("stop button") << false;
    QTest::newRow("Esc") << true;
  }
  void stopsFromTheInspector() {
    QFETCH(bool, ByKey);
    ReplyScript Held = Whole("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nfirst part");
    Held.Hold = true;
    ScriptedHttpServer Peer({Held});
    TExchangeDetails* Details = OpenDetails();
    bool OffMeanwhile = false;
    TVelHTTP* H = Form->VelHTTP1;
    const TStageEvent Earlier = H->OnStage;
    H->OnStage = [&](TObject* Sender, THttpStage Stage) {
      if (Earlier) Earlier(Sender, Stage);
      if (Stage != hsHeaderEnd) return;
      OffMeanwhile = !W<QAction>("ExporterHar1")->isEnabled() &&
                     !W<QAction>("EnregistrerReponse1")->isEnabled() &&
                     W<QAction>("Arreter1")->isEnabled();
      QTimer::singleShot(0, Details, [&] {
        if (ByKey) {
          Details->activateWindow();
          QTest::keyClick(Details, Qt::Key_Escape);
        } else {
          Control<QToolButton>(Details, "StopButton")->click();
        }
      });
    };
    QVERIFY(Get(Url("127.0.0.1", Peer.Port())));
    QVERIFY(OffMeanwhile);
    QCOMPARE(Form->StatusText(), QString::fromUtf8("Requête arrêtée"));
    QVERIFY(W<QAction>("ExporterHar1")->isEnabled());
    QVERIFY(!Details->Recorder().Complete());
  }

  // --- The bound on a body ----------------------------------------------------------------

  // Past the bound the panes show what was kept, and a message says the reply was longer;
  // the inspector has the same start. Another error leaves the panes as they were.
  void aBodyPastTheBoundShowsWhatWasKept() {
    QCOMPARE(Form->VelHTTP1->MaxBodySize, TForm1::MaxBody);
    QCOMPARE(TForm1::MaxBody, std::int64_t{256} << 20);
    Form->VelHTTP1->MaxBodySize = 1000;  // the same path, at a size a test can send
    const std::string Body = std::string(1000, 'k') + std::string(4000, 'x');
    W<QPlainTextEdit>("Memo1")->setPlainText("before");
    ModalAnswerer Answerer;
    QVERIFY(GetReply("HTTP/1.0 200 OK\r\nX-Bound: yes\r\n\r\n" + Body));
    QCOMPARE(W<QPlainTextEdit>("Memo1")->toPlainText(), QString(1000, 'k'));
    QVERIFY(W<QPlainTextEdit>("Memo2")->toPlainText().contains("X-Bound: yes"));
    const QString Longer = QString::fromUtf8("Réponse plus longue que 1 000 octets");
    QVERIFY2(Form->StatusText().startsWith(Longer), qPrintable(Form->StatusText()));
    QCOMPARE(Answerer.Seen.size(), 1);
    QVERIFY(Answerer.Seen[0].Text.startsWith(Longer));
    QCOMPARE(OpenDetails()->BodyView()->Text(), QString(1000, 'k'));

    // A failure of another kind: the panes keep their text.
    Answerer.Seen.clear();
    W<QPlainTextEdit>("Memo1")->setPlainText("kept");
    QVERIFY(Get("http://127.0.0.1:1/"));
    QCOMPARE(W<QPlainTextEdit>("Memo1")->toPlainText(), QString("kept"));
  }

  // A HAR's pass is held as a live one: the first MiB of its body, its count whole; the whole
  // is read again from the file when asked, indented. A reading stopped (Esc) shows nothing
  // of it.
  void aHarBodyPastTheBoundIsReadWholeWhenAsked() {
    std::string Items;
    for (int I = 0; Items.size() < (std::size_t{3} << 20); ++I) Items += "{\"id\": " + std::to_string(I) + "},";
    Items.back() = ']';
    const std::string Body = "[" + Items;
    auto Doc = nlohmann::json::parse(FileBytes(ORRERY_INSPECT_DATA "/har/chrome.har"));
    Doc["log"]["entries"][0]["response"]["content"]["text"] = Body;
    const QString Path = Scratch.filePath("big.har");
    std::ofstream(Path.toStdString(), std::ios::binary) << Doc.dump();
    TExchangeDetails* Details = OpenHar(Path);
    QVERIFY(Details != nullptr && Details->ShowsLog());
    Details->SelectPass(0);
    TBodyView* View = Details->BodyView();
    QVERIFY(View->Text().size() < 1100000 && View->Text().startsWith("[{\"id\": 0},"));
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcSize), TAnsiText::Count(static_cast<std::int64_t>(Body.size())));
    auto* Whole = Control<QPushButton>(View, "WholeBodyButton");
    QVERIFY(!Whole->isHidden());
    Whole->click();
    QVERIFY(QTest::qWaitFor([View] { return View->Text().contains("\"id\": 0\n  },\n  {"); }, 30000));
    QVERIFY(View->Text().contains("\"id\": " + QString::number(std::count(Body.begin(), Body.end(), '{') - 1)));

    Details->ShowLive();
    Details->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Details));
    Details->OpenFile(Path);
    QTest::keyClick(Details, Qt::Key_Escape);  // the main window's stop is off: no request runs
    QVERIFY(QTest::qWaitFor([Details] { return !Details->Opening(); }, 30000));
    QVERIFY(!Details->ShowsLog());
  }
};

QTEST_MAIN(TExchangeInspectorTest)
#include "TExchangeInspectorTest.moc"
