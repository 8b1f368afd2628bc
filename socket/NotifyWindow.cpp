// The hidden window that turns socket notifications and look-up completions into calls of
// the owning component's HandleSocketMessage.
#include "base/TApplication.h"
#include "socket/HiddenWindow.h"
#include "socket/TQuaywire.h"

namespace {

win::WNDCLASSA NotifyWindowClass = [] {
  win::WNDCLASSA C;
  C.lpfnWndProc = SocketWindowProc;
  C.cbWndExtra = sizeof(win::LONG_PTR);  // word 0: the owning component
  C.lpszClassName = "QuaywireWindowClass";
  return C;
}();

}  // namespace

win::HWND CreateNotifyWindow(TQuaywire* Component) {
  return CreateHiddenWindow(NotifyWindowClass, Component);
}

win::LRESULT SocketWindowProc(win::HWND Window, win::UINT Message, win::WPARAM WParam,
                              win::LPARAM LParam) {
  auto* Component = reinterpret_cast<TQuaywire*>(win::GetWindowLongPtrA(Window, 0));
  // Messages sent while the window is being created arrive before word 0 is set.
  if (Component != nullptr && Message >= WM_SOCKET_EVENT) {
    TMessage Msg{Message, WParam, LParam, 0};
    Component->HandleSocketMessage(Msg);
    return 0;
  }
  return win::DefWindowProcA(Window, Message, WParam, LParam);
}
