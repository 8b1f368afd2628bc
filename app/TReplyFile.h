// TReplyFile: a reply's header block and body written to a file exactly as received.
#pragma once

#include <QString>
#include <string>

class TReplyFile {
 public:
  // Writes Header then Body to FileName through a temporary file that replaces it only
  // once every byte is written, so a failure leaves an existing file as it was. Returns
  // an empty text on success, otherwise why the file could not be written.
  static QString Write(const QString& FileName, const std::string& Header, const std::string& Body);
};
