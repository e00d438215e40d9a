#include "sql/session_settings.h"

#include <sqlite3.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.h"

namespace qx {
namespace {

enum class Kind {
    fixed,        // shown, never set
    text,         // any text
    boolean,      // on or off
    choice,       // one of `choices`
    integer,      // a whole number within `low` .. `high`
    encoding,     // client_encoding: UTF8 only
    date_style,   // DateStyle: the ISO style, any field order
    time_zone,    // TimeZone: UTC only
    on_only,      // standard_conforming_strings: on
    transaction,  // set by SET TRANSACTION and its SET forms, shown from the block
    duration,     // milliseconds, or a number with a unit (us, ms, s, min, h, d); 0: none
};

struct Known {
    const char *name;  // as ParameterStatus and SHOW ALL give it
    const char *default_value;
    Kind kind;
    bool reported;  // sent in ParameterStatus when it changes
    const char *description;
    const char *choices = nullptr;  // for Kind::choice: ", " between them
    long low = 0, high = 0;         // for Kind::integer
};

const Known kKnown[] = {
    {"application_name", "", Kind::text, true, "Sets the application name to be reported in statistics and logs."},
    {"client_encoding", "UTF8", Kind::encoding, true, "Sets the client's character set encoding."},
    {"client_min_messages", "notice", Kind::choice, false, "Sets the message levels that are sent to the client.",
     "debug5, debug4, debug3, debug2, debug1, log, notice, warning, error"},
    {"DateStyle", "ISO, MDY", Kind::date_style, true, "Sets the display format for date and time values."},
    {"default_transaction_deferrable", "off", Kind::boolean, false,
     "Sets the default deferrable status of new transactions."},
    {"default_transaction_isolation", "serializable", Kind::choice, false,
     "Sets the transaction isolation level of each new transaction.",
     "serializable, repeatable read, read committed, read uncommitted"},
    {"default_transaction_read_only", "off", Kind::boolean, false,
     "Sets the default read-only status of new transactions."},
    {"extra_float_digits", "1", Kind::integer, false,
     "Sets the number of digits displayed for floating-point values.", nullptr, -15, 3},
    {"integer_datetimes", "on", Kind::fixed, true, "Shows whether datetimes are integer based."},
    {"idle_in_transaction_session_timeout", "0", Kind::duration, false,
     "Sets the maximum allowed idle time between queries, when in a transaction.", nullptr, 0, 2147483647},
    {"idle_session_timeout", "0", Kind::duration, false,
     "Sets the maximum allowed idle time between queries, when not in a transaction.", nullptr, 0, 2147483647},
    {"lock_timeout", "0", Kind::duration, false,
     "Sets the maximum allowed duration of any wait for a lock (0: the server's, 5 s).", nullptr, 0, 2147483647},
    {"IntervalStyle", "postgres", Kind::choice, true, "Sets the display format for interval values.",
     "postgres, postgres_verbose, sql_standard, iso_8601"},
    // PostgreSQL's, which clients bound their reading of keys by (JDBC joins a series
    // of that length to every key); SQLite would index up to 2000 columns.
    {"max_index_keys", "32", Kind::fixed, false, "Shows the maximum number of index keys."},
    {"is_superuser", "off", Kind::fixed, true, "Shows whether the current user is a superuser."},
    {"password_encryption", "scram-sha-256", Kind::fixed, false, "Chooses the algorithm for encrypting passwords."},
    {"search_path", "\"$user\", public", Kind::text, false, "Sets the schema search order for names."},
    {"server_encoding", "UTF8", Kind::fixed, true, "Shows the server (database) character set encoding."},
    // So that clients speak today's protocol.
    {"server_version", "15.0 (Quendrix server 0.1.0)", Kind::fixed, true, "Shows the server version."},
    {"server_version_num", "150000", Kind::fixed, false, "Shows the server version as an integer."},
    {"session_authorization", "", Kind::fixed, true, "Sets the session user name."},
    {"statement_timeout", "0", Kind::duration, false, "Sets the maximum allowed duration of any statement.",
     nullptr, 0, 2147483647},
    {"standard_conforming_strings", "on", Kind::on_only, true,
     "Causes '...' strings to treat backslashes literally."},
    {"TimeZone", "UTC", Kind::time_zone, true, "Sets the time zone for displaying and interpreting time stamps."},
    {"transaction_deferrable", "off", Kind::transaction, false,
     "Whether to defer a read-only serializable transaction until it can be executed."},
    {"transaction_isolation", "serializable", Kind::transaction, false,
     "Sets the current transaction's isolation level."},
    {"transaction_read_only", "off", Kind::transaction, false, "Sets the current transaction's read-only status."},
};

std::string lower(const std::string &s) {
    std::string out = s;
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

const Known *known(const std::string &key) {
    for (const Known &k : kKnown)
        if (strcasecmp(k.name, key.c_str()) == 0) return &k;
    return nullptr;
}

// A name with a dot is an extension's setting: PostgreSQL keeps any value under it. Its
// parts are names (no blanks, quotes or '=').
bool is_custom(const std::string &key) {
    size_t dot = key.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 >= key.size()) return false;
    for (char c : key)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '$' && c != '.') return false;
    return true;
}

SqlError invalid_value(const std::string &name, const std::string &value, const std::string &detail = "") {
    return {"22023", "",
            "invalid value for parameter \"" + name + "\": \"" + value + "\"" + (detail.empty() ? "" : ": " + detail)};
}

bool parse_boolean(const std::string &value, std::string *out) {
    std::string v = lower(value);
    auto prefix_of = [&](const char *word) { return !v.empty() && std::strncmp(word, v.c_str(), v.size()) == 0; };
    if (v == "on" || prefix_of("true") || prefix_of("yes") || v == "1") return *out = "on", true;
    if (v == "of" || v == "off" || prefix_of("false") || prefix_of("no") || v == "0") return *out = "off", true;
    return false;
}

bool is_utc(const std::string &value) {
    static const char *const kUtc[] = {"utc", "etc/utc", "uct", "etc/uct", "gmt", "etc/gmt", "gmt0", "etc/gmt0",
                                       "gmt+0", "etc/gmt+0", "gmt-0", "etc/gmt-0", "greenwich", "etc/greenwich",
                                       "universal", "etc/universal", "zulu", "etc/zulu", "z", "0", "+0", "-0",
                                       "00:00", "+00:00", "-00:00", "+00", "-00", "0.0"};
    std::string v = lower(value);
    for (const char *u : kUtc)
        if (v == u) return true;
    return false;
}

// DateStyle: words for the style of output (only ISO is written here) and for the
// order of fields in dates that are read, in any order, separated by commas or blanks.
bool parse_date_style(const std::string &value, const std::string &current, std::string *out, SqlError *error) {
    std::string order = current.substr(current.find(',') + 2);
    std::string word;
    std::vector<std::string> words;
    for (size_t i = 0; i <= value.size(); ++i) {
        char c = i < value.size() ? value[i] : ',';
        if (c == ',' || std::isspace(static_cast<unsigned char>(c))) {
            if (!word.empty()) words.push_back(lower(word));
            word.clear();
        } else {
            word += c;
        }
    }
    for (const std::string &w : words) {
        if (w == "iso" || w == "default") {
            if (w == "default") order = "MDY";
        } else if (w == "sql" || w == "postgres" || w == "german") {
            *error = invalid_value("DateStyle", value, "dates are written in the ISO style only");
            return false;
        } else if (w == "ymd") {
            order = "YMD";
        } else if (w == "dmy" || w == "euro" || w == "european") {
            order = "DMY";
        } else if (w == "mdy" || w == "us" || w == "noneuro" || w == "noneuropean") {
            order = "MDY";
        } else {
            *error = invalid_value("DateStyle", value, "unrecognized key word \"" + w + "\"");
            return false;
        }
    }
    if (words.empty()) {
        *error = invalid_value("DateStyle", value);
        return false;
    }
    *out = "ISO, " + order;
    return true;
}

// A time in milliseconds, as PostgreSQL reads it ("5000", "5s", "1.5 min") and shows it:
// in the largest unit that gives a whole number ("5s", "1500ms", "0").
// The milliseconds a time stands for (rounded), or false when it is none.
bool milliseconds(const std::string &value, double *ms) {
    errno = 0;
    char *end = nullptr;
    double n = std::strtod(value.c_str(), &end);
    std::string unit = end ? end : "";
    while (!unit.empty() && std::isspace(static_cast<unsigned char>(unit[0]))) unit.erase(0, 1);
    static const struct {
        const char *unit;
        double ms;
    } kUnits[] = {{"", 1}, {"us", 0.001}, {"ms", 1}, {"s", 1000}, {"min", 60000}, {"h", 3600000}, {"d", 86400000}};
    double factor = 0;
    for (const auto &u : kUnits)
        if (unit == u.unit) factor = u.ms;
    if (value.empty() || end == value.c_str() || errno == ERANGE || factor == 0 || n != n) return false;
    *ms = std::round(n * factor);
    return true;
}

bool parse_duration(const Known &k, const std::string &value, std::string *out, SqlError *error) {
    double ms = 0;
    if (!milliseconds(value, &ms)) {
        *error = invalid_value(k.name, value, "a time is a number of milliseconds, or a number with a unit: us, "
                                              "ms, s, min, h or d");
        return false;
    }
    if (ms < static_cast<double>(k.low) || ms > static_cast<double>(k.high)) {
        *error = {"22023", "",
                  value + " is outside the valid range for parameter \"" + k.name + "\" (" + std::to_string(k.low) +
                      " .. " + std::to_string(k.high) + " ms)"};
        return false;
    }
    long long whole = static_cast<long long>(ms);
    static const struct {
        const char *unit;
        long long ms;
    } kShown[] = {{"d", 86400000}, {"h", 3600000}, {"min", 60000}, {"s", 1000}};
    *out = whole == 0 ? "0" : std::to_string(whole) + "ms";
    for (const auto &u : kShown)
        if (whole != 0 && whole % u.ms == 0) {
            *out = std::to_string(whole / u.ms) + u.unit;
            break;
        }
    return true;
}

// `value` in the form the setting shows it, or false with the error.
bool normalise(const Known &k, const std::string &value, const std::string &current, std::string *out,
               SqlError *error) {
    switch (k.kind) {
        case Kind::text:
            *out = value;
            if (std::strcmp(k.name, "application_name") == 0) {
                // As PostgreSQL keeps it: printable ASCII, at most 63 bytes.
                for (char &c : *out)
                    if (c < 32 || c > 126) c = '?';
                if (out->size() > 63) out->resize(63);
            }
            return true;
        case Kind::boolean:
            if (parse_boolean(value, out)) return true;
            *error = {"22023", "", std::string("parameter \"") + k.name + "\" requires a Boolean value"};
            return false;
        case Kind::on_only:
            if (parse_boolean(value, out) && *out == "on") return true;
            *error = invalid_value(k.name, value, "strings are always read as the SQL standard has them");
            return false;
        case Kind::choice: {
            std::string v = lower(value), list = k.choices;
            for (size_t at = 0; at < list.size();) {
                size_t end = list.find(", ", at);
                if (end == std::string::npos) end = list.size();
                if (v == list.substr(at, end - at)) return *out = v, true;
                at = end + 2;
            }
            *error = invalid_value(k.name, value, std::string("available values: ") + k.choices);
            return false;
        }
        case Kind::integer: {
            errno = 0;
            char *end = nullptr;
            long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno == ERANGE) {
                *error = invalid_value(k.name, value);
                return false;
            }
            if (n < k.low || n > k.high) {
                *error = {"22023", "",
                          value + " is outside the valid range for parameter \"" + k.name + "\" (" +
                              std::to_string(k.low) + " .. " + std::to_string(k.high) + ")"};
                return false;
            }
            *out = std::to_string(n);
            return true;
        }
        case Kind::encoding: {
            std::string v = lower(value);
            if (v == "utf8" || v == "utf-8" || v == "unicode") return *out = "UTF8", true;
            *error = invalid_value(k.name, value, "this server sends and receives UTF8 only");
            return false;
        }
        case Kind::date_style:
            return parse_date_style(value, current, out, error);
        case Kind::duration:
            return parse_duration(k, value, out, error);
        case Kind::time_zone:
            if (is_utc(value)) return *out = "UTC", true;
            *error = invalid_value(k.name, value, "times are written in UTC only");
            return false;
        case Kind::fixed:
        case Kind::transaction:
            break;
    }
    *error = {"55P02", "", std::string("parameter \"") + k.name + "\" cannot be changed"};
    return false;
}

}  // namespace

SessionSettings::SessionSettings() {
    for (const Known &k : kKnown)
        if (k.kind != Kind::transaction) values_[lower(k.name)].session = defaults_[lower(k.name)] = k.default_value;
}

void SessionSettings::start(const std::string &user, bool is_admin,
                            const std::vector<std::pair<std::string, std::string>> &startup) {
    may_have_changed_ = true;
    values_["is_superuser"].session = defaults_["is_superuser"] = is_admin ? "on" : "off";
    values_["session_authorization"].session = defaults_["session_authorization"] = user;
    for (const auto &p : startup) {
        std::string key = lower(p.first);
        const Known *k = known(key);
        std::string value;
        SqlError ignored;
        if (k && k->kind != Kind::fixed && k->kind != Kind::transaction &&
            normalise(*k, p.second, values_[key].session, &value, &ignored))
            values_[key].session = defaults_[key] = value;
    }
}

const SessionSettings::Value *SessionSettings::find(const std::string &key) const {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
}

bool SessionSettings::settable(const std::string &name, SqlError *error) const {
    std::string key = lower(name);
    const Known *k = known(key);
    if (!k) {
        if (is_custom(key)) return true;
        *error = {"42704", "", "unrecognized configuration parameter \"" + name + "\""};
        return false;
    }
    if (k->kind == Kind::fixed) {
        *error = {"55P02", "", "parameter \"" + key + "\" cannot be changed"};
        return false;
    }
    if (k->kind == Kind::transaction) {
        *error = {"0A000", "", "parameter \"" + key + "\" is set with SET TRANSACTION"};
        return false;
    }
    return true;
}

void SessionSettings::save_for_block(bool in_block) {
    if (!in_block || saved_) return;
    before_block_ = values_;
    saved_ = true;
}

bool SessionSettings::set(const std::string &name, const std::string *value, bool local, bool in_block,
                          SqlError *error, std::string *shown) {
    if (!settable(name, error)) return false;
    std::string key = lower(name);
    const Known *k = known(key);
    const Value *now = find(key);
    std::string normal;
    if (!value) {
        auto it = defaults_.find(key);
        normal = it != defaults_.end() ? it->second : "";
    } else if (!k) {
        normal = *value;
    } else if (!normalise(*k, *value, now ? now->effective() : k->default_value, &normal, error)) {
        return false;
    }
    if (shown) *shown = normal;
    // SET LOCAL outside a block would end at once; PostgreSQL warns and changes nothing.
    if (local && !in_block) return true;
    save_for_block(in_block);
    may_have_changed_ = true;
    Value &v = values_[key];
    if (local) {
        v.local = normal;
        v.has_local = true;
    } else {
        v.session = normal;
        v.has_local = false;
    }
    return true;
}

void SessionSettings::reset_all(bool in_block) {
    save_for_block(in_block);
    may_have_changed_ = true;
    for (const Known &k : kKnown) {
        if (k.kind == Kind::fixed || k.kind == Kind::transaction) continue;
        Value &v = values_[lower(k.name)];
        v.session = defaults_[lower(k.name)];
        v.has_local = false;
    }
}

bool SessionSettings::show(const std::string &name, std::string *value, SqlError *error,
                           std::string *canonical_name) const {
    std::string key = lower(name);
    const Known *k = known(key);
    const Value *v = find(key);
    if (k && k->kind == Kind::transaction) {
        *value = k->default_value;
    } else if (v) {
        *value = v->effective();
    } else {
        *error = {"42704", "", "unrecognized configuration parameter \"" + name + "\""};
        return false;
    }
    if (canonical_name) *canonical_name = k ? k->name : key;
    return true;
}

std::vector<std::vector<std::string>> SessionSettings::all() const {
    std::vector<std::vector<std::string>> rows;
    for (const Known &k : kKnown) {
        std::string value;
        SqlError ignored;
        show(k.name, &value, &ignored);
        rows.push_back({k.name, value, k.description});
    }
    return rows;
}

std::vector<std::string> SessionSettings::names() {
    std::vector<std::string> names;
    for (const Known &k : kKnown) names.push_back(k.name);
    return names;
}

void SessionSettings::block_ended(bool committed) {
    savepoints_.clear();
    if (!saved_) return;  // nothing was set in the block
    may_have_changed_ = true;
    if (!committed) values_ = before_block_;
    for (auto &v : values_) v.second.has_local = false;
    saved_ = false;
    before_block_.clear();
}

size_t SessionSettings::find_savepoint(const std::string &name) const {
    for (size_t k = savepoints_.size(); k-- > 0;)
        if (strcasecmp(savepoints_[k].first.c_str(), name.c_str()) == 0) return k;
    return savepoints_.size();
}

void SessionSettings::savepoint(const std::string &name) { savepoints_.emplace_back(name, values_); }

void SessionSettings::release_savepoint(const std::string &name) {
    savepoints_.resize(find_savepoint(name));
}

void SessionSettings::rollback_to_savepoint(const std::string &name) {
    size_t k = find_savepoint(name);
    if (k == savepoints_.size()) return;
    values_ = savepoints_[k].second;
    savepoints_.resize(k + 1);  // the savepoint itself stays, as in SQL
    may_have_changed_ = true;
}

long SessionSettings::statement_timeout_ms() const {
    static const std::string key = "statement_timeout";  // asked before every statement
    return duration_ms(key);
}

long SessionSettings::lock_timeout_ms() const {
    static const std::string key = "lock_timeout";  // asked before every statement
    return duration_ms(key);
}

long SessionSettings::idle_timeout_ms(bool in_block) const {
    static const std::string idle = "idle_session_timeout", in_transaction = "idle_in_transaction_session_timeout";
    return duration_ms(in_block ? in_transaction : idle);
}

long SessionSettings::duration_ms(const std::string &key) const {
    // The value is kept in the form SHOW shows it, which reads back as the same time.
    const Value *v = find(key);
    double ms = 0;
    if (!v || v->effective() == "0" || !milliseconds(v->effective(), &ms)) return 0;
    return static_cast<long>(ms);
}

bool SessionSettings::default_read_only() const {
    static const std::string key = "default_transaction_read_only";  // asked after every statement
    const Value *v = find(key);
    return v && v->effective() == "on";
}

std::vector<std::pair<std::string, std::string>> SessionSettings::changed_reports() {
    std::vector<std::pair<std::string, std::string>> changed;
    if (!may_have_changed_) return changed;
    may_have_changed_ = false;
    for (const Known &k : kKnown) {
        if (!k.reported) continue;
        const std::string &value = find(lower(k.name))->effective();
        auto it = reported_.find(k.name);
        if (it != reported_.end() && it->second == value) continue;
        reported_[k.name] = value;
        changed.emplace_back(k.name, value);
    }
    return changed;
}

bool boolean_setting(const std::string &value, bool *on) {
    std::string normal;
    if (!parse_boolean(value, &normal)) return false;
    *on = normal == "on";
    return true;
}

namespace {

std::string text_argument(sqlite3_value *v) {
    const unsigned char *t = sqlite3_value_text(v);
    return t ? reinterpret_cast<const char *>(t) : "";
}

// What the connection has now, for the settings of its transaction.
bool read_only_now(sqlite3 *db) {
    sqlite3_stmt *stmt = nullptr;
    bool on = false;
    if (sqlite3_prepare_v2(db, "PRAGMA query_only", -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
        on = sqlite3_column_int(stmt, 0) != 0;
    sqlite3_finalize(stmt);
    return on;
}

// SQLite calls these: no exception may leave them.
template <void (*Body)(sqlite3_context *, int, sqlite3_value **)>
void without_exceptions(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    try {
        Body(ctx, argc, argv);
    } catch (const std::bad_alloc &) {
        sqlite3_result_error_nomem(ctx);
    }
}

void current_setting(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    auto *client = static_cast<qx_client *>(sqlite3_user_data(ctx));
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    std::string name = text_argument(argv[0]), value;
    SqlError error;
    if (lower(name) == "transaction_read_only") {
        value = read_only_now(client->db) ? "on" : "off";
    } else if (!client->settings.show(name, &value, &error)) {
        bool missing_ok = argc > 1 && sqlite3_value_int(argv[1]) != 0;
        return missing_ok && error.state == "42704" ? sqlite3_result_null(ctx) : result_sql_error(ctx, error);
    }
    sqlite3_result_text(ctx, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

void set_config(sqlite3_context *ctx, int, sqlite3_value **argv) {
    auto *client = static_cast<qx_client *>(sqlite3_user_data(ctx));
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        return result_sql_error(ctx, {"22004", "", "SET requires parameter name"});
    }
    std::string name = text_argument(argv[0]), value = text_argument(argv[1]), shown;
    bool local = sqlite3_value_int(argv[2]) != 0;
    SqlError error;
    // A null value sets the default, as SET ... TO DEFAULT does.
    const std::string *given = sqlite3_value_type(argv[1]) == SQLITE_NULL ? nullptr : &value;
    if (!client->settings.set(name, given, local, !sqlite3_get_autocommit(client->db), &error, &shown))
        return result_sql_error(ctx, error);
    sqlite3_result_text(ctx, shown.c_str(), static_cast<int>(shown.size()), SQLITE_TRANSIENT);
}

}  // namespace

bool install_setting_functions(qx_client *client, std::string *error) {
    // set_config changes the session: no trigger or view may call it on a user's behalf.
    int rc = SQLITE_OK;
    for (int n : {1, 2})
        if (rc == SQLITE_OK)
            rc = sqlite3_create_function_v2(client->db, "current_setting", n, SQLITE_UTF8, client,
                                            without_exceptions<current_setting>, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_function_v2(client->db, "set_config", 3, SQLITE_UTF8 | SQLITE_DIRECTONLY, client,
                                        without_exceptions<set_config>, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) *error = sqlite3_errmsg(client->db);
    return rc == SQLITE_OK;
}

}  // namespace qx
