// The TLS lines of the -v trace, in curl's words, from the facts of a session: the version
// and cipher, ALPN's outcome, the server's certificate (subject, dates, the name matched,
// issuer) and the check's result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tls/TTlsFacts.h"

// The lines after a handshake for NameAsked, without their "* " (curl indents the
// certificate's own lines by one more blank). Nothing for a handshake that did not finish:
// the failure says it. Now (seconds since 1970) dates the reason of a check that -k waived.
std::vector<std::string> TlsTraceLines(const TTlsFacts& Facts, std::string_view NameAsked,
                                       std::int64_t Now);

// A name in RFC 2253's order and escapes ("CN=a.test,O=Orrery") as curl shows it: in the
// certificate's own order, "; " between the parts ("O=Orrery; CN=a.test").
std::string CurlDistinguishedName(std::string_view Rfc2253);
// Seconds since 1970 as curl shows a certificate's date: "Dec  9 11:07:59 2026 GMT".
std::string CurlCertificateDate(std::int64_t Seconds);
// How the name asked matched the certificate's subject alternative names, as curl says it:
// `subjectAltName: host "a.wild.test" matched cert's "*.wild.test"`, or that none did.
std::string SubjectAltNameLine(const TTlsCertificate& Leaf, std::string_view NameAsked);
