// What PostgreSQL's drivers read of its catalogue when they connect: the types
// (pg_type, with the functions that read and write them in pg_proc, and the empty
// pg_range and pg_enum), the schemas (pg_namespace: pg_catalog and public), and the
// database's tables, views and indexes (pg_class: in public, but for the server's table
// of users, which is pg_catalog's; with pg_am and pg_get_userbyid, which psql's lists
// of them read). Drivers look the types up to convert values (psycopg2's hstore check,
// Ruby's type maps), and toolkits ask pg_class whether a table exists before they
// create it. Each is a view in the connection's temporary schema, made when a statement
// first names one (see prepare_for_client), so it writes nothing to the database file
// and pg_class is always current; pg_catalog.X names them too (see
// resolve_qualified_names).
#include <sqlite3.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sql/pg_catalogue.h"

#include <cctype>

#include "auth/users.h"
#include "internal.h"

namespace {

struct BaseType {
    int oid;
    const char *name;
    int length;         // bytes; -1 varying, -2 a C string
    char category;      // PostgreSQL's typcategory
    int array_oid;      // the type of its arrays, 0 for none
    const char *io;     // its functions are io + in, out, recv, send
    const char *sql_name;  // as format_type() and regtype write it
};

// The types the server describes columns and parameters with, and those drivers look
// for when they map their own types (inet and cidr for addresses).
constexpr BaseType kTypes[] = {
    {16, "bool", 1, 'B', 1000, "bool", "boolean"},
    {17, "bytea", -1, 'U', 1001, "bytea", "bytea"},
    {18, "char", 1, 'Z', 1002, "char", "\"char\""},
    {19, "name", 64, 'S', 1003, "name", "name"},
    {20, "int8", 8, 'N', 1016, "int8", "bigint"},
    {21, "int2", 2, 'N', 1005, "int2", "smallint"},
    {23, "int4", 4, 'N', 1007, "int4", "integer"},
    {25, "text", -1, 'S', 1009, "text", "text"},
    {26, "oid", 4, 'N', 1028, "oid", "oid"},
    {114, "json", -1, 'U', 199, "json_", "json"},
    {142, "xml", -1, 'U', 143, "xml_", "xml"},
    {650, "cidr", -1, 'I', 651, "cidr_", "cidr"},
    {700, "float4", 4, 'N', 1021, "float4", "real"},
    {701, "float8", 8, 'N', 1022, "float8", "double precision"},
    {705, "unknown", -2, 'X', 0, "unknown", "unknown"},
    {869, "inet", -1, 'I', 1041, "inet_", "inet"},
    {1042, "bpchar", -1, 'S', 1014, "bpchar", "character"},
    {1043, "varchar", -1, 'S', 1015, "varchar", "character varying"},
    {1082, "date", 4, 'D', 1182, "date_", "date"},
    {1083, "time", 8, 'D', 1183, "time_", "time without time zone"},
    {1114, "timestamp", 8, 'D', 1115, "timestamp_", "timestamp without time zone"},
    {1184, "timestamptz", 8, 'D', 1185, "timestamptz_", "timestamp with time zone"},
    {1700, "numeric", -1, 'N', 1231, "numeric_", "numeric"},
    {2950, "uuid", 16, 'U', 2951, "uuid_", "uuid"},
    {3802, "jsonb", -1, 'U', 3807, "jsonb_", "jsonb"},
};

constexpr int kCatalogNamespace = 11;
constexpr int kPublicNamespace = 2200;
constexpr int kOwner = 10;
constexpr const char *kFunctionSuffixes[] = {"in", "out", "recv", "send"};

std::string quoted(const std::string &s) { return "'" + s + "'"; }

// pg_proc's rows: each type's four functions, then array_in, array_out, array_recv and
// array_send, which every array type shares. *first_oid[k] is the oid of type k's "in".
std::string proc_rows(std::vector<int> *first_oid) {
    std::string rows;
    int oid = 10000;
    auto add = [&](const std::string &io) {
        for (const char *suffix : kFunctionSuffixes) {
            if (!rows.empty()) rows += ",";
            rows += "(" + std::to_string(oid++) + "," + quoted(io + suffix) + "," +
                    std::to_string(kCatalogNamespace) + ")";
        }
    };
    for (const BaseType &t : kTypes) {
        first_oid->push_back(oid);
        add(t.io);
    }
    first_oid->push_back(oid);  // the arrays'
    add("array_");
    return rows;
}

std::string type_row(int oid, const std::string &name, int length, bool by_value, char category, int element,
                     int array_oid, int first_function) {
    std::string row = "(" + std::to_string(oid) + "," + quoted(name) + "," + std::to_string(kCatalogNamespace) +
                      "," + std::to_string(kOwner) + "," + std::to_string(length) + "," + (by_value ? "1" : "0") +
                      ",'b','" + category + "',0,1,','," + "0," + std::to_string(element) + "," +
                      std::to_string(array_oid);
    for (int k = 0; k < 4; ++k) row += "," + std::to_string(first_function + k);
    return row + ",0,0,-1,0," + (category == 'S' ? "100" : "0") + ")";
}

std::string catalogue_sql() {
    std::vector<int> functions;
    std::string procs = proc_rows(&functions);
    std::string types;
    const int array_functions = functions.back();
    for (size_t k = 0; k < sizeof kTypes / sizeof kTypes[0]; ++k) {
        const BaseType &t = kTypes[k];
        bool by_value = t.length > 0 && t.length <= 8;
        if (!types.empty()) types += ",";
        types += type_row(t.oid, t.name, t.length, by_value, t.category, 0, t.array_oid, functions[k]);
        if (t.array_oid)
            types += "," + type_row(t.array_oid, std::string("_") + t.name, -1, false, 'A', t.oid, 0, array_functions);
    }
    // Arrays are base types whose category is A, as in PostgreSQL.
    return "CREATE TEMP VIEW IF NOT EXISTS pg_namespace(oid, nspname, nspowner, nspacl) AS VALUES (" +
           std::to_string(kCatalogNamespace) + ",'pg_catalog'," + std::to_string(kOwner) + ",NULL),(" +
           std::to_string(kPublicNamespace) + ",'public'," + std::to_string(kOwner) + ",NULL);\n" +
           "CREATE TEMP VIEW IF NOT EXISTS pg_proc(oid, proname, pronamespace) AS VALUES " + procs + ";\n" +
           "CREATE TEMP VIEW IF NOT EXISTS pg_type(oid, typname, typnamespace, typowner, typlen, typbyval, "
           "typtype, typcategory, typispreferred, typisdefined, typdelim, typrelid, typelem, typarray, typinput, "
           "typoutput, typreceive, typsend, typnotnull, typbasetype, typtypmod, typndims, typcollation) AS VALUES " +
           types + ";\n" +
           "CREATE TEMP VIEW IF NOT EXISTS pg_range(rngtypid, rngsubtype, rngmultitypid, rngcollation, rngsubopc, "
           "rngcanonical, rngsubdiff) AS SELECT 0, 0, 0, 0, 0, 0, 0 WHERE 0;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_enum(oid, enumtypid, enumsortorder, enumlabel) AS "
           "SELECT 0, 0, 0.0, '' WHERE 0;\n"
           // The database's own objects (not SQLite's), by their row in its schema.
           "CREATE TEMP VIEW IF NOT EXISTS pg_class(oid, relname, relnamespace, reltype, relowner, relam, relkind, "
           "relpersistence, relispartition) AS SELECT rowid, name, "
           // The server's own table of users is its catalogue's, as PostgreSQL's roles are.
           "CASE name WHEN '" + std::string(qx::auth::kUsersTable) + "' THEN " + std::to_string(kCatalogNamespace) +
           " ELSE " + std::to_string(kPublicNamespace) + " END, 0, " + std::to_string(kOwner) +
           ", CASE type WHEN 'table' THEN 2 WHEN 'index' THEN 403 ELSE 0 END"
           ", CASE type WHEN 'table' THEN 'r' WHEN 'view' THEN 'v' ELSE 'i' END, 'p', 0 "
           "FROM main.sqlite_schema WHERE type IN ('table', 'view', 'index') AND name NOT LIKE 'sqlite\\_%' "
           "ESCAPE '\\';\n"
           // How tables and indexes are stored (psql's lists join it).
           "CREATE TEMP VIEW IF NOT EXISTS pg_am(oid, amname, amhandler, amtype) AS "
           "VALUES (2, 'heap', 0, 't'), (403, 'btree', 0, 'i');\n";
}

// pg_table_is_visible(oid): every table is in public, which every search path has.
void table_is_visible(sqlite3_context *ctx, int, sqlite3_value **) { sqlite3_result_int(ctx, 1); }

// pg_get_userbyid(oid): the objects' owner is the account the server runs as, its
// administrator; another id is no role, which PostgreSQL writes so.
void user_by_id(sqlite3_context *ctx, int, sqlite3_value **argv) {
    sqlite3_int64 id = sqlite3_value_int64(argv[0]);
    std::string name = "unknown (OID=" + std::to_string(id) + ")";
    if (id == kOwner && !qx::system_account_name(geteuid(), &name)) name = std::to_string(geteuid());
    sqlite3_result_text(ctx, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
}

}  // namespace

namespace qx {

int pg_type_oid(const std::string &written) {
    std::string name;
    if (written.size() >= 2 && written.front() == '"' && written.back() == '"') {
        name = written.substr(1, written.size() - 2);
        for (const BaseType &t : kTypes)
            if (name == t.name) return t.oid;
        return 0;
    }
    // Lower case, one blank between words, without a qualifier, length or array marks.
    bool array = false;
    for (size_t i = 0; i < written.size(); ++i) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(written[i])));
        if (c == '(') {
            size_t close = written.find(')', i);
            if (close == std::string::npos) return 0;
            i = close;
        } else if (c == '[') {
            size_t close = written.find(']', i);
            if (close == std::string::npos) return 0;
            array = true;
            i = close;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            if (!name.empty() && name.back() != ' ') name += ' ';
        } else {
            name += c;
        }
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name.compare(0, 11, "pg_catalog.") == 0) name.erase(0, 11);
    static const struct {
        const char *alias;
        int oid;
    } kAliases[] = {{"int", 23},      {"integer", 23},     {"smallint", 21}, {"bigint", 20},
                    {"boolean", 16},  {"real", 700},       {"float", 701},   {"double precision", 701},
                    {"character varying", 1043}, {"char varying", 1043}, {"character", 1042}, {"char", 1042},
                    {"decimal", 1700}, {"timestamp with time zone", 1184}, {"timestamp without time zone", 1114},
                    {"time without time zone", 1083}};
    int oid = 0;
    for (const auto &a : kAliases)
        if (name == a.alias) oid = a.oid;
    for (const BaseType &t : kTypes)
        if (!oid && (name == t.name || name == t.sql_name)) oid = t.oid;
    if (!array || !oid) return oid;
    for (const BaseType &t : kTypes)
        if (t.oid == oid) return t.array_oid;
    return 0;
}

bool pg_type_sql_name(int oid, std::string *name) {
    for (const BaseType &t : kTypes) {
        if (t.oid == oid) {
            *name = t.sql_name;
            return true;
        }
        if (t.array_oid && t.array_oid == oid) {
            *name = std::string(t.sql_name) + "[]";
            return true;
        }
    }
    return false;
}


bool install_pg_catalogue(sqlite3 *db, std::string *error) {
    static const std::string sql = catalogue_sql();
    // A read-only session reads them too: its query_only would refuse making them.
    bool read_only = false;
    sqlite3_stmt *mode = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA query_only", -1, &mode, nullptr) == SQLITE_OK && sqlite3_step(mode) == SQLITE_ROW)
        read_only = sqlite3_column_int(mode, 0) != 0;
    sqlite3_finalize(mode);
    if (read_only) sqlite3_exec(db, "PRAGMA query_only = 0", nullptr, nullptr, nullptr);
    char *message = nullptr;
    bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK &&
              sqlite3_create_function_v2(db, "pg_table_is_visible", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                         table_is_visible, nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_create_function_v2(db, "pg_get_userbyid", 1, SQLITE_UTF8, nullptr, user_by_id, nullptr,
                                         nullptr, nullptr) == SQLITE_OK;
    if (!ok && error)
        *error = std::string("cannot create the pg_catalog views: ") + (message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    if (read_only) sqlite3_exec(db, "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
    return ok;
}

}  // namespace qx
