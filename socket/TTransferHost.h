// What the transfer units (the send loop, the line reader, the capture loop, the TLS handshake)
// need of the component that runs them: its wait, its cancel, its error reports and its
// counters. The component lends one for the length of a call.
#pragma once

#include <cstddef>

#include "socket/SockErrors.h"

class TTransferHost {
 public:
  // A cancel (or the time-out, which cancels) asks the running loop to stop.
  virtual bool Canceled() const = 0;
  // One pass of the wait for the peer's data; false at once, without waiting, when canceled.
  virtual bool AwaitData() = 0;
  // One pass of the wait for room to send (the socket asked to tell of it first).
  virtual void AwaitRoom() = 0;
  // Dispatches what is pending without blocking.
  virtual void Pump() = 0;
  // The platform's last error, kept as the component's last; returned.
  virtual int KeepLastError() = 0;
  // Raises the platform's last error as ESockError for Step, unless it only says the call
  // would block.
  virtual void RaiseError(TSockStep Step) = 0;
  // The end of a transfer a cancel or the time-out stopped: EAbortError with Text, for Step.
  virtual void StopIfCanceled(const char* Text, TSockStep Step) = 0;

  // The sends of this connection stopped early for the peer's answer.
  virtual bool CutShort() const = 0;
  // Asked when a send cannot go on (Error) : true when the peer's answer ends the send.
  virtual bool Answered(int Error) = 0;

  // A capture's receive gave Data: told to whoever hears of the socket's steps.
  virtual void Told(const char* Data, std::size_t Count) = 0;
  // Count bytes received, told to the counters as one block when Tell, else only counted.
  virtual void Counted(std::size_t Count, bool Tell) = 0;
  // A reset found by a capture ends it as the peer's close would: the reply is whole.
  virtual bool ResetEnds() = 0;

 protected:
  ~TTransferHost() = default;
};
