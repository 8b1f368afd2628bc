// Hidden message windows, posted messages and window timers on the calling thread's queue.
//
// Every window belongs to the thread that created it; all calls here must be made on that
// thread (PostMessageA excepted for look-up workers, which go through the queue's inbox).
// A window handle carries a generation, so a handle kept after DestroyWindow never names a
// window created later.
#pragma once

#include "platform/WinTypes.h"

namespace win {

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

struct WNDCLASSA {
  UINT style = 0;
  WNDPROC lpfnWndProc = nullptr;
  int cbClsExtra = 0;
  int cbWndExtra = 0;  // bytes of window words; a pointer needs sizeof(LONG_PTR)
  HINSTANCE hInstance = 0;
  void* hIcon = nullptr;
  void* hCursor = nullptr;
  void* hbrBackground = nullptr;
  const char* lpszMenuName = nullptr;
  const char* lpszClassName = nullptr;
};

// What WM_NCCREATE and WM_CREATE point to in their LParam.
struct CREATESTRUCTA {
  void* lpCreateParams = nullptr;  // CreateWindowExA's last argument
  HINSTANCE hInstance = 0;
  void* hMenu = nullptr;
  HWND hwndParent = 0;
  int cy = 0;
  int cx = 0;
  int y = 0;
  int x = 0;
  DWORD style = 0;
  const char* lpszName = nullptr;
  const char* lpszClass = nullptr;
  DWORD dwExStyle = 0;
};

// Message numbers used by the components and the platform itself.
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_ACTIVATEAPP = 0x001C;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080u;

// The program's module instance (never 0).
HINSTANCE GetModuleHandleA(const char* moduleName);

BOOL GetClassInfoA(HINSTANCE instance, const char* className, WNDCLASSA* out);
ATOM RegisterClassA(const WNDCLASSA* wc);  // 0 when the name is taken or the record is invalid
BOOL UnregisterClassA(const char* className,
                      HINSTANCE instance);  // fails while windows of it exist

// Sends WM_NCCREATE and WM_CREATE to the procedure before returning (window word 0 is still 0
// then). Returns 0 when the class is unknown or WM_NCCREATE answers FALSE.
HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                     int x, int y, int width, int height, HWND parent, void* menu,
                     HINSTANCE instance, void* param);
// Sends WM_DESTROY and WM_NCDESTROY, kills the window's timers and drops its queued messages.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);

// Window words: index 0 upwards in steps of sizeof(LONG_PTR), within cbWndExtra.
LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);  // returns the previous value
LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);

LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);  // calls the procedure now
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);  // FIFO behind earlier posts

// Replaces and restarts an existing (window, id). Returns the id (1 for id 0), or 0 on failure
// (no such window, or a callback given: the callback form is not supported, pass nullptr).
// Elapse 0 is taken as 1 ms, as the platform does.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// Blocks the thread without dispatching anything.
void Sleep(DWORD ms);

}  // namespace win
