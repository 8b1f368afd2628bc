// The status bar's texts for the tunnel, the handshake and the kept connections, and the
// passes they were of.
#include "app/TTlsProgress.h"

#include <algorithm>

#include "app/TTlsText.h"

TTlsProgress::TTlsProgress(TVelHTTP& Http, const TExchangeRecorder& Recorder)
    : FRecorder(Recorder) {
  Http.AddObserver(*this);
}

const TExchangePass& TTlsProgress::Last() const {
  static const TExchangePass None;
  return FRecorder.Passes().empty() ? None : FRecorder.Passes().back();
}

bool TTlsProgress::Unverified() const {
  return std::ranges::any_of(FRecorder.Passes(), [](const TExchangePass& Pass) {
    return Pass.Tls && TlsText::LetThrough(*Pass.Tls) && Pass.Tls->VerifyWaived;
  });
}

void TTlsProgress::TunnelRequested(THttpTime, std::string_view) {
  Say(QString::fromUtf8("Ouverture du tunnel par le proxy\u2026"));
}

void TTlsProgress::TunnelAnswered(THttpTime, std::string_view, int Status) {
  if (Status >= 200 && Status <= 299) Say(QString::fromUtf8("Tunnel ouvert"));
}

void TTlsProgress::TlsStarted(THttpTime, std::string_view) {
  Say(QString::fromUtf8("N\u00e9gociation TLS\u2026"));
}

void TTlsProgress::TlsEnded(THttpTime, const TTlsFacts& Facts) { Say(TlsText::Ended(Facts)); }

// In the component's words, as the window shows its other connection texts.
void TTlsProgress::ConnectionReady(THttpTime, int Number, bool Reused) {
  FConnection = Number;
  if (Reused) Say("Re-using connection #" + QString::number(Number));
}

// HTTP/2 multiplexes: the stream says which of the connection's requests this one is.
void TTlsProgress::ProtocolSpoken(THttpTime, int Version, int Stream, std::string_view) {
  if (Version == 20)
    Say(QString::fromUtf8("HTTP/2 sur la connexion #%1, flux %2").arg(FConnection).arg(Stream));
}

void TTlsProgress::Resent(THttpTime) {
  Say("Connection #" + QString::number(FConnection) +
      " was closed by the server: sending again on a new one");
}

void TTlsProgress::Say(const QString& Text) const {
  if (OnText) OnText(Text);
}
