// The alive guard's way out: clean-up only while its component lives.
#include "socket/ComponentGuard.h"

TAliveGuard::~TAliveGuard() {
  if (!FOnExit || !*FAlive) return;
  try {
    FOnExit();
  } catch (...) {
    // A status handler that frees the component while an error unwinds: nothing left.
  }
}

void TAliveGuard::RunNow() {
  const std::function<void()> Exit = std::move(FOnExit);
  FOnExit = nullptr;
  if (Exit) Exit();
}
