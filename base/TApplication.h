// The application object: the process-messages operation, the wait for the next event, and
// the exception report. A GUI replaces the three behaviours through hooks; without hooks the
// platform queue alone is pumped and waited on, and exceptions are reported on stderr.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "base/TObject.h"

class TApplication : public TObject {
 public:
  // Dispatches every pending message of the thread, then returns. Headless: the platform
  // queue's DispatchAll. Handlers run re-entrantly inside this call.
  void ProcessMessages();

  // Blocks until the next event may be ready (a platform message, socket readiness, a due
  // timer, or with a GUI any GUI event) or TimeoutMs passes (-1: no limit). Dispatches
  // nothing and never spins.
  void WaitForEvent(int TimeoutMs = -1);

  // Reports an exception that no caller will see (for example one raised by a timer
  // handler). Default: "Exception: <message>" on stderr.
  void HandleException(const std::exception& E);
  // Reports a std::exception by its message and anything else as "Unknown exception"; a
  // null pointer reports nothing. Neither overload ever throws.
  void HandleException(std::exception_ptr E);

  // Hooks a GUI installs; an empty hook restores the headless behaviour.
  std::function<void()> OnProcessMessages;
  std::function<void(int TimeoutMs)> OnWaitForEvent;
  std::function<void(const std::string& Message)> OnException;
};

extern TApplication Application;
