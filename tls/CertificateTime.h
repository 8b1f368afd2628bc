// A certificate's dates in every form an output puts them: OpenSSL's ASN1_TIME read into seconds
// since 1970 (UTC), and those seconds as the HAR's ISO text and back, as curl's -v writes them
// and as a reason's words give them. Exact for every year from 0000 to 9999 whatever time_t and
// the clock can hold: certificates say 9999-12-31 for "no end", and some began before 1970.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

typedef struct asn1_string_st ASN1_TIME;

namespace CertificateTime {

// 0 when the time cannot be read (0 is also what an unread certificate holds).
std::int64_t FromAsn1(const ASN1_TIME* Time);
// "9999-12-31T23:59:59Z".
std::string IsoText(std::int64_t Seconds);
// IsoText's form; a fraction is dropped and "+02:00" / "-05:30" offsets are taken as well.
// Nothing for any other text, or a year outside 0000-9999.
std::optional<std::int64_t> FromIsoText(std::string_view Text);
// "9999-12-31 23:59:59 UTC".
std::string UtcText(std::int64_t Seconds);
// curl's: "Dec 31 23:59:59 9999 GMT", the day padded to two places with a blank.
std::string CurlText(std::int64_t Seconds);

}  // namespace CertificateTime
