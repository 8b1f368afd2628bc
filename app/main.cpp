// Orrery's entry point: the Qt application, the bridge to the platform queue, the main
// window and the hidden About dialog, then the event loop until the main window closes.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/TForm1.h"
#include "app/TForm2.h"
#include "app/TQtEventBridge.h"

namespace {

const char* const NoDisplayHelp =
    "Orrery is a desktop program and needs a graphical display, but none could be opened.\n"
    "On a machine without one, run it on a virtual display:\n"
    "    xvfb-run -a %s\n"
    "(xvfb-run is in Debian's package xvfb), or over VNC:\n"
    "    QT_QPA_PLATFORM=vnc %s    then connect a VNC viewer to port 5900.\n";

const char* ProgramPath = "orrery";

void SayHowToRun() { std::fprintf(stderr, NoDisplayHelp, ProgramPath, ProgramPath); }

bool Set(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value != nullptr && *Value != '\0';
}

// Qt ends the process with a fatal message when its platform plug-in cannot reach a display;
// while the application starts, that becomes the advice above and a plain exit.
// Qt's own reason (which display could not be reached) is kept; its closing advice to
// reinstall the program is replaced by ours.
void StartupMessages(QtMsgType Type, const QMessageLogContext&, const QString& Message) {
  if (Type == QtFatalMsg) {
    SayHowToRun();
    std::_Exit(1);
  }
  std::fprintf(stderr, "%s\n", Message.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 0) ProgramPath = argv[0];
  // Without a display and without a platform chosen by hand, Qt would abort: say what to do.
  bool PlatformChosen = Set("QT_QPA_PLATFORM");
  for (int I = 1; I < argc; ++I)
    PlatformChosen = PlatformChosen || std::strcmp(argv[I], "-platform") == 0;
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !PlatformChosen) {
    SayHowToRun();
    return 1;
  }
  const QtMessageHandler Previous = qInstallMessageHandler(StartupMessages);
  QApplication App(argc, argv);
  qInstallMessageHandler(Previous);
  QApplication::setApplicationName("Orrery");
  TQtEventBridge Bridge;

  TForm1 Main;
  Form1 = &Main;
  Main.show();
  TForm2 About;
  Form2 = &About;
  QApplication::setWindowIcon(QIcon(":/orrery/icon.png"));
  return App.exec();
}
