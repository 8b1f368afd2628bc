// Ownership and life-cycle flags of components.
#include "base/TComponent.h"

#include <algorithm>

#include "base/Exception.h"

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) {
    FDesigning = AOwner->FDesigning;
    AOwner->InsertComponent(this);
  }
}

TComponent::~TComponent() {
  Destroying();
  // Last created goes first: later components may refer to earlier ones, never the reverse.
  // Each is unhooked before it is freed, so its own destructor does not search our list,
  // and the list is re-read every time because a destructor may free a sibling.
  while (!FComponents.empty()) {
    TComponent* Child = FComponents.back();
    FComponents.pop_back();
    Child->FOwner = nullptr;
    Child->Free();
  }
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

void TComponent::Free() {
  BeforeDestruction();
  delete this;
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount())
    throw ERangeError("List index out of bounds (" + std::to_string(Index) + ")");
  return FComponents[static_cast<std::size_t>(Index)];
}

void TComponent::SetDesigning(bool Value) {
  FDesigning = Value;
  for (TComponent* Child : FComponents) Child->SetDesigning(Value);
}

void TComponent::BeforeDestruction() { Destroying(); }

void TComponent::Destroying() {
  // No early return on an already-set flag: a component created under an owner that was
  // already being destroyed must be marked as well.
  FDestroying = true;
  for (TComponent* Child : FComponents) Child->Destroying();
}

void TComponent::InsertComponent(TComponent* AComponent) {
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  auto It = std::find(FComponents.begin(), FComponents.end(), AComponent);
  if (It != FComponents.end()) FComponents.erase(It);
  AComponent->FOwner = nullptr;
}
