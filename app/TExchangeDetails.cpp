// TExchangeDetails: renders the exchange log as text and follows it while a request runs.
#include "app/TExchangeDetails.h"

#include <QAction>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/TAnsiText.h"

namespace {

const char* const StageNames[TExchangeLog::StageCount] = {
    "Recherche de l'h\u00f4te",  "Connexion",
    "Requ\u00eate envoy\u00e9e", "Premier octet re\u00e7u",
    "Fin de l'en-t\u00eate",     "Fin du corps"};

QString Ms(double Value) { return QString::number(Value, 'f', 1); }

}  // namespace

TExchangeDetails::TExchangeDetails(const TExchangeLog& Log, QWidget* Parent)
    : QWidget(Parent, Qt::Window), FLog(Log) {
  setObjectName("ExchangeDetails");
  setWindowTitle(QString::fromUtf8("D\u00e9tails de l'\u00e9change"));
  FMemo = new QPlainTextEdit(this);
  FMemo->setObjectName("DetailsText");
  FMemo->setReadOnly(true);
  FMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  FMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  FStop = new QToolButton(this);
  FStop->setObjectName("StopButton");
  FStop->setToolButtonStyle(Qt::ToolButtonTextOnly);
  FStop->hide();
  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(4, 4, 4, 4);
  Layout->addWidget(FStop, 0, Qt::AlignLeft);
  Layout->addWidget(FMemo);
  resize(640, 480);
  Refresh();
}

void TExchangeDetails::SetStopAction(QAction* Stop) {
  FStop->setDefaultAction(Stop);
  FStop->show();
  addAction(Stop);
}

QString TExchangeDetails::Text() const { return FMemo->toPlainText(); }

void TExchangeDetails::Refresh() {
  const int Line = FMemo->verticalScrollBar()->value();
  FMemo->setPlainText(Render(FLog));
  FMemo->verticalScrollBar()->setValue(Line);
}

QString TExchangeDetails::Escaped(const std::string& Bytes) {
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

QString TExchangeDetails::Render(const TExchangeLog& Log) {
  QString T;
  if (Log.Passes().empty()) return QString::fromUtf8("Aucune requ\u00eate pour l'instant.\n");
  int Number = 0;
  for (const TExchangeLog::TPass& P : Log.Passes()) {
    T += QString::fromUtf8("=== Passage %1 : %2 %3\n")
             .arg(++Number)
             .arg(QString::fromLatin1(P.Method.c_str()), Escaped(P.URL));
    if (!P.Proxy.empty()) T += "Proxy : " + Escaped(P.Proxy) + "\n";
    T += QString::fromUtf8("\n--- Octets envoy\u00e9s\n") + Escaped(P.RequestHeader);
    if (P.RequestBodySize > 0 || !P.RequestBody.empty()) {
      T += QString::fromUtf8("--- Corps (%1 octets").arg(P.RequestBodySize);
      if (P.RequestBodySize > static_cast<std::int64_t>(TExchangeLog::BodyShown))
        T += QString::fromUtf8(", les %1 premiers").arg(TExchangeLog::BodyShown);
      T += ")\n" + Escaped(P.RequestBody) + "\n";
    }
    T += QString::fromUtf8("\n--- R\u00e9ponse\n") + Escaped(P.ReplyHeader);
    T += QString::fromUtf8("\n--- Temps (ms depuis le d\u00e9but du passage)\n");
    for (int S = 0; S < TExchangeLog::StageCount; ++S) {
      const auto& At = P.At[S];
      T += QString::fromUtf8(StageNames[S]).leftJustified(24) + (At ? Ms(*At) : QString()) + "\n";
    }
    const auto& End = P.At[TExchangeLog::esBodyEnd];
    T += QString::fromUtf8("Total : %1 ms, %2 octets re\u00e7us")
             .arg(End ? Ms(*End) : QString("-"))
             .arg(P.BytesReceived());
    if (End && *End > 0)
      T += QString::fromUtf8(", %1 Kio/s")
               .arg(P.BytesReceived() / 1024.0 / (*End / 1000.0), 0, 'f', 1);
    if (P.BodyShort())
      T += QString::fromUtf8("\nCorps incomplet : %1 octets sur %2")
               .arg(TAnsiText::Count(P.BodyBytes), TAnsiText::Count(P.Announced));
    T += "\n\n";
  }
  return T;
}
