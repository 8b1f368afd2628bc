// The loop entry points, forwarding to the calling thread's queue.
#include "platform/MessageQueue.h"

#include "platform/TQueue.h"

namespace win {

int DispatchAll() { return detail::TQueue::Current().DispatchAll(); }
bool HasPending() { return detail::TQueue::Current().HasPending(); }
void WaitMessage(int timeoutMs) { detail::TQueue::Current().WaitMessage(timeoutMs); }
int QueuePollFd() { return detail::TQueue::Current().SharePollFd(); }
QueueStats GetQueueStats() { return detail::TQueue::Current().Stats(); }

}  // namespace win
