// The application object: hooks replace the headless behaviour, the headless default pumps
// the platform queue, and the exception report never lets anything escape.
#include "base/TApplication.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "platform/MessageQueue.h"
#include "platform/WinUser.h"

namespace {

// Application is process-wide: every case starts and ends without hooks.
class ApplicationTest : public testing::Test {
 protected:
  void SetUp() override { ClearHooks(); }
  void TearDown() override { ClearHooks(); }
  static void ClearHooks() {
    Application.OnProcessMessages = nullptr;
    Application.OnWaitForEvent = nullptr;
    Application.OnException = nullptr;
  }
};

TEST_F(ApplicationTest, HooksReplaceProcessAndWait) {
  int Pumps = 0;
  std::vector<int> Waits;
  Application.OnProcessMessages = [&] { ++Pumps; };
  Application.OnWaitForEvent = [&](int TimeoutMs) { Waits.push_back(TimeoutMs); };
  Application.ProcessMessages();
  Application.ProcessMessages();
  Application.WaitForEvent(25);
  Application.WaitForEvent();
  EXPECT_EQ(Pumps, 2);
  EXPECT_EQ(Waits, (std::vector<int>{25, -1}));
}

TEST_F(ApplicationTest, HookMayRemoveItselfWhileRunning) {
  int Calls = 0;
  Application.OnProcessMessages = [&Calls, Keep = std::string(64, 'k')] {
    Application.OnProcessMessages = nullptr;  // destroys the stored callable mid-call
    Calls += static_cast<int>(Keep.size() / 64);
  };
  Application.ProcessMessages();
  EXPECT_EQ(Calls, 1);
  EXPECT_FALSE(Application.OnProcessMessages);
}

// A hidden window that counts what reaches its procedure.
struct Receiver {
  static inline int Received = 0;
  static win::LRESULT Proc(win::HWND H, win::UINT Msg, win::WPARAM W, win::LPARAM L) {
    if (Msg == win::WM_USER + 7) {
      ++Received;
      return 0;
    }
    return win::DefWindowProcA(H, Msg, W, L);
  }
};

TEST_F(ApplicationTest, HeadlessDefaultWaitsForAndDispatchesThePlatformQueue) {
  win::WNDCLASSA Class;
  Class.lpfnWndProc = &Receiver::Proc;
  Class.hInstance = win::GetModuleHandleA(nullptr);
  Class.lpszClassName = "OrreryBaseTestReceiver";
  ASSERT_NE(win::RegisterClassA(&Class), 0);
  win::HWND Window = win::CreateWindowExA(0, Class.lpszClassName, "", win::WS_POPUP, 0, 0, 0, 0, 0,
                                          nullptr, Class.hInstance, nullptr);
  ASSERT_NE(Window, 0u);
  Receiver::Received = 0;

  ASSERT_TRUE(win::PostMessageA(Window, win::WM_USER + 7, 0, 0));
  auto Start = std::chrono::steady_clock::now();
  Application.WaitForEvent(10000);  // tripwire: returns at once when the queue has work
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(5));
  EXPECT_EQ(Receiver::Received, 0);  // waiting dispatches nothing
  Application.ProcessMessages();
  EXPECT_EQ(Receiver::Received, 1);

  win::DestroyWindow(Window);
  win::UnregisterClassA(Class.lpszClassName, Class.hInstance);
}

TEST_F(ApplicationTest, ExceptionGoesToTheHook) {
  std::vector<std::string> Reports;
  Application.OnException = [&](const std::string& M) { Reports.push_back(M); };
  Application.HandleException(Exception("Connection Timed out"));
  Application.HandleException(std::make_exception_ptr(EConvertError("bad")));
  Application.HandleException(std::make_exception_ptr(std::runtime_error("std")));
  Application.HandleException(std::make_exception_ptr(42));
  Application.HandleException(std::exception_ptr());
  EXPECT_EQ(Reports,
            (std::vector<std::string>{"Connection Timed out", "bad", "std", "Unknown exception"}));
}

TEST_F(ApplicationTest, DefaultReportIsOneLineOnStderr) {
  testing::internal::CaptureStderr();
  Application.HandleException(Exception("Socket readln aborted"));
  Application.HandleException(std::make_exception_ptr("c-string"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Exception: Socket readln aborted\nException: Unknown exception\n");
}

TEST_F(ApplicationTest, ThrowingHookDoesNotEscapeTheReport) {
  Application.OnException = [](const std::string&) { throw std::runtime_error("hook failed"); };
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(Application.HandleException(Exception("original")));
  EXPECT_NO_THROW(Application.HandleException(std::make_exception_ptr(1)));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Exception: original\nException: Unknown exception\n");
}

}  // namespace
