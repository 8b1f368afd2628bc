// A periodic timer whose ticks arrive as WM_TIMER on a hidden window of the creating thread,
// and so run only while that thread dispatches messages. It starts no thread of its own.
//
// The system timer runs exactly while Enabled is true, Interval is not 0 and OnTimer is
// assigned. Writing Enabled or Interval restarts the countdown only when the value really
// changes; assigning OnTimer always does.
#pragma once

#include <cstdint>

#include "base/Events.h"
#include "base/TComponent.h"
#include "platform/WinTypes.h"
#include "socket/TMessage.h"

class TThreadTimer : public TComponent {
 public:
  explicit TThreadTimer(TComponent* AOwner);
  ~TThreadTimer() override;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  std::uint32_t Interval() const { return FInterval; }
  void SetInterval(std::uint32_t Value);
  const TNotifyEvent& OnTimer() const { return FOnTimer; }
  void SetOnTimer(TNotifyEvent Value);

  win::HWND WindowHandle() const { return FWindowHandle; }

  // Dispatches one message of the timer's window; WM_TIMER calls Tick.
  void HandleTimerMessage(TMessage& Msg);

 protected:
  virtual void Tick();

 private:
  void RefreshTimer();

  std::uint32_t FInterval = 1000;
  win::HWND FWindowHandle = 0;
  TNotifyEvent FOnTimer;
  bool FEnabled = true;
};

// A hidden window of class "TmrWindowClass" whose word 0 holds Timer; 0 on failure.
win::HWND CreateTimerWindow(TThreadTimer* Timer);
win::LRESULT TimerWindowProc(win::HWND Window, win::UINT Message, win::WPARAM WParam,
                             win::LPARAM LParam);
