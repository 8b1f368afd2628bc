// TTlsProgress: the window's observer of its component for what its status texts at the
// window's level do not say: the tunnel through the proxy, the TLS handshake, a kept
// connection reused or found closed by the server, and the HTTP/2 stream a pass goes as,
// told in the status bar as they happen. The
// passes themselves, the one a refused certificate stopped included, are the recorder's.
#pragma once

#include <functional>

#include <QString>

#include "http/TVelHTTP.h"
#include "inspect/TExchangeRecorder.h"

class TTlsProgress : private THttpObserver {
 public:
  // Recorder must follow Http already, so that it holds each step when this one is told.
  TTlsProgress(TVelHTTP& Http, const TExchangeRecorder& Recorder);

  // The last pass recorded (an empty one when there is none): where it went and what the
  // session was.
  const TExchangePass& Last() const;
  // A pass of the exchange recorded went on with its check waived.
  bool Unverified() const;
  // Each text for the status bar, as its step happens.
  std::function<void(const QString&)> OnText;

 private:
  void TunnelRequested(THttpTime, std::string_view) override;
  void TunnelAnswered(THttpTime, std::string_view, int Status) override;
  void TlsStarted(THttpTime, std::string_view) override;
  void TlsEnded(THttpTime, const TTlsFacts& Facts) override;
  void ConnectionReady(THttpTime, int Number, bool Reused) override;
  void ProtocolSpoken(THttpTime, int Version, int Stream, std::string_view) override;
  void Resent(THttpTime) override;
  void Say(const QString& Text) const;

  const TExchangeRecorder& FRecorder;
  int FConnection = -1;  // the last pass's connection, which a resend names once it is closed
};
