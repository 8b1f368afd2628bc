// The thread's message queue: posted messages, window timers, socket readiness and look-up
// completions, behind one pollable fd.
//
// One pass of DispatchAll:
//   1. harvest: epoll_wait(0) on the queue's fd; socket readiness becomes posted messages by
//      the WSAAsyncSelect rules, the wake eventfd is drained, the look-up inbox is spliced in.
//      No user code runs during a harvest, and after it the fd is readable only if new events
//      have arrived since. A pass right after a WaitMessage takes that wait's harvest instead.
//   2. dispatch, in order, the posted messages that were queued when the harvest ended, each
//      to its window's procedure (a message whose window is gone is dropped); messages posted
//      meanwhile wait for the next pass;
//   3. dispatch WM_TIMER for each timer that is due and has not fired during this call,
//      rescheduling it (expiries merge: at most one WM_TIMER per timer per call);
//   4. return; if messages are left for the next pass, the fd is left readable for them.
// So no handler that keeps messages coming can hold a pass for ever or keep a due timer
// from firing. Window procedures may call DispatchAll again (nested waits); each call has
// its own "already fired" set of timers.
//
// WaitMessage never spins: it blocks in the harvest's epoll_wait until something is ready,
// the next timer is due or the timeout passes, and harvests what woke it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win {

// Dispatches the messages pending after one harvest, then the due timers, then returns.
// Returns the number of messages dispatched.
int DispatchAll();

// True when DispatchAll would dispatch something now (a posted message, a due timer, or
// unharvested readiness on the queue's fd).
bool HasPending();

// Blocks until HasPending() would be true or `timeoutMs` passes (-1: no limit). Returns
// immediately when something is already pending. Dispatches nothing: readiness it finds is
// harvested into posted messages, which the next DispatchAll dispatches.
void WaitMessage(int timeoutMs = -1);

// The fd a GUI loop watches for readability (level-triggered); run DispatchAll when it fires.
// Once it has been asked for, every DispatchAll leaves the fd up to date for such a loop
// (without one, the queue brings epoll up to date only when it waits or checks itself).
int QueuePollFd();

// Counters for tests and benchmarks: blocking waits that returned, and handles still alive.
struct QueueStats {
  std::uint64_t Wakeups = 0;  // waits inside WaitMessage that ended (not by a signal)
  std::size_t Windows = 0;
  std::size_t Timers = 0;
  std::size_t Sockets = 0;
  std::size_t PostedMessages = 0;
};
QueueStats GetQueueStats();

}  // namespace win
