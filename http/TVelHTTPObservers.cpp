// TVelHTTP's observers: adding and removing them, telling them a step with the time read
// before the first of them runs, and the steps the socket layer reaches for the component.
#include <arpa/inet.h>

#include <algorithm>
#include <fstream>

#include "http/TVelHTTP.h"

THttpObserver::~THttpObserver() {
  if (FSubject) FSubject->RemoveObserver(*this);
}

void TVelHTTP::AddObserver(THttpObserver& Observer) {
  if (Observer.FSubject == this) return;
  if (Observer.FSubject) Observer.FSubject->RemoveObserver(Observer);
  Observer.FSubject = this;
  FObservers.push_back(&Observer);
}

void TVelHTTP::RemoveObserver(THttpObserver& Observer) {
  const auto At = std::find(FObservers.begin(), FObservers.end(), &Observer);
  if (At == FObservers.end()) return;
  Observer.FSubject = nullptr;
  // While a step is being told the list keeps its places: the loop goes on by index.
  if (FTelling > 0)
    *At = nullptr;
  else
    FObservers.erase(At);
}

namespace {

// The first Count bytes of the file Name.
std::string FileStart(const std::string& Name, std::size_t Count) {
  std::string Data(Count, '\0');
  std::ifstream In(Name, std::ios::binary);
  In.read(Data.data(), static_cast<std::streamsize>(Data.size()));
  Data.resize(static_cast<std::size_t>(std::max<std::streamsize>(In.gcount(), 0)));
  return Data;
}

std::string Dotted(const sockaddr_in& Address) {
  char Text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &Address.sin_addr, Text, sizeof Text);
  return Text;
}

}  // namespace

void TVelHTTP::TellPassStart() {
  if (FObservers.empty()) return;
  THttpPassStart Pass;
  Pass.PassIndex = FRun.PassIndex;
  if (CurrentCmd != hcWrapped) Pass.Method = CommandWord(CurrentCmd);
  const std::string Target = ProxyTarget();
  Pass.URL = Target;
  if (!Proxy.empty()) {
    Pass.Proxy = Proxy;
    Pass.ProxyPort = ProxyPort;
  }
  if (TakesTarget(CurrentCmd)) Pass.TargetURI = TargetURI;
  Pass.Header = FRequestHeaderSent;
  std::string FromFile;
  if (HasRequestBody() && OutputFileMode) {
    FromFile = FileStart(SendData, THttpObserver::FileBodyShown);
    Pass.Body = FromFile;
  } else if (HasRequestBody()) {
    Pass.Body = SendData;
  }
  Pass.BodySize = FRun.BodySize;
  Pass.HeaderToFile = OutputFileMode;
  Pass.BodyToFile = InputFileMode;
  TellOrStop([&](THttpObserver& O, THttpTime At) { O.PassStarted(At, Pass); });
}

void TVelHTTP::TellFailure(const std::exception_ptr& Error) {
  Tell([&](THttpObserver& O, THttpTime At) { O.Failed(At, Error); });
}

bool TVelHTTP::SocketStep(TSocketStep Step, std::string_view Data) {
  if (FObservers.empty()) return true;
  switch (Step) {
    case ssLookedUp:
      return Tell([&](THttpObserver& O, THttpTime At) {
        O.LookedUp(At, ConnectName(), Dotted(RemoteAddress));
      });
    case ssHostAsked: return Tell([](THttpObserver& O, THttpTime At) { O.HostAsked(At); });
    case ssHostGiven:
    case ssHostRefused: {
      // Through a proxy the component looks the proxy up again, whatever Host now says.
      const bool Given = Step == ssHostGiven && Proxy.empty();
      return Tell([&](THttpObserver& O, THttpTime At) {
        O.HostAnswered(At, Given ? std::string_view(Host) : std::string_view());
      });
    }
    case ssConnected:
      return Tell([&](THttpObserver& O, THttpTime At) {
        O.Connected(At, ConnectName(), Dotted(RemoteAddress), ConnectPort());
      });
    case ssReceived:
      // A decoded body tells its blocks itself; a header is read through ReadLn, not here.
      if (FRun.BodyTapped || FRun.InHead) return true;
      return Tell([&](THttpObserver& O, THttpTime At) { O.BodyBlock(At, Data); });
    case ssClosed:
      return Tell([&](THttpObserver& O, THttpTime At) {
        const bool Head = FRun.InHead && !OutputFileMode;
        O.Closed(At, Head ? std::string_view(Header) : std::string_view(),
                 FRun.InHead ? ReplyNumber : 0);
      });
    case ssReported:
      return Tell([&](THttpObserver& O, THttpTime At) { O.Reported(At, Data); });
    case ssTlsStarted:
      return Tell([&](THttpObserver& O, THttpTime At) { O.TlsStarted(At, Data); });
    case ssTlsEnded: {
      const TTlsFacts* Facts = TlsFacts();
      return !Facts || Tell([&](THttpObserver& O, THttpTime At) { O.TlsEnded(At, *Facts); });
    }
  }
  return true;
}
