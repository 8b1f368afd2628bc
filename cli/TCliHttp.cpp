// TCliHttp: --connect-to and --resolve around the component's connection.
#include "cli/TCliHttp.h"

#include <arpa/inet.h>

#include <utility>

#include "base/AsciiText.h"
#include "platform/WinSock.h"

TCliHttp::TCliHttp(std::vector<TCliOptions::TConnectTo> ConnectTos,
                   std::vector<TCliOptions::TResolve> Resolves)
    : TVelHTTP(nullptr), FConnectTos(std::move(ConnectTos)), FResolves(std::move(Resolves)) {
  AddObserver(FTunnelTarget);
}

TCliHttp::~TCliHttp() {
  if (!FResolves.empty()) win::SetResolver({});
}

void TCliHttp::Redirect(std::string& ToHost, int& ToPort) const {
  for (const TCliOptions::TConnectTo& C : FConnectTos) {
    if ((!C.Host.empty() && !SameNoCase(C.Host, Host)) || (C.Port != 0 && C.Port != Port)) continue;
    if (!C.ToHost.empty()) ToHost = C.ToHost;
    if (C.ToPort != 0) ToPort = C.ToPort;
    return;
  }
}

void TCliHttp::InstallResolver(const std::string& LookedUp, int ToPort) const {
  // The platform copies the resolver when a look-up starts, on the thread that asks: one
  // made for this connection's name and port alone needs no lock of its own.
  for (const TCliOptions::TResolve& R : FResolves) {
    if (R.Port != ToPort || !SameNoCase(R.Host, LookedUp)) continue;
    in_addr Address{};
    ::inet_pton(AF_INET, R.Address.c_str(), &Address);
    win::SetResolver([LookedUp, Ip = Address.s_addr](const std::string& Asked,
                                                     std::vector<std::uint32_t>& Addresses,
                                                     std::string& Canonical) {
      if (!SameNoCase(Asked, LookedUp)) return static_cast<int>(win::WSAHOST_NOT_FOUND);
      Addresses.push_back(Ip);
      Canonical = Asked;
      return 0;
    });
    return;
  }
  win::SetResolver({});
}

void TCliHttp::Connect() {
  if (FConnectTos.empty() && FResolves.empty()) return TVelHTTP::Connect();
  TakeBack();
  const std::string UrlHost = Host;
  const int UrlPort = Port;
  std::string ToHost = Host;
  int ToPort = Port;
  Redirect(ToHost, ToPort);
  {
    if (Proxy.empty()) {
      Host = ToHost;
      Port = ToPort;
    }
    // Everything after the connection (the handshake, the request) is the URL's again, also
    // when the connection fails.
    struct TRestore {
      TCliHttp& Http;
      const std::string& Host;
      int Port;
      ~TRestore() {
        Http.Host = Host;
        Http.Port = Port;
      }
    } Restore{*this, UrlHost, UrlPort};
    if (!FResolves.empty())
      InstallResolver(Proxy.empty() ? Host : Proxy, Proxy.empty() ? Port : ProxyPort);
    TVelHTTP::Connect();
  }
  // A plain pass through the proxy names its URL in the request line and opens no tunnel.
  if (Proxy.empty() || !StartsWithNoCase(URL, "https:") || (ToHost == Host && ToPort == Port))
    return;
  FLent.emplace(Host, Port);
  Host = ToHost;
  Port = ToPort;
}

void TCliHttp::Disconnect() {
  TakeBack();
  TVelHTTP::Disconnect();
}

void TCliHttp::TakeBack() {
  if (!FLent) return;
  Host = std::move(FLent->first);
  Port = FLent->second;
  FLent.reset();
}
