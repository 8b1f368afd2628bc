// TTimeOut: the countdown and its lazily set system timer.
#include "socket/TTimeOut.h"

#include "socket/TThreadTimer.h"

void TTimeOut::Start(std::uint32_t Interval, TThreadTimer* Timer) {
  if (FRunning && Interval == FInterval) return;
  FRunning = true;
  FInterval = Interval;
  FStart = std::chrono::steady_clock::now();
  // Most operations that arm the time-out find their data waiting and never let messages
  // flow; setting and killing the system timer for each of them (every header line) would
  // cost more than the operation itself.
  if (Timer != nullptr) Timer->SetEnabled(false);
}

void TTimeOut::SetPending(TThreadTimer* Timer) const {
  if (!FRunning || FInterval == 0 || Timer == nullptr || Timer->Enabled()) return;
  const auto Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - FStart)
                           .count();
  // Due already: the smallest interval fires at the next dispatch.
  const std::uint32_t Left =
      Elapsed >= FInterval ? 1 : FInterval - static_cast<std::uint32_t>(Elapsed);
  Timer->SetInterval(Left);
  Timer->SetEnabled(true);
}

void TTimeOut::Stop(TThreadTimer* Timer) {
  FRunning = false;
  if (Timer != nullptr) Timer->SetEnabled(false);
}
