// TWindowRun: what the window runs, one state that the main window and the inspector both read.
// A request of the main window, its stop asked for, the window closing under it, or a replay of
// the inspector's: one at a time, since each runs in a nested wait that another started
// meanwhile would hold until its own end.
#pragma once

#include <QObject>

class TWindowRun : public QObject {
  Q_OBJECT

 public:
  enum class TState {
    Idle,
    Request,   // a request runs
    Stopping,  // the user stopped it: its end is no failure
    Closing,   // the window is closing under it: nothing more is shown
    Replay,    // the inspector replays entries on a component of its own
  };

  TState State() const { return FState; }
  bool Idle() const { return FState == TState::Idle; }
  // A request runs, however it is to end.
  bool Request() const {
    return FState == TState::Request || FState == TState::Stopping || FState == TState::Closing;
  }
  bool Replaying() const { return FState == TState::Replay; }
  // Changed follows every change.
  void Set(TState State);

 signals:
  void Changed();

 private:
  TState FState = TState::Idle;
};
