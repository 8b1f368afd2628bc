// TAnchors: controls at stored positions that follow the window's right edge.
#pragma once

#include <QPointer>
#include <QRect>
#include <QWidget>
#include <vector>

// A box anchored on both sides widens with the window; a control anchored on the right moves
// with its right edge. Positions are kept relative to the stored size, so that the window at
// that size shows them exactly as stored.
class TAnchors {
 public:
  // Anchors Control on both sides from its present geometry.
  void Stretch(QWidget* Control);
  // Anchors Control on the right from its present geometry.
  void Follow(QWidget* Control);
  // Places every control for a window ExtraWidth pixels wider than stored (never narrower).
  void Apply(int ExtraWidth) const;

 private:
  struct TEntry {
    QPointer<QWidget> Control;
    QRect Stored;
    bool Stretches;
  };
  std::vector<TEntry> FEntries;
};
