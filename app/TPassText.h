// How the window writes what a recorded pass holds: bytes escaped for reading, the reply's
// content type, whether its body ended before the length it announced, the addresses its
// connection tried, what became of that connection, and the two forms of an international
// server name.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <string_view>

#include "inspect/TExchangePass.h"

class TPassText {
 public:
  // Bytes as text: printable ASCII as it is; CR, LF, tab and backslash as \r, \n, \t, \\;
  // every other byte as \xNN. A line break follows each \n, so a header reads line by line.
  static QString Escaped(const std::string& Bytes);
  // "Corps incomplet : <kept> octets sur <announced>" when the pass read its body to the
  // server's close before the length the reply announced; empty otherwise.
  static QString ShortBodyText(const TExchangePass& Pass);
  // The final reply's Content-Type value (not an interim reply's); empty when it has none.
  static std::string ContentType(const TExchangePass& Pass);
  // A host as an authority writes it: an IPv6 address in brackets ("[::1]"), else as it is.
  static QString Authority(std::string_view Host, int Port);
  // One line per connect attempt, in the order they started, with the time it started:
  // "Connexion à [::1]:8443 (à 0.1 ms) : échec après 0.3 ms (refusée, erreur 10061)", "... : établie
  // en 1.2 ms", "... : abandonnée après 250.4 ms"; nothing for a pass that made no attempt.
  static QStringList AttemptLines(const TExchangePass& Pass);
  // The pass's connection by its number among the window's: "#0" when the pass opened it,
  // "#0 réutilisée" when an earlier exchange had kept it open, and for HTTP/2 its stream
  // ("#0 réutilisée, flux 3"); empty before one was ready.
  static QString ConnectionCell(const TExchangePass& Pass);
  // The version the pass spoke, as its request line says it: "HTTP/1.0", "HTTP/1.1",
  // "HTTP/2"; empty for a wrapped request or another version.
  static QString VersionCell(const TExchangePass& Pass);
  // What the pass did with connections, a line each: a kept one reused, the request sent
  // again on a new one because the server had closed the kept one, the connection kept open
  // after the pass. Nothing for a pass on a connection of its own that was closed after it.
  static QStringList ConnectionLines(const TExchangePass& Pass);
  // "Serveur : xn--bcher-kva.test (bücher.test)" when the host of the pass's URL is an
  // A-label whose Unicode form differs, so that a name mixing scripts (a Cyrillic "а" in
  // "pаypal.com") is seen for what it is; empty otherwise.
  static QString HostForms(const TExchangePass& Pass);
};
