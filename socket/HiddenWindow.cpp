// Creation of the hidden windows that receive socket notifications and timer ticks.
#include "socket/HiddenWindow.h"

win::HWND CreateHiddenWindow(win::WNDCLASSA& Class, void* Owner) {
  if (Class.hInstance == 0) Class.hInstance = win::GetModuleHandleA(nullptr);
  win::WNDCLASSA Existing;
  if (!win::GetClassInfoA(Class.hInstance, Class.lpszClassName, &Existing) &&
      win::RegisterClassA(&Class) == 0)
    return 0;
  const win::HWND Window =
      win::CreateWindowExA(win::WS_EX_TOOLWINDOW, Class.lpszClassName, "", win::WS_POPUP, 0, 0, 0,
                           0, 0, nullptr, Class.hInstance, nullptr);
  if (Window != 0 && Owner != nullptr)
    win::SetWindowLongPtrA(Window, 0, reinterpret_cast<win::LONG_PTR>(Owner));
  return Window;
}
