// TAnchors: stored geometry plus the width the window gained.
#include "app/TAnchors.h"

#include <algorithm>

void TAnchors::Stretch(QWidget* Control) {
  FEntries.push_back({Control, Control->geometry(), true});
}

void TAnchors::Follow(QWidget* Control) {
  FEntries.push_back({Control, Control->geometry(), false});
}

void TAnchors::Apply(int ExtraWidth) const {
  const int Extra = std::max(ExtraWidth, 0);
  for (const TEntry& E : FEntries) {
    if (!E.Control) continue;
    if (E.Stretches)
      E.Control->setGeometry(E.Stored.adjusted(0, 0, Extra, 0));
    else
      E.Control->setGeometry(E.Stored.translated(Extra, 0));
  }
}
