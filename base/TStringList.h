// An ordered list of lines. Text() joins every line, each followed by CR LF.
#pragma once

#include <string>
#include <vector>

#include "base/TObject.h"

class TStringList : public TObject {
 public:
  TStringList() = default;
  ~TStringList() override = default;

  int Count() const { return static_cast<int>(FLines.size()); }

  // Appends (or, when Sorted, inserts at its sorted place, after any equal lines) and
  // returns the index.
  virtual int Add(const std::string& S);
  // Inserts at Index (0 .. Count()); not allowed on a sorted list (EStringListError).
  virtual void Insert(int Index, const std::string& S);
  virtual void Delete(int Index);
  virtual void Clear();

  // Indexed read and replace; EStringListError "List index out of bounds (<i>)" outside
  // 0 .. Count()-1. Replacing would break a sorted list's order, so it is refused there
  // (EStringListError "Operation not allowed on sorted list"), as Insert is.
  const std::string& Strings(int Index) const;
  virtual void SetStrings(int Index, const std::string& S);
  const std::string& operator[](int Index) const { return Strings(Index); }

  // Exact (case-sensitive) match; -1 when absent. Sorted lists search by bisection.
  virtual int IndexOf(const std::string& S) const;

  // Keeping the list sorted: turning it on sorts the lines at once. The order is given by
  // CompareStrings, which a derived list may override.
  bool Sorted() const { return FSorted; }
  void SetSorted(bool Value);

  // Every line followed by CR LF; SetText splits at CR LF, LF or CR.
  std::string Text() const;
  void SetText(const std::string& Value);

  const std::vector<std::string>& Lines() const { return FLines; }

 protected:
  // Order of two lines for a sorted list: negative, zero or positive. Default: byte order.
  virtual int CompareStrings(const std::string& A, const std::string& B) const;
  // Bisection on a sorted list: true and the index of the first equal line when found, else
  // false and the place where S would be inserted.
  bool Find(const std::string& S, int& Index) const;
  void CheckIndex(int Index) const;

  std::vector<std::string> FLines;
  bool FSorted = false;

 private:
  // Lines Clear let go of, kept with their room: a list refilled with lines of the same
  // sizes (a request's header, built anew every time) then allocates nothing. A few short
  // ones only, so a large list cleared does not stay large.
  static constexpr std::size_t MaxSpare = 16;
  static constexpr std::size_t MaxSpareRoom = 256;
  std::vector<std::string> FSpare;
};
