// How far one moment is from another in the largest whole unit a person would say ("3 days",
// "5 hours"), before or after: each language's words name the unit and the direction.
#pragma once

#include <cstdint>

enum class TTimeUnit : std::uint8_t { tuDay, tuHour, tuMinute, tuSecond };

struct TTimeSpan {
  std::int64_t Count = 0;  // whole units, rounded down: 47 hours is "1 day"
  TTimeUnit Unit = TTimeUnit::tuSecond;
  bool Past = false;  // When is at or before Now ("ago"), else still to come ("in")

  bool operator==(const TTimeSpan&) const = default;
};

inline TTimeSpan SpanBetween(std::int64_t When, std::int64_t Now) {
  struct TStep {
    std::uint64_t Seconds;
    TTimeUnit Unit;
  };
  static constexpr TStep Steps[] = {{86400, TTimeUnit::tuDay},
                                    {3600, TTimeUnit::tuHour},
                                    {60, TTimeUnit::tuMinute},
                                    {1, TTimeUnit::tuSecond}};
  const bool Past = When <= Now;
  // In unsigned arithmetic the distance is exact for any two moments, even a certificate's
  // date far off in either direction, where the signed difference would overflow.
  const std::uint64_t Distance =
      Past ? static_cast<std::uint64_t>(Now) - static_cast<std::uint64_t>(When)
           : static_cast<std::uint64_t>(When) - static_cast<std::uint64_t>(Now);
  const TStep* Step = &Steps[3];
  for (const TStep& S : Steps)
    if (Distance >= S.Seconds) {
      Step = &S;
      break;
    }
  return {static_cast<std::int64_t>(Distance / Step->Seconds), Step->Unit, Past};
}
