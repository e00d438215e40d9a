// A session's run-time settings as PostgreSQL clients set and read them (SET, RESET,
// SHOW, set_config, current_setting, and the start-up packet). Drivers set some of
// them on every connection (extra_float_digits and application_name, client_min_messages,
// the time zone) and read others back; a value this server cannot honour (a time zone
// other than UTC, a date style other than ISO, an encoding other than UTF8) is
// refused rather than reported as set. As in PostgreSQL, a SET inside a transaction
// block is undone when the block rolls back, and SET LOCAL lasts until the block ends.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct qx_client;

namespace qx {

struct SqlError;

class SessionSettings {
public:
    SessionSettings();

    // What a session starts with: who it is (is_superuser, session_authorization) and
    // the settings of the client's start-up packet, which are then what RESET goes back
    // to. A start-up setting that is unknown or that cannot be honoured keeps its default,
    // as clients of this server always had.
    void start(const std::string &user, bool is_admin,
               const std::vector<std::pair<std::string, std::string>> &startup);

    // SET name = value (`value` null: DEFAULT), SET LOCAL when `local`. `in_block`: a
    // transaction block is open, whose end decides whether the change stays.
    // *shown (when given) is the value in the form SHOW shows it.
    bool set(const std::string &name, const std::string *value, bool local, bool in_block, SqlError *error,
             std::string *shown = nullptr);
    // RESET ALL.
    void reset_all(bool in_block);
    // The value SHOW shows, under the setting's own name in *canonical_name.
    bool show(const std::string &name, std::string *value, SqlError *error,
              std::string *canonical_name = nullptr) const;
    // Every setting's name, value and description, for SHOW ALL.
    std::vector<std::vector<std::string>> all() const;
    // The names of the settings SHOW ALL shows, in its order.
    static std::vector<std::string> names();
    // Whether `name` is a setting that SET or set_config may change (before any check of
    // a value): false with the error PostgreSQL gives otherwise.
    bool settable(const std::string &name, SqlError *error) const;

    // The transaction block ended, committed or rolled back.
    void block_ended(bool committed);
    // A savepoint of the block was made, released, or rolled back to: ROLLBACK TO
    // undoes what was set since, RELEASE keeps it. Names compare as SQLite's do (in
    // any case).
    void savepoint(const std::string &name);
    void release_savepoint(const std::string &name);
    void rollback_to_savepoint(const std::string &name);

    // SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY, as default_transaction_read_only.
    bool default_read_only() const;
    // statement_timeout in milliseconds; 0 for none.
    long statement_timeout_ms() const;
    // lock_timeout, likewise (0: the server's own wait).
    long lock_timeout_ms() const;
    // idle_in_transaction_session_timeout (in a block) or idle_session_timeout, likewise.
    long idle_timeout_ms(bool in_block) const;

    // The settings clients are told of (ParameterStatus) whose value changed since the
    // last call; every one of them at the first call.
    std::vector<std::pair<std::string, std::string>> changed_reports();

private:
    struct Value {
        std::string session;
        std::string local;
        bool has_local = false;
        const std::string &effective() const { return has_local ? local : session; }
    };
    const Value *find(const std::string &key) const;
    long duration_ms(const std::string &key) const;
    void save_for_block(bool in_block);

    std::map<std::string, Value> values_;  // by lower-case name
    // What RESET and DEFAULT go back to: the built-in values, or the start-up's.
    std::map<std::string, std::string> defaults_;
    std::map<std::string, std::string> reported_;
    bool saved_ = false;
    std::map<std::string, Value> before_block_;
    // The block's savepoints, oldest first, with the settings as each found them.
    std::vector<std::pair<std::string, std::map<std::string, Value>>> savepoints_;
    // The newest savepoint of that name; savepoints_.size() when there is none.
    size_t find_savepoint(const std::string &name) const;
    bool may_have_changed_ = true;  // since changed_reports() looked: it is called after every query
};

// Whether `value` is one of the ways to say on or off, as PostgreSQL reads them.
bool boolean_setting(const std::string &value, bool *on);

// current_setting(name [, missing_ok]) and set_config(name, value, is_local) in SQL,
// over the client's settings.
bool install_setting_functions(qx_client *client, std::string *error);

}  // namespace qx
