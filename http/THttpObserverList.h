// THttpObserverList: the observers that follow one component's passes, told each step in
// the order they were added, with the time read once before the first of them runs. An
// observer may add or remove observers, or destroy the component, while it is told.
#pragma once


#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "http/THttpObserver.h"
#include "platform/WinSock.h"
#include "socket/ComponentGuard.h"

class THttpObserverList {
 public:
  THttpObserverList() = default;
  THttpObserverList(const THttpObserverList&) = delete;
  THttpObserverList& operator=(const THttpObserverList&) = delete;
  // The observers still on the list follow nothing any more.
  ~THttpObserverList();

  // Observer is told from now on, after those added before; adding it again changes
  // nothing. It leaves the list it followed before.
  void Add(THttpObserver& Observer);
  // Observer is told nothing more, even of a step being told now.
  void Remove(THttpObserver& Observer);
  bool Empty() const { return FObservers.empty(); }

  // Calls Step(Observer, Time) for each observer; false when one of them destroyed the
  // owner whose flag Alive is (this list with it).
  template <class F>
  bool Tell(const TAliveFlag& Alive, F Step);

 private:
  std::vector<THttpObserver*> FObservers;  // a removed one is nulled while they are told
  int FTelling = 0;                        // depth of Tell
};

template <class F>
bool THttpObserverList::Tell(const TAliveFlag& Alive, F Step) {
  if (FObservers.empty()) return true;
  const THttpTime At = std::chrono::steady_clock::now();
  const TAliveFlag Held = Alive;
  ++FTelling;
  // Once every observer is told, or on an observer's error: the places of those removed
  // meanwhile go, unless the owner went with them.
  const TAliveGuard Done(Held, [this] {
    if (--FTelling == 0) std::erase(FObservers, nullptr);
  });
  // The size is read each time: an observer added meanwhile is told too.
  for (std::size_t I = 0; I < FObservers.size(); ++I) {
    if (THttpObserver* Each = FObservers[I]) Step(*Each, At);
    if (!*Held) return false;
  }
  return true;
}

// Facts observers are shown in the words they take.
namespace ObserverFacts {

// The first Count bytes of the file Name: what a pass shows of a body sent from a file.
std::string FileStart(const std::string& Name, std::size_t Count);
// Address bare, of either family: "127.0.0.1", "::1".
std::string AddressText(const win::SOCKADDR_INET& Address);

}  // namespace ObserverFacts
