// TTlsProgress: the window's observer of its component for what plain http does not have: the
// tunnel through the proxy and the TLS handshake, told in the status bar as they happen, and
// the pass a refused certificate stopped, from which a request can go on.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QString>

#include "http/TVelHTTP.h"

class TTlsProgress : private THttpObserver {
 public:
  // The last pass that made a handshake: where it went and what the session was.
  struct TPass {
    std::string Method;
    std::string URL;
    std::string FirstURL;  // the request's first pass, whose server the credentials are for
    std::string Host;      // the name asked of the TLS layer
    int Port = 0;
    std::optional<TTlsFacts> Tls;
  };

  explicit TTlsProgress(TVelHTTP& Http);
  // Forgets the passes of the exchange so far: a request started by the user.
  void Clear();

  const TPass& Last() const { return FLast; }
  // A pass since Clear went on with its check waived.
  bool Unverified() const { return FUnverified; }
  // Each text for the status bar, as its step happens.
  std::function<void(const QString&)> OnText;

 private:
  void PassStarted(THttpTime, const THttpPassStart& Pass) override;
  void TunnelRequested(THttpTime, std::string_view) override;
  void TunnelAnswered(THttpTime, std::string_view, int Status) override;
  void TlsStarted(THttpTime, std::string_view HostName) override;
  void TlsEnded(THttpTime, const TTlsFacts& Facts) override;
  void Say(const QString& Text) const;

  TVelHTTP& FHttp;
  TPass FLast;
  bool FUnverified = false;
};
