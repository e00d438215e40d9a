// The shell's own commands, lines that start with '.': they change how results
// are shown or describe the database, and are not SQL.
#include <sqlite3.h>

#include <sstream>
#include <vector>

#include "internal.h"

namespace {

std::vector<std::string> words_of(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool fail(FILE *err, const std::string &message) {
    qx::print_error(err, {"42601", "", message});
    return false;
}

// Prints the first column of each row of `sql` (with ?1 bound to `arg` when it is
// given), each followed by `suffix`.
bool print_rows(qx::Session &session, const char *sql, const std::string *arg,
                const char *suffix, FILE *out, FILE *err) {
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(session.db(), sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK && arg)
        rc = sqlite3_bind_text(stmt, 1, arg->c_str(), -1, SQLITE_TRANSIENT);
    while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const unsigned char *text = sqlite3_column_text(stmt, 0);
        std::fprintf(out, "%s%s\n", text ? reinterpret_cast<const char *>(text) : "", suffix);
        rc = SQLITE_OK;
    }
    sqlite3_finalize(stmt);
    std::fflush(out);
    if (rc == SQLITE_DONE) return true;
    qx::print_error(err, qx::decode_error(sqlite3_errmsg(session.db()), rc));
    return false;
}

// Tables and views the user made, by name; SQLite's own are left out.
constexpr const char *kTables =
    "SELECT name FROM main.sqlite_schema WHERE type IN ('table', 'view') "
    "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name";
// The statements that made them, each table's or view's before its indexes and
// triggers; ?1 picks one table (any case) when it is not null.
constexpr const char *kSchema =
    "SELECT sql FROM main.sqlite_schema WHERE sql IS NOT NULL "
    "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' AND (?1 IS NULL OR tbl_name = ?1 COLLATE NOCASE) "
    "ORDER BY tbl_name, type NOT IN ('table', 'view'), name";

constexpr const char *kHelp =
    ".headers on|off   show the column names above each result\n"
    ".tables           list the tables and views\n"
    ".schema [TABLE]   show the statements that made the tables (or TABLE), their\n"
    "                  indexes and triggers\n"
    ".help             show this list\n"
    ".quit, .exit      end the shell (Ctrl-D at the prompt does too)\n";

}  // namespace

namespace qx {

bool run_shell_command(Session &session, const std::string &line, FILE *out, FILE *err,
                       bool *quit) {
    std::vector<std::string> w = words_of(line);
    const std::string &name = w[0];
    size_t args = w.size() - 1;
    if ((name == ".quit" || name == ".exit") && args == 0) {
        *quit = true;
        return true;
    }
    if (name == ".headers") {
        if (args != 1 || (w[1] != "on" && w[1] != "off"))
            return fail(err, "usage: .headers on|off");
        session.set_headers(w[1] == "on");
        return true;
    }
    if (name == ".tables") {
        if (args != 0) return fail(err, "usage: .tables");
        return print_rows(session, kTables, nullptr, "", out, err);
    }
    if (name == ".schema") {
        if (args > 1) return fail(err, "usage: .schema [TABLE]");
        return print_rows(session, kSchema, args ? &w[1] : nullptr, ";", out, err);
    }
    if (name == ".help" && args == 0) {
        std::fputs(kHelp, out);
        std::fflush(out);
        return true;
    }
    return fail(err, "unknown shell command \"" + line.substr(line.find('.')) +
                         "\"; .help lists the commands");
}

}  // namespace qx
