// TQuaywire's notifications: socket events and look-up replies from the notification
// window, the time-out and its timer, status reports and the socket error texts.
#include <algorithm>
#include <cstring>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "socket/TQuaywire.h"

// --- Status and errors ---------------------------------------------------------------------

void TQuaywire::ReportStatus(std::string_view Text) {
  LastStatus = Text;
  if (IsDestroying()) return;
  bool Alive = true;
  try {
    Alive = SocketStep(ssReported, LastStatus);
    if (Alive && OnStatus) Alive = Fire(OnStatus, this, std::string(LastStatus));
  } catch (...) {
    // A status handler's own error never breaks the operation that reports.
  }
  // A handler that destroyed the component ends whatever reported, before it touches it.
  if (!Alive) throw EComponentDestroyed();
}

void TQuaywire::LookupErrorMessage(std::uint16_t ErrorNo, std::string& Msg) {
  StatusMessage(8, "Looking Up Error Message" + Msg);
  Msg.clear();
  if (ErrorNo == 0) return;
  if (const char* Text = FindSocketErrorText(ErrorNo))
    Msg = IntToStr(ErrorNo) + ":" + Text;
  else
    Msg = "Unknown Error No. " + IntToStr(ErrorNo);
}

void TQuaywire::CheckSocketError(std::uint16_t Tolerated, std::string& Msg, TSockStep Step) {
  LastErrorNo = win::WSAGetLastError();
  if (LastErrorNo != Tolerated && LastErrorNo > 10000) {
    const auto ErrorNo = static_cast<std::uint16_t>(LastErrorNo);
    std::string Text;
    LookupErrorMessage(ErrorNo, Text);
    Fire(OnError, this, ErrorNo, Text);
    throw ESockError(Text, Step);
  }
  Msg.clear();
}

// --- Time-out -----------------------------------------------------------------------------

void TQuaywire::TimerOn() {
  StartTimeOut();
  SetPendingTimer();
}

void TQuaywire::ResetTimeOut(bool Quiet) {
  if (!Quiet) StatusMessage(8, "Timer On");
  TimedOut = false;
  if (TimeOut < 0) throw ERangeError("Range check error");
}

void TQuaywire::StartTimeOut(bool Quiet) {
  ResetTimeOut(Quiet);
  const auto Interval = static_cast<std::uint32_t>(TimeOut);
  // A running countdown goes on unless the time-out has changed meanwhile.
  if (FTimeOutRunning && Interval == FTimeOutInterval) return;
  FTimeOutRunning = true;
  FTimeOutInterval = Interval;
  FTimeOutStart = std::chrono::steady_clock::now();
  // Most operations that arm the time-out find their data waiting and never let messages
  // flow; setting and killing the system timer for each of them (every header line) would
  // cost more than the operation itself.
  if (Timer != nullptr) Timer->SetEnabled(false);
}

void TQuaywire::SetPendingTimer() {
  if (!FTimeOutRunning || FTimeOutInterval == 0 || Timer == nullptr || Timer->Enabled()) return;
  const auto Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - FTimeOutStart)
                           .count();
  // Due already: the smallest interval fires at the next dispatch.
  const std::uint32_t Left =
      Elapsed >= FTimeOutInterval ? 1 : FTimeOutInterval - static_cast<std::uint32_t>(Elapsed);
  Timer->SetInterval(Left);
  Timer->SetEnabled(true);
}

void TQuaywire::TimerOff(bool Quiet) {
  if (!Quiet) StatusMessage(8, "Timer Off");
  FTimeOutRunning = false;
  if (Timer != nullptr) Timer->SetEnabled(false);
}

void TQuaywire::TimerTriggered(TObject*) {
  try {
    StatusMessage(8, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    WaitDone = true;
    Abort();
  } catch (const EComponentDestroyed&) {
    // A handler freed the component: the wait it ended sees that for itself.
  }
}

// --- Notifications ----------------------------------------------------------------------------

void TQuaywire::HandleSocketMessage(TMessage& Msg) {
  // A look-up abandoned by an earlier wait (timed out or canceled) may still complete; its
  // reply says nothing about the present one.
  if (Msg.Msg == WM_LOOKUP_DONE) {
    const auto Stale = std::find(FAbandonedLookups.begin(), FAbandonedLookups.end(), Msg.WParam);
    if (Stale != FAbandonedLookups.end()) {
      FAbandonedLookups.erase(Stale);
      return;
    }
  }
  if (Msg.Msg == WM_SOCKET_EVENT && Msg.WParam != SocketHandle) {
    HandleOtherSocket(Msg);
    return;
  }
  EventSucceeded = win::HIWORD(Msg.LParam) == 0;
  try {
    if (Msg.Msg == WM_SOCKET_EVENT)
      HandleSocketEvent(Msg);
    else if (Msg.Msg == WM_LOOKUP_DONE)
      HandleLookupDone(Msg);
  } catch (...) {
    // Nothing raised while handling a notification may reach the message loop.
  }
}

void TQuaywire::HandleOtherSocket(const TMessage& Msg) {
  // Another socket on this window (an accepted data connection): its news may interest a
  // reader, but it never closes, connects or judges the component's own socket.
  if (win::LOWORD(Msg.LParam) != win::FD_READ) return;
  try {
    Fire(OnDataAvailable, this);
  } catch (...) {
  }
}

void TQuaywire::HandleSocketEvent(const TMessage& Msg) {
  switch (win::LOWORD(Msg.LParam)) {
    case win::FD_READ:
      try {
        Fire(OnDataAvailable, this);
      } catch (...) {
      }
      break;
    case win::FD_ACCEPT:
      Connected = true;
      Fire(OnAccept, this);
      break;
    case win::FD_CONNECT:
      if (EventSucceeded) {
        Connected = true;
        FPending.ConnectNotified = true;
        if (SocketStep(ssConnected, {})) Fire(OnConnect, this);
      }
      break;
    case win::FD_CLOSE:
      // A reset (or an abort) is kept: the socket that replaces this one would only say
      // "not connected", and a reader must not take that for the peer's normal end.
      if (!EventSucceeded) FBrokenError = win::HIWORD(Msg.LParam);
      // Unread data stays for the readers; the owner's Disconnect closes later.
      if (!DataAvailable()) RequestCloseSocket();
      break;
    default: break;
  }
}

void TQuaywire::HandleLookupDone(const TMessage& Msg) {
  if (FPending.LookupTask != 0 && Msg.WParam == FPending.LookupTask && EventSucceeded) {
    // The platform has built the host entry in LookupBuffer before this message.
    const auto* Entry = reinterpret_cast<const hostent*>(LookupBuffer.get());
    if (Entry->h_length == 4 && Entry->h_addr_list != nullptr && Entry->h_addr_list[0] != nullptr)
      std::memcpy(&FPending.Address, Entry->h_addr_list[0], 4);
  }
  if (Msg.WParam == FPending.LookupTask) FPending.LookupTask = 0;
  WaitDone = true;
}
