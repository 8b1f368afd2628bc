// TReplyFile: a reply's bytes through the one save of the inspect layer.
#include "app/TReplyFile.h"

#include <QFile>
#include <exception>

#include "app/TAnsiText.h"
#include "inspect/FileSave.h"

QString TReplyFile::Write(const QString& FileName, const std::string& Header,
                          const std::string& Body) {
  try {
    SaveFile(QFile::encodeName(FileName).toStdString(), {Header, Body});
  } catch (const std::exception& E) {
    return TAnsiText::FromReceived(E.what());
  }
  return QString();
}
