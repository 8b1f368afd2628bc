// TSecurityView: the inspector's "Sécurité" tab: what the TLS session of a pass was (version,
// cipher, group, ALPN, SNI, resumption, the handshake's time, the check's result in plain
// words) and the chain as the server sent it, as a tree whose every field can be selected and
// copied.
#pragma once

#include <QTreeWidget>
#include <cstdint>

#include "inspect/TExchangePass.h"

class TSecurityView : public QTreeWidget {
  Q_OBJECT

 public:
  explicit TSecurityView(QWidget* Parent = nullptr);
  // Shows Pass's session at Now (seconds since 1970, for the days left); a pass without TLS
  // says that it was not encrypted; one on a kept connection, which made no handshake, that
  // its session is the one the connection made when it opened.
  void Show(const TExchangePass& Pass, std::int64_t Now);
  // Shows the CONNECT exchange of Pass's tunnel, which goes in clear, and the proxy's refusal.
  void ShowTunnel(const TExchangePass& Pass);
  // Every line as shown, "Field: value", children indented.
  QString Text() const;
  // Copies the selected fields' values (Ctrl+C, or the menu).
  void CopySelected() const;

 protected:
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  QTreeWidgetItem* Add(QTreeWidgetItem* Parent, const QString& Field, const QString& Value);
  void AddCertificate(const TTlsCertificate& C, int Depth, std::int64_t Now);
};
