// The key catalogue DB.DBA.SYS_KEYS: one row per key of the database, where a
// key is a table's main key (the order its rows are stored in) or one of its
// indexes. It is a view over SQLite's own schema in each connection's temporary
// schema, so it is always current and never writes to the database file.
//
//   KEY_TABLE          the table
//   KEY_NAME           the table's name for its main key, else the index's name
//   KEY_ID             the key's number in the database's schema
//   KEY_N_SIGNIFICANT  the columns that identify a row: the primary key's columns
//                      (1, the row id, when none is declared), an index's columns
//   KEY_CLUSTER_ON_ID  KEY_ID of the table's main key
//   KEY_IS_MAIN        1 for a table's main key, 0 for an index
//   KEY_IS_OBJECT_ID   0 (the server has no object-id keys)
//   KEY_IS_UNIQUE      1 for a main key and a unique index, else 0
//   KEY_MIGRATE_TO     NULL
//   KEY_SUPER_ID       KEY_ID of the table's main key
//   KEY_DECL_PARTS     the parts the key stores: a table's columns, or an index's
//                      columns and the table key it carries
#include <sqlite3.h>

#include "internal.h"

namespace {

constexpr const char *kSysKeysView = R"sql(
CREATE TEMP VIEW IF NOT EXISTS "DB.DBA.SYS_KEYS" (
    KEY_TABLE, KEY_NAME, KEY_ID, KEY_N_SIGNIFICANT, KEY_CLUSTER_ON_ID, KEY_IS_MAIN,
    KEY_IS_OBJECT_ID, KEY_IS_UNIQUE, KEY_MIGRATE_TO, KEY_SUPER_ID, KEY_DECL_PARTS) AS
SELECT t.name, t.name, t.rowid,
       max(1, (SELECT count(*) FROM pragma_table_info(t.name, 'main') WHERE pk > 0)),
       t.rowid, 1, 0, 1, NULL, t.rowid,
       (SELECT count(*) FROM pragma_table_info(t.name, 'main'))
  FROM main.sqlite_schema t
 WHERE t.type = 'table' AND t.name NOT LIKE 'sqlite\_%' ESCAPE '\'
UNION ALL
SELECT i.tbl_name, i.name, i.rowid,
       (SELECT count(*) FROM pragma_index_xinfo(i.name, 'main') WHERE key = 1),
       t.rowid, 0, 0,
       (SELECT l."unique" FROM pragma_index_list(i.tbl_name, 'main') l WHERE l.name = i.name),
       NULL, t.rowid,
       (SELECT count(*) FROM pragma_index_xinfo(i.name, 'main'))
  FROM main.sqlite_schema i JOIN main.sqlite_schema t ON t.type = 'table' AND t.name = i.tbl_name
 WHERE i.type = 'index'
 ORDER BY 3
)sql";

}  // namespace

namespace qx {

bool install_catalogue(sqlite3 *db, std::string *error) {
    char *message = nullptr;
    if (sqlite3_exec(db, kSysKeysView, nullptr, nullptr, &message) == SQLITE_OK) return true;
    if (error) *error = std::string("cannot create DB.DBA.SYS_KEYS: ") + (message ? message : "");
    sqlite3_free(message);
    return false;
}

}  // namespace qx
