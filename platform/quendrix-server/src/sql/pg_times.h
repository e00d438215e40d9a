// Dates, times and intervals as the server keeps them, as their text ('2026-12-11',
// '2026-12-11 10:55:00.123+00', '1 day 02:00:00'), read and written as PostgreSQL does
// (see sql/pg_time_functions.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace qx {

// A date or a time: the microseconds since 1970-01-01 00:00 UTC, and whether the text had
// a time of day and a zone.
struct Moment {
    int64_t micros = 0;
    bool has_time = false, has_zone = false;
};

// An interval: months, days and microseconds kept apart, since a month and a day have no
// fixed length.
struct Interval {
    int64_t months = 0, days = 0, micros = 0;
};

// 'YYYY-MM-DD', with ' HH:MM[:SS[.f]]' (or T) and a zone (Z, +HH, +HH:MM, -HHMM) after;
// false for any other text or a day there is not.
bool read_moment(const std::string &text, Moment *out);

// '1 day', '2 hours 30 minutes', '-1 week', '1.5 days', '01:30:00', '1 day 02:00',
// '@ 1 hour ago'; false for any other text.
bool read_interval(const std::string &text, Interval *out);

// `m` moved by `sign` times the interval: months first (the day kept, or the month's last
// if it has fewer), then days, then the time.
Moment shifted(Moment m, const Interval &v, int sign);

// The text PostgreSQL writes: the date alone (`as_date`), else the time with its
// fraction (no trailing zeros) and +00 for a time that had a zone.
std::string write_moment(const Moment &m, bool as_date);

// a / b rounded down.
int64_t floor_div(int64_t a, int64_t b);

}  // namespace qx
