// TPassText: the window's wording of a recorded pass.
#include "app/TPassText.h"

#include "app/TAnsiText.h"
#include "inspect/HttpText.h"

QString TPassText::Escaped(const std::string& Bytes) {
  static const char Hex[] = "0123456789ABCDEF";
  QString Text;
  Text.reserve(static_cast<qsizetype>(Bytes.size()));
  for (const char C : Bytes) {
    const auto B = static_cast<unsigned char>(C);
    if (B == '\r') {
      Text += "\\r";
    } else if (B == '\n') {
      Text += "\\n\n";
    } else if (B == '\t') {
      Text += "\\t";
    } else if (B == '\\') {
      Text += "\\\\";
    } else if (B < 0x20 || B > 0x7E) {
      Text += "\\x";
      Text += QChar(Hex[B >> 4]);
      Text += QChar(Hex[B & 15]);
    } else {
      Text += QChar(B);
    }
  }
  return Text;
}

QString TPassText::ShortBodyText(const TExchangePass& Pass) {
  if (!Pass.BodyShort()) return QString();
  return QString::fromUtf8("Corps incomplet : %1 octets sur %2")
      .arg(TAnsiText::Count(Pass.BodyBytes), TAnsiText::Count(*Pass.AnnouncedLength()));
}

std::string TPassText::ContentType(const TExchangePass& Pass) {
  return FieldValue(HeaderFields(FinalReply(Pass.ReplyHeader), true), "Content-Type").value_or("");
}
