// TReplyFile: an all-or-nothing write of a reply's bytes.
#include "app/TReplyFile.h"

#include <QSaveFile>

QString TReplyFile::Write(const QString& FileName, const std::string& Header,
                          const std::string& Body) {
  QSaveFile File(FileName);
  if (!File.open(QIODevice::WriteOnly)) return File.errorString();
  for (const std::string* Part : {&Header, &Body}) {
    if (File.write(Part->data(), static_cast<qint64>(Part->size())) !=
        static_cast<qint64>(Part->size())) {
      const QString Why = File.errorString();
      File.cancelWriting();
      return Why;
    }
  }
  if (!File.commit()) return File.errorString();
  return QString();
}
