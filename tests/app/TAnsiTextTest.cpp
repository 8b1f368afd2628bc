// A body prepared for a text pane: every character and line end kept in order, very long
// lines cut into pieces, a text of many lines packed into few blocks of bounded size, and no
// more than a bounded number of bytes shown; and counts written as the window writes them.
#include <QtTest>
#include <limits>

#include "app/TAnsiText.h"

namespace {

constexpr qsizetype Max = TAnsiText::MaxPaneLine;
constexpr int N = static_cast<int>(TAnsiText::MaxPaneBlocks);
// A packed text's bound: a block is closed only when the next line would not fit, so two
// blocks in a row hold more than Max characters (see the row's check).
constexpr int Few = -1;
const QChar Separator = QChar::LineSeparator;

std::string Repeat(const std::string& Piece, int Times) {
  std::string Out;
  Out.reserve(Piece.size() * static_cast<std::size_t>(Times));
  for (int I = 0; I < Times; ++I) Out += Piece;
  return Out;
}

// The text with every kind of line end read as one LF, as the pane gives it back.
QString Plain(QString Text) {
  return Text.replace(QLatin1String("\r\n"), QLatin1String("\n"))
      .replace(u'\r', u'\n')
      .replace(Separator, u'\n');
}

// The pane's blocks: it starts one after LF, CR or CR LF, never after a line separator.
QList<qsizetype> BlockSizes(const QString& Text) {
  QList<qsizetype> Sizes{0};
  for (qsizetype I = 0; I < Text.size(); ++I) {
    if (Text[I] == u'\r' && I + 1 < Text.size() && Text[I + 1] == u'\n') ++I;
    if (Text[I] == u'\n' || Text[I] == u'\r')
      Sizes.append(0);
    else
      ++Sizes.last();
  }
  return Sizes;
}

}  // namespace

class TAnsiTextTest : public QObject {
  Q_OBJECT

 private slots:
  void forPaneKeepsTheTextInBoundedBlocks_data() {
    QTest::addColumn<QByteArray>("Body");
    QTest::addColumn<bool>("Unchanged");  // shown exactly as received
    QTest::addColumn<int>("MaxBlocks");   // at most this many blocks in the pane

    const auto Row = [](const char* Name, const std::string& Body, bool Unchanged, int MaxBlocks) {
      QTest::newRow(Name) << QByteArray::fromStdString(Body) << Unchanged << MaxBlocks;
    };
    const std::string Face = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
    Row("few lines of every ending", "a\r\nb\nc\rd\n\r\ne", true, 7);
    Row("as many lines as blocks allowed", Repeat("line\n", N), true, N + 1);
    Row("one line more: packed", Repeat("line\n", N + 1), false, Few);
    Row("CR LF lines", Repeat("ab\r\n", 2 * N), false, Few);
    Row("lone CRs", Repeat("ab\r", 2 * N), false, Few);
    Row("empty lines", Repeat("\n", 10 * N), false, Few);
    Row("empty CR LF lines", Repeat("\r\n", 3 * N), false, Few);
    Row("mixed line ends", Repeat("a\r\nb\rc\n", N / 2), false, Few);
    Row("Windows-1252 lines", Repeat("caf\xE9 \x80\n", N + N / 5), false, Few);
    Row("pairs on many lines", Repeat(Face + Face + "\n", N + N / 2), false, Few);
    Row("one long line", std::string(50000, 'x'), false, 4);
    Row("a line of exactly the limit", std::string(Max, 'x') + "\n" + std::string(Max + 1, 'y'),
        false, 3);
    Row("one line at the limit: as is", std::string(Max, 'x'), true, 1);
    Row("long line among many short ones",
        Repeat("x\n", N) + std::string(40000, 'y') + "\n" + Repeat("z\n", N), false, Few);
    Row("long line of CR LF lines", Repeat(std::string(20000, 'w') + "\r\n", 3), false, 8);
    Row("pairs across piece ends", "x" + Repeat(Face, 20001), false, 4);
    Row("long lines of pairs, many lines",
        Repeat("x" + Repeat(Face, 9000) + "\n", 2) + Repeat("v\n", N), false, Few);
    Row("lines of half a block", Repeat(std::string(Max / 2 - 1, 'h') + "\n", 6), true, 7);
    // 16 lines of 1024 characters with their ends fill a block.
    Row("many lines of 1 KiB", Repeat(std::string(1023, 'k') + "\n", N + 1), false,
        (N + 1) / 16 + 2);
  }
  void forPaneKeepsTheTextInBoundedBlocks() {
    QFETCH(QByteArray, Body);
    QFETCH(bool, Unchanged);
    QFETCH(int, MaxBlocks);
    const std::string Bytes = Body.toStdString();
    const QString Received = TAnsiText::FromReceived(Bytes);
    // Every byte shown: how much of a body a pane shows at most is forPaneShowsAtMostMaxBytes's.
    const QString Shown = TAnsiText::ForPane(Bytes, std::numeric_limits<std::size_t>::max());
    if (Unchanged) QCOMPARE(Shown, Received);
    QVERIFY(Unchanged || Shown != Received);

    // Line for line the same text, with breaks added only where a line reached the limit.
    const QString Expected = Plain(Received);
    const QString Got = Plain(Shown);
    qsizetype E = 0, Run = 0;
    for (qsizetype G = 0; G < Got.size(); ++G) {
      if (E < Expected.size() && Got[G] == Expected[E]) {
        Run = Got[G] == u'\n' ? 0 : Run + 1;
        ++E;
        if (Run > Max + 1) QFAIL(qPrintable(QString("a line of %1 at %2").arg(Run).arg(G)));
        continue;
      }
      if (Got[G] != u'\n') QFAIL(qPrintable(QString("character %1 differs").arg(G)));
      QVERIFY2(Run >= Max,
               qPrintable(QString("a break after %1 characters at %2").arg(Run).arg(G)));
      QVERIFY(E < Expected.size() && !Expected[E].isLowSurrogate());
      Run = 0;
    }
    QCOMPARE(E, Expected.size());

    const QList<qsizetype> Sizes = BlockSizes(Shown);
    const qsizetype Bound = MaxBlocks == Few ? 2 * (Shown.size() / Max) + 3 : MaxBlocks;
    QVERIFY2(Sizes.size() <= Bound, qPrintable(QString("%1 blocks").arg(Sizes.size())));
    for (const qsizetype Size : Sizes)
      if (Size > Max + 1) QFAIL(qPrintable(QString("a block of %1").arg(Size)));
  }
  void forPaneShowsAtMostMaxBytes_data() {
    QTest::addColumn<QByteArray>("Body");
    QTest::addColumn<int>("MaxBytes");
    QTest::addColumn<QString>("Shown");  // before the note
    QTest::addColumn<int>("LeftOut");    // bytes the note counts; 0: no note
    QTest::newRow("shorter") << QByteArray("abc") << 10 << "abc" << 0;
    QTest::newRow("exactly the limit") << QByteArray("0123456789") << 10 << "0123456789" << 0;
    QTest::newRow("empty") << QByteArray() << 0 << "" << 0;
    QTest::newRow("longer") << QByteArray(25, 'a') << 10 << "aaaaaaaaaa\n" << 15;
    QTest::newRow("line end at the cut") << QByteArray("123456789\nrest") << 10 << "123456789\n"
                                         << 4;
    QTest::newRow("CR LF across the cut")
        << QByteArray("123456789\r\nrest") << 10 << "123456789\r" << 5;
    QTest::newRow("UTF-8 pair across the cut")
        << QByteArray("aaaaaaaaa\xC3\xA9zz") << 10 << "aaaaaaaaa\n"
        << 4;
    QTest::newRow("UTF-8 pair ending at the cut")
        << QByteArray("aaaaaaaa\xC3\xA9zz") << 10 << QString::fromUtf8("aaaaaaaaé\n") << 2;
    QTest::newRow("four bytes across the cut") << QByteArray(
                                                      "aaaaaaaa\xF0\x9F\x98\x80"
                                                      "b")
                                               << 10 << "aaaaaaaa\n"
                                               << 5;
    QTest::newRow("Windows-1252") << QByteArray("caf\xE9\x80xxxxxxxxxxxxxx") << 10
                                  << QString::fromUtf8("café€xxxxx\n") << 9;
    QTest::newRow("nothing shown") << QByteArray("abc") << 0 << "" << 3;
    // Bidirectional controls as marks, their neighbours U+200D, U+202F, U+2065 as they are.
    QTest::newRow("bidi")
        << QString("\u061C\u200E\u200F\u202A\u202E\u2066\u2069\u200D\u202F\u2065").toUtf8() << 100
        << QString("<U+061C><U+200E><U+200F><U+202A><U+202E><U+2066><U+2069>\u200D\u202F\u2065")
        << 0;
  }
  void forPaneShowsAtMostMaxBytes() {
    QFETCH(QByteArray, Body);
    QFETCH(int, MaxBytes);
    QFETCH(QString, Shown);
    QFETCH(int, LeftOut);
    const QString Pane = TAnsiText::ForPane(Body.toStdString(), static_cast<std::size_t>(MaxBytes));
    if (LeftOut == 0) {
      QCOMPARE(Pane, Shown);
      return;
    }
    QCOMPARE(Pane.left(Shown.size()), Shown);
    QCOMPARE(Pane.mid(Shown.size()), TAnsiText::LeftOutLine(LeftOut));
  }

  void theNoteSaysWhatIsLeftOut() {
    QCOMPARE(TAnsiText::LeftOutLine(183886080),
             QString::fromUtf8("[… 183 886 080 octets de plus, non affichés : « Enregistrer la "
                               "réponse… » garde le corps entier]"));
    // The real bound: 16 MiB shown, the rest counted.
    const std::string Body((std::size_t{16} << 20) + 1000, 'q');
    const QString Pane = TAnsiText::ForPane(Body);
    QVERIFY(Pane.endsWith("\n" + TAnsiText::LeftOutLine(1000)));
    QCOMPARE(Pane.count(u'q'), qsizetype{16} << 20);
    // Lines packed into blocks: the note still starts a line, and a block, of its own.
    const QString Packed = TAnsiText::ForPane(Repeat("ab\n", 200000), 300003);
    QVERIFY(Packed.endsWith("ab\n" + TAnsiText::LeftOutLine(299997)));
    QVERIFY(Packed.contains(Separator));
  }

  void countsAreGroupedByThousands_data() {
    QTest::addColumn<qint64>("Value");
    QTest::addColumn<QString>("Text");
    QTest::newRow("0") << qint64{0} << "0";
    QTest::newRow("999") << qint64{999} << "999";
    QTest::newRow("1000") << qint64{1000} << "1 000";
    QTest::newRow("100000") << qint64{100000} << "100 000";
    QTest::newRow("1000000") << qint64{1000000} << "1 000 000";
    QTest::newRow("-1234") << qint64{-1234} << "-1 234";
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "9 223 372 036 854 775 807";
    QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << "-9 223 372 036 854 775 808";
  }
  void countsAreGroupedByThousands() {
    QFETCH(qint64, Value);
    QFETCH(QString, Text);
    QCOMPARE(TAnsiText::Count(Value), Text);
  }
};

QTEST_APPLESS_MAIN(TAnsiTextTest)
#include "TAnsiTextTest.moc"
