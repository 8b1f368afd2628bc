// Common ground of the inspect layer's tests against scripted servers: a component with a
// recorder attached, names under ".test" that resolve to 127.0.0.1, the client half of the
// split-reply hand-off, and a check that nothing is left registered.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/TApplication.h"
#include "http/TVelHTTP.h"
#include "inspect/TExchangeRecorder.h"
#include "platform/MessageQueue.h"
#include "platform/WinSock.h"
#include "tests/http/ScriptedHttpServer.h"

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Baseline = win::GetQueueStats();
    win::SetResolver(
        [](const std::string& Name, std::vector<std::uint32_t>& Addrs, std::string& Canonical) {
          if (Name.size() < 5 || Name.compare(Name.size() - 5, 5, ".test") != 0) return 11001;
          Addrs = {htonl(INADDR_LOOPBACK)};
          Canonical = Name;
          return 0;
        });
    Application.OnWaitForEvent = [this](int TimeoutMs) {
      if (Http) Watch->ClientWaits(static_cast<int>(Http->SocketHandle));
      win::WaitMessage(TimeoutMs);
    };
    Http.reset(new TVelHTTP(nullptr));
    Http->TimeOut = 10000;  // tripwire: no wait of a test lasts longer
  }

  void TearDown() override {
    Recorder.reset();
    Http.reset();
    Application.OnWaitForEvent = nullptr;
    win::SetResolver(nullptr);
    const win::QueueStats After = win::GetQueueStats();
    EXPECT_EQ(After.Windows, Baseline.Windows) << "a window was left behind";
    EXPECT_EQ(After.Timers, Baseline.Timers) << "a timer was left behind";
    EXPECT_EQ(After.Sockets, Baseline.Sockets) << "a socket was left behind";
  }

  // Attaches the recorder; the component's own handlers are set before, as an owner would.
  TExchangeRecorder& Record() {
    Recorder = std::make_unique<TExchangeRecorder>(*Http);
    return *Recorder;
  }

  // Runs Request through the recorder; returns the error message ("" when none).
  template <class F>
  std::string RunRecorded(F&& Request) {
    try {
      Recorder->Run(Request);
    } catch (const std::exception& E) {
      return E.what();
    }
    return "";
  }

  static std::string At(std::uint16_t Port, const std::string& Path = "/") {
    return "http://127.0.0.1:" + std::to_string(Port) + Path;
  }

  std::shared_ptr<testsupport::ConsumeWatch> Watch = std::make_shared<testsupport::ConsumeWatch>();
  TOwned<TVelHTTP> Http;
  std::unique_ptr<TExchangeRecorder> Recorder;
  win::QueueStats Baseline;
};
