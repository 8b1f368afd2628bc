// Common ground of the socket component tests: a component with its status texts and events
// logged in one list, a bounded pump, and a check that nothing is left registered.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/TApplication.h"
#include "platform/FaultSeam.h"
#include "platform/MessageQueue.h"
#include "platform/WinSock.h"
#include "socket/TQuaywire.h"
#include "tests/support/LoopbackPeer.h"

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { Baseline = win::GetQueueStats(); }

  void TearDown() override {
    Q.reset();
    win::SetResolver(nullptr);
    win::SetAddrResolver(nullptr);
    win::SetConnectFilter(nullptr);
    win::ClearSocketFaults();
    const win::QueueStats After = win::GetQueueStats();
    EXPECT_EQ(After.Windows, Baseline.Windows) << "a window was left behind";
    EXPECT_EQ(After.Timers, Baseline.Timers) << "a timer was left behind";
    EXPECT_EQ(After.Sockets, Baseline.Sockets) << "a socket was left behind";
  }

  // Creates the component under test with every status text and event logged in order.
  template <class T = TQuaywire>
  T& Make(int ReportLevel = 8) {
    auto* Made = new T(nullptr);
    Q.reset(Made);
    Log.clear();
    Q->ReportLevel = ReportLevel;
    Q->OnStatus = [this](TObject*, const std::string& S) { Log.push_back(S); };
    Q->OnConnect = [this](TObject*) { Log.push_back("(OnConnect)"); };
    Q->OnDisconnect = [this](TObject*) { Log.push_back("(OnDisconnect)"); };
    Q->OnHostResolved = [this](TObject*) { Log.push_back("(OnHostResolved)"); };
    Q->OnConnectionFailed = [this](TObject*) { Log.push_back("(OnConnectionFailed)"); };
    return *Made;
  }

  // Pumps messages until Done() holds; false when the limit passed first.
  template <class Pred>
  static bool PumpUntil(Pred Done, std::chrono::milliseconds Limit = std::chrono::seconds(5)) {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    for (;;) {
      Application.ProcessMessages();
      if (Done()) return true;
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
          Deadline - std::chrono::steady_clock::now());
      if (Left.count() <= 0) return false;
      Application.WaitForEvent(static_cast<int>(Left.count()));
    }
  }

  // Pumps for a while so that anything that would arrive has arrived.
  static void PumpFor(std::chrono::milliseconds Span) {
    PumpUntil([] { return false; }, Span);
  }

  void ConnectTo(std::uint16_t Port) {
    Q->Host = "127.0.0.1";
    Q->Port = Port;
    Q->Connect();
  }

  // The message of the ESockError that F raises ("" when it raises none).
  template <class F>
  static std::string ErrorOf(F&& Call) {
    try {
      Call();
    } catch (const ESockError& E) {
      return E.what();
    }
    return "";
  }

  TOwned<TQuaywire> Q;
  std::vector<std::string> Log;
  win::QueueStats Baseline;
};

using Lines = std::vector<std::string>;

// Calls Action from a timer message after Delay, as a user's click during a wait would.
class Later {
 public:
  Later(std::chrono::milliseconds Delay, std::function<void()> Action) : FTimer(nullptr) {
    FTimer.SetInterval(static_cast<std::uint32_t>(Delay.count()));
    FTimer.SetOnTimer([this, Action = std::move(Action)](TObject*) {
      FTimer.SetEnabled(false);
      Action();
    });
  }

 private:
  TThreadTimer FTimer;
};
