// The HTTP fixture (its ".test" names, wait hook, scripted peers and leak checks) with a bare
// component made for each case, the recorder the inspect layer's tests attach to it, and the
// three-hop exchange recorded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "inspect/TExchangeRecorder.h"
#include "tests/http/HttpFixture.h"
#include "tests/inspect/ThreeHops.h"

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

  // Records the scripted three-hop exchange; returns the port its server had.
  std::uint16_t RecordThreeHops() {
    testsupport::ScriptedHttpServer Server(ThreeHopsReplies());
    Record();
    Recorder->Run([&] { Http->Get(At(Server.Port(), ThreeHopsStart)); });
    return Server.Port();
  }

  // Runs Request through the recorder; returns the error message ("" when none).
  template <class F>
  std::string RunRecorded(F&& Request) {
    return ErrorOf([&] { Recorder->Run(Request); });
  }

  std::unique_ptr<TExchangeRecorder> Recorder;
};
