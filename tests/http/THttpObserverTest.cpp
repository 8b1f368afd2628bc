// The component's observers: several at once beside its events, removed or destroyed while
// a step is told, the component destroyed under them, one time per step for all of them, and
// the request bytes they are shown being those that went on the wire.
#include <chrono>
#include <functional>
#include <map>

#include "tests/http/HttpFixture.h"

namespace {

using testsupport::ScriptedHttpServer;
using testsupport::Whole;

// Logs the steps of a pass (the close and the status reports aside: the server's close may
// come at any point) into Order and Steps, and runs Act inside the step named At.
struct TLogObserver : THttpObserver {
  TLogObserver(std::string AName, Lines& AOrder) : Name(std::move(AName)), Order(AOrder) {}
  void Step(const std::string& S, THttpTime Time) {
    Order.push_back(Name + " " + S);
    Times[S] = Time;
    // A slow observer: its work must not move the time the next one is given.
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
    while (std::chrono::steady_clock::now() < Until) {
    }
    if (S == At && Act) Act();
  }
  void PassStarted(THttpTime T, const THttpPassStart& P) override {
    Shown = std::string(P.Header) + std::string(P.Body);
    Step("pass", T);
  }
  void Connected(THttpTime T, std::string_view, std::string_view, int) override { Step("connect", T); }
  void RequestSent(THttpTime T, std::string_view, std::int64_t) override { Step("sent", T); }
  void StatusLine(THttpTime T, std::string_view) override { Step("status", T); }
  void HeaderEnded(THttpTime T, std::string_view, int) override { Step("head", T); }
  void BodyEnded(THttpTime T, std::int64_t) override { Step("end", T); }
  std::string Name;
  Lines& Order;
  std::string At;
  std::function<void()> Act;
  std::map<std::string, THttpTime> Times;
  std::string Shown;
};

using ObserverTest = HttpTest;
using Observed = std::unique_ptr<TLogObserver>;

TEST_F(ObserverTest, StepsReachEveryObserverInTurn) {
  struct Row {
    std::string Name;
    std::string At;  // the step of A's in which it acts
    std::function<void(TOwned<TVelHTTP>& H, Observed& A, Observed& B)> Act;
    Lines Order;  // "stage" is OnStage, which runs after every observer
    bool Destroyed = false;
  };
  const Lines Whole7 = {"A pass", "B pass", "stage", "A connect", "B connect", "A sent", "B sent",
                        "stage", "A status", "B status", "stage", "A head", "B head", "stage",
                        "A end", "B end", "stage"};
  const std::vector<Row> Rows = {
      {"told in the order added, before the event", "", nullptr, Whole7},
      {"one removes the other", "sent",
       [](TOwned<TVelHTTP>& H, Observed&, Observed& B) { H->RemoveObserver(*B); },
       {"A pass", "B pass", "stage", "A connect", "B connect", "A sent", "stage", "A status",
        "stage", "A head", "stage", "A end", "stage"}},
      {"one removes itself", "status",
       [](TOwned<TVelHTTP>& H, Observed& A, Observed&) { H->RemoveObserver(*A); },
       {"A pass", "B pass", "stage", "A connect", "B connect", "A sent", "B sent", "stage",
        "A status", "B status", "stage", "B head", "stage", "B end", "stage"}},
      {"one destroys the other", "connect", [](TOwned<TVelHTTP>&, Observed&, Observed& B) { B.reset(); },
       {"A pass", "B pass", "stage", "A connect", "A sent", "stage", "A status", "stage", "A head",
        "stage", "A end", "stage"}},
      {"one destroys the component", "head", [](TOwned<TVelHTTP>& H, Observed&, Observed&) { H.reset(); },
       {"A pass", "B pass", "stage", "A connect", "B connect", "A sent", "B sent", "stage",
        "A status", "B status", "stage", "A head"},
       true},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Name);
    ScriptedHttpServer Server({Whole("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")}, Watch);
    Lines Order;
    auto A = std::make_unique<TLogObserver>("A", Order);
    auto B = std::make_unique<TLogObserver>("B", Order);
    Http.reset(new TVelHTTP(nullptr));
    Http->AddObserver(*A);  // before the event is set, and B after: the order does not matter
    Http->OnStage = [&](TObject*, THttpStage) { Order.push_back("stage"); };
    Http->AddObserver(*B);
    A->At = R.At;
    if (R.Act) A->Act = [&] { R.Act(Http, A, B); };
    const std::string Error = ErrorOf([&] { Http->Put(At(Server.Port()), std::string("x\0y", 3)); });
    EXPECT_EQ(Error, R.Destroyed ? EComponentDestroyed().what() : "");
    EXPECT_EQ(Order, R.Order);
    ASSERT_EQ(Server.Requests().size(), 1u);
    EXPECT_EQ(A->Shown, Server.Requests()[0]) << "the bytes shown are the bytes sent";
    if (Http) {
      EXPECT_EQ(Http->RequestHeaderSent() + std::string("x\0y", 3), A->Shown);
    }
    for (const auto& [Step, Time] : B ? B->Times : decltype(B->Times){}) {
      EXPECT_EQ(Time, A->Times.contains(Step) ? A->Times[Step] : Time) << Step;
    }
  }
}

// A body sink that frees the component ends the request there, as a handler that does: the
// blocks after it are neither told nor sunk, and nothing of the component is touched again.
TEST_F(ObserverTest, SinkThatFreesTheComponentEndsTheRequest) {
  ScriptedHttpServer Server(
      {Whole("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n2\r\ncd\r\n0\r\n\r\n")},
      Watch);
  Lines Order;
  TLogObserver A("A", Order);
  Http.reset(new TVelHTTP(nullptr));
  Http->AddObserver(A);
  std::string Sunk;
  Http->BodySink = [&](std::string_view Block) {
    Sunk.append(Block);
    Http.reset();
  };
  const std::string Error = ErrorOf([&] { Http->Get(At(Server.Port())); });
  EXPECT_EQ(Error, EComponentDestroyed().what());
  EXPECT_EQ(Sunk, "ab");
}

}  // namespace
