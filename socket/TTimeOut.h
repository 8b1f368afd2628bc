// TTimeOut: the time-out of the component's operations, counted from when an operation arms it
// and set on the system timer only once the operation lets messages flow, since only then can
// it fire.
#pragma once

#include <chrono>
#include <cstdint>

class TThreadTimer;

class TTimeOut {
 public:
  // Counts Interval ms from now, unless a countdown of the same Interval runs: that goes on.
  // The system timer is stopped until SetPending.
  void Start(std::uint32_t Interval, TThreadTimer* Timer);
  // Sets the system timer for what is left of a running countdown.
  void SetPending(TThreadTimer* Timer) const;
  void Stop(TThreadTimer* Timer);

 private:
  bool FRunning = false;
  std::uint32_t FInterval = 0;
  std::chrono::steady_clock::time_point FStart{};
};
