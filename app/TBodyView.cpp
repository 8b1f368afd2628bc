// TBodyView: the three views of a body and the choice between them.
#include "app/TBodyView.h"

#include <QBuffer>
#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <nlohmann/json.hpp>

#include "app/TAnsiText.h"
#include "inspect/HttpText.h"

namespace {

// The format the first bytes name, as Qt's image readers call it; empty for none of the four.
QByteArray Signature(std::string_view B) {
  if (B.substr(0, 8) == std::string_view("\x89PNG\r\n\x1A\n", 8)) return "png";
  if (B.substr(0, 3) == "\xFF\xD8\xFF") return "jpeg";
  if (B.substr(0, 6) == "GIF87a" || B.substr(0, 6) == "GIF89a") return "gif";
  if (B.substr(0, 2) == "BM" && B.size() > 14) return "bmp";
  return {};
}

// Windows-1252 text: no control bytes but tab, CR, LF and form feed.
bool PlainBytes(std::string_view B) {
  for (const char C : B) {
    const auto U = static_cast<unsigned char>(C);
    if (U < 0x20 && U != '\t' && U != '\r' && U != '\n' && U != '\f') return false;
  }
  return true;
}

// A valid JSON text indented by two, each token written as it came: numbers keep their
// digits (-0, 1.10, 1E+2 and a 30-digit integer read as sent, where a parsed and written-again
// document would show -0.0, 1.1, 100.0 and a rounded double) and strings keep their escapes.
std::string Indented(std::string_view Json) {
  std::string Out;
  Out.reserve(Json.size() + Json.size() / 2);
  int Depth = 0;
  const auto NewLine = [&] {
    Out += '\n';
    Out.append(static_cast<std::size_t>(2 * Depth), ' ');
  };
  const auto NextToken = [&](std::size_t From) {
    while (From < Json.size() &&
           (Json[From] == ' ' || Json[From] == '\t' || Json[From] == '\n' || Json[From] == '\r'))
      ++From;
    return From;
  };
  const std::size_t Bom = Json.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;  // the parser skips it too
  for (std::size_t I = NextToken(Bom); I < Json.size(); I = NextToken(I)) {
    const char C = Json[I];
    if (C == '"') {
      std::size_t End = I + 1;
      while (End < Json.size() && Json[End] != '"') End += Json[End] == '\\' ? 2 : 1;
      Out.append(Json.substr(I, End + 1 - I));
      I = End + 1;
    } else if (C == '{' || C == '[') {
      const std::size_t Next = NextToken(I + 1);
      Out += C;
      if (Next < Json.size() && (Json[Next] == '}' || Json[Next] == ']')) {
        Out += Json[Next];  // an empty one stays on its line
        I = Next + 1;
        continue;
      }
      ++Depth;
      NewLine();
      ++I;
    } else if (C == '}' || C == ']') {
      --Depth;
      NewLine();
      Out += C;
      ++I;
    } else if (C == ',') {
      Out += ',';
      NewLine();
      ++I;
    } else if (C == ':') {
      Out += ": ";
      ++I;
    } else {
      const std::size_t Start = I;
      while (I < Json.size() &&
             std::string_view(",:[]{}\" \t\r\n").find(Json[I]) == std::string_view::npos)
        ++I;
      Out.append(Json.substr(Start, I - Start));
    }
  }
  return Out;
}

// Whether the arrays and objects of a JSON text nest deeper than Limit. Brackets inside
// strings do not count; the text need not be valid.
bool NestsDeeper(std::string_view Text, int Limit) {
  int Depth = 0;
  bool InString = false;
  for (std::size_t I = 0; I < Text.size(); ++I) {
    const char C = Text[I];
    if (InString) {
      if (C == '\\')
        ++I;  // the escaped character cannot end the string
      else if (C == '"')
        InString = false;
    } else if (C == '"') {
      InString = true;
    } else if (C == '[' || C == '{') {
      if (++Depth > Limit) return true;
    } else if (C == ']' || C == '}') {
      --Depth;
    }
  }
  return false;
}

}  // namespace

QPlainTextEdit* TBodyView::NewPane(QWidget* Parent, const char* Name) {
  auto* Pane = new QPlainTextEdit(Parent);
  Pane->setObjectName(Name);
  Pane->setReadOnly(true);
  Pane->setLineWrapMode(QPlainTextEdit::NoWrap);
  Pane->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  return Pane;
}

TBodyView::TBodyView(QWidget* Parent) : QWidget(Parent) {
  FNote = new QLabel(this);
  FNote->setObjectName("BodyNote");
  FNote->setTextFormat(Qt::PlainText);
  FWhole = new QPushButton(QString::fromUtf8("Lire le corps entier"), this);
  FWhole->setObjectName("WholeBodyButton");
  FWhole->hide();
  connect(FWhole, &QPushButton::clicked, this, [this] {
    if (FWholeAsked) FWholeAsked();
  });
  FChoice = new QComboBox(this);
  FChoice->setObjectName("BodyMode");
  FChoice->addItems({"Texte", "Hexa", "Image"});
  FStack = new QStackedWidget(this);
  FText = NewPane(FStack, "BodyText");
  FHex = NewPane(FStack, "BodyHex");
  auto* Scroll = new QScrollArea(FStack);
  FPicture = new QLabel(Scroll);
  FPicture->setObjectName("BodyImage");
  FPicture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Scroll->setWidget(FPicture);
  Scroll->setWidgetResizable(true);
  FStack->addWidget(FText);
  FStack->addWidget(FHex);
  FStack->addWidget(Scroll);
  auto* Top = new QHBoxLayout;
  Top->addWidget(new QLabel("Vue :", this));
  Top->addWidget(FChoice);
  Top->addWidget(FNote, 1);
  Top->addWidget(FWhole);
  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addLayout(Top);
  Layout->addWidget(FStack, 1);
  connect(FChoice, &QComboBox::activated, this,
          [this](int Index) { SetMode(static_cast<TMode>(Index)); });
}

TBodyView::TPrepared TBodyView::Prepare(const std::string& Body, const std::string& ContentType) {
  TPrepared Out;
  Out.Image = Picture(Body);
  // Indented, a JSON text is cut and packed as any other text in the pane.
  const QString Json = PrettyJson(Body, ContentType);
  Out.Text = TAnsiText::ForPane(Json.isEmpty() ? Body : Json.toStdString());
  Out.Mode = Choose(Body, Out.Image);
  return Out;
}

void TBodyView::SetBody(const std::string& Body, const std::string& ContentType,
                        const QString& Note) {
  SetPrepared(Body, ContentType, Prepare(Body, ContentType), Note);
}

void TBodyView::SetPrepared(std::string Body, const std::string& ContentType, TPrepared Prepared,
                            const QString& Note) {
  FBody = std::move(Body);
  FContentType = ContentType;
  FImage = std::move(Prepared.Image);
  FHexDone = false;
  OfferWhole({});
  SetNote(Note);
  FText->setPlainText(Prepared.Text);
  FPicture->setPixmap(FImage.isNull() ? QPixmap() : QPixmap::fromImage(FImage));
  SetMode(Prepared.Mode);
}

void TBodyView::OfferWhole(std::function<void()> Whole) {
  FWholeAsked = std::move(Whole);
  FWhole->setVisible(static_cast<bool>(FWholeAsked));
}

void TBodyView::SetNote(const QString& Note) {
  FNote->setText(!Note.isEmpty() || FImage.isNull()
                     ? Note
                     : QString::fromUtf8("Image %1 \u00d7 %2")
                           .arg(FImage.width())
                           .arg(FImage.height()));
}

void TBodyView::SetMode(TMode Mode) {
  if (Mode == bmImage && FImage.isNull()) Mode = bmHex;
  FMode = Mode;
  FChoice->setCurrentIndex(Mode);
  Show();
}

void TBodyView::Show() {
  if (FMode == bmHex && !FHexDone) {
    QString Dump = HexDump(std::string_view(FBody).substr(0, MaxHexBytes));
    if (FBody.size() > MaxHexBytes)
      Dump += QString::fromUtf8("[\u2026 %1 octets de plus, non affich\u00e9s en hexa]")
                  .arg(TAnsiText::Count(static_cast<std::int64_t>(FBody.size() - MaxHexBytes)));
    FHex->setPlainText(Dump);
    FHexDone = true;
  }
  FStack->setCurrentIndex(FMode);
}

QString TBodyView::Text() const { return FText->toPlainText(); }

QString TBodyView::Hex() const {
  return FHexDone ? FHex->toPlainText() : HexDump(std::string_view(FBody).substr(0, MaxHexBytes));
}

TBodyView::TMode TBodyView::Choose(std::string_view Body, const QImage& Image) {
  if (!Image.isNull()) return bmImage;
  // A body kept only in part may end in the middle of a character.
  if (TextLength(Body, true) || PlainBytes(Body)) return bmText;
  return bmHex;
}

QImage TBodyView::Picture(std::string_view Body) {
  const QByteArray Format = Signature(Body);
  if (Format.isEmpty()) return {};
  QByteArray Bytes = QByteArray::fromRawData(Body.data(), static_cast<qsizetype>(Body.size()));
  QBuffer Buffer(&Bytes);
  QImageReader Reader(&Buffer, Format);
  QImage Image = Reader.read();
  Image.detach();  // no ties to the buffer's bytes
  return Image;
}

QString TBodyView::HexDump(std::string_view Bytes) {
  static const char Digits[] = "0123456789abcdef";
  QString Out;
  Out.reserve(static_cast<qsizetype>(Bytes.size() / 16 + 1) * 78);
  for (std::size_t Line = 0; Line < Bytes.size(); Line += 16) {
    Out += QString::number(static_cast<qulonglong>(Line), 16).rightJustified(8, u'0');
    Out += "  ";
    QString Chars;
    for (std::size_t I = Line; I < Line + 16; ++I) {
      if (I < Bytes.size()) {
        const auto B = static_cast<unsigned char>(Bytes[I]);
        Out += QChar(Digits[B >> 4]);
        Out += QChar(Digits[B & 15]);
        Chars += B >= 0x20 && B < 0x7F ? QChar(B) : QChar(u'.');
      } else {
        Out += "  ";
      }
      Out += I == Line + 7 ? "  " : " ";
    }
    Out += " |" + Chars + "|\n";
  }
  return Out;
}

QString TBodyView::PrettyJson(std::string_view Body, std::string_view ContentType) {
  const auto Type = QString::fromLatin1(ContentType.data(), static_cast<qsizetype>(ContentType.size()))
                        .section(u';', 0, 0)
                        .trimmed()
                        .toLower();
  if (Type != "application/json" && !Type.endsWith("+json") && Type != "text/json") return {};
  if (NestsDeeper(Body, MaxJsonDepth)) return {};
  // Parsed only to be sure it is JSON; what is shown is its own tokens.
  if (!nlohmann::json::accept(Body)) return {};
  return QString::fromStdString(Indented(Body));
}
