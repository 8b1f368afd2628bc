// Calendar arithmetic of our own (days from a civil date and back, in the proleptic Gregorian
// calendar) rather than timegm and gmtime, whose reach is the width of time_t.
#include "tls/CertificateTime.h"

#include <openssl/asn1.h>

#include <cstdio>
#include <ctime>

namespace {

constexpr std::int64_t Day = 86400;

struct TCivil {
  std::int64_t Year;
  int Month, MonthDay, Hour, Minute, Second;
};

// Days since 1970-01-01 of a date; the year runs from March so that a leap day ends it.
std::int64_t DaysFromCivil(std::int64_t Year, int Month, int MonthDay) {
  Year -= Month <= 2;
  const std::int64_t Era = (Year >= 0 ? Year : Year - 399) / 400;
  const std::int64_t OfEra = Year - Era * 400;
  const std::int64_t OfYear = (153 * (Month + (Month > 2 ? -3 : 9)) + 2) / 5 + MonthDay - 1;
  const std::int64_t OfCycle = OfEra * 365 + OfEra / 4 - OfEra / 100 + OfYear;
  return Era * 146097 + OfCycle - 719468;
}

TCivil CivilOf(std::int64_t Seconds) {
  std::int64_t Days = Seconds / Day;
  std::int64_t Rest = Seconds % Day;
  if (Rest < 0) {
    Rest += Day;
    --Days;
  }
  Days += 719468;
  const std::int64_t Era = (Days >= 0 ? Days : Days - 146096) / 146097;
  const std::int64_t OfCycle = Days - Era * 146097;
  const std::int64_t OfEra = (OfCycle - OfCycle / 1460 + OfCycle / 36524 - OfCycle / 146096) / 365;
  const std::int64_t OfYear = OfCycle - (365 * OfEra + OfEra / 4 - OfEra / 100);
  const std::int64_t MonthIndex = (5 * OfYear + 2) / 153;
  const int Month = static_cast<int>(MonthIndex < 10 ? MonthIndex + 3 : MonthIndex - 9);
  return {OfEra + Era * 400 + (Month <= 2),
          Month,
          static_cast<int>(OfYear - (153 * MonthIndex + 2) / 5 + 1),
          static_cast<int>(Rest / 3600),
          static_cast<int>(Rest / 60 % 60),
          static_cast<int>(Rest % 60)};
}

std::int64_t SecondsOf(const TCivil& C) {
  return DaysFromCivil(C.Year, C.Month, C.MonthDay) * Day + C.Hour * 3600 + C.Minute * 60 +
         C.Second;
}

std::string Printed(const char* Format, const TCivil& C) {
  char Text[64];
  std::snprintf(Text, sizeof Text, Format, static_cast<long long>(C.Year), C.Month, C.MonthDay,
                C.Hour, C.Minute, C.Second);
  return Text;
}

// Reads Count digits at At into Into; false on anything else.
bool Digits(std::string_view Text, std::size_t At, std::size_t Count, int& Into) {
  if (At + Count > Text.size()) return false;
  Into = 0;
  for (std::size_t I = At; I < At + Count; ++I) {
    if (Text[I] < '0' || Text[I] > '9') return false;
    Into = Into * 10 + (Text[I] - '0');
  }
  return true;
}

// "+02:00": the seconds to take away for UTC.
std::optional<std::int64_t> OffsetOf(std::string_view Rest) {
  if (Rest == "Z") return 0;
  int Hours = 0, Minutes = 0;
  if (Rest.size() != 6 || (Rest[0] != '+' && Rest[0] != '-') || Rest[3] != ':' ||
      !Digits(Rest, 1, 2, Hours) || !Digits(Rest, 4, 2, Minutes) || Hours > 23 || Minutes > 59)
    return std::nullopt;
  return (Rest[0] == '-' ? -1 : 1) * (Hours * 3600 + Minutes * 60);
}

}  // namespace

namespace CertificateTime {

std::int64_t FromAsn1(const ASN1_TIME* Time) {
  std::tm Parts{};
  if (Time == nullptr || ASN1_TIME_to_tm(Time, &Parts) != 1) return 0;
  return SecondsOf({Parts.tm_year + std::int64_t{1900}, Parts.tm_mon + 1, Parts.tm_mday,
                    Parts.tm_hour, Parts.tm_min, Parts.tm_sec});
}

std::string IsoText(std::int64_t Seconds) {
  return Printed("%04lld-%02d-%02dT%02d:%02d:%02dZ", CivilOf(Seconds));
}

std::optional<std::int64_t> FromIsoText(std::string_view Text) {
  int Year = 0;
  TCivil C{};
  if (!Digits(Text, 0, 4, Year) || !Digits(Text, 5, 2, C.Month) ||
      !Digits(Text, 8, 2, C.MonthDay) || !Digits(Text, 11, 2, C.Hour) ||
      !Digits(Text, 14, 2, C.Minute) || !Digits(Text, 17, 2, C.Second) || Text[4] != '-' ||
      Text[7] != '-' || (Text[10] != 'T' && Text[10] != ' ') || Text[13] != ':' || Text[16] != ':')
    return std::nullopt;
  C.Year = Year;
  if (C.Month < 1 || C.Month > 12 || C.MonthDay < 1 || C.MonthDay > 31 || C.Hour > 23 ||
      C.Minute > 59 || C.Second > 60)
    return std::nullopt;
  std::string_view Rest = Text.substr(19);
  if (!Rest.empty() && Rest[0] == '.') {
    Rest.remove_prefix(1);
    while (!Rest.empty() && Rest[0] >= '0' && Rest[0] <= '9') Rest.remove_prefix(1);
  }
  const std::optional<std::int64_t> Offset = OffsetOf(Rest);
  if (!Offset) return std::nullopt;
  return SecondsOf(C) - *Offset;
}

std::string UtcText(std::int64_t Seconds) {
  return Printed("%04lld-%02d-%02d %02d:%02d:%02d UTC", CivilOf(Seconds));
}

std::string CurlText(std::int64_t Seconds) {
  static constexpr const char* Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const TCivil C = CivilOf(Seconds);
  char Text[64];
  std::snprintf(Text, sizeof Text, "%s %2d %02d:%02d:%02d %lld GMT", Months[C.Month - 1],
                C.MonthDay, C.Hour, C.Minute, C.Second, static_cast<long long>(C.Year));
  return Text;
}

}  // namespace CertificateTime
