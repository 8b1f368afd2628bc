// Orrery's entry point: the Qt application, the bridge to the platform queue, the window.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>

#include "app/TQtEventBridge.h"

int main(int argc, char* argv[]) {
  QApplication App(argc, argv);
  QApplication::setApplicationName("Orrery");
  TQtEventBridge Bridge;

  // The request pages arrive with the HTTP component; until then the window says so.
  QMainWindow Window;
  Window.setWindowTitle("Orrery");
  auto* Label = new QLabel(
      "Orrery\n\nThe request pages (GET, POST, HEAD) and the settings page are not built "
      "yet.\nThe socket component and the platform layer beneath them are in place.",
      &Window);
  Label->setAlignment(Qt::AlignCenter);
  Label->setMargin(24);
  Window.setCentralWidget(Label);
  Window.resize(560, 240);
  Window.show();
  return App.exec();
}
