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
#include <initializer_list>
#include <string>

#include "internal.h"

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

// A date or a time as the text holds it: a day and the microseconds into it (in UTC).
struct Moment {
    int64_t micros = 0;  // since 1970-01-01 00:00 UTC
    bool has_time = false, has_zone = false;
};

// Reads `n` digits at s[*at].
bool digits(const std::string &s, size_t *at, int n, int64_t *value) {
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

// An interval as PostgreSQL reads one: '1 day', '2 hours 30 minutes', '-1 week', '1.5
// days', '01:30:00', '1 day 02:00', '@ 1 hour ago'. Months, days and microseconds are
// kept apart, since a month and a day have no fixed length.
struct Interval {
    int64_t months = 0, days = 0, micros = 0;
};

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

std::string text_of(sqlite3_value *v) {
    const unsigned char *t = sqlite3_value_text(v);
    return t ? std::string(reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_value_bytes(v))) : "";
}

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

// date_part(field, time): a number (a whole one as an integer).
void date_part(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    std::string field = lower(text_of(argv[0]));
    Moment m;
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
    if (value == std::trunc(value) && std::fabs(value) < 9e15) sqlite3_result_int64(ctx, static_cast<int64_t>(value));
    else sqlite3_result_double(ctx, value);
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

}  // namespace

namespace qx {

bool install_time_functions(sqlite3 *db, std::string *error) {
    const struct {
        const char *name;
        int arguments;
        void (*call)(sqlite3_context *, int, sqlite3_value **);
    } functions[] = {
        {"date_part", 2, date_part}, {"date_trunc", 2, date_trunc},     {"make_date", 3, make_date},
        {"to_timestamp", 1, to_timestamp}, {"pg_time_arith", 4, time_arith},
    };
    for (const auto &f : functions) {
        if (sqlite3_create_function_v2(db, f.name, f.arguments, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, f.call,
                                       nullptr, nullptr, nullptr) != SQLITE_OK) {
            if (error) *error = std::string("cannot create ") + f.name + "(): " + sqlite3_errmsg(db);
            return false;
        }
    }
    return true;
}

}  // namespace qx
