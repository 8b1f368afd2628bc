// The application object: headless defaults on the platform queue, replaceable by a GUI.
#include "base/TApplication.h"

#include <cstdio>
#include <stdexcept>

#include "platform/MessageQueue.h"

TApplication Application;

namespace {

void ReportOnStderr(const std::string& Message) noexcept {
  std::fputs("Exception: ", stderr);
  std::fputs(Message.c_str(), stderr);
  std::fputs("\n", stderr);
}

}  // namespace

// The hooks are copied before they run: a hook may reassign itself (a GUI going away), which
// would destroy the callable that is executing.
void TApplication::ProcessMessages() {
  if (auto Hook = OnProcessMessages) {
    Hook();
  } else {
    win::DispatchAll();
  }
}

void TApplication::WaitForEvent(int TimeoutMs) {
  if (auto Hook = OnWaitForEvent) {
    Hook(TimeoutMs);
  } else {
    win::WaitMessage(TimeoutMs);
  }
}

void TApplication::HandleException(const std::exception& E) {
  // The report is the last stop for an exception, so nothing may leave it: a failing hook
  // falls back to stderr, and a failure there is dropped.
  try {
    std::string Message = E.what();
    if (auto Hook = OnException) {
      try {
        Hook(Message);
        return;
      } catch (...) {
      }
    }
    ReportOnStderr(Message);
  } catch (...) {
  }
}

void TApplication::HandleException(std::exception_ptr E) {
  if (!E) return;
  try {
    std::rethrow_exception(E);
  } catch (const std::exception& Ex) {
    HandleException(Ex);
  } catch (...) {
    try {
      HandleException(std::runtime_error("Unknown exception"));
    } catch (...) {
    }
  }
}
