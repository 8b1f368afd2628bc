// The status bar's texts for the tunnel and the handshake, and the pass they were of.
#include "app/TTlsProgress.h"

#include "app/TTlsText.h"

TTlsProgress::TTlsProgress(TVelHTTP& Http) : FHttp(Http) { Http.AddObserver(*this); }

void TTlsProgress::Clear() {
  FLast = {};
  FUnverified = false;
}

void TTlsProgress::PassStarted(THttpTime, const THttpPassStart& Pass) {
  const std::string First = Pass.PassIndex == 0 ? std::string(Pass.URL) : FLast.FirstURL;
  FLast = {std::string(Pass.Method), std::string(Pass.URL), First, {}, 0, std::nullopt};
}

void TTlsProgress::TunnelRequested(THttpTime, std::string_view) {
  Say(QString::fromUtf8("Ouverture du tunnel par le proxy\u2026"));
}

void TTlsProgress::TunnelAnswered(THttpTime, std::string_view, int Status) {
  if (Status >= 200 && Status <= 299) Say(QString::fromUtf8("Tunnel ouvert"));
}

void TTlsProgress::TlsStarted(THttpTime, std::string_view HostName) {
  FLast.Host = HostName;
  FLast.Port = FHttp.Port;
  Say(QString::fromUtf8("N\u00e9gociation TLS\u2026"));
}

void TTlsProgress::TlsEnded(THttpTime, const TTlsFacts& Facts) {
  FLast.Tls = Facts;
  if (TlsText::LetThrough(Facts) && Facts.VerifyWaived) FUnverified = true;
  Say(TlsText::Ended(Facts));
}

void TTlsProgress::Say(const QString& Text) const {
  if (OnText) OnText(Text);
}
