// Windows-1252 and received-bytes conversions for the window.
#include "app/TAnsiText.h"

#include <QStringDecoder>

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

std::string TAnsiText::FromQString(const QString& Text) {
  std::string Bytes;
  Bytes.reserve(static_cast<std::size_t>(Text.size()));
  for (const QChar Ch : Text) {
    const char16_t U = Ch.unicode();
    if (U < 0x80 || (U >= 0xA0 && U <= 0xFF)) {
      Bytes += static_cast<char>(U);
      continue;
    }
    char Mapped = '?';
    for (int I = 0; I < 32; ++I) {
      if (High[I] == U) {
        Mapped = static_cast<char>(0x80 + I);
        break;
      }
    }
    Bytes += Mapped;
  }
  return Bytes;
}

QString TAnsiText::FromReceived(const std::string& Bytes) {
  // ConvertInitialBom keeps a leading BOM as the character it is: the pane shows every byte.
  QStringDecoder Utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless |
                                                QStringConverter::Flag::ConvertInitialBom);
  QString Text = Utf8(QByteArrayView(Bytes.data(), static_cast<qsizetype>(Bytes.size())));
  if (!Utf8.hasError()) return Text;
  return ToQString(Bytes);
}

QString TAnsiText::ForPane(const std::string& Bytes) {
  QString Text = FromReceived(Bytes);
  // The pane ends a line at CR as well as at LF.
  const auto LineEnd = [](QChar Ch) { return Ch == u'\n' || Ch == u'\r'; };
  qsizetype Run = 0;
  bool Long = false;
  for (const QChar Ch : Text) {
    Run = LineEnd(Ch) ? 0 : Run + 1;
    if (Run > MaxPaneLine) {
      Long = true;
      break;
    }
  }
  if (!Long) return Text;
  QString Shown;
  Shown.reserve(Text.size() + Text.size() / MaxPaneLine + 1);
  Run = 0;
  for (const QChar Ch : Text) {
    if (LineEnd(Ch)) {
      Run = 0;
    } else if (Run >= MaxPaneLine && !Ch.isLowSurrogate()) {
      Shown += u'\n';
      Run = 0;
    }
    if (!LineEnd(Ch)) ++Run;
    Shown += Ch;
  }
  return Shown;
}
