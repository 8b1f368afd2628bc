// TCliHttp: the HTTP component as orrery-cli drives it, with curl's --connect-to and --resolve
// on top. The pass keeps its URL's host and port for everything but the connection itself:
// the name checked against the certificate, sent as SNI and in the Host line stay the URL's.
#pragma once

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

  // Connects where --connect-to sends the pass's host and port (a pass through the proxy
  // goes to the proxy as it is), with the address --resolve gives for the name looked up at
  // that port, if any.
  void Connect() override;

 private:
  // The name and port a connection of this pass goes to, with --connect-to applied.
  void Redirect(std::string& ToHost, int& ToPort) const;
  void InstallResolver(const std::string& LookedUp, int ToPort) const;

  std::vector<TCliOptions::TConnectTo> FConnectTos;
  std::vector<TCliOptions::TResolve> FResolves;
};
