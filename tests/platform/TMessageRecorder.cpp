// The recording test window; its word 0 holds the recorder, set at WM_NCCREATE from the
// creation parameter so that the creation messages are recorded too.
#include "TMessageRecorder.h"

namespace platformtest {

namespace {
constexpr const char* ClassName = "PlatformTestRecorder";
}

TMessageRecorder::TMessageRecorder() {
  win::HINSTANCE instance = win::GetModuleHandleA(nullptr);
  win::WNDCLASSA wc;
  if (!win::GetClassInfoA(instance, ClassName, &wc)) {
    wc = win::WNDCLASSA{};
    wc.lpfnWndProc = &TMessageRecorder::Proc;
    wc.cbWndExtra = sizeof(win::LONG_PTR);
    wc.hInstance = instance;
    wc.lpszClassName = ClassName;
    win::RegisterClassA(&wc);
  }
  FWindow = win::CreateWindowExA(win::WS_EX_TOOLWINDOW, ClassName, "", win::WS_POPUP, 0, 0, 0, 0, 0,
                                 nullptr, instance, this);
}

TMessageRecorder::~TMessageRecorder() {
  if (win::IsWindow(FWindow)) win::DestroyWindow(FWindow);
}

int TMessageRecorder::CountEvent(win::SOCKET s, long event) const {
  int n = 0;
  for (const TMessage& m : Messages) {
    if (m.Msg == WM_SOCKET && m.WParam == s && win::LOWORD(m.LParam) == event) ++n;
  }
  return n;
}

int TMessageRecorder::Count(win::UINT msg) const {
  int n = 0;
  for (const TMessage& m : Messages) n += m.Msg == msg ? 1 : 0;
  return n;
}

std::vector<TMessage> TMessageRecorder::Of(win::UINT msg) const {
  std::vector<TMessage> found;
  for (const TMessage& m : Messages) {
    if (m.Msg == msg) found.push_back(m);
  }
  return found;
}

win::LRESULT TMessageRecorder::Proc(win::HWND hwnd, win::UINT msg, win::WPARAM wParam,
                                    win::LPARAM lParam) {
  if (msg == win::WM_NCCREATE) {
    auto* create = reinterpret_cast<win::CREATESTRUCTA*>(lParam);
    auto* self = static_cast<TMessageRecorder*>(create->lpCreateParams);
    self->WordAtNcCreate = win::GetWindowLongPtrA(hwnd, 0);
    win::SetWindowLongPtrA(hwnd, 0, reinterpret_cast<win::LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TMessageRecorder*>(win::GetWindowLongPtrA(hwnd, 0));
  if (self == nullptr) return win::DefWindowProcA(hwnd, msg, wParam, lParam);
  TMessage m{hwnd, msg, wParam, lParam};
  self->Messages.push_back(m);
  if (self->OnMessage) self->OnMessage(m);
  return win::DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace platformtest
