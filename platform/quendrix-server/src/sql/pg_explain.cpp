// EXPLAIN as PostgreSQL's clients send it (EXPLAIN [ANALYZE] [VERBOSE] [(options)]
// statement) and read it: one text column, "QUERY PLAN", a row per step of the plan, a
// step inside another indented under it with "->". SQLite's EXPLAIN would list its
// virtual machine's instructions and its EXPLAIN QUERY PLAN four columns; the statement
// becomes SELECT "QUERY PLAN" FROM pg_query_plan('statement'), whose table asks SQLite
// for the plan of the statement (as the server rewrites it) and writes the steps so.
// The statement is not run: ANALYZE shows the plan without times.
#include <sqlite3.h>

#include <map>
#include <string>
#include <vector>

#include "internal.h"
#include "sql/sql_lexer.h"

namespace {

using qx::SqlToken;

struct PlanTable {
    sqlite3_vtab base;
    sqlite3 *db;
};

struct PlanCursor {
    sqlite3_vtab_cursor base;
    std::vector<std::string> lines;
    size_t row = 0;
};

int plan_connect(sqlite3 *db, void *, int, const char *const *, sqlite3_vtab **out, char **) {
    int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(\"QUERY PLAN\", statement HIDDEN)");
    if (rc != SQLITE_OK) return rc;
    auto *table = static_cast<PlanTable *>(sqlite3_malloc(sizeof(PlanTable)));
    if (!table) return SQLITE_NOMEM;
    table->base = sqlite3_vtab{};
    table->db = db;
    *out = &table->base;
    return SQLITE_OK;
}

int plan_disconnect(sqlite3_vtab *vtab) {
    sqlite3_free(vtab);
    return SQLITE_OK;
}

int plan_best_index(sqlite3_vtab *vtab, sqlite3_index_info *info) {
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto &c = info->aConstraint[i];
        if (c.iColumn != 1 || c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
        if (!c.usable) return SQLITE_CONSTRAINT;
        info->aConstraintUsage[i].argvIndex = 1;
        info->aConstraintUsage[i].omit = 1;
        info->estimatedCost = 10;
        return SQLITE_OK;
    }
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = sqlite3_mprintf("pg_query_plan needs a statement");
    return SQLITE_ERROR;
}

int plan_open(sqlite3_vtab *, sqlite3_vtab_cursor **out) {
    *out = &(new PlanCursor)->base;
    return SQLITE_OK;
}

int plan_close(sqlite3_vtab_cursor *cursor) {
    delete reinterpret_cast<PlanCursor *>(cursor);
    return SQLITE_OK;
}

int plan_filter(sqlite3_vtab_cursor *cursor, int, const char *, int argc, sqlite3_value **argv) {
    auto *c = reinterpret_cast<PlanCursor *>(cursor);
    sqlite3 *db = reinterpret_cast<PlanTable *>(cursor->pVtab)->db;
    c->lines.clear();
    c->row = 0;
    const unsigned char *text = argc > 0 ? sqlite3_value_text(argv[0]) : nullptr;
    std::string sql = "EXPLAIN QUERY PLAN " + std::string(text ? reinterpret_cast<const char *>(text) : "");
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_free(cursor->pVtab->zErrMsg);
        cursor->pVtab->zErrMsg = sqlite3_mprintf("%s", sqlite3_errmsg(db));
        return SQLITE_ERROR;
    }
    // Each step's depth is its parent's and one.
    std::map<int, int> depth;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        int id = sqlite3_column_int(stmt, 0), parent = sqlite3_column_int(stmt, 1);
        const unsigned char *detail = sqlite3_column_text(stmt, 3);
        int d = parent && depth.count(parent) ? depth[parent] + 1 : 0;
        depth[id] = d;
        std::string line = d ? std::string(static_cast<size_t>(6 * (d - 1) + 2), ' ') + "->  " : "";
        c->lines.push_back(line + (detail ? reinterpret_cast<const char *>(detail) : ""));
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) {
        sqlite3_free(cursor->pVtab->zErrMsg);
        cursor->pVtab->zErrMsg = sqlite3_mprintf("%s", sqlite3_errmsg(db));
        return SQLITE_ERROR;
    }
    if (c->lines.empty()) c->lines.push_back("Result");  // a statement without tables
    return SQLITE_OK;
}

int plan_next(sqlite3_vtab_cursor *cursor) {
    ++reinterpret_cast<PlanCursor *>(cursor)->row;
    return SQLITE_OK;
}

int plan_eof(sqlite3_vtab_cursor *cursor) {
    auto *c = reinterpret_cast<PlanCursor *>(cursor);
    return c->row >= c->lines.size();
}

int plan_column(sqlite3_vtab_cursor *cursor, sqlite3_context *ctx, int column) {
    auto *c = reinterpret_cast<PlanCursor *>(cursor);
    if (column == 0) sqlite3_result_text(ctx, c->lines[c->row].c_str(), -1, SQLITE_TRANSIENT);
    return SQLITE_OK;
}

int plan_rowid(sqlite3_vtab_cursor *cursor, sqlite3_int64 *rowid) {
    *rowid = static_cast<sqlite3_int64>(reinterpret_cast<PlanCursor *>(cursor)->row);
    return SQLITE_OK;
}

sqlite3_module plan_module() {
    sqlite3_module m{};
    m.xConnect = plan_connect;
    m.xBestIndex = plan_best_index;
    m.xDisconnect = plan_disconnect;
    m.xOpen = plan_open;
    m.xClose = plan_close;
    m.xFilter = plan_filter;
    m.xNext = plan_next;
    m.xEof = plan_eof;
    m.xColumn = plan_column;
    m.xRowid = plan_rowid;
    return m;
}

}  // namespace

namespace qx {

std::string explained_statement(const std::string &sql, const std::vector<SqlToken> &t, size_t from, size_t to) {
    if (from >= to || !t[from].is("explain")) return "";
    size_t k = from + 1;
    if (k < to && t[k].is_punct('(')) {  // (ANALYZE, COSTS OFF, FORMAT TEXT, ...)
        k = closing_parenthesis(t, k, to);
        if (k >= to) return "";
        ++k;
    }
    while (k < to && (t[k].is("analyze") || t[k].is("analyse") || t[k].is("verbose"))) ++k;
    if (k >= to || t[k].is("query")) return "";  // SQLite's EXPLAIN QUERY PLAN stays its own
    std::string statement = resolve_qualified_names(sql.substr(t[k].at, token_end(sql, t[to - 1]) - t[k].at));
    std::string quoted = "'";
    for (char c : statement) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return "SELECT \"QUERY PLAN\" FROM pg_query_plan(" + quoted + "')";
}

bool install_query_plan(sqlite3 *db, std::string *error) {
    static const sqlite3_module module = plan_module();
    if (sqlite3_create_module_v2(db, "pg_query_plan", &module, nullptr, nullptr) == SQLITE_OK) return true;
    if (error) *error = std::string("cannot create pg_query_plan: ") + sqlite3_errmsg(db);
    return false;
}

}  // namespace qx
