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
#include <strings.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sql/pg_catalogue.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

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
// The oids of foreign keys: this, plus the table's oid times 65536, plus the key's number.
constexpr long long kForeignKeyOids = 1LL << 40;
// A primary key's or unique constraint's oid: this plus its index's (or, for a key
// SQLite keeps in the table, the table's).
constexpr long long kKeyConstraintOids = 1LL << 41;
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
    return row + ",0,0,-1,0," + (category == 'S' ? "100" : "0") + ",NULL)";
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
    std::string settings;
    for (const std::string &name : qx::SessionSettings::names()) settings += (settings.empty() ? "(" : ", (") + quoted(name) + ")";
    // Arrays are base types whose category is A, as in PostgreSQL.
    return "CREATE TEMP VIEW IF NOT EXISTS pg_namespace(oid, nspname, nspowner, nspacl) AS VALUES (" +
           std::to_string(kCatalogNamespace) + ",'pg_catalog'," + std::to_string(kOwner) + ",NULL),(" +
           std::to_string(kPublicNamespace) + ",'public'," + std::to_string(kOwner) + ",NULL);\n" +
           "CREATE TEMP VIEW IF NOT EXISTS pg_proc(oid, proname, pronamespace) AS VALUES " + procs + ";\n" +
           "CREATE TEMP VIEW IF NOT EXISTS pg_type(oid, typname, typnamespace, typowner, typlen, typbyval, "
           "typtype, typcategory, typispreferred, typisdefined, typdelim, typrelid, typelem, typarray, typinput, "
           "typoutput, typreceive, typsend, typnotnull, typbasetype, typtypmod, typndims, typcollation, typdefault) "
           "AS VALUES " +
           types + ";\n" +
           "CREATE TEMP VIEW IF NOT EXISTS pg_range(rngtypid, rngsubtype, rngmultitypid, rngcollation, rngsubopc, "
           "rngcanonical, rngsubdiff) AS SELECT 0, 0, 0, 0, 0, 0, 0 WHERE 0;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_enum(oid, enumtypid, enumsortorder, enumlabel) AS "
           "SELECT 0, 0, 0.0, '' WHERE 0;\n"
           // The database's own objects (not SQLite's), by their row in its schema. Flags
           // that psql reads are PostgreSQL's text of a boolean, 't' or 'f'.
           "CREATE TEMP VIEW IF NOT EXISTS pg_class(oid, relname, relnamespace, reltype, relowner, relam, relkind, "
           "relpersistence, relispartition, relchecks, relhasindex, relhasrules, relhastriggers, relrowsecurity, "
           "relforcerowsecurity, reltablespace, reloftype, relreplident, reltoastrelid, relpartbound, reloptions, "
           "tableoid, reltuples, relpages) AS "
           // SQLite's indexes of PRIMARY KEY and UNIQUE constraints go by PostgreSQL's names
           // (t_pkey, t_a_b_key); a table whose primary key is its row id (an INTEGER
           // PRIMARY KEY, as serial columns are) or its own B-tree (WITHOUT ROWID) has no
           // index of it, so one is shown, whose oid is the table's negated. (Both oids are cast, so that the column compares
           // as an integer with psql's quoted oids, as one arm alone would.)
           "SELECT CAST(s.rowid AS INTEGER), CASE WHEN s.name LIKE 'sqlite\\_autoindex\\_%' ESCAPE '\\' THEN s.tbl_name || "
           "CASE (SELECT l.origin FROM pragma_index_list(s.tbl_name) l WHERE l.name = s.name) WHEN 'pk' THEN '_pkey' "
           "ELSE '_' || (SELECT group_concat(i.name, '_') FROM pragma_index_info(s.name) i) || '_key' END "
           "ELSE s.name END, "
           // The server's own table of users is its catalogue's, as PostgreSQL's roles are.
           "CASE s.tbl_name WHEN '" + std::string(qx::auth::kUsersTable) + "' THEN " +
           std::to_string(kCatalogNamespace) + " ELSE " + std::to_string(kPublicNamespace) + " END, 0, " +
           std::to_string(kOwner) +
           ", CASE s.type WHEN 'table' THEN 2 WHEN 'index' THEN 403 ELSE 0 END"
           ", CASE s.type WHEN 'table' THEN 'r' WHEN 'view' THEN 'v' ELSE 'i' END, 'p', 0, 0, "
           "CASE WHEN EXISTS (SELECT 1 FROM main.sqlite_schema i WHERE i.type = 'index' AND i.tbl_name = s.name) "
           "OR (s.type = 'table' AND pg_rowid_key(s.name) IS NOT NULL) THEN 't' ELSE 'f' END, "
           // A table with triggers of its own or of its foreign keys (the ones it has,
           // or those of others that reference it), as PostgreSQL's keys have triggers.
           "'f', CASE WHEN s.type = 'table' AND (EXISTS (SELECT 1 FROM main.sqlite_schema g WHERE "
           "g.type = 'trigger' AND g.tbl_name = s.name) OR EXISTS (SELECT 1 FROM main.sqlite_schema r, "
           "pragma_foreign_key_list(r.name) f WHERE r.type = 'table' AND (r.name = s.name OR f.\"table\" = s.name "
           "COLLATE NOCASE))) THEN 't' ELSE 'f' END, 'f', 'f', 0, 0, 'd', 0, NULL, NULL, 1259, -1, 0 "
           "FROM main.sqlite_schema s WHERE s.type IN ('table', 'view', 'index') AND (s.name NOT LIKE 'sqlite\\_%' "
           "ESCAPE '\\' OR s.name LIKE 'sqlite\\_autoindex\\_%' ESCAPE '\\') "
           "UNION ALL SELECT CAST(-s.rowid AS INTEGER), s.name || '_pkey', CASE s.name WHEN '" +
           std::string(qx::auth::kUsersTable) + "' THEN " + std::to_string(kCatalogNamespace) + " ELSE " +
           std::to_string(kPublicNamespace) + " END, 0, " + std::to_string(kOwner) +
           ", 403, 'i', 'p', 0, 0, 'f', 'f', 'f', 'f', 'f', 0, 0, 'd', 0, NULL, NULL, 1259, -1, 0 "
           "FROM main.sqlite_schema s WHERE s.type = 'table' AND s.name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
           "AND pg_rowid_key(s.name) IS NOT NULL;\n"
           // How tables and indexes are stored (psql's lists join it).
           "CREATE TEMP VIEW IF NOT EXISTS pg_am(oid, amname, amhandler, amtype) AS "
           "VALUES (2, 'heap', 0, 't'), (403, 'btree', 0, 'i');\n"
           // The columns of tables and views, their defaults and the indexes of tables, as
           // psql's \d NAME shows them: each column's type as it was declared.
           "CREATE TEMP VIEW IF NOT EXISTS pg_attribute(attrelid, attname, atttypid, atttypmod, attnum, attnotnull, "
           "atthasdef, attisdropped, attcollation, attidentity, attgenerated, attlen, attndims, attstorage, "
           "attcompression, attstattarget) AS "
           "SELECT c.oid, p.name, pg_declared_type(p.type), pg_declared_typmod(p.type), p.cid + 1, "
           "CASE WHEN p.\"notnull\" OR p.pk THEN 't' ELSE 'f' END, p.dflt_value IS NOT NULL, 0, 0, '', '', -1, 0, "
           // Numbers are kept as they are (plain), text and blobs as long as they are (extended).
           "CASE WHEN pg_declared_type(p.type) IN (16, 20, 21, 23, 26, 700, 701) THEN 'p' ELSE 'x' END, '', -1 "
           "FROM pg_class c CROSS JOIN pragma_table_info(c.relname) p WHERE c.relkind IN ('r', 'v');\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_attrdef(oid, adrelid, adnum, adbin) AS "
           "SELECT 0, attrelid, attnum, (SELECT p.dflt_value FROM pg_class c CROSS JOIN pragma_table_info(c.relname) p "
           "WHERE c.oid = a.attrelid AND p.cid + 1 = a.attnum) FROM pg_attribute a WHERE a.atthasdef;\n"
           // An index's columns (indkey) are their numbers as PostgreSQL's int2vector writes
           // them, "1 3", 0 for an expression; indoption marks a descending column.
           "CREATE TEMP VIEW IF NOT EXISTS pg_index(indexrelid, indrelid, indisprimary, indisunique, indisclustered, "
           "indisvalid, indisreplident, indnatts, indnkeyatts, indkey, indoption, indexprs, indpred, indimmediate, "
           "indisexclusion, indcheckxmin, indisready, indislive, indnullsnotdistinct) AS "
           "SELECT i.oid, t.oid, CASE WHEN l.origin = 'pk' THEN 't' ELSE 'f' END, "
           "CASE WHEN l.\"unique\" THEN 't' ELSE 'f' END, 'f', 't', 'f', "
           "(SELECT count(*) FROM pragma_index_info(s.name)), (SELECT count(*) FROM pragma_index_info(s.name)), "
           "(SELECT group_concat(CASE WHEN x.cid >= 0 THEN x.cid + 1 ELSE 0 END, ' ') "
           "FROM (SELECT cid FROM pragma_index_info(s.name) ORDER BY seqno) x), "
           "(SELECT group_concat(CASE WHEN x.\"desc\" THEN 3 ELSE 0 END, ' ') "
           "FROM (SELECT \"desc\" FROM pragma_index_xinfo(s.name) WHERE key ORDER BY seqno) x), "
           "CASE WHEN EXISTS (SELECT 1 FROM pragma_index_info(s.name) WHERE cid = -2) THEN s.sql END, "
           "CASE WHEN l.partial THEN substr(s.sql, instr(upper(s.sql), ' WHERE ') + 7) END, "
           "'t', 'f', 'f', 't', 't', 'f' "
           "FROM pg_class i JOIN main.sqlite_schema s ON s.rowid = i.oid JOIN pg_class t ON t.relname = s.tbl_name "
           "CROSS JOIN pragma_index_list(t.relname) l ON l.name = s.name WHERE i.relkind = 'i' "
           "UNION ALL SELECT -t.oid, t.oid, 't', 't', 'f', 't', 'f', "
           "(SELECT count(*) FROM pragma_table_info(t.relname) WHERE pk > 0), "
           "(SELECT count(*) FROM pragma_table_info(t.relname) WHERE pk > 0), "
           "(SELECT group_concat(p.cid + 1, ' ') FROM (SELECT cid FROM pragma_table_info(t.relname) WHERE pk > 0 "
           "ORDER BY pk) p), "
           "(SELECT group_concat(0, ' ') FROM pragma_table_info(t.relname) WHERE pk > 0), NULL, NULL, "
           "'t', 'f', 'f', 't', 't', 'f' "
           "FROM pg_class t WHERE t.relkind = 'r' AND pg_rowid_key(t.relname) IS NOT NULL;\n"
           // Foreign keys, by PostgreSQL's names (t_a_fkey); the oid says the table and the
           // key's number in it (see foreign_key_oid). Their columns (conkey, confkey) are
           // arrays of column numbers, '{1,2}'.
           "CREATE TEMP VIEW IF NOT EXISTS pg_constraint(oid, conname, connamespace, contype, condeferrable, "
           "condeferred, convalidated, conrelid, contypid, conindid, conparentid, confrelid, conkey, confkey, "
           "confupdtype, confdeltype) AS "
           // conindid is the index of the key a foreign key references (its columns, in order).
           "SELECT k.oid, k.conname, k.connamespace, 'f', 'f', 'f', 't', k.conrelid, 0, (SELECT ix.indexrelid FROM "
           "pg_index ix WHERE ix.indrelid = k.confrelid AND ix.indisunique = 't' AND ix.indkey = k.vector LIMIT 1), "
           "0, k.confrelid, k.conkey, '{' || replace(k.vector, ' ', ',') || '}', k.confupdtype, k.confdeltype FROM ("
           "SELECT " + std::to_string(kForeignKeyOids) + " + t.oid * 65536 + f.id AS oid, t.relname || '_' || "
           "group_concat(f.\"from\", '_') || '_fkey' AS conname, t.relnamespace AS connamespace, t.oid AS conrelid, "
           "(SELECT r.oid FROM pg_class r WHERE r.relname = f.\"table\" COLLATE NOCASE AND r.relkind = 'r') "
           "AS confrelid, '{' || group_concat((SELECT p.cid + 1 FROM pragma_table_info(t.relname) p WHERE p.name = "
           "f.\"from\"), ',') || '}' AS conkey, group_concat((SELECT p.cid + 1 FROM pragma_table_info(f.\"table\") p "
           "WHERE p.name = f.\"to\" OR (f.\"to\" IS NULL AND p.pk = f.seq + 1)), ' ') AS vector, "
           "pg_action_code(f.on_update) AS confupdtype, pg_action_code(f.on_delete) AS confdeltype "
           "FROM pg_class t CROSS JOIN pragma_foreign_key_list(t.relname) f WHERE t.relkind = 'r' GROUP BY t.oid, f.id) k "
           // Primary keys and the unique constraints of CREATE TABLE, by their indexes.
           "UNION ALL SELECT " + std::to_string(kKeyConstraintOids) + " + abs(ix.indexrelid), i.relname, "
           "i.relnamespace, CASE ix.indisprimary WHEN 't' THEN 'p' ELSE 'u' END, 'f', 'f', 't', ix.indrelid, 0, "
           "ix.indexrelid, 0, 0, '{' || replace(ix.indkey, ' ', ',') || '}', NULL, ' ', ' ' "
           "FROM pg_index ix JOIN pg_class i ON i.oid = ix.indexrelid WHERE ix.indisprimary = 't' OR "
           "EXISTS (SELECT 1 FROM main.sqlite_schema s WHERE s.rowid = ix.indexrelid AND "
           "s.name LIKE 'sqlite\\_autoindex\\_%' ESCAPE '\\');\n"
           // What the server has none of: collations of their own, row policies, extended
           // statistics, publications, inheritance.
           "CREATE TEMP VIEW IF NOT EXISTS pg_collation(oid, collname, collnamespace) AS SELECT 0, '', 0 WHERE 0;\n"
           // The tables' triggers, SQLite's own (a foreign key has none here).
           "CREATE TEMP VIEW IF NOT EXISTS pg_trigger(oid, tgrelid, tgparentid, tgname, tgfoid, tgtype, tgenabled, "
           "tgisinternal, tgconstrrelid, tgconstrindid, tgconstraint, tgdeferrable, tginitdeferred, tgnargs, tgattr, "
           "tgargs, tgqual, tgoldtable, tgnewtable) AS "
           "SELECT g.rowid, c.oid, 0, g.name, 0, 0, 'O', 'f', 0, 0, 0, 'f', 'f', 0, '', '', NULL, NULL, NULL "
           "FROM main.sqlite_schema g JOIN pg_class c ON c.relname = g.tbl_name AND c.relkind = 'r' "
           "WHERE g.type = 'trigger';\n"
           // The session's settings, as SHOW shows them.
           "CREATE TEMP VIEW IF NOT EXISTS pg_settings(name, setting, unit, category, short_desc, context, vartype, "
           "source) AS SELECT column1, current_setting(column1), NULL, '', '', 'user', 'string', 'session' FROM "
           "(VALUES " + settings + ");\n"
           // Tablespaces: PostgreSQL's two, where everything is (reltablespace 0).
           "CREATE TEMP VIEW IF NOT EXISTS pg_tablespace(oid, spcname, spcowner, spcacl, spcoptions) AS "
           "VALUES (1663, 'pg_default', " + std::to_string(kOwner) + ", NULL, NULL), (1664, 'pg_global', " +
           std::to_string(kOwner) + ", NULL, NULL);\n"
           // Nor comments on objects, nor sequences: a numbered column is the table's row id.
           "CREATE TEMP VIEW IF NOT EXISTS pg_description(objoid, classoid, objsubid, description) AS "
           "SELECT 0, 0, 0, '' WHERE 0;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_sequence(seqrelid, seqtypid, seqstart, seqincrement, seqmax, seqmin, "
           "seqcache, seqcycle) AS SELECT 0, 0, 0, 0, 0, 0, 0, 'f' WHERE 0;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_policy(oid, polname, polrelid, polcmd, polpermissive, polroles, polqual, "
           "polwithcheck) AS SELECT 0, '', 0, '', 't', NULL, NULL, NULL WHERE 0;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_statistic_ext(oid, stxrelid, stxname, stxnamespace, stxowner, "
           "stxstattarget, stxkeys, stxkind) AS SELECT 0, 0, '', 0, 0, -1, NULL, NULL WHERE 0;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_publication(oid, pubname, pubowner, puballtables) AS "
           "SELECT 0, '', 0, 0 WHERE 0;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_publication_namespace(oid, pnpubid, pnnspid) AS SELECT 0, 0, 0 WHERE 0;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_publication_rel(oid, prpubid, prrelid, prqual, prattrs) AS "
           "SELECT 0, 0, 0, NULL, NULL WHERE 0;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_inherits(inhrelid, inhparent, inhseqno, inhdetachpending) AS "
           "SELECT 0, 0, 0, 'f' WHERE 0;\n"
           // The one database a session sees: the file it serves, in UTF-8 (encoding 6).
           "CREATE TEMP VIEW IF NOT EXISTS pg_database(oid, datname, datdba, encoding, datlocprovider, datcollate, "
           "datctype, daticulocale, datacl, datallowconn, datistemplate, dattablespace) AS "
           "SELECT 1, current_database(), " + std::to_string(kOwner) + ", 6, 'c', 'C', 'C', NULL, NULL, 't', 'f', "
           "1663;\n"
           // The standard's view of the same: schemata, tables and views, columns.
           "CREATE TEMP VIEW IF NOT EXISTS pg_information_schema_schemata(catalog_name, schema_name, schema_owner) AS "
           "SELECT current_database(), nspname, pg_get_userbyid(nspowner) FROM pg_namespace;\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_information_schema_tables(table_catalog, table_schema, table_name, "
           "table_type, is_insertable_into, is_typed, commit_action) AS "
           "SELECT current_database(), n.nspname, c.relname, CASE c.relkind WHEN 'r' THEN 'BASE TABLE' ELSE 'VIEW' END, "
           "CASE c.relkind WHEN 'r' THEN 'YES' ELSE 'NO' END, 'NO', NULL "
           "FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.relkind IN ('r', 'v');\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_information_schema_views(table_catalog, table_schema, table_name, "
           "view_definition) AS "
           "SELECT current_database(), 'public', s.name, s.sql FROM main.sqlite_schema s WHERE s.type = 'view';\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_information_schema_columns(table_catalog, table_schema, table_name, "
           "column_name, ordinal_position, column_default, is_nullable, data_type, character_maximum_length, "
           "udt_name) AS "
           "SELECT current_database(), n.nspname, c.relname, a.attname, a.attnum, "
           "(SELECT d.adbin FROM pg_attrdef d WHERE d.adrelid = a.attrelid AND d.adnum = a.attnum), "
           "CASE a.attnotnull WHEN 't' THEN 'NO' ELSE 'YES' END, "
           "CASE WHEN a.atttypid IN (1042, 1043) THEN format_type(a.atttypid, -1) "
           "WHEN a.atttypid >= 1000 AND format_type(a.atttypid, -1) LIKE '%[]' THEN 'ARRAY' "
           "ELSE format_type(a.atttypid, -1) END, "
           "CASE WHEN a.atttypmod > 4 THEN a.atttypmod - 4 END, t.typname "
           "FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid JOIN pg_namespace n ON n.oid = c.relnamespace "
           "LEFT JOIN pg_type t ON t.oid = a.atttypid;\n"
           // Roles: the account the server runs as (its administrator, owner of every
           // object), then the server's users (oid 16384 + their number), as psql's \du
           // lists them; a user is a member of no other.
           "CREATE TEMP VIEW IF NOT EXISTS pg_roles(oid, rolname, rolsuper, rolinherit, rolcreaterole, rolcreatedb, "
           "rolcanlogin, rolreplication, rolbypassrls, rolconnlimit, rolvaliduntil, rolpassword) AS "
           "SELECT " + std::to_string(kOwner) + ", pg_get_userbyid(" + std::to_string(kOwner) +
           "), 't', 't', 't', 't', 't', 'f', 'f', -1, NULL, '********' UNION ALL "
           "SELECT 16384 + U_NUMBER, U_NAME, CASE WHEN U_IS_ADMIN THEN 't' ELSE 'f' END, 't', "
           "CASE WHEN U_IS_ADMIN THEN 't' ELSE 'f' END, 'f', 't', 'f', 'f', -1, NULL, '********' "
           "FROM temp.\"" + std::string(qx::auth::kUsersView) + "\" WHERE U_NAME <> pg_get_userbyid(" +
           std::to_string(kOwner) + ");\n"
           "CREATE TEMP VIEW IF NOT EXISTS pg_auth_members(roleid, member, grantor, admin_option) AS "
           "SELECT 0, 0, 0, 'f' WHERE 0;\n";
}

// pg_table_is_visible(oid), pg_type_is_visible(oid): every table is in public and every
// type in pg_catalog, which every search path has.
void table_is_visible(sqlite3_context *ctx, int, sqlite3_value **) { sqlite3_result_int(ctx, 1); }

// pg_get_userbyid(oid): the objects' owner is the account the server runs as, its
// administrator; another id is no role, which PostgreSQL writes so.
void user_by_id(sqlite3_context *ctx, int, sqlite3_value **argv) {
    sqlite3_int64 id = sqlite3_value_int64(argv[0]);
    std::string name = "unknown (OID=" + std::to_string(id) + ")";
    if (id == kOwner && !qx::system_account_name(geteuid(), &name)) name = std::to_string(geteuid());
    sqlite3_result_text(ctx, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
}

// pg_declared_type(declared): the type of a column declared so, for pg_attribute: the
// PostgreSQL type its declaration names, else the one its SQLite affinity stands for
// (unknown for a column declared without a type, which holds any value).
void declared_type(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const unsigned char *text = sqlite3_value_text(argv[0]);
    std::string declared = text ? reinterpret_cast<const char *>(text) : "";
    int oid = qx::pg_type_oid(declared);
    if (!oid) {
        std::string upper;
        for (char c : declared) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        auto has = [&](const char *part) { return upper.find(part) != std::string::npos; };
        oid = has("INT") ? 20 : has("CHAR") || has("CLOB") || has("TEXT") ? 25 : has("BLOB") ? 17 : upper.empty() ? 705
              : has("REAL") || has("FLOA") || has("DOUB") ? 701 : 1700;
    }
    sqlite3_result_int(ctx, oid);
}

// pg_declared_typmod(declared): the length of varchar(N) and char(N) as PostgreSQL keeps
// it (N + 4), else -1.
void declared_typmod(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const unsigned char *text = sqlite3_value_text(argv[0]);
    std::string declared = text ? reinterpret_cast<const char *>(text) : "";
    int oid = qx::pg_type_oid(declared);
    size_t open = declared.find('(');
    if ((oid == 1042 || oid == 1043) && open != std::string::npos)
        return sqlite3_result_int(ctx, std::atoi(declared.c_str() + open + 1) + 4);
    sqlite3_result_int(ctx, -1);
}

// pg_encoding_to_char(encoding): the server speaks UTF-8 alone.
void encoding_name(sqlite3_context *ctx, int, sqlite3_value **argv) {
    sqlite3_result_text(ctx, sqlite3_value_int(argv[0]) == 6 ? "UTF8" : "", -1, SQLITE_STATIC);
}

// pg_get_expr(expression, relation[, pretty]): the server keeps a default as its text.
void get_expr(sqlite3_context *ctx, int, sqlite3_value **argv) { sqlite3_result_value(ctx, argv[0]); }

// pg_get_constraintdef(constraint[, pretty]): a constraint as PostgreSQL writes it,
// FOREIGN KEY (a) REFERENCES t(id) ON DELETE CASCADE, PRIMARY KEY (a, b), UNIQUE (z);
// NULL for any other oid.
void get_constraintdef(sqlite3_context *ctx, int, sqlite3_value **argv) {
    sqlite3 *db = sqlite3_context_db_handle(ctx);
    if (sqlite3_value_int64(argv[0]) >= kKeyConstraintOids) {  // PRIMARY KEY (a, b) or UNIQUE (z)
        sqlite3_stmt *q = nullptr;
        std::string def;
        const char *sql =
            "SELECT c.contype, (SELECT group_concat(a.attname, ', ') FROM (SELECT a.attname FROM pg_unnest(c.conkey) k "
            "JOIN pg_attribute a ON a.attrelid = c.conrelid AND a.attnum = k.value ORDER BY k.ordinality) a) "
            "FROM pg_constraint c WHERE c.oid = ?1";
        if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK) {
            sqlite3_bind_value(q, 1, argv[0]);
            if (sqlite3_step(q) == SQLITE_ROW && sqlite3_column_text(q, 1))
                def = std::string(*sqlite3_column_text(q, 0) == 'p' ? "PRIMARY KEY (" : "UNIQUE (") +
                      reinterpret_cast<const char *>(sqlite3_column_text(q, 1)) + ")";
        }
        sqlite3_finalize(q);
        if (def.empty()) return sqlite3_result_null(ctx);
        return sqlite3_result_text(ctx, def.c_str(), -1, SQLITE_TRANSIENT);
    }
    sqlite3_int64 oid = sqlite3_value_int64(argv[0]) - kForeignKeyOids;
    if (oid < 65536) return sqlite3_result_null(ctx);
    sqlite3_stmt *q = nullptr;
    const char *sql =
        "SELECT group_concat(f.\"from\", ', '), f.\"table\", group_concat(f.\"to\", ', '), f.on_update, f.on_delete "
        "FROM main.sqlite_schema s, pragma_foreign_key_list(s.name) f WHERE s.rowid = ?1 AND f.id = ?2 "
        "GROUP BY f.id";
    std::string def;
    if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(q, 1, oid / 65536);
        sqlite3_bind_int64(q, 2, oid % 65536);
        if (sqlite3_step(q) == SQLITE_ROW) {
            auto column = [&](int i) {
                const unsigned char *t = sqlite3_column_text(q, i);
                return std::string(t ? reinterpret_cast<const char *>(t) : "");
            };
            def = "FOREIGN KEY (" + column(0) + ") REFERENCES " + column(1);
            if (!column(2).empty()) def += "(" + column(2) + ")";
            if (column(3) != "NO ACTION") def += " ON UPDATE " + column(3);
            if (column(4) != "NO ACTION") def += " ON DELETE " + column(4);
        }
    }
    sqlite3_finalize(q);
    if (def.empty()) return sqlite3_result_null(ctx);
    sqlite3_result_text(ctx, def.c_str(), -1, SQLITE_TRANSIENT);
}

// A catalogue function of objects the server has none of (extended statistics,
// sequences): NULL.
void no_object(sqlite3_context *ctx, int, sqlite3_value **) { sqlite3_result_null(ctx); }

// quote_ident(name): the name as SQL must write it, in double quotes unless it is a
// lower-case name that is no reserved word.
void quote_ident(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const unsigned char *text = sqlite3_value_text(argv[0]);
    if (!text) return sqlite3_result_null(ctx);
    std::string name = reinterpret_cast<const char *>(text);
    static const char *const kReserved[] = {
        "all", "analyse", "analyze", "and", "any", "array", "as", "asc", "asymmetric", "both", "case", "cast",
        "check", "collate", "column", "constraint", "create", "current_catalog", "current_date", "current_role",
        "current_time", "current_timestamp", "current_user", "default", "deferrable", "desc", "distinct", "do",
        "else", "end", "except", "false", "fetch", "for", "foreign", "from", "grant", "group", "having", "in",
        "initially", "intersect", "into", "lateral", "leading", "limit", "localtime", "localtimestamp", "not",
        "null", "offset", "on", "only", "or", "order", "placing", "primary", "references", "returning", "select",
        "session_user", "some", "symmetric", "table", "then", "to", "trailing", "true", "union", "unique", "user",
        "using", "variadic", "when", "where", "window", "with"};
    bool plain = !name.empty() && (std::islower(static_cast<unsigned char>(name[0])) || name[0] == '_');
    for (char c : name)
        plain = plain && (std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) ||
                          c == '_' || c == '$');
    for (const char *word : kReserved) plain = plain && name != word;
    if (!plain) {
        std::string quoted = "\"";
        for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        name = quoted + "\"";
    }
    sqlite3_result_text(ctx, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
}

// pg_get_triggerdef(trigger[, pretty]): the trigger's CREATE TRIGGER statement.
void get_triggerdef(sqlite3_context *ctx, int, sqlite3_value **argv) {
    sqlite3_stmt *q = nullptr;
    if (sqlite3_prepare_v2(sqlite3_context_db_handle(ctx),
                           "SELECT sql FROM main.sqlite_schema WHERE rowid = ?1 AND type = 'trigger'", -1, &q,
                           nullptr) == SQLITE_OK) {
        sqlite3_bind_value(q, 1, argv[0]);
        if (sqlite3_step(q) == SQLITE_ROW) sqlite3_result_value(ctx, sqlite3_column_value(q, 0));
        else sqlite3_result_null(ctx);
    }
    sqlite3_finalize(q);
}

// pg_index_column_has_property(index, column, property): whether the index's column
// `column` (from 1) sorts asc or desc (SQLite's NULLs come first in ascending order,
// last in descending); NULL for another property or a column the index has not.
void index_column_property(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const unsigned char *property = sqlite3_value_text(argv[2]);
    std::string p = property ? reinterpret_cast<const char *>(property) : "";
    sqlite3_stmt *q = nullptr;
    if (sqlite3_prepare_v2(sqlite3_context_db_handle(ctx),
                           "SELECT pg_subscript(indoption, ?2 - 1) FROM pg_index WHERE indexrelid = ?1", -1, &q,
                           nullptr) == SQLITE_OK) {
        sqlite3_bind_value(q, 1, argv[0]);
        sqlite3_bind_value(q, 2, argv[1]);
        if (sqlite3_step(q) == SQLITE_ROW && sqlite3_column_type(q, 0) != SQLITE_NULL) {
            bool desc = sqlite3_column_int(q, 0) & 1;
            if (p == "asc" || p == "nulls_first") sqlite3_result_int(ctx, !desc);
            else if (p == "desc" || p == "nulls_last") sqlite3_result_int(ctx, desc);
            else if (p == "orderable") sqlite3_result_int(ctx, 1);
            else sqlite3_result_null(ctx);
        } else {
            sqlite3_result_null(ctx);
        }
    }
    sqlite3_finalize(q);
}

// The bytes of the B-trees `sql` names (one value, NULL when it cannot be read: a user
// whose reads the server restricts is refused dbstat, and so sizes).
void result_of_size_query(sqlite3_context *ctx, const char *sql, sqlite3_value *argument) {
    sqlite3_stmt *q = nullptr;
    if (sqlite3_prepare_v2(sqlite3_context_db_handle(ctx), sql, -1, &q, nullptr) == SQLITE_OK) {
        if (argument) sqlite3_bind_value(q, 1, argument);
        if (sqlite3_step(q) == SQLITE_ROW) sqlite3_result_int64(ctx, sqlite3_column_int64(q, 0));
        else sqlite3_result_null(ctx);
    } else {
        sqlite3_result_null(ctx);
    }
    sqlite3_finalize(q);
}

// pg_table_size(table), pg_relation_size(relation[, fork]): the bytes of its own B-tree
// (an index's too); pg_indexes_size(table): of its indexes; pg_total_relation_size(table):
// of both. A key SQLite keeps in its table's B-tree (oid below 0) takes none of its own.
void table_size(sqlite3_context *ctx, int, sqlite3_value **argv) {
    result_of_size_query(ctx,
                         "SELECT coalesce(sum(d.pgsize), 0) FROM main.sqlite_schema s, dbstat('main', 1) d "
                         "WHERE s.rowid = ?1 AND d.name = s.name",
                         argv[0]);
}
void indexes_size(sqlite3_context *ctx, int, sqlite3_value **argv) {
    result_of_size_query(ctx,
                         "SELECT coalesce(sum(d.pgsize), 0) FROM main.sqlite_schema t, main.sqlite_schema s, "
                         "dbstat('main', 1) d WHERE t.rowid = ?1 AND s.tbl_name = t.name AND s.type = 'index' AND "
                         "d.name = s.name",
                         argv[0]);
}
void total_size(sqlite3_context *ctx, int, sqlite3_value **argv) {
    result_of_size_query(ctx,
                         "SELECT coalesce(sum(d.pgsize), 0) FROM main.sqlite_schema t, main.sqlite_schema s, "
                         "dbstat('main', 1) d WHERE t.rowid = ?1 AND s.tbl_name = t.name AND d.name = s.name",
                         argv[0]);
}
// pg_database_size(database): the file's pages.
void database_size(sqlite3_context *ctx, int, sqlite3_value **) {
    result_of_size_query(ctx, "SELECT page_count * page_size FROM pragma_page_count, pragma_page_size", nullptr);
}

// pg_size_pretty(bytes): as PostgreSQL writes a size, in bytes up to 10 kB, then in the
// largest unit (kB, MB, GB, TB, PB) that keeps it above ten, rounded half away from zero.
void size_pretty(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    sqlite3_int64 size = sqlite3_value_int64(argv[0]);
    std::string text;
    if (size < 10 * 1024 && size > -10 * 1024) {
        text = std::to_string(size) + " bytes";
    } else {
        static const char *const kUnits[] = {"kB", "MB", "GB", "TB", "PB"};
        sqlite3_int64 halves = size / 512;  // in half units, rounded at the end
        size_t unit = 0;
        auto rounded = [](sqlite3_int64 h) { return (h + (h < 0 ? -1 : 1)) / 2; };
        while (unit + 1 < 5 && (rounded(halves) >= 10 * 1024 || rounded(halves) <= -10 * 1024)) {
            halves /= 1024;
            ++unit;
        }
        text = std::to_string(rounded(halves)) + " " + kUnits[unit];
    }
    sqlite3_result_text(ctx, text.c_str(), -1, SQLITE_TRANSIENT);
}

// current_schemas(implicit): the search path's schemas, as an array: public, after
// pg_catalog when `implicit`.
void current_schemas(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const char *schemas = sqlite3_value_int(argv[0]) ? "{pg_catalog,public}" : "{public}";
    sqlite3_result_text(ctx, schemas, -1, SQLITE_STATIC);
}

// pg_action_code(action): what a foreign key does ON UPDATE or ON DELETE, as
// pg_constraint codes it (a: no action, r: restrict, c: cascade, n: set null, d: set
// default).
void action_code(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const unsigned char *text = sqlite3_value_text(argv[0]);
    std::string action = text ? reinterpret_cast<const char *>(text) : "";
    const char *code = action == "RESTRICT" ? "r" : action == "CASCADE" ? "c" : action == "SET NULL" ? "n"
                       : action == "SET DEFAULT" ? "d" : "a";
    sqlite3_result_text(ctx, code, 1, SQLITE_STATIC);
}

// pg_tablespace_location(tablespace): the default place, the database's own file.
void no_location(sqlite3_context *ctx, int, sqlite3_value **) { sqlite3_result_text(ctx, "", 0, SQLITE_STATIC); }

// has_schema_privilege([user,] schema, privilege), has_table_privilege(...),
// has_database_privilege(...): what a session may read it is told of by its statements'
// own errors (a user's restricted reads are refused when they run), so the catalogue
// says yes.
void has_privilege(sqlite3_context *ctx, int, sqlite3_value **) { sqlite3_result_int(ctx, 1); }

// pg_relation_is_publishable(relation): no table is published.
void not_publishable(sqlite3_context *ctx, int, sqlite3_value **) { sqlite3_result_int(ctx, 0); }

// pg_partition_ancestors(relation): no table is a partition, so only itself.
void partition_ancestors(sqlite3_context *ctx, int, sqlite3_value **argv) { sqlite3_result_value(ctx, argv[0]); }

// The primary key columns of `table` ("a, b") when SQLite keeps no index of them: the
// row id (an INTEGER PRIMARY KEY), or the key of a WITHOUT ROWID table, which is the
// table's own B-tree. Empty when it has no such key.
std::string rowid_key(sqlite3 *db, const char *table) {
    sqlite3_stmt *q = nullptr;
    std::string key;
    const char *sql =
        "SELECT CASE WHEN (SELECT wr FROM pragma_table_list(?1) WHERE schema = 'main') THEN "
        "(SELECT group_concat(name, ', ') FROM (SELECT name FROM pragma_table_info(?1) WHERE pk > 0 ORDER BY pk)) "
        "WHEN (SELECT count(*) FROM pragma_table_info(?1) p WHERE p.pk > 0) = 1 THEN "
        "(SELECT p.name FROM pragma_table_info(?1) p WHERE p.pk = 1 AND upper(p.type) = 'INTEGER') END";
    if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(q, 1, table, -1, SQLITE_TRANSIENT);
        if (sqlite3_step(q) == SQLITE_ROW && sqlite3_column_text(q, 0))
            key = reinterpret_cast<const char *>(sqlite3_column_text(q, 0));
    }
    sqlite3_finalize(q);
    return key;
}

// pg_rowid_key(table): those columns, or NULL.
void rowid_key_of(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const unsigned char *table = sqlite3_value_text(argv[0]);
    std::string key = table ? rowid_key(sqlite3_context_db_handle(ctx), reinterpret_cast<const char *>(table)) : "";
    if (key.empty()) return sqlite3_result_null(ctx);
    sqlite3_result_text(ctx, key.c_str(), -1, SQLITE_TRANSIENT);
}

// pg_get_indexdef(index[, column, pretty]): CREATE [UNIQUE] INDEX name ON public.table
// USING btree (columns), as PostgreSQL writes it (psql shows what follows USING); with
// a column number above 0, that column's name.
void get_indexdef(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    sqlite3 *db = sqlite3_context_db_handle(ctx);
    if (argc == 3 && sqlite3_value_int64(argv[1]) > 0) {  // the name of the index's column n
        sqlite3_stmt *q = nullptr;
        const char *sql =
            "SELECT a.attname FROM pg_index ix JOIN pg_attribute a ON a.attrelid = ix.indrelid AND "
            "a.attnum = pg_subscript(ix.indkey, ?2 - 1) WHERE ix.indexrelid = ?1";
        if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK) {
            sqlite3_bind_value(q, 1, argv[0]);
            sqlite3_bind_value(q, 2, argv[1]);
            if (sqlite3_step(q) == SQLITE_ROW) sqlite3_result_value(ctx, sqlite3_column_value(q, 0));
            else sqlite3_result_null(ctx);
        }
        return sqlite3_finalize(q), void();
    }
    if (sqlite3_value_int64(argv[0]) < 0) {  // a table's row id: the index its primary key would have
        sqlite3_stmt *q = nullptr;
        std::string def;
        if (sqlite3_prepare_v2(db, "SELECT name FROM main.sqlite_schema WHERE rowid = ?1", -1, &q, nullptr) ==
            SQLITE_OK) {
            sqlite3_bind_int64(q, 1, -sqlite3_value_int64(argv[0]));
            if (sqlite3_step(q) == SQLITE_ROW) {
                std::string table = reinterpret_cast<const char *>(sqlite3_column_text(q, 0));
                std::string key = rowid_key(db, table.c_str());
                if (!key.empty())
                    def = "CREATE UNIQUE INDEX " + table + "_pkey ON public." + table + " USING btree (" + key + ")";
            }
        }
        sqlite3_finalize(q);
        if (def.empty()) return sqlite3_result_null(ctx);
        return sqlite3_result_text(ctx, def.c_str(), -1, SQLITE_TRANSIENT);
    }
    sqlite3_stmt *q = nullptr;
    const char *sql =
        "SELECT s.name, s.tbl_name, (SELECT l.\"unique\" FROM pragma_index_list(s.tbl_name) l WHERE l.name = s.name), "
        "(SELECT group_concat(coalesce(i.name, '(expression)') || CASE WHEN i.\"desc\" THEN ' DESC' ELSE '' END, "
        "', ') FROM (SELECT * FROM pragma_index_xinfo(s.name) WHERE key ORDER BY seqno) i), "
        "(SELECT ' WHERE ' || substr(s.sql, instr(upper(s.sql), ' WHERE ') + 7) WHERE instr(upper(s.sql), ' WHERE ') > 0) "
        "FROM main.sqlite_schema s WHERE s.rowid = ?1 AND s.type = 'index'";
    if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) != SQLITE_OK) {
        sqlite3_result_error(ctx, sqlite3_errmsg(db), -1);
        return sqlite3_finalize(q), void();
    }
    sqlite3_bind_value(q, 1, argv[0]);
    if (sqlite3_step(q) == SQLITE_ROW) {
        auto column = [&](int i) {
            const unsigned char *t = sqlite3_column_text(q, i);
            return std::string(t ? reinterpret_cast<const char *>(t) : "");
        };
        std::string def = std::string("CREATE ") + (sqlite3_column_int(q, 2) ? "UNIQUE " : "") + "INDEX " +
                          column(0) + " ON public." + column(1) + " USING btree (" + column(3) + ")" + column(4);
        sqlite3_result_text(ctx, def.c_str(), -1, SQLITE_TRANSIENT);
    } else {
        sqlite3_result_null(ctx);
    }
    sqlite3_finalize(q);
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

namespace {

// The base type whose oid or whose array's oid is `oid` (*array says which); null for
// an oid that is no type.
const BaseType *type_of(int oid, bool *array) {
    for (const BaseType &t : kTypes) {
        *array = t.array_oid && t.array_oid == oid;
        if (t.oid == oid || *array) return &t;
    }
    return nullptr;
}

}  // namespace

bool pg_type_sql_name(int oid, std::string *name) {
    bool array = false;
    const BaseType *t = type_of(oid, &array);
    if (t) *name = array ? std::string(t->sql_name) + "[]" : t->sql_name;
    return t != nullptr;
}

bool pg_type_name(int oid, std::string *name) {
    bool array = false;
    const BaseType *t = type_of(oid, &array);
    if (t) *name = array ? std::string("_") + t->name : t->name;
    return t != nullptr;
}

bool is_catalogue_flag(const std::string &name) {
    // Every word of every statement may be asked about: most are told apart by length
    // and first letter.
    if (name.size() < 8 || name.size() > 19 || !std::strchr("acdiprsACDIPRS", name[0])) return false;
    static const char *const kFlags[] = {
        "relhasindex",  "relhasrules",   "relhastriggers",  "relrowsecurity", "relforcerowsecurity",
        "attnotnull",   "indisprimary",  "indisunique",     "indisclustered", "indisvalid",
        "indisreplident", "condeferrable", "condeferred",   "convalidated",   "polpermissive",
        "inhdetachpending", "datallowconn", "datistemplate", "rolsuper",      "rolinherit",
        "rolcreaterole", "rolcreatedb",  "rolcanlogin",     "rolreplication", "rolbypassrls",
        "admin_option", "seqcycle"};
    for (const char *flag : kFlags)
        if (strcasecmp(name.c_str(), flag) == 0) return true;
    return false;
}

bool names_catalogue_function(const char *message) {
    static const char *const kFunctions[] = {"pg_", "quote_ident", "col_description", "obj_description",
                                             "shobj_description", "has_schema_privilege", "has_table_privilege",
                                             "current_schemas", "has_database_privilege"};
    const char *prefix = "no such function: ";
    if (std::strncmp(message, prefix, std::strlen(prefix)) != 0) return false;
    message += std::strlen(prefix);
    for (const char *f : kFunctions)
        if (std::strncmp(message, f, std::strlen(f)) == 0) return true;
    return false;
}

bool is_catalogue_key_array(const std::string &name) {
    return strcasecmp(name.c_str(), "conkey") == 0 || strcasecmp(name.c_str(), "confkey") == 0;
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
    const struct {
        const char *name;
        int arguments;
        void (*call)(sqlite3_context *, int, sqlite3_value **);
    } functions[] = {
        {"pg_declared_type", 1, declared_type},     {"pg_declared_typmod", 1, declared_typmod},
        {"pg_get_expr", 2, get_expr},               {"pg_get_expr", 3, get_expr},
        {"pg_get_indexdef", 1, get_indexdef},       {"pg_get_indexdef", 3, get_indexdef},
        {"pg_get_constraintdef", 1, get_constraintdef}, {"pg_get_constraintdef", 2, get_constraintdef},
        {"pg_get_statisticsobjdef_columns", 1, no_object}, {"pg_relation_is_publishable", 1, not_publishable},
        {"pg_partition_ancestors", 1, partition_ancestors}, {"pg_encoding_to_char", 1, encoding_name},
        {"pg_rowid_key", 1, rowid_key_of},          {"pg_get_serial_sequence", 2, no_object},
        {"pg_type_is_visible", 1, table_is_visible},  {"quote_ident", 1, quote_ident},
        {"col_description", 2, no_object},          {"obj_description", 1, no_object},
        {"pg_tablespace_location", 1, no_location}, {"has_schema_privilege", 2, has_privilege},
        {"pg_get_triggerdef", 1, get_triggerdef},  {"pg_get_triggerdef", 2, get_triggerdef},
        {"pg_action_code", 1, action_code},         {"current_schemas", 1, current_schemas},
        {"pg_index_column_has_property", 3, index_column_property},
        {"pg_table_size", 1, table_size},           {"pg_relation_size", 1, table_size},
        {"pg_relation_size", 2, table_size},        {"pg_indexes_size", 1, indexes_size},
        {"pg_total_relation_size", 1, total_size},  {"pg_database_size", 1, database_size},
        {"pg_size_pretty", 1, size_pretty},
        {"has_schema_privilege", 3, has_privilege}, {"has_table_privilege", 2, has_privilege},
        {"has_table_privilege", 3, has_privilege},  {"has_database_privilege", 2, has_privilege},
        {"has_database_privilege", 3, has_privilege},
        {"obj_description", 2, no_object},          {"shobj_description", 2, no_object},
    };
    for (const auto &f : functions)
        ok = ok && sqlite3_create_function_v2(db, f.name, f.arguments, SQLITE_UTF8, nullptr, f.call, nullptr, nullptr,
                                              nullptr) == SQLITE_OK;
    if (!ok && error)
        *error = std::string("cannot create the pg_catalog views: ") + (message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    if (read_only) sqlite3_exec(db, "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
    return ok;
}

}  // namespace qx
