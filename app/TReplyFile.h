// TReplyFile: a reply's header block and body written to a file exactly as received.
#pragma once

#include <QString>
#include <string>

class TReplyFile {
 public:
  // Writes Header then Body to FileName as SaveFile does: a regular file is replaced only
  // once every byte is written (a failure leaves it as it was), a device, a FIFO or a link
  // is written in place and never replaced. Returns an empty text on success, otherwise why
  // the file could not be written (a full device included).
  static QString Write(const QString& FileName, const std::string& Header, const std::string& Body);
};
