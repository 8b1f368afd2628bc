// Helpers for components whose own event handlers may destroy them in the middle of a call:
// one guard that cleans up on the way out only while the component lives, and the firing of
// an event that stops the call once the component is gone.
//
// A component keeps a shared "alive" flag (TAliveFlag) and clears it as the last step of its
// destructor. Whoever may outlive it on the stack (a wait, a transfer, a request loop) holds a
// copy of the flag and tests it before touching the component again.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "socket/SockErrors.h"

// True while the component that owns it lives.
using TAliveFlag = std::shared_ptr<bool>;

// Runs OnExit when the scope ends, unless the component was destroyed meanwhile (nothing of
// it may be touched then) or the guard was dismissed. The way out may be an exception: what
// OnExit raises then is swallowed, so that the error that unwinds is the one reported. Call
// RunNow where the clean-up's own errors must reach the caller.
class TAliveGuard {
 public:
  explicit TAliveGuard(TAliveFlag Alive, std::function<void()> OnExit = {})
      : FAlive(std::move(Alive)), FOnExit(std::move(OnExit)) {}
  ~TAliveGuard();
  TAliveGuard(const TAliveGuard&) = delete;
  TAliveGuard& operator=(const TAliveGuard&) = delete;

  bool OwnerAlive() const { return *FAlive; }
  // The clean-up is no longer due.
  void Dismiss() { FOnExit = nullptr; }
  // Runs the clean-up now, once, its errors going to the caller.
  void RunNow();

 private:
  TAliveFlag FAlive;
  std::function<void()> FOnExit;
};

// Calls an event handler through a copy, since the handler may reassign or free it. Returns
// false when the handler destroyed the component; an unassigned handler is skipped (true).
template <class Event, class... Args>
bool FireEvent(const TAliveFlag& Alive, const Event& Handler, Args&&... A) {
  if (!Handler) return true;
  const TAliveFlag Held = Alive;
  const Event Copy = Handler;
  Copy(std::forward<Args>(A)...);
  return *Held;
}

// Fires the event and ends the running call with EComponentDestroyed when the handler
// destroyed the component: the caller's next step would touch freed memory.
template <class Event, class... Args>
void FireOrStop(const TAliveFlag& Alive, const Event& Handler, Args&&... A) {
  if (!FireEvent(Alive, Handler, std::forward<Args>(A)...)) throw EComponentDestroyed();
}
