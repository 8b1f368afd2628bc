// The inspector's other sources and views: a HAR file opened in it, two passes compared side
// by side off the UI thread, a replay of the selected passes, and a refused certificate's
// pass kept beside the pass that went on without the check.
#include <QBuffer>
#include <QCheckBox>
#include <QLayout>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "app/TBodyView.h"
#include "app/TCompareView.h"
#include "tests/app/InspectorWindowFixture.h"
#include "tests/support/TlsServers.h"

using namespace testsupport;

namespace {

// A 4×4 picture with one dot; saved without alpha its bytes differ, its pixels do not.
std::string Png(int Dot, bool Alpha = true) {
  QImage Image(4, 4, Alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
  Image.fill(Qt::white);
  Image.setPixel(1, 1, QColor(Dot, 0, 0).rgba());
  QByteArray Bytes;
  QBuffer Buffer(&Bytes);
  return Buffer.open(QIODevice::WriteOnly) && Image.save(&Buffer, "PNG") ? Bytes.toStdString() : "";
}

// A final reply of Status with Fields ("Name: value\r\n" lines) and Body.
TExchangePass Reply(const std::string& Fields, const std::string& Body, int Status = 200) {
  TExchangePass P;
  P.ReplyHeader = "HTTP/1.1 " + std::to_string(Status) + " X\r\n" + Fields + "\r\n";
  P.ReplyNumber = Status;
  P.Body = Body;
  P.BodyBytes = static_cast<std::int64_t>(Body.size());
  P.At = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0};
  return P;
}

// Counts how often the cells of its column are measured.
struct TMeasureCounter : QStyledItemDelegate {
  mutable int Measured = 0;
  QSize sizeHint(const QStyleOptionViewItem& O, const QModelIndex& I) const override {
    return ++Measured, QStyledItemDelegate::sizeHint(O, I);
  }
};

const std::string Json = "Content-Type: application/json\r\n";
const std::string Text = "Content-Type: text/plain\r\n";

}  // namespace

Q_DECLARE_METATYPE(TExchangePass)

class TInspectorCompareTest : public InspectorWindowTest {
  Q_OBJECT

  // Waits for View's result under a tripwire.
  static bool Finish(TCompareView* View) {
    QSignalSpy Done(View, &TCompareView::Finished);
    return View->Done() || Done.wait(20000);
  }

  QString WriteFile(const char* Name, const std::string& Bytes) {
    std::ofstream(Scratch.filePath(Name).toStdString(), std::ios::binary) << Bytes;
    return Scratch.filePath(Name);
  }

  // Opens a HAR of the stored sample's first entry once per URL, every entry selected.
  TExchangeDetails* OpenSelected(const std::vector<std::string>& Urls) {
    auto Doc = nlohmann::json::parse(FileBytes(QString(ORRERY_INSPECT_DATA "/har/chrome.har")));
    auto& Entries = Doc["log"]["entries"];
    Entries = std::vector<nlohmann::json>(Urls.size(), Entries[0]);
    // Sent to the scripted HTTP/1.x servers here: an entry of HTTP/2 (its version, or its
    // pseudo-header fields) over plain http would go by prior knowledge, which they do not speak.
    for (std::size_t I = 0; I < Urls.size(); ++I) {
      Entries[I]["request"]["url"] = Urls[I];
      Entries[I]["request"]["httpVersion"] = Entries[I]["response"]["httpVersion"] = "HTTP/1.1";
      nlohmann::json Fields = nlohmann::json::array();
      for (const nlohmann::json& F : Entries[I]["request"]["headers"])
        if (!F["name"].get<std::string>().starts_with(':')) Fields.push_back(F);
      Entries[I]["request"]["headers"] = Fields;
    }
    TExchangeDetails* Details = OpenHar(WriteFile("replayed.har", Doc.dump()));
    Control<QTableWidget>(Details, "PassTable")->selectAll();
    return Details;
  }

 private slots:
  // --- A HAR file in the inspector ---------------------------------------------------------

  void openHar_data() {
    QTest::addColumn<QString>("File");  // a stored sample, or "@name" made here
    QTest::addColumn<int>("Rows");
    QTest::addColumn<QString>("FirstStatus");
    QTest::addColumn<QString>("Message");  // the start of the message box's text; "" for none
    QTest::addColumn<QString>("Note");     // in the note of the first row
    QTest::newRow("chrome") << "chrome.har" << 2 << "200" << "" << "";
    QTest::newRow("firefox") << "firefox.har" << 2 << "302" << "" << "";
    QTest::newRow("refused entry") << "@refused" << 2 << "200" << ""
                                   << "request.headers[0].name: not a token";
    // The entry cut short is kept, refused for what it lacks.
    QTest::newRow("cut in its second entry") << "@cut" << 2 << "200"
                                             << QString::fromUtf8("valide à partir de l'octet") << "";
    QTest::newRow("missing") << "@missing" << 0 << "" << QString::fromUtf8("no<U+202E>ne.har » n'a pas pu être lu : il n'existe pas.")
                             << QString::fromUtf8("Aucune requête");
    QTest::newRow("empty") << "@empty" << 0 << "" << QString::fromUtf8("lu : le fichier est vide.")
                           << QString::fromUtf8("Erreur : le fichier est vide");
    QTest::newRow("fifo") << "@fifo" << 0 << "" << QString::fromUtf8("c'est un tube nommé (FIFO)")
                          << QString::fromUtf8("Erreur : c'est un tube nommé");
  }
  void openHar() {
    QFETCH(QString, File);
    QFETCH(int, Rows);
    QFETCH(QString, FirstStatus);
    QFETCH(QString, Message);
    QFETCH(QString, Note);
    QString Path = QString(ORRERY_INSPECT_DATA "/har/") + File;
    const std::string Chrome = FileBytes(QString(ORRERY_INSPECT_DATA "/har/chrome.har"));
    auto Doc = nlohmann::json::parse(Chrome);
    Doc["log"]["entries"][0]["request"]["headers"][0]["name"] = "X Y";
    Doc["log"]["entries"][0]["_tls"] = {{"version", "TLSv1.3"}, {"chain", {{{"subject", "CN=a\u202Eb"}}}}};
    if (File == "@refused") Path = WriteFile("re\u202Efused.har", Doc.dump());
    if (File == "@cut") Path = WriteFile("cut.har", Chrome.substr(0, Chrome.rfind("cdn.shop.example")));
    if (File == "@missing") Path = Scratch.filePath("no\u202Ene.har");
    if (File == "@empty") Path = WriteFile("empty.har", "");
    if (File == "@fifo" && ::mkfifo(QFile::encodeName(Path = Scratch.filePath("fifo.har")), 0600) != 0) QFAIL("mkfifo");
    ModalAnswerer Answerer;
    TExchangeDetails* Details = OpenHar(Path);
    QVERIFY(Details != nullptr && Details->ShowsLog());
    QCOMPARE(Answerer.Seen.size(), Message.isEmpty() ? 0 : 1);
    if (!Message.isEmpty()) QVERIFY2(Answerer.Seen[0].Text.contains(Message), qPrintable(Answerer.Seen[0].Text));
    if (File == "@refused") QVERIFY(Details->findChild<QLabel*>("SourceLabel")->text().contains("re<U+202E>fused.har"));
    QCOMPARE(Details->RowCount(), Rows);
    if (Rows == 0) QVERIFY(Details->NoteText().contains(Note));
    if (Rows == 0) return;
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcStatus), FirstStatus);
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcReplay), Note.isEmpty() ? QString() : QString::fromUtf8("refusée"));
    Details->SelectPass(0);
    QVERIFY2(Details->NoteText().contains(Note), qPrintable(Details->NoteText()));
    if (File == "@refused") QVERIFY2(Details->SecurityText().contains("CN=a<U+202E>b"), qPrintable(Details->SecurityText()));
    if (File == "@cut") Details->SelectPass(1);
    if (File == "@cut") QVERIFY2(Details->NoteText().contains(QString::fromUtf8("refusée, jamais renvoyée : ce n'est pas du JSON")), qPrintable(Details->NoteText()));
    // The file's own timings draw the bars (the first entry waited 55.25 ms); one row alone
    // is no comparison, two rows are.
    if (File == "chrome.har") {
      const auto& Spans = Details->Bars().Rows().at(0);
      QVERIFY(std::any_of(Spans.begin(), Spans.end(), [](const TBarSpan& S) {
        return S.Kind == TBarSpan::bkWait && qFuzzyCompare(S.To - S.From, 55.25);
      }));
      QVERIFY(Details->TimesText().contains(QString::number(55.25, 'f', 1)));
      QVERIFY(Details->BodyView()->Text().contains("items"));
      QVERIFY(!Details->findChild<QPushButton*>("CompareButton")->isEnabled() && !Details->CompareSelected());
      Details->SelectPasses({0, 1});
      TCompareView* View = Details->CompareSelected();
      QVERIFY(View != nullptr && Finish(View));
      QVERIFY2(View->Verdict().startsWith(QString::fromUtf8("différent : ")) && View->Verdict().contains("corps"),
               qPrintable(View->Verdict()));
    }
    // The recorder's passes come back at once.
    W<QPushButton>("LiveButton")->click();
    QVERIFY(!Details->ShowsLog());
    QCOMPARE(Details->RowCount(), 0);
  }

  // --- Two passes side by side -------------------------------------------------------------

  void compare_data() {
    QTest::addColumn<TExchangePass>("A");
    QTest::addColumn<TExchangePass>("B");
    QTest::addColumn<QString>("Verdict");  // its start
    QTest::addColumn<QString>("Headers");  // a line of the header table; "" for none
    QTest::addColumn<QString>("Body");     // a line of the body's difference
    QTest::newRow("json by path")
        << Reply(Json, R"({"items":[{"price":10},{"price":10}]})")
        << Reply(Json, R"({ "items": [{"price":10}, {"price":12}], "new": 1 })")
        << QString::fromUtf8("différent : corps") << ""
        << QString::fromUtf8("$.items[1].price: 10 → 12");
    QTest::newRow("json keys reordered")
        << Reply(Json, R"({"a":1,"b":[1,2]})") << Reply(Json, R"({"b":[1,2],"a":1})") << "identique" << ""
        << "0 changement(s) JSON";
    std::string Long = "a\n", Other = "A\n";
    for (int I = 0; I < 300; ++I) Long += "x\n", Other += "x\n";
    QTest::newRow("text by line") << Reply(Text, Long + "b\n") << Reply(Text, Other + "B\n")
                                  << QString::fromUtf8("différent : corps") << "" << "+302 B";
    QTest::newRow("volatile date set apart")
        << Reply("Date: Mon, 01 Jan 2024 00:00:00 GMT\r\n" + Text, "x")
        << Reply("Date: Tue, 02 Jan 2024 00:00:00 GMT\r\n" + Text, "x") << "identique"
        << "variable\tDate\tMon, 01 Jan 2024 00:00:00 GMT\tTue, 02 Jan 2024 00:00:00 GMT" << "";
    QTest::newRow("field added, status changed")
        << Reply(Text, "x") << Reply(Text + "X-New: 1\r\n", "x", 404)
        << QString::fromUtf8("différent : statut 200 → 404, 1 champ(s)")
        << QString::fromUtf8("ajouté\tX-New\t\t1") << "";
    QTest::newRow("pixels differ") << Reply("", Png(0)) << Reply("", Png(255)) << QString::fromUtf8("différent")
                                   << "" << QString::fromUtf8("PNG 4×4 / PNG 4×4 ; pixels différents");
    // Other bytes, the same picture: the pixels say it is the same.
    QTest::newRow("same pixels, other bytes") << Reply("", Png(9, true)) << Reply("", Png(9, false))
                                              << "identique" << "" << "pixels identiques";
  }
  void compare() {
    QFETCH(TExchangePass, A);
    QFETCH(TExchangePass, B);
    QFETCH(QString, Verdict);
    QFETCH(QString, Headers);
    QFETCH(QString, Body);
    TCompareView View(A, B, "A", "B");
    View.show();
    QVERIFY(Finish(&View));
    QVERIFY2(View.Verdict().startsWith(Verdict), qPrintable(View.Verdict()));
    // A text diff marks each side's own lines, and the two sides scroll together.
    const int Marks = QTest::currentDataTag() == QString("text by line") ? 2 : 0;
    QCOMPARE(View.PaneA()->extraSelections().size(), Marks);
    QCOMPARE(View.PaneB()->extraSelections().size(), Marks);
    View.PaneA()->verticalScrollBar()->setValue(Marks * 100);
    QCOMPARE(View.PaneB()->verticalScrollBar()->value(), Marks * 100);
    // A change in its colour, a volatile field in none of a change's.
    const int Row = Headers.isEmpty() ? -1 : static_cast<int>(View.HeaderText().split('\n').indexOf(Headers));
    QVERIFY2(Headers.isEmpty() || Row >= 0, qPrintable(View.HeaderText()));
    if (Row >= 0) QCOMPARE(View.HeaderColour(Row) == TCompareView::KindColour(TChangeKind::ckAdded), !Headers.startsWith("variable"));
    if (!Body.isEmpty()) QVERIFY2(View.BodyText().contains(Body), qPrintable(View.BodyText()));
    QCOMPARE(View.Bars().Rows().size(), std::size_t{2});
  }

  // Two large bodies: the window keeps turning while the worker compares, a progress shows
  // past half a second, and a stop drops the result.
  void largeBodiesStayResponsiveAndStop() {
    std::string A, B;
    for (int I = 0; I < 400000; ++I) {
      A += std::to_string(I * 7) + " a\n";
      B += std::to_string(I * 13) + " b\n";
    }
    TCompareView View(Reply(Text, A), Reply(Text, B), "A", "B");
    QVERIFY(!View.Done());
    bool Turned = false;
    QTimer::singleShot(0, [&] { Turned = true; });
    QTRY_VERIFY_WITH_TIMEOUT(Turned, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(View.ProgressShown() || View.Done(), 5000);
    View.Stop();
    QVERIFY(View.Done() || (View.Stopped() && View.Verdict().isEmpty() && !View.ProgressShown()));
  }

  // --- Replaying the selected passes -------------------------------------------------------

  // A pass of the window is replayed from its own record, through the confirmation: the
  // unsafe method only when ticked, the recorded cookie to another base only when kept.
  void replay_data() {
    QTest::addColumn<bool>("Post");
    QTest::addColumn<int>("Base");  // 0 the recorded server, 1 another, 2 one that refuses
    QTest::addColumn<bool>("Ticked");  // "Garder les identifiants" and the unsafe methods
    QTest::addColumn<QString>("Outcome");
    QTest::addColumn<int>("Sent");  // requests the replay's server received
    QTest::newRow("same server, same reply") << false << 0 << false << "identique" << 1;
    QTest::newRow("another base, its own files") << false << 1 << false << QString::fromUtf8("différent") << 1;
    QTest::newRow("cookie kept for another base") << false << 1 << true << QString::fromUtf8("différent") << 1;
    QTest::newRow("POST not ticked") << true << 0 << false << QString::fromUtf8("non envoyé") << 0;
    QTest::newRow("POST ticked") << true << 0 << true << "identique" << 1;
    QTest::newRow("refused connection") << false << 2 << false << QString::fromUtf8("échec") << 0;
  }
  void replay() {
    QFETCH(bool, Post);
    QFETCH(int, Base);
    QFETCH(bool, Ticked);
    QFETCH(QString, Outcome);
    QFETCH(int, Sent);
    const std::string One = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\none\n";
    ScriptedHttpServer Recorded({Whole(One), Whole(One)});
    ScriptedHttpServer Other({Whole("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\ntwo\n")});
    W<QLineEdit>("Edit5")->setText("k=v");
    W<QLineEdit>(Post ? "Edit2" : "Edit1")->setText(Url("127.0.0.1", Recorded.Port()));
    W<QLineEdit>("Edit3")->setText("a=1");
    QVERIFY(Run(Post ? "Button2" : "Button1"));
    TExchangeDetails* Details = OpenDetails();
    Details->SelectPasses({0});
    const std::uint16_t Port = Base == 1 ? Other.Port() : RefusingPort();
    ModalAnswerer Answerer;
    Answerer.Answer = [&](QDialog* D) {
      if (Base > 0) D->findChild<QLineEdit*>("ReplayBase")->setText(QString("http://127.0.0.1:%1").arg(Port));
      D->findChild<QCheckBox*>("KeepCredentials")->setChecked(Ticked);
      D->findChild<QCheckBox*>("ReplayUnsafe")->setChecked(Ticked);
      D->accept();
    };
    Tripwire Wire(10000, [&] { Details->StopReplay(); });
    W<QPushButton>("ReplayButton")->click();
    QVERIFY(!Wire.Tripped);
    QCOMPARE(Answerer.Seen.size(), 1);
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcReplay), Outcome);
    ScriptedHttpServer& Target = Base == 1 ? Other : Recorded;
    const auto Got = Target.Requests();
    QCOMPARE(static_cast<int>(Got.size()) - (Base == 1 ? 0 : 1), Sent);
    if (Sent > 0) QCOMPARE(Got.back().find("k=v") != std::string::npos, Base == 0 || Ticked);
    if (Outcome != QString::fromUtf8("différent")) return;
    TCompareView* View = Details->CompareSelected();
    QVERIFY(View != nullptr && Finish(View));
    QVERIFY2(View->BodyText().contains("+1 two"), qPrintable(View->BodyText()));
    // A new request's passes are not those replayed.
    QVERIFY(GetReply(One));
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcReplay), QString());
  }

  // Each entry's result fills its cell without the table measuring every row again: the
  // window's share of a replay grows with the entries, not with their square.
  void replayMeasuresEachRowOnce() {
    TExchangeDetails* Details = OpenSelected(std::vector<std::string>(60, "http://nowhere.invalid/"));
    auto* Table = Control<QTableWidget>(Details, "PassTable");
    TMeasureCounter Counter;
    Table->setItemDelegateForColumn(TExchangeDetails::pcStatus, &Counter);
    Tripwire Wire(20000, [&] { Details->StopReplay(); });
    Details->ReplaySelected(TReplayOptions());
    Table->setItemDelegateForColumn(TExchangeDetails::pcStatus, nullptr);
    QCOMPARE(Details->Cell(59, TExchangeDetails::pcReplay), QString::fromUtf8("échec"));
    QVERIFY2(Counter.Measured <= 60, qPrintable(QString::number(Counter.Measured)));
  }

  // A replay stops from its own button, the inspector's "Arrêter" and Esc: the entry cut
  // short says so, the next is not sent, and no HAR can be opened meanwhile.
  void replayStops_data() {
    QTest::addColumn<QString>("How");
    QTest::newRow("replay button") << "ReplayButton";
    QTest::newRow("stop button") << "StopButton";
    QTest::newRow("Esc") << "Esc";
  }
  void replayStops() {
    QFETCH(QString, How);
    ReplyScript Held = Whole("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nfirst part");
    Held.Hold = true;
    ScriptedHttpServer Peer({Held, Held});
    const std::string Target = Url("127.0.0.1", Peer.Port()).toStdString();
    TExchangeDetails* Details = OpenSelected({Target, Target});
    bool OpenOff = false;
    QTimer Poll;
    connect(&Poll, &QTimer::timeout, this, [&] {
      if (Peer.Requests().empty()) return;
      Poll.stop();
      OpenOff = !W<QAction>("OuvrirHar1")->isEnabled();
      // A request meanwhile is refused: it would hold the replay's wait until its own end.
      W<QPushButton>("Button1")->click();
      OpenOff = OpenOff && Form->StatusText() == QString::fromUtf8("Requête déjà en cours");
      if (How != "Esc") return Control<QAbstractButton>(Details, How.toLatin1().constData())->click();
      QTest::keyClick(Details, Qt::Key_Escape);
    });
    Poll.start(5);
    Tripwire Wire(10000, [&] { Details->StopReplay(); });
    Details->ReplaySelected(TReplayOptions());
    QVERIFY(!Wire.Tripped && OpenOff && W<QAction>("OuvrirHar1")->isEnabled());
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcReplay) + "|" + Details->Cell(1, TExchangeDetails::pcReplay),
             QString::fromUtf8("arrêté|"));
    Details->SelectPass(0);
    QVERIFY2(Details->NoteText().contains(QString::fromUtf8("Rejeu : arrêté (http")) && !Details->NoteText().contains("abort"),
             qPrintable(Details->NoteText()));
    QCOMPARE(Peer.Requests().size(), std::size_t{1});
  }

  // The inspector destroyed while its replay waits: the replay, which it owns, ends with
  // the entry under way, touches nothing of either, and sends no further entry.
  void replayEndsWithItsInspector() {
    ReplyScript Held = Whole("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nfirst part");
    Held.Hold = true;
    ScriptedHttpServer Peer({Held, Held});
    const std::string Target = Url("127.0.0.1", Peer.Port()).toStdString();
    QPointer<TExchangeDetails> Details = OpenSelected({Target, Target});
    QTimer Poll;
    connect(&Poll, &QTimer::timeout, this, [&] {
      if (Peer.Requests().empty()) return;
      Poll.stop();
      delete Details;
    });
    Poll.start(5);
    Tripwire Wire(10000, [&] { if (Details) Details->StopReplay(); });
    TReplayOptions Options;
    Options.TimeOutMs = 300;  // the entry held ends by its time-out, its inspector gone
    Details->ReplaySelected(Options);
    QVERIFY(!Wire.Tripped && Details.isNull());
    QCOMPARE(Peer.Requests().size(), std::size_t{1});
    QVERIFY(W<QAction>("OuvrirHar1")->isEnabled() && !W<QAction>("Arreter1")->isEnabled());
  }

  // --- Where the inspector opens, and its buttons in a narrow window ----------------------

  void placement_data() {
    QTest::addColumn<QRect>("Main");
    QTest::addColumn<QRect>("Screen");
    QTest::addColumn<QRect>("Placed");  // for 760 × 560
    QTest::newRow("room on the right") << QRect(0, 0, 500, 400) << QRect(0, 0, 1400, 900) << QRect(500, 0, 760, 560);
    QTest::newRow("room on the left") << QRect(800, 100, 500, 400) << QRect(0, 0, 1400, 900) << QRect(40, 100, 760, 560);
    QTest::newRow("over the main window") << QRect(0, 0, 492, 400) << QRect(0, 0, 1000, 780) << QRect(240, 0, 760, 560);
    QTest::newRow("narrower, beside a third") << QRect(264, 250, 492, 335) << QRect(0, 0, 1000, 780) << QRect(428, 220, 572, 560);
    QTest::newRow("raised to fit") << QRect(100, 500, 300, 200) << QRect(0, 0, 1000, 780) << QRect(240, 220, 760, 560);
    QTest::newRow("screen smaller") << QRect(0, 0, 300, 200) << QRect(0, 30, 700, 500) << QRect(100, 30, 600, 500);
  }
  void placement() {
    QFETCH(QRect, Main);
    QFETCH(QRect, Screen);
    QFETCH(QRect, Placed);
    QCOMPARE(TExchangeDetails::Placement(Main, Screen, QSize(760, 560)), Placed);
  }

  // It opens on the screen, leaving some of the main window in view, and every button stays
  // inside it however narrow it is made.
  void buttonsStayInANarrowWindow() {
    Form->move(0, 0);
    TExchangeDetails* Details = OpenDetails();
    QVERIFY(Details->screen()->availableGeometry().contains(Details->frameGeometry()));
    QVERIFY(!Details->frameGeometry().contains(Form->frameGeometry()));
    for (const int Width : {1000, 560}) {
      Details->resize(Width, 560);
      Details->layout()->activate();
      QCOMPARE(Details->width(), Width);
      for (const char* Name : {"StopButton", "CopyCommandButton", "ExportHarButton", "CompareButton", "ReplayButton"}) {
        const auto* B = Control<QAbstractButton>(Details, Name);
        QVERIFY2(Details->rect().contains(QRect(B->mapTo(Details, QPoint()), B->size())), Name);
      }
    }
  }

  // --- A refused certificate and the pass after it -----------------------------------------

  // After "Continuer sans vérifier" the inspector shows the refused pass with its error, then
  // the pass that went on.
  void refusedPassStaysInTheInspector() {
    TTlsServers Servers;
    QVERIFY2(Servers.Ok(), Servers.ErrorLog().c_str());
    win::SetResolver([](const std::string& Name, std::vector<std::uint32_t>& Addrs, std::string& Canonical) {
      Addrs.push_back(htonl(INADDR_LOOPBACK));
      return (Canonical = Name).ends_with(".test") ? 0 : 11001;
    });
    const TTestPki& Pki = TTestPki::Get();
    W<QLineEdit>("Edit13")->setText(QString::fromStdString(Pki.RootFile));
    ModalAnswerer Answerer;
    Answerer.Answer = [](QDialog* D) {
      if (auto* GoOn = D->findChild<QPushButton*>("Continue")) GoOn->click();
    };
    QVERIFY(Get(QString("https://%1:%2/").arg(QString::fromStdString(Pki.Expired.Host)).arg(Servers.Port)));
    QCOMPARE(Answerer.Seen.size(), 1);
    TExchangeDetails* Details = OpenDetails();
    QCOMPARE(Details->RowCount(), 2);
    QCOMPARE(Details->Cell(0, TExchangeDetails::pcStatus), QString::fromUtf8("échec"));
    QCOMPARE(Details->Cell(1, TExchangeDetails::pcStatus), QString("200"));
    Details->SelectPass(0);
    QVERIFY2(Details->NoteText().contains(QString::fromUtf8("vérification du certificat")),
             qPrintable(Details->NoteText()));
  }
};

QTEST_MAIN(TInspectorCompareTest)
#include "TInspectorCompareTest.moc"
