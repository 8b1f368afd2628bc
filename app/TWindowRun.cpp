// TWindowRun: the window's one run state.
#include "app/TWindowRun.h"

void TWindowRun::Set(TState State) {
  if (State == FState) return;
  FState = State;
  emit Changed();
}
