// The HTTP fixture (its ".test" names, wait hook, scripted peers and leak checks) with a bare
// component made for each case and the recorder the inspect layer's tests attach to it.
#pragma once

#include <memory>
#include <string>

#include "inspect/TExchangeRecorder.h"
#include "tests/http/HttpFixture.h"

class InspectTest : public HttpTest {
 protected:
  void SetUp() override {
    HttpTest::SetUp();
    MakeBare();
  }

  // The recorder holds links into the component: it goes first.
  void TearDown() override {
    Recorder.reset();
    HttpTest::TearDown();
  }

  // Attaches the recorder; the component's own handlers are set before, as an owner would.
  TExchangeRecorder& Record() {
    Recorder = std::make_unique<TExchangeRecorder>(*Http);
    return *Recorder;
  }

  // Runs Request through the recorder; returns the error message ("" when none).
  template <class F>
  std::string RunRecorded(F&& Request) {
    return ErrorOf([&] { Recorder->Run(Request); });
  }

  std::unique_ptr<TExchangeRecorder> Recorder;
};
