// A hidden test window that records every message it receives, in order, and lets a test
// act from inside its procedure (re-entrancy, destroying itself, nested dispatch).
#pragma once

#include <functional>
#include <vector>

#include "platform/WinSock.h"
#include "platform/WinUser.h"

namespace platformtest {

constexpr win::UINT WM_SOCKET = win::WM_USER + 101;
constexpr win::UINT WM_LOOKUP = win::WM_USER + 102;

struct TMessage {
  win::HWND Window;
  win::UINT Msg;
  win::WPARAM WParam;
  win::LPARAM LParam;
};

class TMessageRecorder {
 public:
  TMessageRecorder();
  ~TMessageRecorder();  // destroys the window if it is still alive
  TMessageRecorder(const TMessageRecorder&) = delete;
  TMessageRecorder& operator=(const TMessageRecorder&) = delete;

  win::HWND Window() const { return FWindow; }

  // Socket notifications for `s` carrying `event`.
  int CountEvent(win::SOCKET s, long event) const;
  int Count(win::UINT msg) const;
  std::vector<TMessage> Of(win::UINT msg) const;

  std::vector<TMessage> Messages;
  std::function<void(const TMessage&)> OnMessage;  // runs inside the window procedure
  win::LONG_PTR WordAtNcCreate = -1;               // window word 0 as WM_NCCREATE found it

 private:
  static win::LRESULT Proc(win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam);
  win::HWND FWindow = 0;
};

}  // namespace platformtest
