// The window, message and timer entry points, forwarding to the calling thread's queue.
#include "platform/WinUser.h"

#include <time.h>

#include <cerrno>

#include "platform/TQueue.h"

namespace win {

using detail::TQueue;

HINSTANCE GetModuleHandleA(const char*) {
  // One module: the program. Any fixed non-zero value will do.
  return 0x400000;
}

BOOL GetClassInfoA(HINSTANCE instance, const char* className, WNDCLASSA* out) {
  return TQueue::Current().GetClassInfo(instance, className, out) ? TRUE : FALSE;
}

ATOM RegisterClassA(const WNDCLASSA* wc) {
  if (wc == nullptr) return 0;
  return TQueue::Current().RegisterClass(*wc);
}

BOOL UnregisterClassA(const char* className, HINSTANCE instance) {
  return TQueue::Current().UnregisterClass(className, instance) ? TRUE : FALSE;
}

HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                     int x, int y, int width, int height, HWND parent, void* menu,
                     HINSTANCE instance, void* param) {
  CREATESTRUCTA create;
  create.lpCreateParams = param;
  create.hInstance = instance;
  create.hMenu = menu;
  create.hwndParent = parent;
  create.cy = height;
  create.cx = width;
  create.y = y;
  create.x = x;
  create.style = style;
  create.lpszName = windowName;
  create.dwExStyle = exStyle;
  return TQueue::Current().CreateWindow(className, create);
}

BOOL DestroyWindow(HWND hwnd) { return TQueue::Current().DestroyWindow(hwnd) ? TRUE : FALSE; }

BOOL IsWindow(HWND hwnd) { return TQueue::Current().IsWindow(hwnd) ? TRUE : FALSE; }

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
  LONG_PTR previous = 0;
  return TQueue::Current().SetWindowWord(hwnd, index, value, &previous) ? previous : 0;
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
  LONG_PTR value = 0;
  return TQueue::Current().GetWindowWord(hwnd, index, &value) ? value : 0;
}

LRESULT DefWindowProcA(HWND, UINT msg, WPARAM, LPARAM) {
  // A window must agree to be created; everything else needs no default action here.
  return msg == WM_NCCREATE ? TRUE : 0;
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return TQueue::Current().SendMessage(hwnd, msg, wParam, lParam);
}

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  detail::TPostedMessage posted;
  posted.Window = hwnd;
  posted.Msg = msg;
  posted.WParam = wParam;
  posted.LParam = lParam;
  return TQueue::Current().PostMessage(std::move(posted)) ? TRUE : FALSE;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
  if (proc != nullptr) return 0;  // callback timers are not offered
  return TQueue::Current().SetTimer(hwnd, id, elapseMs);
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  return TQueue::Current().KillTimer(hwnd, id) ? TRUE : FALSE;
}

void Sleep(DWORD ms) {
  timespec wanted{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec left{};
  // A signal cuts nanosleep short; go on with what is left, not with the whole time again.
  while (::nanosleep(&wanted, &left) != 0 && errno == EINTR) wanted = left;
}

}  // namespace win
