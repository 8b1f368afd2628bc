// THttpObserverList: adding and removing observers while they may be being told.
#include "http/THttpObserverList.h"

#include "platform/InetText.h"


#include <fstream>

THttpObserver::~THttpObserver() {
  if (FList) FList->Remove(*this);
}

THttpObserverList::~THttpObserverList() {
  for (THttpObserver* Each : FObservers)
    if (Each) Each->FList = nullptr;
}

void THttpObserverList::Add(THttpObserver& Observer) {
  if (Observer.FList == this) return;
  if (Observer.FList) Observer.FList->Remove(Observer);
  Observer.FList = this;
  FObservers.push_back(&Observer);
}

void THttpObserverList::Remove(THttpObserver& Observer) {
  const auto At = std::find(FObservers.begin(), FObservers.end(), &Observer);
  if (At == FObservers.end()) return;
  Observer.FList = nullptr;
  // While a step is being told the list keeps its places: the loop goes on by index.
  if (FTelling > 0)
    *At = nullptr;
  else
    FObservers.erase(At);
}

namespace ObserverFacts {

std::string FileStart(const std::string& Name, std::size_t Count) {
  std::string Data(Count, '\0');
  std::ifstream In(Name, std::ios::binary);
  In.read(Data.data(), static_cast<std::streamsize>(Data.size()));
  Data.resize(static_cast<std::size_t>(std::max<std::streamsize>(In.gcount(), 0)));
  return Data;
}

std::string AddressText(const win::SOCKADDR_INET& Address) {
  return win::AddressText(reinterpret_cast<const sockaddr*>(&Address), win::SockaddrLength(Address));
}

}  // namespace ObserverFacts
