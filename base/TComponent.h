// Components: objects with an owner that destroys them with itself, a name, and two states
// of their own life that their code reads (designing, destroying).
//
// Destroy a component with Free() (or let its owner do it, or hold it in a TOwned<>): Free
// runs BeforeDestruction first, which marks the component and everything it owns as being
// destroyed while every virtual override is still in place. Plain `delete` works too, but a
// destructor then sees only its own class's overrides.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/TObject.h"

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  // Marks the component as being destroyed, then deletes it. A member call through a null
  // pointer is undefined in C++, so a pointer that may be null goes to FreeAndNil instead.
  void Free();

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const;  // ERangeError outside 0 .. ComponentCount()-1

  // Design mode: taken over from the owner at construction; set on a root (and so on what
  // it owns) with SetDesigning. A designing component opens nothing.
  bool Designing() const { return FDesigning; }
  void SetDesigning(bool Value);  // also applies to every owned component

  // True from the moment destruction begins; events are no longer fired then.
  bool IsDestroying() const { return FDestroying; }

  std::string Name;

 protected:
  // Called by Free before the destructor, with every override still virtual. Overrides must
  // call the base, which sets the destroying flag on this component and what it owns.
  virtual void BeforeDestruction();
  // Sets the destroying flag here and on every owned component (idempotent). Destructors
  // call it first so that a plain delete is marked too.
  void Destroying();

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;  // in order of creation
  bool FDesigning = false;
  bool FDestroying = false;
};

// Frees the component, if any, and clears the pointer.
template <class T>
void FreeAndNil(T*& C) {
  T* Old = C;
  C = nullptr;
  if (Old != nullptr) Old->Free();
}

// unique_ptr that releases a component with Free().
struct TComponentDeleter {
  void operator()(TComponent* C) const { C->Free(); }
};
template <class T>
using TOwned = std::unique_ptr<T, TComponentDeleter>;
