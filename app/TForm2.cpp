// The About dialog's set-up and its one handler.
#include "app/TForm2.h"

#include "OrreryVersion.h"
#include "ui_TForm2.h"

TForm2* Form2 = nullptr;

// The picture lives in a static library, whose resources must be registered by name (from
// the global namespace, where the resource's registration function is declared).
static void InitResources() { Q_INIT_RESOURCE(orrery); }

TForm2::TForm2(QWidget* Parent) : QDialog(Parent), FUi(std::make_unique<Ui::TForm2>()) {
  InitResources();
  FUi->setupUi(this);
  // The text names the version set once for the whole project.
  FUi->Memo1->setPlainText(FUi->Memo1->toPlainText().replace("@VERSION@", ORRERY_VERSION));
  QFont Font("MS Sans Serif");
  Font.setFamilies({"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial"});
  Font.setPixelSize(11);
  setFont(Font);
  QFont Title("Verdana");
  Title.setFamilies({"Verdana", "DejaVu Sans"});
  Title.setPixelSize(24);
  Title.setBold(true);
  FUi->Label1->setFont(Title);
  QPalette Back = palette();
  Back.setColor(QPalette::Window, Back.color(QPalette::HighlightedText));
  setPalette(Back);
  setAutoFillBackground(true);
  setSizeGripEnabled(false);
  setFixedSize(393, 195);
  move(317, 459);
  connect(FUi->Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
}

TForm2::~TForm2() {
  if (Form2 == this) Form2 = nullptr;
}

void TForm2::Button1Click() { hide(); }
