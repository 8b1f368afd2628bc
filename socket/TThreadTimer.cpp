// The time-out timer of the socket component: WM_TIMER on a hidden window.
#include "socket/TThreadTimer.h"

#include "base/Exception.h"
#include "base/TApplication.h"
#include "platform/WinUser.h"
#include "socket/HiddenWindow.h"

namespace {

constexpr win::UINT_PTR TimerId = 1;

win::WNDCLASSA TimerWindowClass = [] {
  win::WNDCLASSA C;
  C.lpfnWndProc = TimerWindowProc;
  C.cbWndExtra = sizeof(win::LONG_PTR);  // word 0: the owning timer
  C.lpszClassName = "TmrWindowClass";
  return C;
}();

}  // namespace

win::HWND CreateTimerWindow(TThreadTimer* Timer) {
  return CreateHiddenWindow(TimerWindowClass, Timer);
}

win::LRESULT TimerWindowProc(win::HWND Window, win::UINT Message, win::WPARAM WParam,
                             win::LPARAM LParam) {
  auto* Timer = reinterpret_cast<TThreadTimer*>(win::GetWindowLongPtrA(Window, 0));
  if (Timer == nullptr) return win::DefWindowProcA(Window, Message, WParam, LParam);
  TMessage Msg{Message, WParam, LParam, 0};
  if (Message == win::WM_ACTIVATEAPP) return 0;
  Timer->HandleTimerMessage(Msg);
  return Msg.Result;
}

TThreadTimer::TThreadTimer(TComponent* AOwner) : TComponent(AOwner) {
  FWindowHandle = CreateTimerWindow(this);
}

TThreadTimer::~TThreadTimer() {
  Destroying();
  FEnabled = false;
  RefreshTimer();
  if (FWindowHandle != 0) win::DestroyWindow(FWindowHandle);
}

void TThreadTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  RefreshTimer();
}

void TThreadTimer::SetInterval(std::uint32_t Value) {
  if (Value == FInterval) return;
  FInterval = Value;
  RefreshTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent Value) {
  FOnTimer = std::move(Value);
  RefreshTimer();
}

void TThreadTimer::RefreshTimer() {
  win::KillTimer(FWindowHandle, TimerId);
  if (FInterval != 0 && FEnabled && FOnTimer) {
    if (win::SetTimer(FWindowHandle, TimerId, FInterval, nullptr) == 0) throw Exception("No Timer");
  }
}

void TThreadTimer::Tick() {
  if (FOnTimer) {
    // A copy: the handler may reassign OnTimer (or free this timer) while it runs.
    const TNotifyEvent Handler = FOnTimer;
    Handler(this);
  }
}

void TThreadTimer::HandleTimerMessage(TMessage& Msg) {
  if (Msg.Msg == win::WM_TIMER) {
    try {
      Tick();
    } catch (...) {
      Application.HandleException(std::current_exception());
    }
    return;
  }
  Msg.Result = win::DefWindowProcA(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
}
