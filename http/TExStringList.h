// The request header lines of an HTTP request ("Name: value"), with lookup and replacement
// by header name so that each header the client sets occurs at most once.
#pragma once

#include <string>

#include "base/TStringList.h"

// A line's name part is the text before its first ':', untrimmed; a line without ':' has
// none. Names compare case-insensitively in the order CompareHeaderNames gives, and a sorted
// list is kept in that order of name parts so that a bisection on names can find a header.
class TExStringList : public TStringList {
 public:
  // Index of the first line whose name part equals Name, or -1.
  int IndexOfHeader(const std::string& Name) const;

  // Makes the list hold "Name: Value" as the line for Name (replacing the first line of that
  // name, or adding one), or removes that line when Value is empty.
  void SetHeader(const std::string& Name, const std::string& Value);

  // Case-insensitive order of header names: negative, zero or positive.
  //
  // It follows the usual word order of a desktop locale, so that names of ASCII letters,
  // digits and hyphens sort as users expect: hyphens and apostrophes are skipped in a first
  // pass (so "coop" and "co-op" sort together); otherwise punctuation and control bytes come
  // before digits, and digits before letters, with case ignored. Only names equal in the
  // first pass look at the skipped characters: fewer of them sorts first, then the earlier
  // position, then the byte. No locale is consulted. Bytes the ASCII letters, digits and
  // hyphens do not cover have a fixed order of their own: other ASCII bytes by value before
  // the digits, bytes 0x80..0xFF by value after the letters (accented letters are not folded
  // onto their base letters, and upper and lower case there are different names).
  static int CompareHeaderNames(const std::string& A, const std::string& B);

 protected:
  // Sorting orders the lines by name part alone; lines of one name keep the order in which
  // they were added.
  int CompareStrings(const std::string& A, const std::string& B) const override;
};
