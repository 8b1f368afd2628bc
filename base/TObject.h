// Root of the class hierarchy: a polymorphic base that events name as their sender.
#pragma once

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};
