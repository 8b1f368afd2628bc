// Windows-1252 and received-bytes conversions for the window.
#include "app/TAnsiText.h"

#include <QStringDecoder>
#include <algorithm>
#include <utility>

#include "base/BidiText.h"

namespace {

// 0x80..0x9F of Windows-1252; the undefined bytes keep their own value.
constexpr char16_t High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                               0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                               0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                               0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

QString TAnsiText::ToQString(const std::string& Bytes) {
  QString Text(static_cast<qsizetype>(Bytes.size()), Qt::Uninitialized);
  QChar* Out = Text.data();
  for (const char C : Bytes) {
    const auto B = static_cast<unsigned char>(C);
    *Out++ = QChar(B >= 0x80 && B < 0xA0 ? High[B - 0x80] : char16_t(B));
  }
  return Text;
}

std::string TAnsiText::FromQString(const QString& Text) { return Text.toStdString(); }

QString TAnsiText::Count(std::int64_t Value) {
  const std::uint64_t Magnitude =
      Value < 0 ? 0 - static_cast<std::uint64_t>(Value) : static_cast<std::uint64_t>(Value);
  const QString Digits = QString::number(Magnitude);
  QString Grouped = Value < 0 ? QString("-") : QString();
  for (qsizetype I = 0; I < Digits.size(); ++I) {
    if (I > 0 && (Digits.size() - I) % 3 == 0) Grouped += u' ';
    Grouped += Digits[I];
  }
  return Grouped;
}

QString TAnsiText::FromReceived(std::string_view Bytes) {
  // ConvertInitialBom keeps a leading BOM as the character it is: the pane shows every byte.
  QStringDecoder Utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless |
                                                QStringConverter::Flag::ConvertInitialBom);
  QString Text = Utf8(QByteArrayView(Bytes.data(), static_cast<qsizetype>(Bytes.size())));
  if (!Utf8.hasError()) return Text;
  return ToQString(std::string(Bytes));
}

QString TAnsiText::WithVisibleBidi(QString Text) {
  const auto* const Begin = reinterpret_cast<const char16_t*>(Text.constData());
  const auto* const End = Begin + Text.size();
  const auto Bidi = [](char16_t C) { return IsBidiControl(C); };
  const char16_t* At = std::find_if(Begin, End, Bidi);
  if (At == End) return Text;  // the usual case: nothing to copy
  QString Shown;
  Shown.reserve(Text.size() + 16);
  Shown.append(QStringView(Begin, At));
  for (; At < End; ++At) {
    if (IsBidiControl(*At))
      Shown += QString::fromLatin1(BidiMark(*At).c_str());
    else
      Shown += QChar(*At);
  }
  return Shown;
}

QString TAnsiText::ForMessage(std::string_view Bytes) {
  return WithVisibleBidi(FromReceived(Bytes));
}

QString TAnsiText::LeftOutLine(std::int64_t Bytes) {
  return QString::fromUtf8(
             "[\u2026 %1 octets de plus, non affich\u00e9s : \u00ab Enregistrer la "
             "r\u00e9ponse\u2026 \u00bb garde le corps entier]")
      .arg(Count(Bytes));
}

QString TAnsiText::ForPane(const std::string& Bytes, std::size_t MaxBytes) {
  std::string_view Shown(Bytes);
  if (Shown.size() > MaxBytes) {
    // A UTF-8 sequence cut in two would make the whole of it read as Windows-1252.
    std::size_t Cut = MaxBytes;
    const auto Continues = [&](std::size_t At) {
      return (static_cast<unsigned char>(Bytes[At]) & 0xC0) == 0x80;
    };
    for (int Back = 0; Back < 3 && Cut > 0 && Continues(Cut); ++Back) --Cut;
    Shown = Shown.substr(0, Cut);
  }
  QString Text = InBlocks(ForMessage(Shown));
  if (Shown.size() == Bytes.size()) return Text;
  // The note goes on a line of its own, and in a block of its own.
  if (Text.endsWith(QChar::LineSeparator))
    Text.back() = u'\n';
  else if (!Text.isEmpty() && !Text.endsWith(u'\n') && !Text.endsWith(u'\r'))
    Text += u'\n';
  return Text + LeftOutLine(static_cast<std::int64_t>(Bytes.size() - Shown.size()));
}

namespace {

// The pane ends a line at CR as well as at LF, and at CR LF once.
bool LineEnd(char16_t Ch) { return Ch == u'\n' || Ch == u'\r'; }
const char16_t* AfterLineEnd(const char16_t* At, const char16_t* End) {
  return At[0] == u'\r' && At + 1 < End && At[1] == u'\n' ? At + 2 : At + 1;
}

// How many lines the text has, and whether one of them is longer than Max characters.
std::pair<qsizetype, bool> LinesAndLong(const char16_t* Begin, const char16_t* End,
                                        qsizetype Max) {
  qsizetype Lines = 0;
  qsizetype Run = 0;
  bool Long = false;
  for (const char16_t* At = Begin; At < End; ++At) {
    if (LineEnd(*At)) {
      ++Lines;
      Run = 0;
      At = AfterLineEnd(At, End) - 1;
    } else if (++Run > Max) {
      Long = true;
    }
  }
  return {Lines, Long};
}

}  // namespace

QString TAnsiText::InBlocks(QString Text) {
  const auto* const Begin = reinterpret_cast<const char16_t*>(Text.constData());
  const auto* const End = Begin + Text.size();
  const auto [Lines, Long] = LinesAndLong(Begin, End, MaxPaneLine);
  const bool Group = Lines > MaxPaneBlocks;
  if (!Long && !Group) return Text;

  // Neither a line end nor a piece break makes the text longer: a line end gives one
  // character for one or two, and a break comes at most once in MaxPaneLine characters.
  QString Shown(Text.size() + Text.size() / MaxPaneLine + 1, Qt::Uninitialized);
  auto* const ShownBegin = reinterpret_cast<char16_t*>(Shown.data());
  char16_t* Out = ShownBegin;
  qsizetype Block = 0;  // characters in the pane's current block
  qsizetype Run = 0;
  for (const char16_t* At = Begin; At < End; ++At) {
    if (LineEnd(*At)) {
      Run = 0;
      if (!Group) {
        *Out++ = *At;
        continue;
      }
      const char16_t* const Next = AfterLineEnd(At, End);
      At = Next - 1;
      // The next line, or its first piece, joins this block when the block stays within
      // MaxPaneLine characters; otherwise it starts a block of its own.
      const char16_t* NextEnd = Next;
      while (NextEnd < End && NextEnd - Next < MaxPaneLine && !LineEnd(*NextEnd)) ++NextEnd;
      if (Block + 1 + (NextEnd - Next) > MaxPaneLine) {
        *Out++ = u'\n';
        Block = 0;
      } else {
        *Out++ = QChar::LineSeparator;
        ++Block;
      }
      continue;
    }
    if (Run >= MaxPaneLine && !QChar::isLowSurrogate(*At)) {
      *Out++ = u'\n';
      Run = 0;
      Block = 0;
    }
    *Out++ = *At;
    ++Run;
    ++Block;
  }
  Shown.truncate(Out - ShownBegin);
  return Shown;
}
