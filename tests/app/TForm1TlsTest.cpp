// The main window over https, driven as a person would against nginx serving the test PKI:
// requests on each page, the refused certificate's dialog and going on without the check,
// the TLS files of the settings page, a tunnel through tinyproxy, and closing mid-handshake.
#include <sys/stat.h>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QTableWidget>
#include <QtTest>
#include <fstream>

#include "app/TCertificateDialog.h"
#include "app/TExchangeDetails.h"
#include "app/TFrameModel.h"
#include "app/TFrameView.h"
#include "app/TSecurityView.h"
#include "app/TTlsText.h"
#include "tests/app/FormTestSupport.h"
#include "tests/http/ScriptedHttpServer.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TlsPeer.h"
#include "tests/support/TlsServers.h"
#include <nlohmann/json.hpp>

using namespace testsupport;

class TForm1TlsTest : public MainWindowTest {
  Q_OBJECT

 private:
  std::unique_ptr<TTlsServers> Servers;
  const TTestPki& Pki = TTestPki::Get();
  ScratchDir Dir;

  QString Https(const std::string& Host, std::uint16_t Port, const char* Path = "/") {
    return QString("https://%1:%2%3").arg(QString::fromStdString(Host)).arg(Port).arg(Path);
  }
  static QStringList Titles(const ModalAnswerer& A) {
    QStringList T;
    for (const SeenDialog& D : A.Seen) T << D.Title;
    return T;
  }
  TExchangeDetails* Details() {
    W<QAction>("DetailsEchange1")->trigger();
    auto* D = Form->findChild<TExchangeDetails*>("ExchangeDetails");
    D->Refresh();
    return D;
  }
  void Trust() { Edit("Edit13")->setText(QString::fromStdString(Pki.RootFile)); }
  // A settings file: "@text" one holding text, "|" a FIFO, ">FILE" a link to FILE, else FILE.
  QString Made(const QString& F) {
    const QString Path = QString::fromStdString(Dir.Path() + "/made.pem");
    if (F.startsWith('@')) return QString::fromStdString(Dir.Write("text.pem", F.mid(1).toStdString()));
    if (F != "|" && !F.startsWith('>')) return F;
    QFile::remove(Path);
    return (F == "|" ? ::mkfifo(QFile::encodeName(Path), 0600) == 0 : QFile::link(F.mid(1), Path)) ? Path : "unmade";
  }

  // Every name of the test PKI is the loopback.
  win::Resolver Names() override {
    return Loopback([](const std::string& Name) { return Name.ends_with(".test"); });
  }
  void StartSuite() override {
    Servers = std::make_unique<TTlsServers>();
    QVERIFY2(Servers->Ok(), Servers->ErrorLog().c_str());
  }
  void EndSuite() override { Servers.reset(); }

 private slots:
  // GET, POST and HEAD over https fill their panes, and the status bar tells the handshake
  // between the connection and the result, in that order.
  void httpsRequestOnEveryPage_data() {
    QTest::addColumn<QString>("Box");
    QTest::addColumn<QString>("Button");
    QTest::addColumn<QString>("Memo");
    QTest::addColumn<QString>("Shown");
    QTest::addColumn<QString>("Success");
    QTest::newRow("GET") << "Edit1" << "Button1" << "Memo1" << "good.test\n"
                         << "Connection........ Sat..... checking...";
    QTest::newRow("POST") << "Edit2" << "Button2" << "Memo4" << "good.test\n"
                          << QString::fromUtf8("Connection Post réussi");
    QTest::newRow("HEAD") << "Edit4" << "Button3" << "Memo5" << "HTTP/1.1 200 OK"
                          << QString::fromUtf8("Connection HEAD réussi");
  }
  void httpsRequestOnEveryPage() {
    QFETCH(QString, Box);
    QFETCH(QString, Button);
    QFETCH(QString, Memo);
    QFETCH(QString, Shown);
    QFETCH(QString, Success);
    Trust();
    Edit(Box.toLatin1())->setText(Https("good.test", Servers->Port));
    ModalAnswerer Answerer;
    QVERIFY(Run(Button));
    QCOMPARE(Titles(Answerer), QStringList());
    QVERIFY2(Text(Memo.toLatin1()).startsWith(Shown), qPrintable(Text(Memo.toLatin1())));
    const QStringList Expected{"Host Resolved", "Connected", QString::fromUtf8("Négociation TLS…"),
                               QString::fromUtf8("TLSv1.3, certificat vérifié"), Success,
                               "Transaction Completed"};
    qsizetype At = 0;
    for (const QString& E : Expected) {
      At = Reports.indexOf(E, At);
      QVERIFY2(At >= 0, qPrintable(E + " in " + Reports.join(" | ")));
    }
    QCOMPARE(Form->SecurityMark(), QString());
    QCOMPARE(Form->CertificateMark(), QString::fromUtf8("Certificat vérifié"));
  }

  // Every refused certificate says why in French in its own dialog; Annuler leaves the panes
  // and says so in the status bar. A failed handshake is no certificate to accept: its reason
  // shows in a message.
  void refusalSaysWhy_data() {
    QTest::addColumn<std::string>("Host");
    QTest::addColumn<bool>("Garbage");  // a server that answers the handshake in plain text
    QTest::addColumn<QString>("Title");
    QTest::addColumn<QString>("Reason");
    const QString Refused = QString::fromUtf8("Certificat refusé");
    QTest::newRow("expired") << Pki.Expired.Host << false << Refused
                             << QString::fromUtf8("Le certificat a expiré : le certificat de expired.test était valable jusqu'au ");
    QTest::newRow("expired, how long") << Pki.Expired.Host << false << Refused << "(il y a 3 jours)";
    QTest::newRow("not yet valid") << Pki.NotYetValid.Host << false << Refused
                                   << QString::fromUtf8("n'est pas encore valable : le certificat de future.test est valable à partir du ");
    QTest::newRow("wrong host") << Pki.WrongHost.Host << false << Refused
                                << "il couvre other.test et www.other.test, pas wrong.test.";
    QTest::newRow("self-signed") << Pki.SelfSigned.Host << false << Refused
                                 << QString::fromUtf8("Certificat auto-signé : le certificat de self.test");
    QTest::newRow("untrusted") << Pki.Untrusted.Host << false << Refused
                               << QString::fromUtf8("vient de « Orrery Untrusted Root », une autorité");
    QTest::newRow("no intermediate") << Pki.LeafOnly.Host << false << Refused
                                     << QString::fromUtf8("le certificat de leafonly.test vient de « Orrery Test Intermediate », "
                                                          "soit une autorité que ce système ne connaît pas (à indiquer dans "
                                                          "« Autorité de certification (PEM) »), soit un certificat intermédiaire");
    QTest::newRow("SHA-1") << Pki.Sha1.Host << false << Refused
                           << QString::fromUtf8("est signé en SHA-1 (ecdsa-with-SHA1)");
    QTest::newRow("RSA 1024") << Pki.Rsa1024.Host << false << Refused
                              << QString::fromUtf8("a une clé RSA de 1024 bits ; il en faut au moins 2048.");
    QTest::newRow("no TLS") << std::string("good.test") << true << "Orrery"
                            << QString::fromUtf8("Échec de la négociation TLS : ");
  }
  void refusalSaysWhy() {
    QFETCH(std::string, Host);
    QFETCH(bool, Garbage);
    LoopbackPeer Plain([](int Fd) { SendAll(Fd, "HTTP/1.0 400 Bad Request\r\n\r\n"); });
    QFETCH(QString, Title);
    QFETCH(QString, Reason);
    Trust();
    W<QPlainTextEdit>("Memo1")->setPlainText("old");
    ModalAnswerer Answerer;
    Answerer.Answer = [](QDialog* D) { QTest::keyClick(D, Qt::Key_Escape); };
    QVERIFY(Get(Https(Host, Garbage ? Plain.Port() : Servers->Port)));
    QCOMPARE(Titles(Answerer), QStringList{Title});
    QVERIFY2(Answerer.Seen[0].Text.contains(Reason), qPrintable(Answerer.Seen[0].Text));
    QCOMPARE(Text("Memo1"), QString("old"));
    QVERIFY(Form->Accepted().empty());
    if (!Garbage) QCOMPARE(Form->StatusText(), Title);
  }

  // "Continuer sans vérifier" goes on from the refused pass: what went before is not sent
  // again, the login stays with the first server, and the exchange is marked. The next request
  // there goes without asking; another host is checked.
  void goingOnWithoutTheCheck() {
    const QString Target = Https(Pki.Expired.Host, Servers->Port, "/");
    ScriptedHttpServer First({Whole("HTTP/1.0 307 Temporary Redirect\r\nLocation: " +
                                    Target.toStdString() + "\r\n\r\n")});
    Trust();
    Edit("Edit9")->setText("ann");
    Edit("Edit10")->setText("secret");
    Edit("Edit2")->setText(Url("127.0.0.1", First.Port(), "/form"));
    Edit("Edit3")->setText("a=1");
    ModalAnswerer Answerer;
    const auto GoOn = [](QDialog* D) {
      if (auto* Button = D->findChild<QPushButton*>("Continue")) Button->click();
    };
    Answerer.Answer = GoOn;
    QVERIFY(Run("Button2"));
    QCOMPARE(Titles(Answerer), QStringList{QString::fromUtf8("Certificat refusé")});
    QCOMPARE(First.Requests().size(), std::size_t{1});
    QCOMPARE(Text("Memo4"), QString("expired.test\n"));
    // The redirection, the pass the check refused, and the one that went on without it.
    const auto& Passes = Form->Recorder().Passes();
    QCOMPARE(Passes.size(), std::size_t{3});
    QVERIFY(Passes[1].Tls && !Passes[1].Tls->VerifyWaived && !Passes[1].Error.empty());
    const TExchangePass& Accepted = Passes.back();
    QCOMPARE(QString::fromStdString(Accepted.URL), Target);
    QVERIFY(Accepted.RequestHeader.starts_with("POST / HTTP/1.0\r\n"));
    QCOMPARE(Accepted.RequestBody, std::string("a=1"));
    QVERIFY(Accepted.RequestHeader.find("Authorization") == std::string::npos);
    QVERIFY(Accepted.Tls && Accepted.Tls->VerifyWaived);
    QCOMPARE(Form->SecurityMark(), QString::fromUtf8("Non vérifié"));
    QCOMPARE(Form->CertificateMark(), QString::fromUtf8("Certificat non vérifié"));
    // The copied curl command waives the check for that key alone: another key is refused.
    const TTlsSettings Used = Form->VelHTTP1->TlsSettings;
    const QStringList Lines = TExchangeDetails::Commands(Passes[1], &Used).split('\n');
    QVERIFY2(Lines.at(0).contains(" -k --pinnedpubkey sha256//"), qPrintable(Lines.at(0)));
    const QString Resolve = QString(" -s -o /dev/null --resolve expired.test:%1:127.0.0.1").arg(Servers->Port);
    for (const auto& [Pin, Status] : {std::pair{QString("sha256//"), 0}, {QString("sha256//AAAA"), 90}}) {
      QProcess Shell;
      Shell.start("/bin/sh", {"-c", QString(Lines.at(1)).replace("sha256//", Pin) + Resolve});
      QVERIFY(Shell.waitForFinished(20000));
      QCOMPARE(Shell.exitCode(), Status);
    }

    QVERIFY(Get(Target));
    QCOMPARE(Answerer.Seen.size(), 1);
    QCOMPARE(Text("Memo1"), QString("expired.test\n"));
    QCOMPARE(Form->SecurityMark(), QString::fromUtf8("Non vérifié"));
    Answerer.Answer = [](QDialog* D) { D->reject(); };
    QVERIFY(Get(Https(Pki.SelfSigned.Host, Servers->Port)));
    QCOMPARE(Answerer.Seen.size(), 2);
    QCOMPARE(Form->Accepted().size(), std::size_t{1});
    QCOMPARE(Form->SecurityMark(), QString());
    QCOMPARE(Form->CertificateMark(), QString());
    // Going on at the request's own server keeps the caller's credentials.
    Answerer.Answer = GoOn;
    QVERIFY(Get(Https(Pki.SelfSigned.Host, Servers->Port)));
    const std::string& Sent = Form->Recorder().Passes().back().RequestHeader;
    QVERIFY(Sent.find("Authorization: Basic") != std::string::npos);
  }

  // With 1.1 the next GET goes on the kept connection, with no handshake: the status bar's
  // marks and the Sécurité tab are those of its session, whose check was waived before.
  void keptConnectionKeepsItsCheck() {
    Trust();
    W<QComboBox>("ComboBox1")->setCurrentIndex(1);
    ModalAnswerer Answerer;
    Answerer.Answer = [](QDialog* D) {
      if (auto* Button = D->findChild<QPushButton*>("Continue")) Button->click();
    };
    const QString Url = Https(Pki.SelfSigned.Host, Servers->Port);
    QVERIFY(Get(Url) && Get(Url));
    QVERIFY(Form->Recorder().Passes().back().ConnectionReused);
    QCOMPARE(Form->CertificateMark(), QString::fromUtf8("Certificat non vérifié"));
    QCOMPARE(Form->SecurityMark(), QString::fromUtf8("Non vérifié"));
    QVERIFY2(Details()->SecurityText().contains("TLSv1.3"), qPrintable(Details()->SecurityText()));
  }

  // The server gone when the user goes on: the message says so; nothing was cancelled.
  void goingOnWhenTheServerWentAway() {
    auto Peer = std::make_unique<TTlsPeer>(Pki.SelfSigned, std::vector<TTlsScript>{{{TTlsStepKind::Accept}}});
    const QString Server = QString("self.test:%1").arg(Peer->Port());
    ModalAnswerer Answerer;
    Answerer.Answer = [&Peer](QDialog* D) {
      Peer.reset();
      D->accept();
    };
    QVERIFY(Get("https://" + Server + "/"));
    QCOMPARE(Answerer.Seen.size(), 3);
    const QString Said = QString::fromUtf8("La connexion à %1 pour continuer sans vérifier a échoué").arg(Server);
    QVERIFY2(Answerer.Seen[1].Text.startsWith(Said), qPrintable(Answerer.Seen[1].Text));
  }

  // The files of the settings page are refused when an https request starts, naming the
  // field and the file; an encrypted key asks for its passphrase once in a run.
  void settingsFiles_data() {
    QTest::addColumn<QStringList>("Files");  // CA, certificate, key, as Made takes them
    QTest::addColumn<QString>("Passphrase");
    QTest::addColumn<QString>("Said");  // the message; "" for none (the request goes)
    const QString Root = QString::fromStdString(Pki.RootFile);
    const QString Cert = QString::fromStdString(Pki.Client.Cert);
    const QString Locked = QString::fromStdString(Pki.ClientKeyEncrypted);
    const QString Pass = QString::fromStdString(Pki.ClientPassphrase);
    QTest::newRow("CA missing") << QStringList{"/nonexistent/ca.pem", "", ""} << ""
                                << QString::fromUtf8("Autorité de certification (PEM) « /nonexistent/ca.pem » : fichier illisible");
    QTest::newRow("CA no PEM") << QStringList{"@not a certificate", "", ""} << ""
                               << QString::fromUtf8("ce n'est pas un fichier PEM qui contient un certificat");
    QTest::newRow("key without certificate") << QStringList{Root, "", Locked} << ""
                                             << QString::fromUtf8("il lui faut aussi un certificat client");
    QTest::newRow("wrong passphrase") << QStringList{Root, Cert, Locked} << "wrong"
                                      << QString::fromUtf8("phrase secrète erronée");
    QTest::newRow("right passphrase") << QStringList{Root, Cert, Locked} << Pass << "";
    // A FIFO would hold the window in open() until a writer came; a link to a file is a file.
    QTest::newRow("CA a FIFO") << QStringList{"|", "", ""} << ""
                               << QString::fromUtf8("» : ce n'est pas un fichier ordinaire");
    QTest::newRow("certificate through a link") << QStringList{Root, ">" + Cert, Locked} << Pass << "";
  }
  void settingsFiles() {
    QFETCH(QStringList, Files);
    QFETCH(QString, Passphrase);
    QFETCH(QString, Said);
    const char* Boxes[] = {"Edit13", "Edit14", "Edit15"};
    for (int I = 0; I < 3; ++I) Edit(Boxes[I])->setText(Made(Files[I]));
    W<QCheckBox>("CheckBox2")->setChecked(Files[0] != "|");  // unticked, the CA file is read too
    ModalAnswerer Answerer;
    Answerer.Answer = [Passphrase](QDialog* D) {
      if (auto* Q = qobject_cast<QInputDialog*>(D)) Q->setTextValue(Passphrase);
      D->accept();
    };
    const QString Url = Https("good.test", Servers->ClientCertPort);
    for (int Round = 0; Round < 2; ++Round) {
      QVERIFY(Get(Url));
      QStringList Messages;
      for (const SeenDialog& D : Answerer.Seen)
        if (D.Kind == "message") Messages << D.Text;
      if (Said.isEmpty()) {
        QCOMPARE(Messages, QStringList());
        QCOMPARE(Text("Memo1"), QString("good.test\n"));
      } else {
        QCOMPARE(Messages.size(), Round + 1);
        QVERIFY2(Messages.last().contains(Said), qPrintable(Messages.last()));
      }
    }
    // Asked once when it opened the key, each time when it did not.
    const auto Asked = std::count_if(Answerer.Seen.begin(), Answerer.Seen.end(),
                                     [](const SeenDialog& D) { return D.Kind == "input"; });
    QCOMPARE(Asked, Passphrase.isEmpty() ? 0 : Said.isEmpty() ? 1 : 2);
    // A plain http request does not read them (one that is no file is refused all the same: a
    // redirection to https would open it).
    ScriptedHttpServer Plain({Whole("HTTP/1.0 200 OK\r\n\r\nplain")});
    const qsizetype Before = Answerer.Seen.size();
    QVERIFY(Get(testsupport::Url("127.0.0.1", Plain.Port())));
    QCOMPARE(Answerer.Seen.size(), Before + (Files[0] == "|"));
    if (Files[0] == "|") return;
    QCOMPARE(Text("Memo1"), QString("plain"));
    // A redirection from http reads the CA file on its way: said in the same words.
    if (Files[0] != "/nonexistent/ca.pem") return;
    ScriptedHttpServer Hop({Whole("HTTP/1.0 302 Found\r\nLocation: " + Url.toStdString() + "\r\n\r\n")});
    QVERIFY(Get(testsupport::Url("127.0.0.1", Hop.Port())));
    QVERIFY2(Answerer.Seen.last().Text.contains(QString::fromUtf8("« /nonexistent/ca.pem » : aucun certificat utilisable")),
             qPrintable(Answerer.Seen.last().Text));
  }

  // "Rejouer" goes with the page's TLS settings as they are when it is pressed, its CA file
  // checked as for a request, not with those of the request that made the pass.
  void replayGoesWithThePageSettings_data() {
    QTest::addColumn<QString>("FirstCa");  // the request's; "-": the check unticked
    QTest::addColumn<std::string>("Host");
    QTest::addColumn<QString>("PageCa");   // then, the check ticked, as Made takes it
    QTest::addColumn<QString>("Outcome");  // the replay's cell; "" when refused before it starts
    QTest::newRow("check ticked again") << "-" << Pki.SelfSigned.Host << "" << QString::fromUtf8("échec");
    QTest::newRow("another CA typed since") << QString::fromStdString(Pki.RootFile) << std::string("good.test")
                                            << QString::fromStdString(Pki.UntrustedRootFile) << QString::fromUtf8("échec");
    QTest::newRow("CA a FIFO") << "-" << std::string("good.test") << "|" << "";
  }
  void replayGoesWithThePageSettings() {
    QFETCH(QString, FirstCa);
    QFETCH(std::string, Host);
    QFETCH(QString, PageCa);
    QFETCH(QString, Outcome);
    W<QCheckBox>("CheckBox2")->setChecked(FirstCa != "-");
    Edit("Edit13")->setText(FirstCa == "-" ? QString() : FirstCa);
    ModalAnswerer Answerer;
    QVERIFY(Get(Https(Host, Servers->Port)));
    W<QCheckBox>("CheckBox2")->setChecked(true);
    Edit("Edit13")->setText(Made(PageCa));
    TExchangeDetails* D = Details();
    D->SelectPasses({0});
    D->findChild<QPushButton*>("ReplayButton")->click();
    QCOMPARE(D->Cell(0, TExchangeDetails::pcReplay), Outcome);
    QCOMPARE(Answerer.Seen.size(), Outcome.isEmpty() ? 2 : 1);  // the confirmation, the refusal
  }

  // What the peer chose shows its bidirectional controls as marks, in the refusal's dialog and
  // the Sécurité tab, and each says what it means.
  void peerTextsAsShown_data() {
    QTest::addColumn<int>("Tunnel");  // the proxy's answer to CONNECT; -1 the dialog, 1 its row
    QTest::addColumn<QString>("Shown");
    QTest::newRow("dialog, reason") << -1 << "le certificat de a<U+202E>b.test est sign";
    QTest::newRow("dialog, risk") << -1 << QString::fromUtf8("quiconque répond à la place du serveur peut lire et modifier l'échange");
    QTest::newRow("Sécurité, refused tunnel") << 407 << QString::fromUtf8("le proxy a refusé le tunnel vers le serveur (HTTP/1.0 407 <U+202E>Auth)");
    QTest::newRow("Sécurité, its CONNECT row") << 1 << QString::fromUtf8("CONNECT) passe en clair, et le proxy l'a refusée (HTTP/1.0 407");
  }
  void peerTextsAsShown() {
    QFETCH(int, Tunnel);
    QFETCH(QString, Shown);
    const TTlsFacts F{.Chain = {{.CommonName = "a\u202Eb.test"}},
                      .Reason = {.Problem = TTlsProblem::tpSelfSigned, .Subject = "a\u202Eb.test"}};
    TExchangePass P;
    P.URL = "https://a.test/", P.TunnelStatus = Tunnel == 1 ? 407 : Tunnel, P.TunnelReply = "HTTP/1.0 407 \u202EAuth\r\n";
    TCertificateDialog Refusal("a.test:443", F);
    TSecurityView View;
    Tunnel == 1 ? View.ShowTunnel(P) : View.Show(P, 0);
    const QString Text = Tunnel < 0 ? Refusal.Text() + Refusal.findChild<QLabel*>("Risk")->text() : View.Text();
    QVERIFY2(Text.contains(Shown) && !Text.contains(QChar(0x202E)), qPrintable(Text));
  }

  // Through the proxy, the tunnel is told in the status bar before the handshake.
  void tunnelThroughTinyproxy() {
    ServerProcess Proxy;
    std::uint16_t Port = 0;
    for (int Try = 0; Try < 5 && Port == 0; ++Try) {
      const std::uint16_t P = FreePort();
      const std::string Conf = Dir.Write(
          "tinyproxy.conf", "Port " + std::to_string(P) + "\nListen 127.0.0.1\nTimeout 30\n" +
                                "MaxClients 4\nLogFile \"" + Dir.Path() + "/tinyproxy.log\"\n" +
                                "Allow 127.0.0.1\n");
      if (Proxy.Start({"/usr/bin/tinyproxy", "-d", "-c", Conf}, P, Dir.Path())) Port = P;
    }
    QVERIFY(Port != 0);
    Trust();
    W<QCheckBox>("CheckBox1")->setChecked(true);
    Edit("Edit11")->setText("127.0.0.1");
    Edit("Edit12")->setText(QString::number(Port));
    ModalAnswerer Answerer;
    QVERIFY(Get(Https("127.0.0.1", Servers->IpPort)));
    QCOMPARE(Titles(Answerer), QStringList());
    QCOMPARE(Text("Memo1"), QString("127.0.0.1\n"));
    const qsizetype Tunnel = Reports.indexOf(QString::fromUtf8("Ouverture du tunnel par le proxy…"));
    QVERIFY2(Tunnel > Reports.indexOf("Connected"), qPrintable(Reports.join(" | ")));
    QVERIFY(Reports.indexOf("Tunnel ouvert") > Tunnel);
    QVERIFY(Reports.indexOf(QString::fromUtf8("Négociation TLS…")) > Tunnel);
    // The tunnel is a row of its own before its pass, with the CONNECT exchange's bytes.
    TExchangeDetails* D = Details();
    QCOMPARE(D->RowCount(), 2);
    QCOMPARE(D->Cell(0, TExchangeDetails::pcMethod), QString("CONNECT"));
    QCOMPARE(D->Cell(0, TExchangeDetails::pcStatus), QString("200"));
    QCOMPARE(D->Cell(1, TExchangeDetails::pcMethod), QString("GET"));
    D->findChild<QTableWidget*>("PassTable")->selectRow(0);
    const QString Connect = QString("CONNECT 127.0.0.1:%1 HTTP/1.0").arg(Servers->IpPort);
    QVERIFY2(D->RequestText().startsWith(Connect), qPrintable(D->RequestText()));
    QVERIFY2(D->ReplyText().startsWith("HTTP/1."), qPrintable(D->ReplyText()));
  }

  // The inspector shows the session and the chain, the handshake as a span of its own, and
  // copies a command that makes the same request with the same TLS options; the HAR has it.
  void inspectorShowsTheSession_data() {
    QTest::addColumn<bool>("Verify");
    QTest::addColumn<QString>("Option");
    QTest::addColumn<QString>("Check");
    QTest::newRow("checked") << true << "--cacert" << QString::fromUtf8("Vérification: certificat vérifié");
    QTest::newRow("unchecked") << false << " -k " << QString::fromUtf8("Vérification: non vérifié");
  }
  void inspectorShowsTheSession() {
    QFETCH(bool, Verify);
    QFETCH(QString, Option);
    QFETCH(QString, Check);
    if (Verify) Trust();
    W<QCheckBox>("CheckBox2")->setChecked(Verify);
    ModalAnswerer Answerer;
    QVERIFY(Get(Https("127.0.0.1", Servers->IpPort)));
    QCOMPARE(Text("Memo1"), QString("127.0.0.1\n"));
    TExchangeDetails* D = Details();
    const QString Security = D->SecurityText();
    for (const QString& Line : {QString("Version: TLSv1.3"), QString::fromUtf8("SNI envoyé: aucun (adresse IP)"),
                                QString("ALPN: http/1.0"), Check, QString("Noms couverts: 127.0.0.1, ::1"),
                                QString::fromUtf8("Émetteur: CN=Orrery Test Intermediate")})
      QVERIFY2(Security.contains(Line), qPrintable(Line + " in\n" + Security));
    QVERIFY(Security.contains(QRegularExpression("Empreinte SHA-256: ([0-9A-F]{2}:){31}[0-9A-F]{2}")));
    QVERIFY(D->TimesText().contains(QRegularExpression("Connexion\t[^\n]*\nTLS\t[^\n]*\nEnvoi\t")));
    // The copied curl command, run by a shell, gets the same reply.
    const TTlsSettings Used = Form->VelHTTP1->TlsSettings;
    const QStringList Lines = TExchangeDetails::Commands(Form->Recorder().Passes().at(0), &Used).split('\n');
    QVERIFY2(Lines.at(1).contains(Option), qPrintable(Lines.at(1)));
    QProcess Shell;
    Shell.start("/bin/sh", {"-c", Lines.at(1) + " -s"});
    QVERIFY(Shell.waitForFinished(20000));
    QCOMPARE(QString::fromUtf8(Shell.readAllStandardOutput()), QString("127.0.0.1\n"));
    // The HAR has the handshake's time and the session's facts.
    const QString Har = QString::fromStdString(Dir.Path() + "/x.har");
    Form->ExportHar(Har);
    std::ifstream In(Har.toStdString());
    const auto Entry = nlohmann::json::parse(In)["log"]["entries"][0];
    QVERIFY(Entry["timings"]["ssl"].get<double>() > 0);
    QCOMPARE(Entry["_tls"]["version"].get<std::string>(), std::string("TLSv1.3"));
    QCOMPARE(Entry["_tls"]["waived"].get<bool>(), !Verify);
    // A plain http pass says it was not encrypted.
    ScriptedHttpServer Plain({Whole("HTTP/1.0 200 OK\r\n\r\nplain")});
    QVERIFY(Get(testsupport::Url("127.0.0.1", Plain.Port())));
    D->Refresh();
    QVERIFY(D->SecurityText().contains(QString::fromUtf8("n'a pas été chiffré")));
  }

  // A certificate's validity as the Sécurité tab words it, in the largest whole unit; coloured
  // under 30 days left, past or not yet begun.
  // "Version HTTP" 2 over https: h2 by ALPN with nghttpd, said in the status bar, the next GET
  // a further stream of the kept connection, and the frames of the pass in the Trames tab,
  // the connection's SETTINGS first; a server that declines h2 is spoken to in HTTP/1.1 and
  // sends no frame.
  void httpVersionTwo_data() {
    QTest::addColumn<bool>("Takes");  // the server takes h2
    QTest::addColumn<QString>("Head");
    QTest::addColumn<QString>("Version");
    QTest::addColumn<QString>("Again");  // the second GET's connection cell
    QTest::newRow("h2 taken") << true << "HTTP/2 200 " << "HTTP/2" << QString::fromUtf8("#0 réutilisée, flux 3");
    QTest::newRow("h2 declined") << false << "HTTP/1.1 200 OK" << "HTTP/1.1" << QString::fromUtf8("#0 réutilisée");
  }
  void httpVersionTwo() {
    QFETCH(bool, Takes);
    QFETCH(QString, Head);
    QFETCH(QString, Version);
    QFETCH(QString, Again);
    if (Takes && ::access("/usr/sbin/nghttpd", X_OK) != 0) QSKIP("nghttpd is not installed");
    Dir.Write("www/index.html", "h2\n");
    ServerProcess Nghttpd;
    std::uint16_t Port = Servers->Port;
    if (Takes) {
      Port = FreePort();
      QVERIFY(Nghttpd.Start({"/usr/sbin/nghttpd", "-a", "127.0.0.1", "-d", Dir.Path() + "/www",
                             std::to_string(Port), Pki.Good.Key, Pki.Good.Chain},
                            Port, Dir.Path()));
    }
    Trust();
    W<QComboBox>("ComboBox1")->setCurrentText("2");
    QVERIFY(Get(Https("good.test", Port)));
    QVERIFY2(Text("Memo2").startsWith(Head), qPrintable(Text("Memo2")));
    QCOMPARE(Reports.contains(QString::fromUtf8("TLSv1.3, certificat vérifié, ALPN h2")), Takes);
    QCOMPARE(Reports.contains(QString::fromUtf8("HTTP/2 sur la connexion #0, flux 1")), Takes);
    TExchangeDetails* D = Details();
    QCOMPARE(D->Cell(0, TExchangeDetails::pcVersion), Version);
    const TFrameModel& Frames = D->FrameView()->Model();
    QCOMPARE(Frames.rowCount() > 0, Takes);
    QCOMPARE(D->FrameView()->NoteText().isEmpty(), Takes);
    if (Takes) QCOMPARE(Frames.index(0, TFrameModel::fcType).data().toString(), QString("SETTINGS"));
    QVERIFY(Get(Https("good.test", Port)));
    QCOMPARE(Details()->Cell(0, TExchangeDetails::pcConnection), Again);
  }

  void validityInFrench_data() {
    QTest::addColumn<qint64>("NotBefore");  // seconds from now
    QTest::addColumn<qint64>("NotAfter");
    QTest::addColumn<QString>("Words");
    QTest::addColumn<bool>("Short");
    const qint64 Day = 86400, Hour = 3600;
    const auto Row = [](const char* Name, qint64 From, qint64 To, const char* Words, bool Short) {
      QTest::newRow(Name) << From << To << QString::fromUtf8(Words) << Short;
    };
    Row("expired", -100 * Day, -3 * Day, "expiré depuis 3 jours", true);
    Row("an hour ago", -Day, -Hour, "expiré depuis 1 heure", true);
    Row("this second", -Day, 0, "expiré depuis 0 seconde", true);
    Row("not yet", 2 * Day, 90 * Day, "valable dans 2 jours", true);
    Row("hours left", -Day, 5 * Hour, "encore 5 heures", true);
    Row("under an hour", -Day, Hour - 1, "encore 59 minutes", true);
    Row("under 30 days", -Day, 30 * Day - 1, "encore 29 jours", true);
    Row("30 days", -Day, 30 * Day, "encore 30 jours", false);
  }
  void validityInFrench() {
    QFETCH(qint64, NotBefore);
    QFETCH(qint64, NotAfter);
    QFETCH(QString, Words);
    QFETCH(bool, Short);
    const std::int64_t Now = 1'796'810'400;
    TTlsCertificate C;
    C.NotBefore = Now + NotBefore, C.NotAfter = Now + NotAfter;
    bool Coloured = !Short;
    QCOMPARE(TlsText::DaysLeft(C, Now, &Coloured), Words);
    QCOMPARE(Coloured, Short);
  }

  // Every check a certificate failed is told, a line each.
  void everyFailureInFrench() {
    TTlsReason R{.Problem = TTlsProblem::tpSelfSigned, .Subject = "a.test"};
    R.Further = {{.Problem = TTlsProblem::tpNameMismatch, .NameAsked = "b.test"}};
    const QStringList Lines = TlsText::Reason(R).split('\n');
    QCOMPARE(Lines.size(), 2);
    QVERIFY2(Lines[1].endsWith("donc pas b.test."), qPrintable(Lines[1]));
  }

  // Facts a HAR did not give are said to be unknown, not shown as of 1970 or of 0 bits.
  void missingFactsInFrench() {
    TTlsCertificate C;
    QCOMPARE(TlsText::Key(C), QString("inconnue"));
    QCOMPARE(TlsText::Validity(C, 1'796'810'400), QString("dates inconnues"));
    QCOMPARE(TlsText::ChainList({C}), QString::fromUtf8(", émis par , dates de validité inconnues"));
    C.KeyType = "EC";
    QCOMPARE(TlsText::Key(C), QString("EC, taille inconnue"));
  }

  // Closing the window while the server holds the handshake ends the program cleanly.
  void closingDuringTheHandshake() {
    ScriptedHttpServer Silent({ReplyScript{.Silent = true}});
    Edit("Edit1")->setText(QString("https://127.0.0.1:%1/").arg(Silent.Port()));
    QTimer Act;
    Act.setInterval(5);
    connect(&Act, &QTimer::timeout, this, [&] {
      if (!Reports.contains(QString::fromUtf8("Négociation TLS…"))) return;
      Act.stop();
      Form->close();
    });
    QTimer::singleShot(0, this, [this] { W<QPushButton>("Button1")->click(); });
    Act.start();
    Tripwire Wire(10000, [] { QCoreApplication::exit(2); });
    ModalAnswerer Answerer;
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!Form->RequestRunning());
    QCOMPARE(Answerer.Seen.size(), 0);
  }
};

QTEST_MAIN(TForm1TlsTest)
#include "TForm1TlsTest.moc"
