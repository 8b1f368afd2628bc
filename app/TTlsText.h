// The window's words for TLS: a failed handshake or check in plain French, the chain in short,
// dates and what is left of a certificate's validity, and the status bar's TLS steps.
#pragma once

#include <QString>
#include <cstdint>

#include "tls/TTlsFacts.h"

namespace TlsText {

// The reason in plain words, e.g. "Le certificat a expiré : celui de a.test était valable
// jusqu'au 2026-01-02 00:00:00 UTC (il y a 3 jours)." Empty for tpNone.
QString Reason(const TTlsReason& Reason);
// "2026-01-02 00:00:00 UTC"; "date inconnue" for 0, a date never read.
QString Date(std::int64_t Seconds);
// "il y a 3 jours", "dans 5 heures": the largest whole unit.
QString Relative(std::int64_t When, std::int64_t Now);
// What is left of Certificate's validity at Now, in the largest whole unit: "encore 364 jours",
// "encore 5 heures", "expiré depuis 3 jours", "valable dans 2 jours"; Short is true when under
// 30 days are left, or none; "dates inconnues" without an end date.
QString DaysLeft(const TTlsCertificate& Certificate, std::int64_t Now, bool* Short = nullptr);
// "valable du <date> au <date>", or that the dates are unknown (the facts hold none).
QString Period(const TTlsCertificate& Certificate);
// The Sécurité tab's validity: "du <date> au <date> (encore 364 jours)", or "dates inconnues".
QString Validity(const TTlsCertificate& Certificate, std::int64_t Now, bool* Short = nullptr);
// "RSA 2048 bits", "EC, taille inconnue", "inconnue".
QString Key(const TTlsCertificate& Certificate);
// One line per certificate of the chain as the server sent it, leaf first:
// "good.test, émis par Orrery Test Intermediate, valable jusqu'au ...".
QString ChainList(const std::vector<TTlsCertificate>& Chain);
// The status bar once the handshake and the check are over: "TLSv1.3, certificat vérifié",
// "TLSv1.3, certificat non vérifié", or "Certificat refusé"; with ", ALPN h2" after when the
// server took HTTP/2.
QString Ended(const TTlsFacts& Facts);
// The session let the request go on: the check passed, or the caller waived it.
bool LetThrough(const TTlsFacts& Facts);

}  // namespace TlsText
