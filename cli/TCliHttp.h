// TCliHttp: the HTTP component as orrery-cli drives it, with curl's --connect-to and --resolve
// on top. The pass keeps its URL's host and port for everything but the connection itself:
// the name checked against the certificate, sent as SNI and in the Host line stay the URL's.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/TComponent.h"
#include "cli/TCliOptions.h"
#include "http/TVelHTTP.h"

class TCliHttp : public TVelHTTP {
 public:
  TCliHttp(std::vector<TCliOptions::TConnectTo> ConnectTos,
           std::vector<TCliOptions::TResolve> Resolves);
  // The process's resolver goes back to the system's.
  ~TCliHttp() override;

  // Connects where --connect-to sends the pass's host and port, with the address --resolve
  // gives for the name looked up at that port, if any. Through the proxy the connection goes
  // to the proxy as it is, and --connect-to changes where an https pass's tunnel goes instead.
  void Connect() override;
  // The URL's host and port are back, whatever the pass lent them for.
  void Disconnect() override;

 private:
  // Through the proxy, the CONNECT line and its Host line name the place --connect-to gives,
  // as curl's do: Host and Port hold it from the connection to the proxy until the CONNECT
  // has gone (this observer, the first one, takes them back) or the connection ends.
  class TTunnelTarget final : public THttpObserver {
   public:
    explicit TTunnelTarget(TCliHttp& Http) : FHttp(Http) {}
    void TunnelRequested(THttpTime, std::string_view) override { FHttp.TakeBack(); }

   private:
    TCliHttp& FHttp;
  };

  // The name and port a connection of this pass goes to, with --connect-to applied.
  void Redirect(std::string& ToHost, int& ToPort) const;
  void InstallResolver(const std::string& LookedUp, int ToPort) const;
  void TakeBack();

  std::vector<TCliOptions::TConnectTo> FConnectTos;
  std::vector<TCliOptions::TResolve> FResolves;
  std::optional<std::pair<std::string, int>> FLent;  // the URL's host and port, while lent
  TTunnelTarget FTunnelTarget{*this};
};
