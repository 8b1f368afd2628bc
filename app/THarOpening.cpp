// THarOpening: the worker that reads a HAR file, its progress and its stop, and the French
// words of what stopped a reading.
#include "app/THarOpening.h"

#include <QDir>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>
#include <cerrno>
#include <cstring>

#include "app/TAnsiText.h"
#include "inspect/TExchangePass.h"

THarOpening::THarOpening(const QString& FileName, QObject* Parent)
    : QObject(Parent), FFileName(FileName), FProgress(std::make_shared<THarProgress>()) {
  connect(&FWatcher, &QFutureWatcher<THarLog>::finished, this, &THarOpening::Finished);
  const std::string Name = QFile::encodeName(FileName).toStdString();
  FWatcher.setFuture(QtConcurrent::run([Name, Progress = FProgress] {
    THarReadOptions Options;
    Options.BodyKept = TExchangePass::BodyKept;
    Options.RegularOnly = true;
    Options.Progress = Progress.get();
    return THarReader::ReadFile(Name, Options);
  }));
}

THarOpening::~THarOpening() {
  FWatcher.disconnect(this);
  if (FTaken) return;  // a future whose result was taken is no longer one to wait on
  FProgress->Stop = true;
  FWatcher.waitForFinished();
}

void THarOpening::Stop() { FProgress->Stop = true; }

int THarOpening::Permille() const {
  const std::uint64_t Size = FProgress->Size.load(std::memory_order_relaxed);
  if (Size == 0) return -1;
  const std::uint64_t Read = std::min(Size, FProgress->Read.load(std::memory_order_relaxed));
  return static_cast<int>(Read * 1000 / Size);
}

THarLog THarOpening::TakeLog() {
  if (FTaken || !FWatcher.isFinished()) return {};
  FTaken = true;
  return FWatcher.future().takeResult();
}

QString THarOpening::FaultText(const THarLog& Log) {
  const auto U = [](const char* Text) { return QString::fromUtf8(Text); };
  switch (Log.Fault) {
    case THarFault::hfNone: return {};
    case THarFault::hfOpen:
      if (Log.OpenError == ENOENT) return U("il n'existe pas");
      if (Log.OpenError == EACCES || Log.OpenError == EPERM) return U("sa lecture n'est pas permise");
      return U("il n'a pas pu \u00eatre ouvert (%1)").arg(QString::fromLocal8Bit(std::strerror(Log.OpenError)));
    case THarFault::hfDirectory: return U("c'est un dossier, pas un fichier");
    case THarFault::hfPipe:
      return U("c'est un tube nomm\u00e9 (FIFO) : seul un fichier ordinaire est lu");
    case THarFault::hfDevice: return U("c'est un p\u00e9riph\u00e9rique : seul un fichier ordinaire est lu");
    case THarFault::hfEmpty: return U("le fichier est vide");
    case THarFault::hfSyntax: {
      QString Text = U("ce n'est pas du JSON valide \u00e0 partir de l'octet %1").arg(Log.FaultByte);
      if (Log.InEntry && !Log.Entries.empty())
        Text += U(" (dans l'entr\u00e9e n\u00b0 %1)").arg(Log.Entries.back().Index + 1);
      return Text;
    }
    case THarFault::hfNotHar: return U("ce n'est pas une archive HAR : il n'y a pas de liste log.entries");
    case THarFault::hfTwice: return U("ce n'est pas une archive HAR valide : log.entries y figure deux fois");
    case THarFault::hfStopped: return U("la lecture a \u00e9t\u00e9 arr\u00eat\u00e9e");
  }
  return {};
}

QString THarOpening::Message(const THarLog& Log, const QString& FileName) {
  if (Log.Error.empty()) return {};
  const QString Name = TAnsiText::WithVisibleBidi(QDir::toNativeSeparators(FileName));
  if (Log.Entries.empty())
    return QString::fromUtf8("Le fichier \u00ab %1 \u00bb n'a pas pu \u00eatre lu : %2.").arg(Name, FaultText(Log));
  return QString::fromUtf8("Le fichier \u00ab %1 \u00bb n'a pas pu \u00eatre lu en entier : %2.\n\n"
                           "Les %3 entr\u00e9e(s) lue(s) jusque-l\u00e0 sont montr\u00e9es.")
      .arg(Name, FaultText(Log))
      .arg(Log.Entries.size());
}
