// TCookieMessage: a message box's look, with a pane that wraps and scrolls for the cookie.
#include "app/TCookieMessage.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

TCookieMessage::TCookieMessage(const QString& Cookie, QWidget* Parent)
    : QDialog(Parent), FCookie(Cookie) {
  setObjectName("CookieMessage");
  setWindowTitle(QCoreApplication::applicationName());
  auto* Caption = new QLabel("Cookie:", this);
  FPane = new QPlainTextEdit(Cookie, this);
  FPane->setObjectName("CookieText");
  FPane->setReadOnly(true);
  FPane->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  FPane->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  FPane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* Buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(Caption);
  Layout->addWidget(FPane);
  Layout->addWidget(Buttons);

  // As wide as the cookie needs up to MaxWidth, never wider than the screen; as tall as its
  // wrapped lines up to MaxLines, then it scrolls.
  const QScreen* Screen = Parent != nullptr ? Parent->screen() : QGuiApplication::primaryScreen();
  const int ScreenWidth = Screen != nullptr ? Screen->availableGeometry().width() : MaxWidth;
  const QFontMetrics Metrics(FPane->font());
  const int Frame =
      2 * FPane->frameWidth() + 2 * static_cast<int>(FPane->document()->documentMargin());
  const int Natural = Metrics.horizontalAdvance(Cookie) + Frame + 4;
  const int Width = std::clamp(Natural, 200, std::min(MaxWidth, ScreenWidth * 9 / 10));
  const double Lines = std::ceil(double(Metrics.horizontalAdvance(Cookie)) / (Width - Frame - 4));
  const int Shown = std::clamp(static_cast<int>(Lines), 1, MaxLines);
  FPane->setFixedSize(Width, Shown * Metrics.lineSpacing() + Frame + 2);
  Layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString TCookieMessage::text() const { return "Cookie:\n" + FCookie; }
