// PostgreSQL's arithmetic and functions of dates and times over the text the server
// keeps them as ('2026-12-11', '2026-12-11 10:55:00.123+00'): date_part() (which
// extract(field FROM x) becomes), date_trunc(), make_date(), to_timestamp(seconds), and
// pg_time_arith(), which the statement's text calls for `x +|- interval '...'` and for
// + and - after a date or time: a date plus or minus days, a time plus or minus an
// interval, the days between two dates, the interval between two times. SQLite would
// read such text as a number (date '2026-01-31' + 1 is 2027). The server's time zone is
// UTC: a time written with an offset is read as that moment in UTC.
#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "internal.h"
#include "sql/pg_times.h"

namespace {

constexpr int64_t kMicrosPerSecond = 1000000, kMicrosPerDay = 86400 * kMicrosPerSecond;

// Days since 1970-01-01 of a day of the proleptic Gregorian calendar, and back.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

void civil_from_days(int64_t z, int64_t *y, int64_t *m, int64_t *d) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097, doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = yoe + era * 400 + (*m <= 2);
}

int64_t days_in_month(int64_t y, int64_t m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

}  // namespace

namespace qx {

// Reads `n` digits at s[*at].
static bool digits(const std::string &s, size_t *at, int n, int64_t *value) {
    *value = 0;
    for (int k = 0; k < n; ++k, ++*at) {
        if (*at >= s.size() || s[*at] < '0' || s[*at] > '9') return false;
        *value = *value * 10 + (s[*at] - '0');
    }
    return true;
}

// 'YYYY-MM-DD', with ' HH:MM[:SS[.f]]' (or T) and a zone (Z, +HH, +HH:MM, -HHMM) after.
bool read_moment(const std::string &text, Moment *out) {
    std::string s = text;
    while (!s.empty() && s.back() == ' ') s.pop_back();
    size_t at = s.find_first_not_of(' ');
    if (at == std::string::npos) return false;
    int64_t y, mo, d, h = 0, mi = 0, sec = 0, micros = 0;
    if (!digits(s, &at, 4, &y) || at >= s.size() || s[at++] != '-' || !digits(s, &at, 2, &mo) || at >= s.size() ||
        s[at++] != '-' || !digits(s, &at, 2, &d))
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo)) return false;
    *out = Moment();
    if (at < s.size() && (s[at] == ' ' || s[at] == 'T') && at + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[at + 1]))) {
        ++at;
        if (!digits(s, &at, 2, &h) || at >= s.size() || s[at++] != ':' || !digits(s, &at, 2, &mi)) return false;
        if (at < s.size() && s[at] == ':') {
            ++at;
            if (!digits(s, &at, 2, &sec)) return false;
            if (at < s.size() && s[at] == '.') {
                int64_t scale = 100000;
                for (++at; at < s.size() && std::isdigit(static_cast<unsigned char>(s[at])); ++at, scale /= 10)
                    micros += (s[at] - '0') * scale;
            }
        }
        if (h > 24 || mi > 59 || sec > 60 || (h == 24 && (mi || sec || micros))) return false;
        out->has_time = true;
    }
    int64_t offset = 0;
    if (at < s.size() && (s[at] == 'Z' || s[at] == 'z')) {
        ++at;
        out->has_zone = true;
    } else if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
        int sign = s[at++] == '-' ? -1 : 1;
        int64_t oh = 0, om = 0;
        if (!digits(s, &at, 2, &oh)) return false;
        if (at < s.size() && s[at] == ':') ++at;
        if (at < s.size() && !digits(s, &at, 2, &om)) return false;
        offset = sign * (oh * 3600 + om * 60);
        out->has_zone = true;
    }
    if (at != s.size()) return false;
    out->micros = days_from_civil(y, mo, d) * kMicrosPerDay + ((h * 60 + mi) * 60 + sec - offset) * kMicrosPerSecond +
                  micros;
    return true;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// The text PostgreSQL writes: a date alone, else the time with its fraction (no trailing
// zeros) and +00 for a time that had a zone.
std::string write_moment(const Moment &m, bool as_date) {
    int64_t day = floor_div(m.micros, kMicrosPerDay), rest = m.micros - day * kMicrosPerDay;
    int64_t y, mo, d;
    civil_from_days(day, &y, &mo, &d);
    char buffer[64];
    if (as_date) {
        std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lld", static_cast<long long>(y),
                      static_cast<long long>(mo), static_cast<long long>(d));
        return buffer;
    }
    int64_t seconds = rest / kMicrosPerSecond, fraction = rest % kMicrosPerSecond;
    std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(y),
                  static_cast<long long>(mo), static_cast<long long>(d), static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    std::string out = buffer;
    if (fraction) {
        std::snprintf(buffer, sizeof buffer, ".%06lld", static_cast<long long>(fraction));
        std::string f = buffer;
        while (f.back() == '0') f.pop_back();
        out += f;
    }
    if (m.has_zone) out += "+00";
    return out;
}

bool read_interval(const std::string &text, Interval *out) {
    *out = Interval();
    size_t at = 0;
    bool any = false, ago = false;
    auto blanks = [&] {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    };
    blanks();
    if (at < text.size() && text[at] == '@') ++at;
    while (blanks(), at < text.size()) {
        size_t start = at;
        if (text[at] == '+' || text[at] == '-') ++at;
        while (at < text.size() && (std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '.')) ++at;
        std::string number = text.substr(start, at - start);
        if (at < text.size() && text[at] == ':') {  // [-]HH:MM[:SS[.f]]
            bool negative = !number.empty() && number[0] == '-';
            double parts[3] = {0, 0, 0};
            int n = 0;
            std::string piece = negative || (!number.empty() && number[0] == '+') ? number.substr(1) : number;
            for (;;) {
                if (piece.empty() || n == 3) return false;
                parts[n++] = std::atof(piece.c_str());
                if (at >= text.size() || text[at] != ':') break;
                size_t p = ++at;
                while (at < text.size() && (std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '.')) ++at;
                piece = text.substr(p, at - p);
            }
            double micros = ((parts[0] * 60 + parts[1]) * 60 + parts[2]) * kMicrosPerSecond;
            out->micros += static_cast<int64_t>(std::llround(negative ? -micros : micros));
            any = true;
            continue;
        }
        blanks();
        size_t unit_start = at;
        while (at < text.size() && std::isalpha(static_cast<unsigned char>(text[at]))) ++at;
        std::string unit = text.substr(unit_start, at - unit_start);
        if (number.empty() || number == "+" || number == "-") {
            if (strcasecmp(unit.c_str(), "ago") == 0 && any) {
                ago = true;
                continue;
            }
            return false;
        }
        char *number_end = nullptr;
        double value = std::strtod(number.c_str(), &number_end);
        if (*number_end) return false;
        auto is = [&unit](std::initializer_list<const char *> names) {
            for (const char *n : names)
                if (strcasecmp(unit.c_str(), n) == 0) return true;
            return false;
        };
        double months = 0, days = 0, micros = 0;
        if (is({"microsecond", "microseconds", "us", "usec", "usecs"})) micros = value;
        else if (is({"millisecond", "milliseconds", "ms", "msec", "msecs"})) micros = value * 1000;
        else if (is({"second", "seconds", "s", "sec", "secs", ""})) micros = value * kMicrosPerSecond;
        else if (is({"minute", "minutes", "m", "min", "mins"})) micros = value * 60 * kMicrosPerSecond;
        else if (is({"hour", "hours", "h", "hr", "hrs"})) micros = value * 3600 * kMicrosPerSecond;
        else if (is({"day", "days", "d"})) days = value;
        else if (is({"week", "weeks", "w"})) days = value * 7;
        else if (is({"month", "months", "mon", "mons"})) months = value;
        else if (is({"year", "years", "y", "yr", "yrs"})) months = value * 12;
        else if (is({"decade", "decades"})) months = value * 120;
        else if (is({"century", "centuries"})) months = value * 1200;
        else if (is({"millennium", "millennia"})) months = value * 12000;
        else return false;
        // A fraction of a month is days of 30, a fraction of a day hours of 24.
        double whole_months = std::trunc(months);
        days += (months - whole_months) * 30;
        double whole_days = std::trunc(days);
        micros += (days - whole_days) * kMicrosPerDay;
        out->months += static_cast<int64_t>(whole_months);
        out->days += static_cast<int64_t>(whole_days);
        out->micros += static_cast<int64_t>(std::llround(micros));
        any = true;
    }
    if (ago) *out = {-out->months, -out->days, -out->micros};
    return any;
}

// `m` moved by `sign` times the interval: months first (the day kept, or the month's last
// if it has fewer), then days, then the time.
Moment shifted(Moment m, const Interval &v, int sign) {
    int64_t day = floor_div(m.micros, kMicrosPerDay), rest = m.micros - day * kMicrosPerDay;
    if (v.months) {
        int64_t y, mo, d;
        civil_from_days(day, &y, &mo, &d);
        int64_t month = y * 12 + (mo - 1) + sign * v.months;
        y = floor_div(month, 12);
        mo = month - y * 12 + 1;
        day = days_from_civil(y, mo, std::min(d, days_in_month(y, mo)));
    }
    m.micros = (day + sign * v.days) * kMicrosPerDay + rest + sign * v.micros;
    return m;
}

}  // namespace qx

namespace {

using qx::floor_div;
using qx::Interval;
using qx::Moment;
using qx::read_interval;
using qx::read_moment;
using qx::shifted;
using qx::write_moment;

// The interval of `micros` as PostgreSQL writes one that has no months: "3 days
// 04:05:06.5", "-1 days -02:00:00", "00:00:00".
std::string write_interval(int64_t micros) {
    int64_t days = micros / kMicrosPerDay, rest = micros % kMicrosPerDay;
    std::string out;
    if (days) out = std::to_string(days) + (days == 1 ? " day" : " days");
    if (rest || !days) {
        if (!out.empty()) out += ' ';
        if (rest < 0) out += '-';
        int64_t r = rest < 0 ? -rest : rest, seconds = r / kMicrosPerSecond, fraction = r % kMicrosPerSecond;
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
        out += buffer;
        if (fraction) {
            std::snprintf(buffer, sizeof buffer, ".%06lld", static_cast<long long>(fraction));
            std::string f = buffer;
            while (f.back() == '0') f.pop_back();
            out += f;
        }
    }
    return out;
}

std::string text_of(sqlite3_value *v) { return qx::value_text(v); }

bool read_time_argument(sqlite3_context *ctx, sqlite3_value *v, Moment *m) {
    if (read_moment(text_of(v), m)) return true;
    qx::result_sql_error(ctx, {"22007", "", "invalid input syntax for type timestamp: \"" + text_of(v) + "\""});
    return false;
}

void result_text(sqlite3_context *ctx, const std::string &s) {
    sqlite3_result_text64(ctx, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

void result_number(sqlite3_context *ctx, double value) {
    if (value == std::trunc(value) && std::fabs(value) < 9e15) sqlite3_result_int64(ctx, static_cast<int64_t>(value));
    else sqlite3_result_double(ctx, value);
}

// date_part(field, interval): its seconds in all (epoch: a month of 30 days, a year of
// 365.25), or one of its fields.
void interval_part(sqlite3_context *ctx, const std::string &field, const Interval &v) {
    double seconds = static_cast<double>(v.micros % (60 * kMicrosPerSecond)) / 1e6;
    if (field == "epoch")
        return result_number(ctx, static_cast<double>(v.months / 12) * 365.25 * 86400 +
                                      static_cast<double>(v.months % 12) * 30 * 86400 +
                                      static_cast<double>(v.days) * 86400 + static_cast<double>(v.micros) / 1e6);
    if (field == "year" || field == "years") return result_number(ctx, static_cast<double>(v.months / 12));
    if (field == "month" || field == "months") return result_number(ctx, static_cast<double>(v.months % 12));
    if (field == "day" || field == "days") return result_number(ctx, static_cast<double>(v.days));
    if (field == "hour" || field == "hours") return result_number(ctx, static_cast<double>(v.micros / (3600 * kMicrosPerSecond)));
    if (field == "minute" || field == "minutes")
        return result_number(ctx, static_cast<double>(v.micros / (60 * kMicrosPerSecond) % 60));
    if (field == "second" || field == "seconds") return result_number(ctx, seconds);
    qx::result_sql_error(ctx, {"22023", "", "unit \"" + field + "\" not supported for type interval"});
}

// date_part(field, time): a number (a whole one as an integer).
void date_part(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    std::string field = lower(text_of(argv[0]));
    Moment m;
    Interval v;
    if (!read_moment(text_of(argv[1]), &m) && read_interval(text_of(argv[1]), &v))
        return interval_part(ctx, field, v);  // extract(epoch from now() - created) and the like
    if (!read_time_argument(ctx, argv[1], &m)) return;
    int64_t day = floor_div(m.micros, kMicrosPerDay), rest = m.micros - day * kMicrosPerDay;
    int64_t y, mo, d;
    civil_from_days(day, &y, &mo, &d);
    int64_t dow = ((day % 7) + 11) % 7;  // 1970-01-01 was a Thursday (4)
    int64_t doy = day - days_from_civil(y, 1, 1) + 1;
    // ISO 8601 week: the week (from Monday) that holds the year's first Thursday is 1.
    int64_t isodow = dow == 0 ? 7 : dow, thursday = day - isodow + 4;
    int64_t iy, im, id;
    civil_from_days(thursday, &iy, &im, &id);
    int64_t week = (thursday - days_from_civil(iy, 1, 1)) / 7 + 1;
    double value;
    if (field == "year" || field == "years") value = static_cast<double>(y);
    else if (field == "month" || field == "months") value = static_cast<double>(mo);
    else if (field == "day" || field == "days") value = static_cast<double>(d);
    else if (field == "hour" || field == "hours") value = static_cast<double>(rest / (3600 * kMicrosPerSecond));
    else if (field == "minute" || field == "minutes") value = static_cast<double>(rest / (60 * kMicrosPerSecond) % 60);
    else if (field == "second" || field == "seconds") value = static_cast<double>(rest % (60 * kMicrosPerSecond)) / 1e6;
    else if (field == "milliseconds") value = static_cast<double>(rest % (60 * kMicrosPerSecond)) / 1e3;
    else if (field == "microseconds") value = static_cast<double>(rest % (60 * kMicrosPerSecond));
    else if (field == "dow") value = static_cast<double>(dow);
    else if (field == "isodow") value = static_cast<double>(isodow);
    else if (field == "doy") value = static_cast<double>(doy);
    else if (field == "week") value = static_cast<double>(week);
    else if (field == "isoyear") value = static_cast<double>(iy);
    else if (field == "quarter") value = static_cast<double>((mo - 1) / 3 + 1);
    else if (field == "decade") value = static_cast<double>(floor_div(y, 10));
    else if (field == "century") value = static_cast<double>(y > 0 ? (y + 99) / 100 : -((99 - (y - 1)) / 100));
    else if (field == "millennium") value = static_cast<double>(y > 0 ? (y + 999) / 1000 : -((999 - (y - 1)) / 1000));
    else if (field == "epoch") value = static_cast<double>(m.micros) / 1e6;
    else if (field == "timezone" || field == "timezone_hour" || field == "timezone_minute") value = 0;
    else
        return qx::result_sql_error(ctx, {"22023", "", "unit \"" + field + "\" not recognized for type timestamp"});
    result_number(ctx, value);
}

// date_trunc(field, time): the time cut down to the start of its field.
void date_trunc(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    std::string field = lower(text_of(argv[0]));
    Moment m;
    if (!read_time_argument(ctx, argv[1], &m)) return;
    int64_t day = floor_div(m.micros, kMicrosPerDay), rest = m.micros - day * kMicrosPerDay;
    int64_t y, mo, d;
    civil_from_days(day, &y, &mo, &d);
    auto start_of = [&](int64_t year, int64_t month) { return days_from_civil(year, month, 1) * kMicrosPerDay; };
    if (field == "microseconds") {
    } else if (field == "milliseconds") m.micros -= rest % 1000;
    else if (field == "second") m.micros -= rest % kMicrosPerSecond;
    else if (field == "minute") m.micros -= rest % (60 * kMicrosPerSecond);
    else if (field == "hour") m.micros -= rest % (3600 * kMicrosPerSecond);
    else if (field == "day") m.micros = day * kMicrosPerDay;
    else if (field == "week") m.micros = (day - (((day % 7) + 10) % 7)) * kMicrosPerDay;  // back to Monday
    else if (field == "month") m.micros = start_of(y, mo);
    else if (field == "quarter") m.micros = start_of(y, (mo - 1) / 3 * 3 + 1);
    else if (field == "year") m.micros = start_of(y, 1);
    else if (field == "decade") m.micros = start_of(floor_div(y, 10) * 10, 1);
    else if (field == "century") m.micros = start_of(y > 0 ? (y - 1) / 100 * 100 + 1 : y, 1);
    else if (field == "millennium") m.micros = start_of(y > 0 ? (y - 1) / 1000 * 1000 + 1 : y, 1);
    else return qx::result_sql_error(ctx, {"22023", "", "unit \"" + field + "\" not recognized for type timestamp"});
    result_text(ctx, write_moment(m, false));
}

void make_date(sqlite3_context *ctx, int, sqlite3_value **argv) {
    for (int k = 0; k < 3; ++k)
        if (sqlite3_value_type(argv[k]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    int64_t y = sqlite3_value_int64(argv[0]), mo = sqlite3_value_int64(argv[1]), d = sqlite3_value_int64(argv[2]);
    if (y == 0 || y < -4713 || y > 5874897 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo))
        return qx::result_sql_error(ctx, {"22008", "", "date field value out of range: " + std::to_string(y) + "-" +
                                                           std::to_string(mo) + "-" + std::to_string(d)});
    Moment m;
    m.micros = days_from_civil(y < 0 ? y + 1 : y, mo, d) * kMicrosPerDay;
    result_text(ctx, write_moment(m, true));
}

// pg_at_time_zone(time, zone), what `time AT TIME ZONE zone` becomes: a time with a zone
// as the wall-clock time in `zone` (no zone written), a time without one as that
// wall-clock time in `zone` (in UTC, +00). Zones are UTC and its names, and offsets as
// PostgreSQL reads a bare offset, POSIX's way: '+02' is two hours west of Greenwich.
void at_time_zone(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    Moment m;
    if (!read_time_argument(ctx, argv[0], &m)) return;
    std::string zone = text_of(argv[1]);
    int64_t west_seconds = 0;  // how far the zone's clocks are behind UTC's
    bool known = false;
    for (const char *utc : {"utc", "gmt", "z", "zulu", "uct", "universal", "etc/utc", "etc/gmt", "utc0", "gmt0"})
        if (strcasecmp(zone.c_str(), utc) == 0) known = true;
    if (!known && !zone.empty() && (zone[0] == '+' || zone[0] == '-' || std::isdigit(static_cast<unsigned char>(zone[0])))) {
        size_t at = zone[0] == '+' || zone[0] == '-' ? 1 : 0;
        int64_t hours = 0, minutes = 0;
        size_t digits_end = zone.find_first_not_of("0123456789", at);
        std::string h = zone.substr(at, digits_end - at);
        bool ok = !h.empty() && h.size() <= 2;
        if (ok) hours = std::atoll(h.c_str());
        if (ok && digits_end != std::string::npos) {
            ok = zone[digits_end] == ':' && zone.size() == digits_end + 3 &&
                 zone.find_first_not_of("0123456789", digits_end + 1) == std::string::npos;
            if (ok) minutes = std::atoll(zone.c_str() + digits_end + 1);
        }
        if (ok && hours <= 15 && minutes < 60) {
            known = true;
            west_seconds = (zone[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
        }
    }
    if (!known)
        return qx::result_sql_error(ctx, {"0A000", "", "time zone \"" + zone +
                                                          "\" is not supported: the server knows UTC and offsets"});
    if (m.has_zone) {  // the moment as the zone's clocks show it
        m.micros -= west_seconds * kMicrosPerSecond;
        m.has_zone = false;
    } else {  // the zone's wall-clock time as a moment
        m.micros += west_seconds * kMicrosPerSecond;
        m.has_zone = true;
    }
    result_text(ctx, write_moment(m, false));
}

// to_char(time, format): the time written by PostgreSQL's template patterns (YYYY, MM,
// DD, HH24, HH12, MI, SS, MS, US, Mon, Month, Dy, Day, AM, Q, DDD, D, IW, TZ, ...; FM
// drops a pattern's padding, "text" is written as it stands). to_char(number, format)
// writes digits by 9, 0, the point (. or D), group separators (, or G), a sign (S, MI,
// PL) and FM.
const char *const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char *const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string cased(const std::string &word, const std::string &pattern) {
    // MONTH, Month or month: as the pattern's first two letters are written.
    bool first_upper = std::isupper(static_cast<unsigned char>(pattern[0]));
    bool second_upper = pattern.size() > 1 && std::isupper(static_cast<unsigned char>(pattern[1]));
    std::string out = word;
    for (size_t k = 0; k < out.size(); ++k) {
        bool upper = k == 0 ? first_upper : second_upper;
        out[k] = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(out[k]))
                                         : std::tolower(static_cast<unsigned char>(out[k])));
    }
    return out;
}

std::string time_to_char(const Moment &m, const std::string &f) {
    int64_t day = floor_div(m.micros, kMicrosPerDay), rest = m.micros - day * kMicrosPerDay;
    int64_t y, mo, d;
    civil_from_days(day, &y, &mo, &d);
    int64_t dow = ((day % 7) + 11) % 7, hour = rest / (3600 * kMicrosPerSecond);
    int64_t isodow = dow == 0 ? 7 : dow, thursday = day - isodow + 4, iy, im, id;
    civil_from_days(thursday, &iy, &im, &id);
    std::string out;
    size_t at = 0;
    auto starts = [&](const char *p) {
        size_t n = std::strlen(p);
        return f.size() - at >= n && strncasecmp(f.c_str() + at, p, n) == 0;
    };
    while (at < f.size()) {
        bool fill = true;
        if (starts("FM")) {
            fill = false;
            at += 2;
        }
        auto number = [&](int64_t v, int width, size_t length) {
            char buffer[32];
            if (fill) std::snprintf(buffer, sizeof buffer, "%0*lld", width, static_cast<long long>(v));
            else std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(v));
            out += buffer;
            at += length;
        };
        auto word = [&](const std::string &w, size_t length, size_t pad) {
            std::string text = cased(w, f.substr(at, length));
            if (fill && text.size() < pad) text.append(pad - text.size(), ' ');
            out += text;
            at += length;
        };
        if (at < f.size() && f[at] == '"') {
            size_t close = f.find('"', at + 1);
            out += f.substr(at + 1, (close == std::string::npos ? f.size() : close) - at - 1);
            at = close == std::string::npos ? f.size() : close + 1;
        } else if (starts("YYYY")) number(y, 4, 4);
        else if (starts("YYY")) number(y % 1000, 3, 3);
        else if (starts("YY")) number(y % 100, 2, 2);
        else if (starts("IYYY")) number(iy, 4, 4);
        else if (starts("Y")) number(y % 10, 1, 1);
        else if (starts("MONTH")) word(kMonths[mo - 1], 5, 9);
        else if (starts("MON")) word(std::string(kMonths[mo - 1]).substr(0, 3), 3, 3);
        else if (starts("MM")) number(mo, 2, 2);
        else if (starts("MI")) number(rest / (60 * kMicrosPerSecond) % 60, 2, 2);
        else if (starts("MS")) number(rest / 1000 % 1000, 3, 2);
        else if (starts("DAY")) word(kDays[dow], 3, 9);
        else if (starts("DY")) word(std::string(kDays[dow]).substr(0, 3), 2, 3);
        else if (starts("DDD")) number(day - days_from_civil(y, 1, 1) + 1, 3, 3);
        else if (starts("DD")) number(d, 2, 2);
        else if (starts("D")) number(dow + 1, 1, 1);
        else if (starts("HH24")) number(hour, 2, 4);
        else if (starts("HH12")) number(hour % 12 == 0 ? 12 : hour % 12, 2, 4);
        else if (starts("HH")) number(hour % 12 == 0 ? 12 : hour % 12, 2, 2);
        else if (starts("SS")) number(rest / kMicrosPerSecond % 60, 2, 2);
        else if (starts("US")) number(rest % kMicrosPerSecond, 6, 2);
        else if (starts("AM") || starts("PM")) {
            std::string marker = hour < 12 ? "AM" : "PM";
            out += std::islower(static_cast<unsigned char>(f[at])) ? cased(marker, "am") : marker;
            at += 2;
        } else if (starts("A.M.") || starts("P.M.")) {
            std::string marker = hour < 12 ? "A.M." : "P.M.";
            out += std::islower(static_cast<unsigned char>(f[at])) ? cased(marker, "am") : marker;
            at += 4;
        } else if (starts("Q")) number((mo - 1) / 3 + 1, 1, 1);
        else if (starts("IW")) number((thursday - days_from_civil(iy, 1, 1)) / 7 + 1, 2, 2);
        else if (starts("ID")) number(isodow, 1, 2);
        else if (starts("TZ")) {
            out += m.has_zone ? (std::isupper(static_cast<unsigned char>(f[at])) ? "UTC" : "utc") : "";
            at += 2;
        } else if (at < f.size() && f[at] == '\\' && at + 1 < f.size()) {
            out += f[at + 1];
            at += 2;
        } else if (at < f.size()) {
            out += f[at++];
        }
    }
    return out;
}

// A number by a template of 9s and 0s: digits, the point, group separators and a sign.
// A 0 prints a leading zero (and so do the places after it), a 9 a blank; a number with
// more digits than the template has places is written as #s.
bool number_to_char(double value, const std::string &f, std::string *out) {
    bool fill = true, point = false;
    char sign_mode = ' ';  // ' ' before the number, 'S' + or - before it, 'M' - after it, 'P' + before it
    std::string whole_template, fraction_template;  // 9, 0 and , / 9 and 0
    for (size_t k = 0; k < f.size(); ++k) {
        char c = static_cast<char>(std::toupper(static_cast<unsigned char>(f[k])));
        char next = k + 1 < f.size() ? static_cast<char>(std::toupper(static_cast<unsigned char>(f[k + 1]))) : 0;
        if (c == 'F' && next == 'M') fill = false, ++k;
        else if ((c == '9' || c == '0') && point) fraction_template += c;
        else if (c == '9' || c == '0') whole_template += c;
        else if ((c == '.' || c == 'D') && !point) point = true;
        else if ((c == ',' || c == 'G') && !point) whole_template += ',';
        else if (c == 'S') sign_mode = 'S';
        else if (c == 'M' && next == 'I') sign_mode = 'M', ++k;
        else if (c == 'P' && next == 'L') sign_mode = 'P', ++k;
        else return false;
    }
    size_t places = static_cast<size_t>(std::count_if(whole_template.begin(), whole_template.end(),
                                                      [](char c) { return c != ','; }));
    bool negative = value < 0;
    char digits[400];
    std::snprintf(digits, sizeof digits, "%.*f", static_cast<int>(fraction_template.size()), std::fabs(value));
    std::string all = digits;
    size_t dot = all.find('.');
    std::string whole = all.substr(0, dot), fraction = dot == std::string::npos ? "" : all.substr(dot + 1);
    if (whole == "0" && (!fraction_template.empty() || places == 0)) whole.clear();  // 9.99 of 0.5 is " .50"
    std::string text;
    if (whole.size() > places) {
        for (char c : whole_template) text += c == ',' ? ',' : '#';
        if (point) text += "." + std::string(fraction_template.size(), '#');
    } else {
        // The integer part laid over its template from the right; a place is printed when
        // it holds a digit or a 0 at or before it in the template forces it.
        size_t first_zero = whole_template.find('0');
        bool printed_left = false;
        std::vector<bool> printed(whole_template.size());
        for (size_t k = whole_template.size(), place = 0; k-- > 0;) {
            if (whole_template[k] == ',') continue;
            printed[k] = place < whole.size() || (first_zero != std::string::npos && k >= first_zero);
            ++place;
        }
        for (size_t k = 0; k < whole_template.size(); ++k) {
            if (whole_template[k] == ',') {
                text += printed_left ? "," : (fill ? " " : "");
                continue;
            }
            size_t place = 0;  // places to its right
            for (size_t j = k + 1; j < whole_template.size(); ++j) place += whole_template[j] != ',';
            if (place < whole.size() || printed[k]) {
                text += place < whole.size() ? whole[whole.size() - 1 - place] : '0';
                printed_left = true;
            } else if (fill) {
                text += ' ';
            }
        }
        if (point) {
            std::string f2 = fraction;
            if (!fill)  // FM: the fraction's trailing zeros where the template has 9s go
                while (!f2.empty() && f2.back() == '0' && fraction_template[f2.size() - 1] == '9') f2.pop_back();
            text += "." + f2;
        }
    }
    std::string sign = negative ? "-" : sign_mode == 'S' || sign_mode == 'P' ? "+" : (fill ? " " : "");
    if (sign_mode == 'M') {
        *out = text + (negative ? "-" : (fill ? " " : ""));
        return true;
    }
    // The sign goes just before the first printed character, within the padding.
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) first = text.size();
    *out = text.substr(0, first) + sign + text.substr(first);
    return true;
}

void to_char(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    std::string format = text_of(argv[1]);
    int type = sqlite3_value_numeric_type(argv[0]);
    if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
        std::string out;
        if (!number_to_char(sqlite3_value_double(argv[0]), format, &out))
            return qx::result_sql_error(ctx, {"0A000", "", "to_char() of a number with the template \"" + format +
                                                               "\" is not supported"});
        return result_text(ctx, out);
    }
    Moment m;
    if (!read_time_argument(ctx, argv[0], &m)) return;
    result_text(ctx, time_to_char(m, format));
}

// age(a[, b]): a - b as PostgreSQL writes it in years, months and days ("1 year 2 mons 3
// days 04:05:06"), each field taken from the other's with borrowing, a month's days
// those of b's month; age(b) is from today's midnight.
void age(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    for (int k = 0; k < argc; ++k)
        if (sqlite3_value_type(argv[k]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    Moment a, b;
    if (argc == 1) {
        int64_t now_seconds = 0;
        sqlite3_int64 julian_ms = 0;  // the statement's time, as SQLite's date functions see it
        if (sqlite3_vfs *vfs = sqlite3_vfs_find(nullptr); vfs && vfs->iVersion >= 2 && vfs->xCurrentTimeInt64)
            vfs->xCurrentTimeInt64(vfs, &julian_ms);
        now_seconds = julian_ms / 1000 - 210866760000LL;
        a.micros = floor_div(now_seconds, 86400) * kMicrosPerDay;
        if (!read_time_argument(ctx, argv[0], &b)) return;
    } else if (!read_time_argument(ctx, argv[0], &a) || !read_time_argument(ctx, argv[1], &b)) {
        return;
    }
    bool negative = a.micros < b.micros;
    if (negative) std::swap(a, b);
    auto fields = [](const Moment &m, int64_t f[7]) {  // year, month, day, hour, minute, second, microsecond
        int64_t day = floor_div(m.micros, kMicrosPerDay), rest = m.micros - day * kMicrosPerDay;
        civil_from_days(day, &f[0], &f[1], &f[2]);
        f[3] = rest / (3600 * kMicrosPerSecond);
        f[4] = rest / (60 * kMicrosPerSecond) % 60;
        f[5] = rest / kMicrosPerSecond % 60;
        f[6] = rest % kMicrosPerSecond;
    };
    int64_t x[7], y[7], d[7];
    fields(a, x);
    fields(b, y);
    for (int k = 0; k < 7; ++k) d[k] = x[k] - y[k];
    static const int64_t kSpan[7] = {0, 12, 0, 24, 60, 60, 1000000};
    for (int k = 6; k >= 1; --k) {
        while (d[k] < 0) {
            d[k] += k == 2 ? days_in_month(y[0], y[1]) : kSpan[k];
            --d[k - 1];
        }
    }
    std::string out;
    auto part = [&](int64_t v, const char *one, const char *many) {
        if (!v) return;
        if (!out.empty()) out += ' ';
        int64_t shown = negative ? -v : v;
        out += std::to_string(shown) + " " + (shown == 1 ? one : many);
    };
    part(d[0], "year", "years");
    part(d[1], "mon", "mons");
    part(d[2], "day", "days");
    int64_t time = ((d[3] * 60 + d[4]) * 60 + d[5]) * kMicrosPerSecond + d[6];
    if (time || out.empty()) {
        std::string clock = write_interval(negative ? -time : time);
        if (!out.empty()) out += ' ';
        out += clock;
    }
    result_text(ctx, out);
}

// to_timestamp(seconds since 1970 UTC).
void to_timestamp(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    double seconds = sqlite3_value_double(argv[0]);
    if (!std::isfinite(seconds) || std::fabs(seconds) > 2e14)
        return qx::result_sql_error(ctx, {"22008", "", "timestamp out of range"});
    Moment m;
    m.micros = static_cast<int64_t>(std::llround(seconds * 1e6));
    m.has_time = m.has_zone = true;
    result_text(ctx, write_moment(m, false));
}

// pg_time_arith(op, left, right, right_is_interval): left + right or left - right, where
// left is a date or a time, or right an interval's text.
void time_arith(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_type(argv[2]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    int sign = text_of(argv[0]) == "-" ? -1 : 1;
    std::string left = text_of(argv[1]), right = text_of(argv[2]);
    Moment a, b;
    if (!read_moment(left, &a))
        return qx::result_sql_error(ctx, {"22007", "", "invalid input syntax for type timestamp: \"" + left + "\""});
    if (sqlite3_value_int(argv[3])) {
        Interval v;
        if (!read_interval(right, &v))
            return qx::result_sql_error(ctx, {"22007", "", "invalid input syntax for type interval: \"" + right + "\""});
        Moment m = shifted(a, v, sign);
        m.has_time = true;
        return result_text(ctx, write_moment(m, false));
    }
    int type = sqlite3_value_numeric_type(argv[2]);
    if (type == SQLITE_INTEGER && !a.has_time) {  // a date and a number of days
        a.micros += sign * sqlite3_value_int64(argv[2]) * kMicrosPerDay;
        return result_text(ctx, write_moment(a, true));
    }
    if (type != SQLITE_INTEGER && type != SQLITE_FLOAT && sign < 0 && read_moment(right, &b)) {
        if (!a.has_time && !b.has_time)  // the days between two dates
            return sqlite3_result_int64(ctx, (a.micros - b.micros) / kMicrosPerDay);
        return result_text(ctx, write_interval(a.micros - b.micros));
    }
    std::string what = a.has_time ? (a.has_zone ? "timestamp with time zone" : "timestamp without time zone") : "date";
    std::string other = type == SQLITE_INTEGER ? "integer" : type == SQLITE_FLOAT ? "numeric" : "unknown";
    qx::result_sql_error(ctx, {"42883", "", "operator does not exist: " + what + (sign < 0 ? " - " : " + ") + other});
}

// pg_interval_cmp(a, b): -1, 0 or 1 as interval a is shorter, as long or longer than b,
// measured as PostgreSQL compares them (a month of 30 days).
void interval_cmp(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    Interval a, b;
    for (int k = 0; k < 2; ++k)
        if (!read_interval(text_of(argv[k]), k ? &b : &a))
            return qx::result_sql_error(ctx, {"22007", "", "invalid input syntax for type interval: \"" +
                                                               text_of(argv[k]) + "\""});
    auto span = [](const Interval &v) {
        return (static_cast<__int128>(v.months) * 30 + v.days) * kMicrosPerDay + v.micros;
    };
    __int128 x = span(a), y = span(b);
    sqlite3_result_int(ctx, x < y ? -1 : x > y);
}

}  // namespace

namespace qx {

bool install_time_functions(sqlite3 *db, std::string *error) {
    const struct {
        const char *name;
        int arguments;
        void (*call)(sqlite3_context *, int, sqlite3_value **);
    } functions[] = {
        {"date_part", 2, date_part}, {"date_trunc", 2, date_trunc},     {"make_date", 3, make_date},
        {"to_timestamp", 1, to_timestamp}, {"pg_time_arith", 4, time_arith}, {"pg_at_time_zone", 2, at_time_zone},
        {"pg_interval_cmp", 2, interval_cmp},
        {"to_char", 2, to_char},        {"age", 2, age},
    };
    for (const auto &f : functions) {
        if (sqlite3_create_function_v2(db, f.name, f.arguments, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, f.call,
                                       nullptr, nullptr, nullptr) != SQLITE_OK) {
            if (error) *error = std::string("cannot create ") + f.name + "(): " + sqlite3_errmsg(db);
            return false;
        }
    }
    // age(time) reads today's date: not deterministic.
    if (sqlite3_create_function_v2(db, "age", 1, SQLITE_UTF8, nullptr, age, nullptr, nullptr, nullptr) != SQLITE_OK) {
        if (error) *error = std::string("cannot create age(): ") + sqlite3_errmsg(db);
        return false;
    }
    return true;
}

}  // namespace qx
