// Window classes, creation and destruction, window words, posted and sent messages.
#include <algorithm>
#include <vector>

#include "PlatformTest.h"
#include "platform/WinUser.h"

namespace platformtest {
namespace {

using win::HWND;
using win::LPARAM;
using win::LRESULT;
using win::UINT;
using win::WPARAM;

LRESULT RefusingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == win::WM_NCCREATE) return win::FALSE;
  return win::DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT PlainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return win::DefWindowProcA(hwnd, msg, wParam, lParam);
}

class WindowTest : public TPlatformTest {
 protected:
  win::WNDCLASSA Class(const char* name, win::WNDPROC proc, int extra) {
    win::WNDCLASSA wc;
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = extra;
    wc.hInstance = win::GetModuleHandleA(nullptr);
    wc.lpszClassName = name;
    return wc;
  }
  HWND Create(const char* className) {
    return win::CreateWindowExA(win::WS_EX_TOOLWINDOW, className, "", win::WS_POPUP, 0, 0, 0, 0, 0,
                                nullptr, win::GetModuleHandleA(nullptr), nullptr);
  }
};

TEST_F(WindowTest, CreationSendsNcCreateThenCreateBeforeWordZeroIsSet) {
  ASSERT_GE(Rec().Messages.size(), 2u);
  EXPECT_EQ(Rec().Messages[0].Msg, win::WM_NCCREATE);
  EXPECT_EQ(Rec().Messages[1].Msg, win::WM_CREATE);
  EXPECT_EQ(Rec().WordAtNcCreate, 0);
}

TEST_F(WindowTest, ClassRegistrationIsOncePerNameAndInstance) {
  win::WNDCLASSA wc = Class("WindowTestClass", &PlainProc, 4);
  EXPECT_NE(win::RegisterClassA(&wc), 0);
  EXPECT_EQ(win::RegisterClassA(&wc), 0) << "registered twice";
  win::WNDCLASSA found;
  ASSERT_TRUE(win::GetClassInfoA(wc.hInstance, "windowtestclass", &found)) << "names ignore case";
  EXPECT_EQ(found.lpfnWndProc, &PlainProc);
  EXPECT_EQ(found.cbWndExtra, 4);
  EXPECT_FALSE(win::GetClassInfoA(wc.hInstance, "NoSuchClass", &found));
  EXPECT_EQ(Create("NoSuchClass"), 0u);

  HWND hwnd = Create("WindowTestClass");
  ASSERT_NE(hwnd, 0u);
  EXPECT_FALSE(win::UnregisterClassA("WindowTestClass", wc.hInstance)) << "a window of it exists";
  win::DestroyWindow(hwnd);
  EXPECT_TRUE(win::UnregisterClassA("WindowTestClass", wc.hInstance));
  EXPECT_FALSE(win::GetClassInfoA(wc.hInstance, "WindowTestClass", &found));

  win::WNDCLASSA invalid = Class("", &PlainProc, 0);
  EXPECT_EQ(win::RegisterClassA(&invalid), 0);
  invalid = Class("NoProc", nullptr, 0);
  EXPECT_EQ(win::RegisterClassA(&invalid), 0);
}

TEST_F(WindowTest, NcCreateAnsweringFalseCreatesNothing) {
  win::WNDCLASSA wc = Class("RefusingClass", &RefusingProc, 0);
  ASSERT_NE(win::RegisterClassA(&wc), 0);
  EXPECT_EQ(Create("RefusingClass"), 0u);
  EXPECT_EQ(win::GetQueueStats().Windows, 1u);  // only the fixture's
  EXPECT_TRUE(win::UnregisterClassA("RefusingClass", wc.hInstance));
}

TEST_F(WindowTest, WindowWordsHoldAPointerAtIndexZeroWithinTheirSize) {
  // The 32-bit platform's records ask for 4 bytes to hold a pointer; word 0 must still fit one.
  win::WNDCLASSA wc = Class("NarrowWords", &PlainProc, 4);
  ASSERT_NE(win::RegisterClassA(&wc), 0);
  HWND hwnd = Create("NarrowWords");
  int object = 0;
  auto value = reinterpret_cast<win::LONG_PTR>(&object);
  EXPECT_EQ(win::SetWindowLongPtrA(hwnd, 0, value), 0);
  EXPECT_EQ(win::GetWindowLongPtrA(hwnd, 0), value);
  EXPECT_EQ(win::SetWindowLongPtrA(hwnd, 0, 42), value) << "returns the previous value";
  EXPECT_EQ(win::SetWindowLongPtrA(hwnd, 8, 1), 0) << "outside the window's words";
  EXPECT_EQ(win::GetWindowLongPtrA(hwnd, 8), 0);
  EXPECT_EQ(win::GetWindowLongPtrA(hwnd, -1), 0);
  win::DestroyWindow(hwnd);
  EXPECT_EQ(win::GetWindowLongPtrA(hwnd, 0), 0);
  win::UnregisterClassA("NarrowWords", wc.hInstance);
}

TEST_F(WindowTest, PostedMessagesArriveFirstInFirstOutAndSendIsImmediate) {
  for (UINT i = 0; i < 5; ++i)
    ASSERT_TRUE(win::PostMessageA(Window(), win::WM_USER + i, i, -static_cast<LPARAM>(i)));
  EXPECT_EQ(win::GetQueueStats().PostedMessages, 5u);
  std::size_t before = Rec().Messages.size();
  win::SendMessageA(Window(), win::WM_USER + 50, 0, 0);
  ASSERT_EQ(Rec().Messages.size(), before + 1) << "SendMessage waits for no dispatch";
  EXPECT_EQ(win::DispatchAll(), 5);
  auto posted = std::vector<TMessage>(Rec().Messages.begin() + static_cast<long>(before) + 1,
                                      Rec().Messages.end());
  ASSERT_EQ(posted.size(), 5u);
  for (UINT i = 0; i < 5; ++i) {
    EXPECT_EQ(posted[i].Msg, win::WM_USER + i);
    EXPECT_EQ(posted[i].WParam, i);
    EXPECT_EQ(posted[i].LParam, -static_cast<LPARAM>(i)) << "LParam is wider than 32 bits";
  }
}

TEST_F(WindowTest, DestroyedHandleIsDeadForEverAndNeverNamesANewWindow) {
  auto other = std::make_unique<TMessageRecorder>();
  HWND old = other->Window();
  win::PostMessageA(old, win::WM_USER, 0, 0);
  ASSERT_TRUE(win::DestroyWindow(old));
  auto names = [&](UINT msg) {
    std::vector<UINT> seen;
    for (const TMessage& m : other->Messages) seen.push_back(m.Msg);
    return std::count(seen.begin(), seen.end(), msg);
  };
  EXPECT_EQ(names(win::WM_DESTROY), 1);
  EXPECT_EQ(names(win::WM_NCDESTROY), 1);
  EXPECT_EQ(win::GetQueueStats().PostedMessages, 0u) << "its queued message was not dropped";
  EXPECT_FALSE(win::IsWindow(old));
  EXPECT_FALSE(win::PostMessageA(old, win::WM_USER, 0, 0));
  EXPECT_EQ(win::SetTimer(old, 1, 10, nullptr), 0u);
  EXPECT_FALSE(win::DestroyWindow(old));

  TMessageRecorder next;
  EXPECT_NE(next.Window(), old);
  EXPECT_FALSE(win::IsWindow(old));
}

TEST_F(WindowTest, WindowMayDestroyItselfWhileItsMessageIsDispatched) {
  auto other = std::make_unique<TMessageRecorder>();
  HWND hwnd = other->Window();
  other->OnMessage = [&](const TMessage& m) {
    if (m.Msg == win::WM_USER) win::DestroyWindow(m.Window);
    if (m.Msg == win::WM_DESTROY) win::DestroyWindow(m.Window);  // re-entrant destroy
  };
  win::PostMessageA(hwnd, win::WM_USER, 0, 0);
  win::PostMessageA(hwnd, win::WM_USER + 1, 0, 0);
  win::PostMessageA(Window(), win::WM_USER + 2, 0, 0);
  EXPECT_EQ(win::DispatchAll(), 2);
  EXPECT_FALSE(win::IsWindow(hwnd));
  EXPECT_EQ(other->Count(win::WM_USER + 1), 0);
  EXPECT_EQ(other->Count(win::WM_DESTROY), 1);
  EXPECT_EQ(other->Count(win::WM_NCDESTROY), 1);
  EXPECT_EQ(Rec().Count(win::WM_USER + 2), 1);
}

TEST_F(WindowTest, NestedDispatchFromAProcedureDeliversLaterMessages) {
  std::vector<UINT> order;
  Rec().OnMessage = [&](const TMessage& m) {
    order.push_back(m.Msg);
    if (m.Msg == win::WM_USER) {
      win::PostMessageA(Window(), win::WM_USER + 2, 0, 0);
      win::DispatchAll();
      order.push_back(0);  // nested call returned
    }
  };
  win::PostMessageA(Window(), win::WM_USER, 0, 0);
  win::PostMessageA(Window(), win::WM_USER + 1, 0, 0);
  win::DispatchAll();
  EXPECT_EQ(order, (std::vector<UINT>{win::WM_USER, win::WM_USER + 1, win::WM_USER + 2, 0}));
  Rec().OnMessage = nullptr;
}

}  // namespace
}  // namespace platformtest
