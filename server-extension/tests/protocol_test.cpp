// PostgreSQL clients beyond the simple query protocol against the real quendrix
// program: libpq's parameters, prepared statements, binary results and
// pipelines, the row limit of Execute, cursors, cancellation, and psql, pgbench,
// psycopg and asyncpg as programs.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "pg_test_server.h"

namespace {

const std::string kPgbench = PGBENCH_PATH;
const std::string kPython = PYTHON_PATH;
const std::string kPsycopgScript = PSYCOPG_SCRIPT;
const std::string kAsyncpgScript = ASYNCPG_SCRIPT;
const std::string kSqlalchemyScript = SQLALCHEMY_SCRIPT;
const std::string kJava = JAVA_PATH;

// The test's environment without the PG* variables that libpq programs read, nor those
// that give Java options or a class path.
std::vector<std::string> client_env() {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string v = *e;
        if (v.compare(0, 2, "PG") == 0 || v.compare(0, 10, "CLASSPATH=") == 0 ||
            v.compare(0, 18, "JAVA_TOOL_OPTIONS=") == 0 || v.compare(0, 14, "_JAVA_OPTIONS=") == 0 ||
            v.compare(0, 17, "JDK_JAVA_OPTIONS=") == 0)
            continue;
        env.push_back(v);
    }
    return env;
}

std::string big_endian(uint64_t v, int width) {
    std::string s;
    for (int i = width - 1; i >= 0; --i) s += static_cast<char>(v >> (8 * i));
    return s;
}

uint64_t from_big_endian(const char *p, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | static_cast<unsigned char>(p[i]);
    return v;
}

// "with recursive" rows 1..n in a column i: a result as long as a test needs.
std::string numbers(long n) {
    return "with recursive r(i) as (select 1 union all select i + 1 from r where i < " +
           std::to_string(n) + ") select i from r";
}

class Protocol : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(server.port(), 0);
        conn = connect(server);
        ASSERT_EQ(PQstatus(c()), CONNECTION_OK) << PQerrorMessage(c());
    }
    // The server ends cleanly: no crash, no sanitizer report.
    void TearDown() override {
        conn.reset();
        EXPECT_EQ(server.stop(), 0);
    }
    PGconn *c() { return conn.get(); }

    // One parameter given as bytes, with its type and format.
    std::string param(const std::string &sql, Oid type, int format, const std::string &bytes) {
        const char *value = bytes.data();
        int length = static_cast<int>(bytes.size());
        Result r(PQexecParams(c(), sql.c_str(), 1, &type, &value, &length, &format, 0), PQclear);
        return text_of(r.get());
    }

    TempDir dir;
    Server server{dir.file("protocol.db")};
    Conn conn{nullptr, PQfinish};
};

TEST_F(Protocol, ParametersInTextAndBinaryForms) {
    const struct {
        const char *sql;
        Oid type;
        int format;
        std::string bytes, result;
    } cases[] = {
        {"select $1 + 1", 21, 1, big_endian(5, 2), "6\n"},
        {"select $1", 23, 1, big_endian(static_cast<uint32_t>(-7), 4), "-7\n"},
        {"select $1", 20, 1, big_endian(1ull << 40, 8), "1099511627776\n"},
        {"select $1 * 2", 701, 1, big_endian(0x4004000000000000ull, 8), "5.0\n"},  // 2.5
        {"select $1", 16, 1, std::string(1, '\1'), "1\n"},
        {"select hex($1)", 17, 1, std::string("\0\1\xff", 3), "0001FF\n"},
        {"select typeof($1)", 20, 0, "42", "integer\n"},
        {"select typeof($1)", 701, 0, "1.5", "real\n"},
        {"select typeof($1)", 1700, 0, "7", "integer\n"},
        {"select typeof($1)", 0, 0, "7", "text\n"},
        {"select $1", 16, 0, "true", "1\n"},
        {"select hex($1)", 17, 0, "\\x00fF", "00FF\n"},
        {"select $1 || '!'", 25, 1, "bytes as text", "bytes as text!\n"},
        {"select $1", 20, 0, "4x", "ERROR 22P02: invalid input syntax for type bigint: \"4x\""},
        {"select $1", 23, 1, big_endian(5, 2),
         "ERROR 22P03: incorrect binary data format in bind parameter 1"},
        {"select $1", 17, 0, "\\x0", "ERROR 22P02: invalid input syntax for type bytea: \"\\x0\""},
        {"select typeof($1)", 1700, 0, "99999999999999999999", "real\n"},  // beyond bigint
        // Binary forms of types that drivers send in binary: bound as their text form.
        {"select $1", 1082, 1, big_endian(8767, 4), "2024-01-02\n"},  // date: days from 2000
        {"select $1", 1082, 1, big_endian(static_cast<uint32_t>(-1), 4), "1999-12-31\n"},
        {"select $1", 1082, 1, big_endian(static_cast<uint32_t>(-730485), 4), "0001-01-01 BC\n"},
        {"select $1", 1082, 1, big_endian(0x7fffffff, 4), "infinity\n"},
        {"select $1", 1114, 1, big_endian(757479845123456ull, 8), "2024-01-02 03:04:05.123456\n"},
        {"select $1", 1114, 1, big_endian(static_cast<uint64_t>(-1), 8), "1999-12-31 23:59:59.999999\n"},
        {"select $1", 1184, 1, big_endian(757479845000000ull, 8), "2024-01-02 03:04:05+00\n"},
        {"select $1", 1083, 1, big_endian(11045500000ull, 8), "03:04:05.5\n"},
        {"select $1", 2950, 1, "\x12\x34\x56\x78\x9a\xbc\xde\xf0\x12\x34\x56\x78\x9a\xbc\xde\xf0",
         "12345678-9abc-def0-1234-56789abcdef0\n"},
        // numeric: digit count, weight, sign, scale, then base-10000 digits.
        {"select $1 * 2", 1700, 1, big_endian(0x0002000000000002ull, 8) + big_endian(0x000109c4, 4), "2.5\n"},
        {"select typeof($1), $1", 1700, 1,
         big_endian(0x0004000300000000ull, 8) + big_endian(0x000c0d801ed204d2ull, 8), "integer|12345678901234\n"},
        {"select $1", 1700, 1, big_endian(0x0001ffff40000002ull, 8) + big_endian(500, 2), "-0.05\n"},
        {"select $1", 3802, 1, "\x01{\"a\": 1}", "{\"a\": 1}\n"},  // jsonb: version 1, then text
        {"select $1", 26, 1, big_endian(4000000000u, 4), "4000000000\n"},
        {"select $1", 1082, 1, big_endian(1, 3), "ERROR 22P03: incorrect binary data format in bind parameter 1"},
        {"select $1", 1700, 1, big_endian(0x0001000000000000ull, 8) + big_endian(10000, 2),
         "ERROR 22P03: incorrect binary data format in bind parameter 1"},
        {"select $1", 3802, 1, "\x02{}", "ERROR 22P03: incorrect binary data format in bind parameter 1"},
        {"select $1", 2950, 0, "{12345678-9ABC-DEF0-1234-56789abcdef0}", "12345678-9abc-def0-1234-56789abcdef0\n"},
        {"select $1", 2950, 0, "12345678-9abcdef0-1234-56789abcdef0", "12345678-9abc-def0-1234-56789abcdef0\n"},
        {"select $1", 2950, 0, "123456789abcdef0123456789abcdef0-",
         "ERROR 22P02: invalid input syntax for type uuid: \"123456789abcdef0123456789abcdef0-\""},
        {"select $1", 2950, 0, "12345", "ERROR 22P02: invalid input syntax for type uuid: \"12345\""},
        {"select $1", 1186, 1, std::string(16, '\0'),
         "ERROR 42883: no binary input function available for type with OID 1186"},
    };
    for (const auto &k : cases)
        EXPECT_EQ(param(k.sql, k.type, k.format, k.bytes), k.result) << k.sql << " " << k.type;

    // Parameters by number in any order, NULL, and a wrong count.
    const char *values[] = {"a", "b", nullptr};
    Result r(PQexecParams(c(), "select $2 || $1, $3 is null", 3, nullptr, values, nullptr, nullptr, 0),
             PQclear);
    EXPECT_EQ(text_of(r.get()), "ba|1\n");
    r.reset(PQexecParams(c(), "select $1, $2", 1, nullptr, values, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()),
              "ERROR 08P01: bind message supplies 1 parameters, but prepared statement \"\" "
              "requires 2");
    EXPECT_EQ(exec(c(), "select 'still here'"), "still here\n");
}

TEST_F(Protocol, ResultColumnsAreTypedForDrivers) {
    ASSERT_EQ(exec(c(), "create table t(i integer, r real, s text, b blob, n)"), "<CREATE TABLE>");
    ASSERT_EQ(exec(c(), "insert into t values (1, 2.5, 'x', x'00ff', 7)"), "<INSERT 0 1>");
    const char *sql = "select i, r, s, b, n, n * 0.5, my_vector(1, 'x'), 1e308 * 10, NULL from t";
    const Oid types[] = {20, 701, 25, 17, 20, 701, 25, 701, 25};

    // Text form, from the simple and the extended protocol alike.
    Result text(PQexec(c(), sql), PQclear);
    Result text2(PQexecParams(c(), sql, 0, nullptr, nullptr, nullptr, nullptr, 0), PQclear);
    for (PGresult *r : {text.get(), text2.get()}) {
        EXPECT_EQ(text_of(r), "1|2.5|x|\\x00ff|7|3.5|[1, 'x']|Infinity|<null>\n");
        ASSERT_EQ(PQnfields(r), 9);
        for (int i = 0; i < 9; ++i) EXPECT_EQ(PQftype(r, i), types[i]) << "column " << i;
    }

    // Binary form.
    Result bin(PQexecParams(c(), sql, 0, nullptr, nullptr, nullptr, nullptr, 1), PQclear);
    ASSERT_EQ(PQresultStatus(bin.get()), PGRES_TUPLES_OK) << PQresultErrorMessage(bin.get());
    auto value = [&](int column) { return std::string(PQgetvalue(bin.get(), 0, column), PQgetlength(bin.get(), 0, column)); };
    auto real = [&](int column) {
        uint64_t bits = from_big_endian(PQgetvalue(bin.get(), 0, column), 8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    };
    EXPECT_EQ(value(0), big_endian(1, 8));
    EXPECT_EQ(real(1), 2.5);
    EXPECT_EQ(value(2), "x");
    EXPECT_EQ(value(3), std::string("\0\xff", 2));
    EXPECT_EQ(value(4), big_endian(7, 8));
    EXPECT_EQ(real(5), 3.5);
    EXPECT_EQ(value(6), "[1, 'x']");
    EXPECT_TRUE(std::isinf(real(7)));
    EXPECT_TRUE(PQgetisnull(bin.get(), 0, 8));
    for (int i = 0; i < 9; ++i) EXPECT_EQ(PQfformat(bin.get(), i), 1);

    // A result without rows keeps its declared types.
    Result empty(PQexecParams(c(), "select i, r, b from t where 0", 0, nullptr, nullptr, nullptr, nullptr, 0),
                 PQclear);
    ASSERT_EQ(PQnfields(empty.get()), 3);
    EXPECT_EQ(PQftype(empty.get(), 0), 20u);
    EXPECT_EQ(PQftype(empty.get(), 1), 701u);
    EXPECT_EQ(PQftype(empty.get(), 2), 25u);  // a BLOB column's values decide

    // Zero is a number like any other (a count of nothing, say), in both protocols and
    // from a built-in's rows too.
    const char *zeros = "select 0, count(*) from t where 0";
    Result z1(PQexec(c(), zeros), PQclear);
    Result z2(PQexecParams(c(), zeros, 0, nullptr, nullptr, nullptr, nullptr, 0), PQclear);
    Result z3(PQexec(c(), "select n_range_bif(0, 1)"), PQclear);
    for (PGresult *r : {z1.get(), z2.get(), z3.get()}) {
        ASSERT_GE(PQnfields(r), 1) << PQresultErrorMessage(r);
        for (int i = 0; i < PQnfields(r); ++i) EXPECT_EQ(PQftype(r, i), 20u) << "column " << i;
    }
}

// How drivers start transactions for their isolation and read-only settings (psycopg's
// read_only and isolation_level, JDBC's, asyncpg's): PostgreSQL's syntax, which
// SQLite's lacks. Every level runs serializable; READ ONLY refuses writes.
TEST_F(Protocol, TransactionModesAsDriversSetThem) {
    ASSERT_EQ(exec(c(), "create table t(a)"), "<CREATE TABLE>");
    const char *refused = "ERROR 25006: attempt to write a readonly database";
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"START TRANSACTION ISOLATION LEVEL REPEATABLE READ", "<BEGIN>"},
        {"insert into t values (1)", "<INSERT 0 1>"},
        {"COMMIT WORK", "<COMMIT>"},
        {"BEGIN READ ONLY", "<BEGIN>"},
        {"select count(*) from t", "1\n"},
        {"insert into t values (2)", refused},
        {"ABORT", "<ROLLBACK>"},
        {"insert into t values (3)", "<INSERT 0 1>"},  // the mode ended with the block
        {"begin transaction isolation level read committed, read write, not deferrable", "<BEGIN>"},
        {"insert into t values (4)", "<INSERT 0 1>"},
        {"set transaction read only", "<SET>"},
        {"insert into t values (5)", refused},
        {"rollback", "<ROLLBACK>"},
        {"SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY", "<SET>"},
        {"insert into t values (6)", refused},  // outside a block too
        {"begin", "<BEGIN>"},
        {"insert into t values (7)", refused},
        {"rollback", "<ROLLBACK>"},
        {"begin read write", "<BEGIN>"},
        {"insert into t values (8)", "<INSERT 0 1>"},
        {"commit", "<COMMIT>"},
        {"set session characteristics as transaction isolation level serializable, read write", "<SET>"},
        {"BEGIN ISOLATION LEVEL SOMETIMES", "ERROR 42601: syntax error at or near \"SOMETIMES\""},
        {"select group_concat(a) from t", "1,3,8\n"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;

    // The same through the extended protocol, as drivers send it.
    Result r(PQexecParams(c(), "BEGIN ISOLATION LEVEL SERIALIZABLE READ ONLY", 0, nullptr, nullptr, nullptr,
                          nullptr, 0),
             PQclear);
    EXPECT_EQ(text_of(r.get()), "<BEGIN>");
    r.reset(PQexecParams(c(), "insert into t values (9)", 0, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), refused);
    EXPECT_EQ(exec(c(), "rollback"), "<ROLLBACK>");
    EXPECT_EQ(exec(c(), "insert into t values (10)"), "<INSERT 0 1>");
}

// Settings as drivers set them on connecting (JDBC: extra_float_digits and
// application_name; others client_min_messages, the time zone, search_path) and read them
// back; a value the server cannot honour is refused, not reported as set.
TEST_F(Protocol, SessionSettingsAsDriversSetAndReadThem) {
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"SET extra_float_digits = 3", "<SET>"},
        {"show extra_float_digits", "3\n"},
        {"SET application_name = 'PostgreSQL JDBC Driver'", "<SET>"},
        {"set client_min_messages to WARNING", "<SET>"},
        {"show client_min_messages", "warning\n"},
        {"SET SESSION timezone TO 'UTC'", "<SET>"},
        {"SET TIME ZONE 'Etc/UTC'", "<SET>"},
        {"show time zone", "UTC\n"},
        {"set search_path = app, public", "<SET>"},
        {"show search_path", "app, public\n"},
        {"SET DateStyle = ISO, DMY", "<SET>"},
        {"show datestyle", "ISO, DMY\n"},
        {"set intervalstyle = iso_8601", "<SET>"},
        {"set standard_conforming_strings = on", "<SET>"},
        {"set client_encoding = 'utf-8'", "<SET>"},
        {"set myapp.user_id = 42", "<SET>"},
        {"select current_setting('myapp.user_id'), current_setting('nosuch.thing', true) is null", "42|1\n"},
        {"select set_config('application_name', 'set by a function', false)", "set by a function\n"},
        {"show application_name", "set by a function\n"},
        // What cannot be honoured or does not exist.
        {"set TimeZone = 'Europe/Berlin'",
         "ERROR 22023: invalid value for parameter \"TimeZone\": \"Europe/Berlin\": times are written in UTC only"},
        {"set datestyle = 'SQL, DMY'",
         "ERROR 22023: invalid value for parameter \"DateStyle\": \"SQL, DMY\": dates are written in the ISO style "
         "only"},
        {"set client_encoding = 'LATIN1'",
         "ERROR 22023: invalid value for parameter \"client_encoding\": \"LATIN1\": this server sends and receives "
         "UTF8 only"},
        {"set standard_conforming_strings = off",
         "ERROR 22023: invalid value for parameter \"standard_conforming_strings\": \"off\": strings are always read "
         "as the SQL standard has them"},
        {"set extra_float_digits = 4",
         "ERROR 22023: 4 is outside the valid range for parameter \"extra_float_digits\" (-15 .. 3)"},
        {"set client_min_messages = chatty",
         "ERROR 22023: invalid value for parameter \"client_min_messages\": \"chatty\": available values: debug5, "
         "debug4, debug3, debug2, debug1, log, notice, warning, error"},
        {"set work_mem = '64MB'", "ERROR 42704: unrecognized configuration parameter \"work_mem\""},
        {"set \"my.a=b\" = 1", "ERROR 42704: unrecognized configuration parameter \"my.a=b\""},
        {"set server_version = '99'", "ERROR 55P02: parameter \"server_version\" cannot be changed"},
        {"set role postgres", "ERROR 0A000: SET ROLE is not supported: a session acts as the user it logged in as"},
        {"set application_name", "ERROR 42601: syntax error at end of input"},
        {"select set_config('is_superuser', 'on', false)",
         "ERROR 55P02: parameter \"is_superuser\" cannot be changed"},
        {"show is_superuser", "on\n"},
        // RESET, and the transaction's own settings as SET names them.
        {"reset application_name", "<RESET>"},
        {"show application_name", "\n"},
        {"reset all", "<RESET>"},
        {"show extra_float_digits", "1\n"},
        {"show search_path", "\"$user\", public\n"},
        {"reset role", "<RESET>"},
        {"create table t(a)", "<CREATE TABLE>"},
        {"set default_transaction_read_only = on", "<SET>"},
        {"insert into t values (1)", "ERROR 25006: attempt to write a readonly database"},
        {"set default_transaction_read_only to default", "<SET>"},
        {"begin", "<BEGIN>"},
        {"set transaction_read_only = on", "<SET>"},
        {"show transaction_read_only", "on\n"},
        {"insert into t values (2)", "ERROR 25006: attempt to write a readonly database"},
        {"rollback", "<ROLLBACK>"},
        {"set transaction_isolation = 'read committed'", "<SET>"},
        {"set session characteristics as transaction isolation level read committed", "<SET>"},
        {"select count(*) from t", "0\n"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;

    // SHOW ALL: a row for each setting, with its value now.
    Result all(PQexec(c(), "show all"), PQclear);
    ASSERT_EQ(PQresultStatus(all.get()), PGRES_TUPLES_OK);
    EXPECT_STREQ(PQfname(all.get(), 1), "setting");
    bool seen = false;
    for (int i = 0; i < PQntuples(all.get()); ++i)
        if (std::string(PQgetvalue(all.get(), i, 0)) == "DateStyle")
            seen = std::string(PQgetvalue(all.get(), i, 1)) == "ISO, MDY";
    EXPECT_TRUE(seen);
    // Through the extended protocol, as drivers send them.
    Result r(PQexecParams(c(), "SET extra_float_digits = 2", 0, nullptr, nullptr, nullptr, nullptr, 0), PQclear);
    EXPECT_EQ(text_of(r.get()), "<SET>");
    r.reset(PQexecParams(c(), "show extra_float_digits", 0, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "2\n");
    // A prepared SHOW reads the value when it runs, not when it was prepared.
    r.reset(PQprepare(c(), "show_digits", "show extra_float_digits", 0, nullptr));
    EXPECT_EQ(exec(c(), "set extra_float_digits = -3"), "<SET>");
    r.reset(PQexecPrepared(c(), "show_digits", 0, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "-3\n");
}

// An error SQLite finds at a place in the query says where (the character, from 1), so
// that psql can point at it; a query the server compiled into another text says nowhere.
TEST_F(Protocol, ErrorsSayWhereInTheQueryTheyAre) {
    ASSERT_EQ(exec(c(), "create table t(a)"), "<CREATE TABLE>");
    const struct {
        const char *sql, *position;
    } cases[] = {
        {"select nosuch from t", "8"},
        {"select 1;\n  select a, nosuch from t", "23"},
        {"select 'été', nosuch", "15"},  // characters, not bytes
        {"selec 1", "1"},
        {"select * from nosuch", ""},
        {"select nosuch from DB.DBA.SYS_KEYS", ""},
        // after a LIKE pattern given its escape and a column given its name
        {"select a like 'x', 1 from t where a like 'y' and nosuch", "50"},
    };
    for (const auto &k : cases) {
        Result r(PQexec(c(), k.sql), PQclear);
        ASSERT_EQ(PQresultStatus(r.get()), PGRES_FATAL_ERROR) << k.sql;
        const char *at = PQresultErrorField(r.get(), PG_DIAG_STATEMENT_POSITION);
        EXPECT_EQ(at ? at : "", std::string(k.position)) << k.sql;
    }
    Result r(PQprepare(c(), "bad", " -- first\nselect 1 + nosuch", 0, nullptr), PQclear);
    EXPECT_STREQ(PQresultErrorField(r.get(), PG_DIAG_STATEMENT_POSITION), "22");
}

// Columns without an alias are named as PostgreSQL names them, which drivers that give
// rows as maps (and queries over a subquery) go by.
TEST_F(Protocol, ColumnsAreNamedAsPostgresNamesThem) {
    ASSERT_EQ(exec(c(), "create table t(a integer, b text); insert into t values (1, 'x')"), "<INSERT 0 1>");
    const struct {
        const char *sql, *names;
    } cases[] = {
        {"select a, t.b, *, t.* from t", "a|b|a|b|a|b"},
        {"select count(*), max(a) filter (where a > 0), sum(a) over (), pg_catalog.lower(b), now() from t",
         "count|max|sum|lower|now"},
        {"select a::text, t.b::varchar(3), 1::int, 2::integer, '3'::text, 4.5::double precision, (a + 1)::bigint, "
         "cast(b as text), cast(1 as boolean), date '2024-01-31', '{1}'::int[] from t",
         "a|b|int4|int4|text|float8|int8|b|bool|date|int4"},
        {"select 1, 'x', null, true, $$y$$, E'it\\'s, z', a + 1, -a, not a, a is null, (a), current_user from t",
         "?column?|?column?|?column?|bool|?column?|?column?|?column?|?column?|?column?|?column?|a|current_user"},
        {"select case when a = 1 then 'one' end, case when a = 1 then 1 else a end, exists (select 1), "
         "(select max(a) from t), (select b as inner_name from t), array[1, 2] from t",
         "case|a|exists|max|inner_name|array"},
        {"select a as x, b y, count(*) \"Total\", 1 as default from t group by a, b", "x|y|Total|default"},
        {"select count, s.sum from (select count(*), sum(a) from t) s", "count|sum"},
        {"select distinct a + 1 from t union select 2", "?column?"},
        // FROM in IS [NOT] DISTINCT FROM ends no select list.
        {"select a is distinct from null, a is not distinct from 1 as same, (select b is distinct from 'y') from t",
         "?column?|same|?column?"},
    };
    for (const auto &k : cases) {
        Result r(PQexec(c(), k.sql), PQclear);
        ASSERT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK) << k.sql << PQresultErrorMessage(r.get());
        std::string names;
        for (int i = 0; i < PQnfields(r.get()); ++i) names += (i ? "|" : "") + std::string(PQfname(r.get(), i));
        EXPECT_EQ(names, k.names) << k.sql;
    }
    // A statement given names still says where its error is.
    Result r(PQexec(c(), "select count(*), 1, nosuch from t"), PQclear);
    EXPECT_STREQ(PQresultErrorField(r.get(), PG_DIAG_STATEMENT_POSITION), "21");
}

// What tools ask to learn where they are, as PostgreSQL answers it: the server's version,
// the user, the database asked for, the schema; pg_catalog.f(...) is f(...).
TEST_F(Protocol, ToolsLearnTheServerUserAndDatabase) {
    Conn named = connect(server, "user=alice dbname=sales");
    ASSERT_EQ(PQstatus(named.get()), CONNECTION_OK) << PQerrorMessage(named.get());
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"select version() like 'PostgreSQL 15.0 (Quendrix server %) on SQLite 3.%-bit'", "1\n"},
        {"select pg_catalog.version() = version(), PG_CATALOG . current_setting('application_name')", "1|\n"},
        {"select current_user, session_user, current_role, current_database(), current_catalog, current_schema, "
         "current_schema()",
         "alice|alice|alice|sales|sales|public|public\n"},
        // Only the functions: strings, quoted names, column labels and qualified names stay.
        {"select 'current_user', \"current_user\", 1 AS current_user, t.current_user from "
         "(select 2 as \"current_user\") t",
         "current_user|2|1|2\n"},
        {"select pg_catalog.nosuch", "ERROR 42000: no such column: nosuch"},
        // The key of the session's last insert, as PDO::lastInsertId asks for it.
        {"select lastval()", "ERROR 55000: lastval is not yet defined in this session"},
        {"create table t(id integer primary key, a); insert into t(a) values ('x'), ('y')", "<INSERT 0 2>"},
        {"SELECT LASTVAL()", "2\n"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(named.get(), step.sql), step.result) << step.sql;
}

// Casts as clients write them (value::type), dollar-quoted and escape strings, now(),
// arrays and series: each converts or fails as PostgreSQL does, where SQLite alone would
// refuse the syntax, read a number from the start of any text, or take $$...$$ for a
// parameter.
TEST_F(Protocol, CastsStringsAndArraysAsPostgresWritesThem) {
    ASSERT_EQ(exec(c(), "create table t(id integer primary key, s text, d timestamptz default now())"),
              "<CREATE TABLE>");
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"select 1::text, '12'::int + 1, ' 7 '::int4, '-3'::smallint, 2.5::int, (-2.5)::int8, 1.5::float4",
         "1|13|7|-3|3|-3|1.5\n"},
        {"select '12abc'::int", "ERROR 22P02: invalid input syntax for type integer: \"12abc\""},
        {"select ''::bigint", "ERROR 22P02: invalid input syntax for type bigint: \"\""},
        {"select 3000000000::integer", "ERROR 22003: integer out of range"},
        {"select 40000::int2", "ERROR 22003: smallint out of range"},
        {"select '99999999999999999999'::int8",
         "ERROR 22003: value \"99999999999999999999\" is out of range for type bigint"},
        {"select '1e3'::float8 = 1000, '-Infinity'::double precision < -1e308, '12'::numeric, '1.25'::decimal",
         "1|1|12|1.25\n"},
        // SQLite keeps no NaN (it would be NULL).
        {"select 'NaN'::float8", "ERROR 0A000: NaN is not supported"},
        {"select '1.2.3'::real", "ERROR 22P02: invalid input syntax for type real: \"1.2.3\""},
        {"select 'yes'::bool, 'Of'::boolean, ' t '::bool, 0::bool, 'on'::bool", "1|0|1|0|1\n"},
        {"select 'maybe'::bool", "ERROR 22P02: invalid input syntax for type boolean: \"maybe\""},
        {"select hex('\\x4142'::bytea), hex('a\\\\b'::bytea), hex('\\101'::bytea), hex('x'::text::bytea)",
         "4142|615C62|41|78\n"},
        {"select '\\x414'::bytea", "ERROR 22023: invalid hexadecimal data: odd number of digits"},
        {"select '2024-02-29 10:00'::date, '2024-1-5'::date", "2024-02-29|2024-01-05\n"},
        {"select '2023-02-29'::date", "ERROR 22007: invalid input syntax for type date: \"2023-02-29\""},
        {"select 'abcdef'::varchar(3), 'abc'::character varying, 'ab'::char(1), typeof('1'::text)", "abc|abc|a|text\n"},
        // Casts of calls, parentheses, qualified columns and other casts.
        {"select ('1' || '2')::int * 2, abs(-3)::text || 'x', (select 5)::text, cast('5' as int)::text::int + 1",
         "24|3x|5|6\n"},
        {"insert into t(id, s) values ('1'::int, 2::text) returning t.s::int + t.id::int", "3\n"},
        // Catalogue types: a name's oid, an oid's name.
        {"select 't'::regclass = (select oid from pg_class where relname = 't'), 'public.T'::regclass::int > 0",
         "1|1\n"},
        {"select (select oid from pg_class where relname = 't')::regclass, 99999::regclass", "t|99999\n"},
        {"select 'nosuch'::regclass", "ERROR 42P01: relation \"nosuch\" does not exist"},
        {"select 23::regtype, 'int'::regtype::int, 'text[]'::regtype::int, 'character varying(3)'::regtype::int",
         "integer|23|1009|1043\n"},
        {"select 'nosuch'::regtype", "ERROR 42704: type \"nosuch\" does not exist"},
        {"select 11::regnamespace, 'public'::regnamespace::int, format_type(1043, 14), format_type(1016, -1)",
         "pg_catalog|2200|character varying(10)|bigint[]\n"},
        {"select '{1,2}'::int[], '{\"a\": 1}'::jsonb, date '2024-02-29', timestamp '2024-01-01 10:00'",
         "{1,2}|{\"a\": 1}|2024-02-29|2024-01-01 10:00\n"},
        {"select date '2023-02-30'", "ERROR 22007: invalid input syntax for type date: \"2023-02-30\""},
        // Kept as text, an interval would take part in sums as a number: refused but
        // where it is added to a time or taken from one.
        {"select interval '1 hour' * 2", "ERROR 0A000: type interval is not supported"},
        // CAST(x AS type) as x::type, where SQLite would read a number from the start.
        {"select cast('2026-01-31' as date), cast('yes' as boolean), cast('2026-01-31 10:00' as timestamp)",
         "2026-01-31|1|2026-01-31 10:00\n"},
        // numeric(precision, scale): rounded half away from zero, refused past the precision.
        {"select 3.14159::numeric(5,2), '2.5'::numeric(3,0), (-2.5)::numeric(3), 1.005::numeric(4,2), "
         "cast(123.456 as decimal(4,1))",
         "3.14|3|-3|1.01|123.5\n"},
        {"select 12345::numeric(4)", "ERROR 22003: numeric field overflow"},
        {"select cast('2026-02-30' as date)", "ERROR 22007: invalid input syntax for type date: \"2026-02-30\""},
        {"select 'x'::nosuchtype", "ERROR 42704: type \"nosuchtype\" does not exist"},
        // Strings in dollar quotes; a $ within a name stays the name's.
        {"select $$it's$$, $q$a$$b$q$, length($$$$), a$$ from (select 1 as a$$)", "it's|a$$b|0|1\n"},
        {"select E'a\\nb', e'it\\'s', E'\\x41\\101\\u00e9', E'x''y\\\\', hex(E'\\x27'), length(e'\\q')",
         "a\nb|it's|AA\u00e9|x'y\\|27|1\n"},
        // The standard's SUBSTRING and TRIM forms (a start before 1 is outside the text).
        {"select substring('abcdef' from 2 for 3), substring('abcdef' from -1 for 3), substring('abcdef' from 3), "
         "substring('abcdef' for 2), trim(both 'x' from 'xaxx'), trim(leading from '  a '), trim(trailing 'b' from 'abb')",
         "bcd|a|cdef|ab|a|a |a\n"},
        // Arrays as their text, series, joined groups; what SQLite cannot hold fails.
        {"select array_to_string('{a,\"b c\",NULL}', '-'), array_to_string('{a,NULL}', ',', '*'), "
         "array_upper('{1,2,3}', 1), array_upper('{}', 1)",
         "a-b c|a,*|3|<null>\n"},
        {"select string_agg(value::text, ','), count(*) from generate_series(1, 10, 3)", "1,4,7,10|4\n"},
        {"select value from generate_series(3, 1, -1) where value <> 2", "3\n1\n"},
        {"select count(*), string_agg(value, ',') from generate_series(5, 1)", "0|<null>\n"},
        {"select ARRAY[1, 'b c', null, '', 'x\"y'], array[], array(select 1 where 0)",
         "{1,\"b c\",NULL,\"\",\"x\\\"y\"}|{}|{}\n"},
        // x = ANY (array): x IN its elements (numbers unquoted are numbers); <> ALL: NOT IN.
        {"select 2 = any('{1,2}'), 5 = SOME(ARRAY[1,2]), 'b c' = any('{a,\"b c\"}'), 1 <> all('{2,3}'), "
         "1 != ALL('{1}'), 0 = any('{}'), 2 == any(select 2)",
         "1|0|1|1|0|0|1\n"},
        {"select id from t where id = any(array[1, 7]) or s = any('{x}')", "1\n"},
        {"select 1 > any('{1}')", "ERROR 0A000: ANY (array) is not supported"},
        {"select array(select 1)", "ERROR 0A000: ARRAY (subquery) of rows is not supported"},
        // Subscripts from 1, of a vector of column numbers (pg_index.indkey) from 0.
        {"select x[1], x[2], x[1 + 2], y[0], y[1], (x)[1] from (select '{7,\"b c\"}' x, '2 5' y)",
         "7|b c|<null>|2|5|7\n"},
        {"select x[1:2] from (select '{1}' x)", "ERROR 0A000: an array slice is not supported"},
        {"select x[1] from (select 'abc' x)", "ERROR 42804: cannot subscript type text because it is not an array"},
        // Set-returning functions in a select list, over one array or series.
        {"select unnest(array[3, 'a']), generate_subscripts(array[3, 'a'], 1) i", "3|1\na|2\n"},
        {"select id, unnest('{x,y}') u from t where id = 1 order by u desc", "1|y\n1|x\n"},
        {"select generate_series(1, 3) % 2 as odd",
         "ERROR 0A000: generate_series() in an expression or beside other set-returning functions is not supported"},
        {"select unnest('{1}'), unnest('{2}')",
         "ERROR 0A000: unnest() in an expression or beside other set-returning functions is not supported"},
        {"select count(*) from (select generate_series(2, 6, 2))", "3\n"},
        // ... and in FROM, with aliases that name their columns, WITH ORDINALITY.
        {"select * from generate_series(1, 3) as g(n) where n > 1", "2\n3\n"},
        {"select g from generate_series(1, 3) g where g > 1", "2\n3\n"},  // an alias names the column
        {"select v, n, unnest from unnest(array['x', 'y']) with ordinality as u(v, n), unnest('{z}')",
         "x|1|z\ny|2|z\n"},
        {"create table arrays(id integer primary key, a text); insert into arrays values (1, '{p,q}'), (2, '{r}')",
         "<INSERT 0 2>"},
        {"select arrays.id, e.x, e.i from arrays, unnest(arrays.a) with ordinality e(x, i) where e.i < 3 "
         "order by e.x desc",
         "2|r|1\n1|q|2\n1|p|1\n"},
        // VALUES and subqueries whose alias names their columns (psycopg2's execute_values).
        {"update arrays set a = data.a from (values (1, '{}'), (2, NULL)) as data (id, a) where arrays.id = data.id",
         "<UPDATE 2>"},
        {"select * from arrays join (select 1, 'one') as s(id, name) using (id)", "1|{}|one\n"},
        {"select arrays.id, s.s from arrays, generate_series(1, arrays.id) s order by 1, 2", "1|1\n2|1\n2|2\n"},
        // now(): the statement's time, as a timestamp with time zone in UTC.
        {"select now() = NOW ( ), now()::date = date('now'), (select d from t) like '____-__-__ __:__:__.___+00'",
         "1|1|1\n"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;

    // Described before they run: a cast parameter has its type, a cast column the type
    // its values are sent in.
    Result r(PQprepare(c(), "casts", "select $1::int4 a, 'x'::bytea b, 2::float8, $2::text || 'x', $3", 0, nullptr),
             PQclear);
    ASSERT_EQ(text_of(r.get()), "<>");
    r.reset(PQdescribePrepared(c(), "casts"));
    ASSERT_EQ(PQnparams(r.get()), 3);
    EXPECT_EQ(PQparamtype(r.get(), 0), 23u);
    EXPECT_EQ(PQparamtype(r.get(), 1), 25u);
    const unsigned columns[] = {20, 17, 701, 25, 25};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(PQftype(r.get(), i), columns[i]) << "column " << i;
    const char *values[] = {"41", "y", "z"};
    r.reset(PQexecPrepared(c(), "casts", 3, values, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "41|\\x78|2.0|yx|z\n");

    // An array parameter in binary form (int8[]: dimensions, flags, element type, size and
    // lower bound, then each element) is read as its text, as drivers that send one expect.
    const std::string int8_array("\0\0\0\1\0\0\0\1\0\0\0\x14\0\0\0\3\0\0\0\1"
                                 "\0\0\0\x08\0\0\0\0\0\0\0\1"
                                 "\xff\xff\xff\xff"
                                 "\0\0\0\x08\0\0\0\0\0\0\0\x07",
                                 20 + 12 + 4 + 12);
    const Oid int8_array_type = 1016;
    const char *array_value[] = {int8_array.data()};
    const int array_length[] = {static_cast<int>(int8_array.size())}, binary[] = {1};
    r.reset(PQexecParams(c(), "select $1, 7 = any($1), 2 = any($1)", 1, &int8_array_type, array_value, array_length,
                         binary, 0));
    EXPECT_EQ(text_of(r.get()), "{1,NULL,7}|1|<null>\n");  // NULL: no element is 2, one is unknown
    const int cut[] = {static_cast<int>(int8_array.size()) - 1};
    r.reset(PQexecParams(c(), "select $1", 1, &int8_array_type, array_value, cut, binary, 0));
    EXPECT_EQ(text_of(r.get()), "ERROR 22P03: incorrect binary data format in bind parameter 1");
}

// Dates and times kept as text add and subtract as PostgreSQL's do (SQLite would take
// the year for a number: date '2026-01-31' + 1 would be 2027), and extract(),
// date_trunc() and their kin read them; the server's time zone is UTC.
TEST_F(Protocol, DatesAndTimesAddAndSubtractAsPostgresDoes) {
    ASSERT_EQ(exec(c(), "create table ev(id integer primary key, at timestamptz default now()); "
                        "insert into ev(at) values ('2026-01-01 10:00:00+00'), ('2026-01-03 10:00:00.25+00'), (null)"),
              "<INSERT 0 3>");
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"select date '2026-01-31' + 1, date '2026-03-01' - 1, date '2026-03-01' - date '2026-01-01', "
         "current_date - current_date, cast('2024-02-29' as date) + 365, ('2026-01-01'::date) - -1",
         "2026-02-01|2026-02-28|59|0|2025-02-28|2026-01-02\n"},
        // Months first (to the month's last day if it is shorter), then days, then time.
        {"select date '2026-01-31' + interval '1 month', timestamp '2024-02-29 10:00' + interval '1 year', "
         "timestamptz '2026-12-11 23:30:00+02' + interval '1 hour 30 minutes', "
         "timestamp '2026-01-01' - interval '1.5 days', timestamp '2026-01-01 00:00' + interval '01:02:03.5', "
         "timestamp '2026-01-01' + interval '1 day' - interval '@ 2 hours ago'",
         "2026-02-28 00:00:00|2025-02-28 10:00:00|2026-12-11 23:00:00+00|2025-12-30 12:00:00|"
         "2026-01-01 01:02:03.5|2026-01-02 02:00:00\n"},
        {"select timestamp '2026-01-02 00:00' - timestamp '2026-01-01 01:30:00.5', "
         "timestamp '2026-01-01' - timestamp '2026-01-02 02:00', now() - now(), now() - interval '1 day' < now(), "
         "date '2026-01-01' - interval '1 week' < current_date",
         "22:29:59.5|-1 days -02:00:00|00:00:00|1|1\n"},
        // Stored times, compared with computed ones; NULL stays NULL.
        {"select id, at + interval '1 day' from ev where at >= timestamptz '2026-01-03 00:00+00' - interval '1 day' "
         "or at is null order by id",
         "2|2026-01-04 10:00:00.25+00\n3|<null>\n"},
        {"select extract(year from timestamp '2026-05-01 10:00'), extract(dow from date '2026-12-11'), "
         "extract(epoch from timestamptz '1970-01-01 00:00:01.5+00'), extract(week from date '2027-01-01'), "
         "date_part('quarter', date '2026-05-01'), extract(second from timestamp '2026-01-01 10:00:05.25'), "
         "extract(hour from timestamptz '2026-01-01 01:00+02'), extract('doy' from date '2026-12-31')",
         "2026|5|1.5|53|2|5.25|23|365\n"},
        // of an interval, as a time from another gives one
        {"select extract(epoch from timestamp '2026-01-02 00:00' - timestamp '2026-01-01 01:30:00.5'), "
         "extract(hour from timestamp '2026-01-02 00:00' - timestamp '2026-01-01 01:30'), "
         "date_part('epoch', '1 year 1 month 1 day'), extract(epoch from now() - now())",
         "80999.5|22|34236000|0\n"},
        {"select date_trunc('month', timestamp '2026-05-11 10:00'), date_trunc('week', date '2026-12-11'), "
         "date_trunc('hour', timestamptz '2026-12-11 10:59:59.9+00'), make_date(2026, 2, 28), to_timestamp(86400.5)",
         "2026-05-01 00:00:00|2026-12-07 00:00:00|2026-12-11 10:00:00+00|2026-02-28|1970-01-02 00:00:00.5+00\n"},
        // AT TIME ZONE: UTC and offsets (a bare offset is POSIX's: '+02' is west of Greenwich).
        {"select timestamptz '2026-01-01 12:00+00' at time zone 'UTC', timestamp '2026-01-01 12:00' at time zone "
         "'utc', timestamptz '2026-01-01 12:00+00' at time zone '+02', now() at time zone 'utc' - interval '1 day' < "
         "now()",
         "2026-01-01 12:00:00|2026-01-01 12:00:00+00|2026-01-01 10:00:00|1\n"},
        {"select now() at time zone 'Europe/Paris'",
         "ERROR 0A000: time zone \"Europe/Paris\" is not supported: the server knows UTC and offsets"},
        // to_char() of times and of numbers, as PostgreSQL pads and rounds.
        {"select to_char(timestamp '2026-03-05 14:07:09.123456', 'YYYY-MM-DD HH24:MI:SS.MS US'), "
         "to_char(timestamp '2026-03-05 14:07:09', 'Day, DD Month YYYY HH12:MI AM'), "
         "to_char(date '2026-03-05', 'FMDay FMMonth FMDD Mon DY dy Q DDD IW \"week\"')",
         "2026-03-05 14:07:09.123 123456|Thursday , 05 March     2026 02:07 PM|"
         "Thursday March 5 Mar THU thu 1 064 10 week\n"},
        {"select to_char(1234.5, '9999.99'), to_char(-1234.5, '9,999.99'), to_char(5, '000'), to_char(0.5, '9.99'), "
         "to_char(0.5, '0.99'), to_char(1234.5, 'FM9,999.00'), to_char(1.5, 'FM999.99'), to_char(12345, '999'), "
         "to_char(-5, '999MI'), to_char(5, 'S999'), to_char(0, '999')",
         " 1234.50|-1,234.50| 005|  .50| 0.50|1,234.50|1.5| ###|  5-|  +5|   0\n"},
        // age(): years, months and days with borrowing, as PostgreSQL writes it.
        {"select age(timestamp '2026-03-01', timestamp '2026-01-31'), "
         "age(timestamp '2026-01-31', timestamp '2026-03-01 10:00'), "
         "age(timestamp '2027-05-03 10:00:30.5', timestamp '2026-01-01'), age(current_date::timestamp), "
         "age(timestamp '2026-12-11', timestamp '2000-06-15') >= interval '26 years', "
         "extract(year from age(timestamp '2026-12-11', timestamp '2000-06-15'))",
         "1 mon 1 day|-1 mons -1 days -10:00:00|1 year 4 mons 2 days 10:00:30.5|00:00:00|1|26\n"},
        // A difference of times compared with an interval.
        {"select id from ev where timestamptz '2026-01-03 12:00+00' - at <= interval '2 days'", "2\n"},
        {"select id from ev where interval '1 day' < (timestamptz '2026-01-03 12:00+00' - at)", "1\n"},
        // Series of times, each the last plus the interval (a month from the 31st stays at 28).
        {"select d::date, extract(dow from d) from generate_series(timestamp '2026-01-31', timestamp '2026-04-30', "
         "interval '1 month') d",
         "2026-01-31|6\n2026-02-28|6\n2026-03-28|6\n2026-04-28|2\n"},
        {"select count(*), min(value), max(value) from generate_series(timestamptz '2026-01-02 00:00+00', "
         "timestamptz '2026-01-01 00:00+00', '-1 hour'::interval)",
         "25|2026-01-01 00:00:00+00|2026-01-02 00:00:00+00\n"},
        {"select generate_series(date '2026-01-01', date '2026-01-02', interval '12 hours')",
         "2026-01-01 00:00:00\n2026-01-01 12:00:00\n2026-01-02 00:00:00\n"},
        {"select * from generate_series(date '2026-01-01', date '2026-01-02', interval '0 days')",
         "ERROR 42000: step size cannot equal zero"},
        {"select now() + 1", "ERROR 42883: operator does not exist: timestamp with time zone + integer"},
        {"select date '2026-01-01' + interval '1 fortnight'",
         "ERROR 22007: invalid input syntax for type interval: \"1 fortnight\""},
        {"select extract(fortnight from now())", "ERROR 22023: unit \"fortnight\" not recognized for type timestamp"},
        {"select make_date(2026, 2, 30)", "ERROR 22008: date field value out of range: 2026-2-30"},
        {"select date_trunc('day', 'soon')", "ERROR 22007: invalid input syntax for type timestamp: \"soon\""},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;
}

// PostgreSQL's functions of text and numbers, counted in characters; left() and right()
// despite being SQLite's join keywords; random() a fraction, not a 64-bit integer.
TEST_F(Protocol, TextAndNumberFunctionsAsPostgresHasThem) {
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"select split_part('a,b,c', ',', 2), split_part('a,b,c', ',', -1), split_part('a,b', ',', 5), "
         "repeat('ab', 3), lpad('5', 3, '0'), rpad('h\u00e9llo', 3), lpad('x', 5, 'ab'), rpad('x', 3)",
         "b|c||ababab|005|h\u00e9l|ababx|x  \n"},
        {"select initcap('hello wORLD-\u00e9a'), reverse('h\u00e9llo'), strpos('h\u00e9llo', 'l'), "
         "position('l' in 'h\u00e9llo'), concat('a', 1, null, 2.5), concat_ws(',', 'a', null, 'b'), btrim('xxaxx', 'x')",
         "Hello World-\u00c9a|oll\u00e9h|3|3|a12.5|a,b|a\n"},
        {"select chr(233), ascii('\u00e9'), char_length('h\u00e9llo'), octet_length('h\u00e9llo'), "
         "translate('abcd', 'bd', 'x'), starts_with('abc', 'ab'), left('h\u00e9llo', 2), right('h\u00e9llo', -2)",
         "\u00e9|233|5|6|axc|1|h\u00e9|llo\n"},
        {"select greatest(1, null, 3, 2), least('b', 'a', null), greatest(null, null), div(-7, 2), mod(-7, 2), "
         "mod(7.5, 2), random() >= 0 and random() < 1, concat_ws(null, 'a')",
         "3|a|<null>|-3|-1|1.5|1|<null>\n"},
        // Aggregates, arrays (as their text), JSON by SQLite's functions, bytes as text.
        {"select array_agg(x), bool_and(x > 0), bool_or(x > 2), every(x > 1), json_agg(x), "
         "array_length(array_agg(x), 1) from (select value x from generate_series(1, 3))",
         "{1,2,3}|1|1|0|[1,2,3]|3\n"},
        {"select bool_and(x), array_agg(x), array_agg(null) is null from (select 1 x where 0)", "<null>|<null>|1\n"},
        // ORDER BY and DISTINCT inside string_agg() and array_agg(), which SQLite's grammar lacks.
        {"select g, string_agg(v, ', ' order by v desc), array_agg(v order by n nulls first), "
         "string_agg(distinct v, '/'), array_agg(distinct n), string_agg(v, '' order by n desc, v) "
         "from (values (1, 'b', 2), (1, 'a', null), (1, 'b', 1), (2, 'c', 5)) x(g, v, n) group by g order by g",
         "1|b, b, a|{a,b,b}|a/b|{1,2,NULL}|abb\n2|c|{c}|c|{5}|c\n"},
        {"select string_agg(v, ',' order by v) from (select 'x' v where 0)", "<null>\n"},
        {"select string_to_array('a,b,,c', ','), string_to_array('a,b,*', ',', '*'), string_to_array('h\u00e9y', null), "
         "cardinality('{}'), array_length('{}', 1), jsonb_build_object('a', 1, 'b', 'x'), to_json('a\"b'::text)",
         "{a,b,\"\",c}|{a,b,NULL}|{h,\u00e9,y}|0|<null>|{\"a\":1,\"b\":\"x\"}|\"a\\\"b\"\n"},
        {"select encode('\\x00ff41'::bytea, 'hex'), encode('hello world!?'::bytea, 'base64'), "
         "encode(decode('aGVsbG8=', 'base64'), 'escape'), decode('0a FF', 'hex') = x'0aff', to_hex(255), to_hex(-1), "
         "pg_backend_pid() > 0, pg_sleep(0.01)",
         "00ff41|aGVsbG8gd29ybGQhPw==|hello|1|ff|ffffffffffffffff|1|<null>\n"},
        {"select decode('abc', 'hex')", "ERROR 22023: invalid hexadecimal data: odd number of digits"},
        {"select encode('a'::bytea, 'rot13')", "ERROR 22023: unrecognized encoding: \"rot13\""},
        // regexp_replace(): the leftmost longest match, every one with g; \& is the match.
        {"select regexp_replace('a1b22c333', '[0-9]+', '#'), regexp_replace('a1b22c333', '[0-9]+', '#', 'g'), "
         "regexp_replace('Hello World', 'o', '0', 'gi'), regexp_replace('abc', 'B', '[\\&]', 'i'), "
         "regexp_replace('abc', 'x*', '-', 'g'), regexp_replace('\u00e9t\u00e9', '\u00e9', 'e', 'g'), "
         "regexp_replace('(555) 123-4567', '[^0-9]', '', 'g')",
         "a#b22c333|a#b#c#|Hell0 W0rld|a[b]c|-a-b-c-|ete|5551234567\n"},
        {"select regexp_replace('a', '(a)', '\\1')",
         "ERROR 0A000: back references in a regexp_replace() replacement are not supported"},
        {"select regexp_replace('a', 'a', 'b', 'z')", "ERROR 22023: invalid regular expression option: \"z\""},
        {"select split_part('a', ',', 0)", "ERROR 22023: field position must not be zero"},
        {"select div(1, 0)", "ERROR 22012: division by zero"},
        {"select chr(0)", "ERROR 54000: null character not permitted"},
        {"select repeat('x', 2000000000)", "ERROR 54000: requested length too large"},
        {"select repeat('', 9000000000000000000) = ''", "1\n"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;
    // Names of the calls, and LEFT JOIN still a join.
    Result r(PQexec(c(), "select left('ab', 1), position('b' in 'ab'), extract(year from date '2026-01-01'), "
                         "now() at time zone 'utc' from (select 1 a) x left join (select 1 a) y on x.a = y.a"),
             PQclear);
    ASSERT_EQ(PQntuples(r.get()), 1) << PQresultErrorMessage(r.get());
    EXPECT_STREQ(PQfname(r.get(), 0), "left");
    EXPECT_STREQ(PQfname(r.get(), 1), "position");
    EXPECT_STREQ(PQfname(r.get(), 2), "extract");
    EXPECT_STREQ(PQfname(r.get(), 3), "timezone");
}

// SELECT ... FOR UPDATE (an ORM's or a job queue's) is accepted; with no row locks, a
// transaction that read a row another then changed fails at its own write (40001) and
// so overwrites nothing it did not see.
TEST_F(Protocol, ForUpdateIsAcceptedAndAStaleWriteFails) {
    ASSERT_EQ(exec(c(), "create table jobs(id integer primary key, state text); "
                        "insert into jobs values (1, 'new'), (2, 'new')"),
              "<INSERT 0 2>");
    const struct {
        const char *sql, *result;
    } forms[] = {
        {"select id from jobs where id = 1 for update", "1\n"},
        {"select id from jobs order by id limit 1 for update of jobs skip locked", "1\n"},
        {"select id from jobs where id = 2 for no key update nowait for key share", "2\n"},
        {"select count(*) from jobs j for share of j", "2\n"},
        {"select id from jobs for each", "ERROR 42000: near \"each\": syntax error"},
    };
    for (const auto &f : forms) EXPECT_EQ(exec(c(), f.sql), f.result) << f.sql;
    Conn other = connect(server, "");
    ASSERT_EQ(PQstatus(other.get()), CONNECTION_OK) << PQerrorMessage(other.get());
    EXPECT_EQ(exec(c(), "begin"), "<BEGIN>");
    EXPECT_EQ(exec(c(), "select state from jobs where id = 1 for update"), "new\n");
    EXPECT_EQ(exec(other.get(), "update jobs set state = 'taken by other' where id = 1"), "<UPDATE 1>");
    EXPECT_EQ(exec(c(), "update jobs set state = 'taken' where id = 1"),
              "ERROR 40001: could not serialize access due to concurrent update");
    EXPECT_EQ(exec(c(), "rollback"), "<ROLLBACK>");
    EXPECT_EQ(exec(c(), "select state from jobs where id = 1"), "taken by other\n");
}

// The part of the catalogue drivers read when they connect or before they create a
// table, and the numbered keys (SERIAL) of the tables they create.
TEST_F(Protocol, DriversReadTheTypeCatalogueAndCreateNumberedKeys) {
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"select typname, typarray, typcategory, typlen from pg_catalog.pg_type where oid = 20", "int8|1016|N|8\n"},
        // Arrays are told by their receive function (array_recv), as drivers do.
        {"select t.typname, p.proname from pg_type t join pg_proc p on p.oid = t.typreceive "
         "where t.oid in (25, 1016) order by t.oid",
         "text|textrecv\n_int8|array_recv\n"},
        {"select count(*) from pg_type t join pg_namespace ns on typnamespace = ns.oid where typname = 'hstore'",
         "0\n"},
        {"select count(*) from pg_range", "0\n"},
        // Ruby's type maps want every type they map their own to, the address types too.
        {"select group_concat(typname, ' ') from (select typname from pg_type where typcategory = 'I' order by oid)",
         "cidr inet\n"},
        // A serial column of a new table is INTEGER: as its primary key, rows are numbered.
        {"create table s(id serial primary key, serial text)", "<CREATE TABLE>"},
        {"insert into s(serial) values ('x'), ('y') returning id", "1\n2\n"},
        {"select serial from s where id = 2", "y\n"},
        {"alter table s add column n bigserial", "<ALTER TABLE>"},
        {"select group_concat(name || ' ' || type, ', ') from pragma_table_info('s')",
         "id INTEGER, serial TEXT, n INTEGER\n"},
        {"select 'serial', t.serial serial from s t where id = 1", "serial|x\n"},
        // pg_class: the database's tables, views and indexes, as toolkits ask before CREATE.
        {"create view v as select 1", "<CREATE VIEW>"},
        {"select relname, relkind from pg_class c join pg_namespace n on n.oid = c.relnamespace "
         "where pg_catalog.pg_table_is_visible(c.oid) and n.nspname = 'public' and relname in ('s', 'v', 'nosuch') "
         "order by relname",
         "s|r\nv|v\n"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;

    // psql's lists of tables and views read them, with its match operators.
    std::vector<std::string> env = client_env();
    passwd *account = getpwuid(geteuid());
    ASSERT_NE(account, nullptr);
    const struct {
        const char *command, *listed;
    } lists[] = {
        {"\\dt", "public|s|table|%\n"},
        {"\\dt s*", "public|s|table|%\n"},
        {"\\dt nosuch", ""},
        {"\\dv", "public|v|view|%\n"},
        {"\\d", "public|s|table|%\npublic|v|view|%\n"},
    };
    for (const auto &l : lists) {
        ProgramRun r = run_program(kPsql,
                                   {"psql", "-X", "-A", "-t", "-h", "127.0.0.1", "-p", std::to_string(server.port()),
                                    "-U", "x", "-d", "x", "-c", l.command},
                                   "", "", &env);
        std::string expected = l.listed;
        for (size_t at; (at = expected.find('%')) != std::string::npos;) expected.replace(at, 1, account->pw_name);
        EXPECT_EQ(r.out, expected) << l.command << r.err;
    }
    // psql's \d NAME: columns with their declared types, defaults, indexes (made with an
    // access method and an operator class, as PostgreSQL's tools write them); and \l.
    ASSERT_EQ(exec(c(), "create table d(a integer primary key, b varchar(20) not null default 'x', c real, e); "
                        "create unique index db on d(b); create index dc on d(c) where c > 0; "
                        "create index dn on d using btree (b varchar_pattern_ops); create index dd on d(c desc, b); "
                        "create table k(x text, y int, z int, primary key (x, y), unique (z)); "
                        "create table wr(k text primary key) without rowid"),
              "<CREATE TABLE>");
    const struct {
        const char *command, *shown;
    } described[] = {
        {"\\d d",
         "Table \"public.d\"\nColumn|Type|Collation|Nullable|Default\na|integer||not null|\n"
         "b|character varying(20)||not null|'x'\nc|real|||\ne|unknown|||\n"
         "Indexes:\n    \"d_pkey\" PRIMARY KEY, btree (a)\n    \"db\" UNIQUE, btree (b)\n"
         "    \"dc\" btree (c) WHERE c > 0\n    \"dd\" btree (c DESC, b)\n    \"dn\" btree (b)\n"},
        // A key SQLite keeps in an index of its own, and one it keeps in the table's B-tree.
        {"\\d k",
         "Table \"public.k\"\nColumn|Type|Collation|Nullable|Default\nx|text||not null|\ny|integer||not null|\n"
         "z|integer|||\nIndexes:\n    \"k_pkey\" PRIMARY KEY, btree (x, y)\n    \"k_z_key\" UNIQUE CONSTRAINT, btree (z)\n"},
        {"\\d wr",
         "Table \"public.wr\"\nColumn|Type|Collation|Nullable|Default\nk|text||not null|\n"
         "Indexes:\n    \"wr_pkey\" PRIMARY KEY, btree (k)\n"},
        {"\\d v", "View \"public.v\"\nColumn|Type|Collation|Nullable|Default\n?column?|unknown|||\n"},
        {"\\l", "List of databases\nName|Owner|Encoding|Collate|Ctype|ICU Locale|Locale Provider|Access privileges\n"
                "x|%|UTF8|C|C||libc|\n(1 row)\n"},
        // ... with + their storage and sizes.
        {"\\d+ wr",
         "Table \"public.wr\"\nColumn|Type|Collation|Nullable|Default|Storage|Compression|Stats target|Description\n"
         "k|text||not null||extended|||\nIndexes:\n    \"wr_pkey\" PRIMARY KEY, btree (k)\nAccess method: heap\n"},
        {"\\dt+ s", "List of relations\nSchema|Name|Type|Owner|Persistence|Access method|Size|Description\n"
                    "public|s|table|%|permanent|heap|4096 bytes|\n(1 row)\n"},
        {"\\du", "List of roles\nRole name|Attributes|Member of\n%|Superuser, Create role, Create DB|{}\n"
                 "zed||{}\nzoe|Superuser, Create role|{}\n"},
    };
    ASSERT_EQ(exec(c(), "create user zed; create user zoe superuser"), "<CREATE ROLE>");
    for (const auto &d : described) {
        ProgramRun r = run_program(kPsql,
                                   {"psql", "-X", "-A", "-h", "127.0.0.1", "-p", std::to_string(server.port()), "-U",
                                    "x", "-d", "x", "-c", d.command},
                                   "", "", &env);
        std::string expected = d.shown;
        for (size_t at; (at = expected.find('%')) != std::string::npos;) expected.replace(at, 1, account->pw_name);
        EXPECT_EQ(r.out, expected) << d.command << r.err;
    }
    // The standard's information schema of the same tables and columns.
    const struct {
        const char *sql, *result;
    } standard[] = {
        {"select table_schema, table_name, table_type from information_schema.tables "
         "where table_schema = 'public' order by table_name",
         "public|d|BASE TABLE\npublic|k|BASE TABLE\npublic|s|BASE TABLE\npublic|v|VIEW\npublic|wr|BASE TABLE\n"},
        {"select column_name, ordinal_position, column_default, is_nullable, data_type, character_maximum_length, "
         "udt_name from INFORMATION_SCHEMA.columns where table_name = 'd' order by ordinal_position",
         "a|1|<null>|NO|integer|<null>|int4\nb|2|'x'|NO|character varying|20|varchar\n"
         "c|3|<null>|YES|real|<null>|float4\ne|4|<null>|YES|unknown|<null>|unknown\n"},
        {"select group_concat(schema_name, ' ') from information_schema.schemata", "pg_catalog public\n"},
        // Foreign keys as pg_constraint shows them (SQLAlchemy reflects them so).
        {"create table fk(id integer primary key, a integer references d(a) on delete cascade, x text, y int, "
         "foreign key (x, y) references k)",
         "<CREATE TABLE>"},
        {"select conname, contype, conrelid::regclass, confrelid::regclass, pg_get_constraintdef(oid, true), "
         "conkey, confkey from pg_constraint where contype = 'f' order by conname",
         "fk_a_fkey|f|fk|d|FOREIGN KEY (a) REFERENCES d(a) ON DELETE CASCADE|{2}|{1}\n"
         "fk_x_y_fkey|f|fk|k|FOREIGN KEY (x, y) REFERENCES k|{3,4}|{1,2}\n"},
        // Primary keys and the unique constraints of CREATE TABLE, by their indexes.
        {"select conname, contype, pg_get_constraintdef(oid), conkey, conindid::regclass from pg_constraint "
         "where conrelid in ('k'::regclass, 'd'::regclass) order by conname",
         "d_pkey|p|PRIMARY KEY (a)|{1}|d_pkey\nk_pkey|p|PRIMARY KEY (x, y)|{1,2}|k_pkey\n"
         "k_z_key|u|UNIQUE (z)|{3}|k_z_key\n"},
        // The keys' indexes by their names, after the catalogue is there.
        {"select 'k_pkey'::regclass::int > 0, 'd_pkey'::regclass::int < 0, ('d_pkey'::regclass)::regclass",
         "1|1|d_pkey\n"},
        {"select table_name from information_schema.views", "v\n"},
        // An index's columns by number, as SQLAlchemy reflects keys and indexes; its flags
        // as conditions of their own.
        {"select indkey, indoption, indnatts from pg_index where indexrelid in ('k_pkey'::regclass, 'dn'::regclass) "
         "order by indnatts",
         "2|0|1\n1 2|0 0|2\n"},
        {"select a.attname from pg_attribute a join pg_index ix on a.attrelid = ix.indrelid and a.attnum = "
         "any(ix.indkey) where ix.indexrelid = 'k_pkey'::regclass order by a.attnum",
         "x\ny\n"},
        {"select count(*) from pg_index where indrelid = 'd'::regclass and not indisprimary and indisunique", "1\n"},
        {"select count(*) from pg_index i where i.indrelid = 'd'::regclass and NOT(i.indisunique)", "3\n"},
        {"select pg_size_pretty(10239), pg_size_pretty(10240), pg_size_pretty(1994752), pg_size_pretty(10485760), "
         "pg_database_size('x') >= pg_total_relation_size('d'::regclass), pg_total_relation_size('d'::regclass) = "
         "pg_table_size('d'::regclass) + pg_indexes_size('d'::regclass)",
         "10239 bytes|10 kB|1948 kB|10 MB|1|1\n"},
        {"select pg_index_column_has_property('dd'::regclass, 1, 'desc'), "
         "pg_index_column_has_property('dd'::regclass, 2, 'asc'), pg_index_column_has_property('dd'::regclass, 3, 'asc')",
         "1|1|<null>\n"},
        {"select count(*) from pg_description, pg_sequence", "0\n"},
        {"select count(*) from pg_index where indisprimary is true and indrelid = 'd'::regclass", "1\n"},
        // What Perl's DBI asks of tables, columns and keys.
        {"select spcname, pg_tablespace_location(oid), has_schema_privilege('public', 'USAGE') "
         "from pg_tablespace where oid = 1663",
         "pg_default||1\n"},
        {"select count(*) from pg_class c left join pg_description d on c.oid = d.objoid and c.tableoid = d.classoid "
         "where c.relname = 'd' and c.tableoid = 1259",
         "1\n"},
    };
    for (const auto &q : standard) EXPECT_EQ(exec(c(), q.sql), q.result) << q.sql;
    // psql's \d shows a table's foreign keys, those that reference it, and its triggers.
    ASSERT_EQ(exec(c(), "create trigger fk_seen after insert on fk begin select 1; end"), "<CREATE TRIGGER>");
    const struct {
        const char *command, *shown;
    } keys[] = {
        {"\\d fk",
         "Table \"public.fk\"\nColumn|Type|Collation|Nullable|Default\nid|integer||not null|\na|integer|||\n"
         "x|text|||\ny|integer|||\nIndexes:\n    \"fk_pkey\" PRIMARY KEY, btree (id)\nForeign-key constraints:\n"
         "    \"fk_a_fkey\" FOREIGN KEY (a) REFERENCES d(a) ON DELETE CASCADE\n"
         "    \"fk_x_y_fkey\" FOREIGN KEY (x, y) REFERENCES k\nTriggers:\n"
         "    fk_seen after insert on fk begin select 1; end\n"},
        {"\\d k",
         "Table \"public.k\"\nColumn|Type|Collation|Nullable|Default\nx|text||not null|\ny|integer||not null|\n"
         "z|integer|||\nIndexes:\n    \"k_pkey\" PRIMARY KEY, btree (x, y)\n    \"k_z_key\" UNIQUE CONSTRAINT, btree (z)\n"
         "Referenced by:\n    TABLE \"fk\" CONSTRAINT \"fk_x_y_fkey\" FOREIGN KEY (x, y) REFERENCES k\n"},
    };
    for (const auto &d : keys) {
        ProgramRun r = run_program(kPsql,
                                   {"psql", "-X", "-A", "-h", "127.0.0.1", "-p", std::to_string(server.port()), "-U",
                                    "x", "-d", "x", "-c", d.command},
                                   "", "", &env);
        EXPECT_EQ(r.out, d.shown) << d.command << r.err;
    }
    // Drivers take the flags for booleans; a column may be named by a keyword.
    Result flags(PQexec(c(), "select indisunique, 1 as default from pg_index where indexrelid = 'db'::regclass"),
                 PQclear);
    ASSERT_EQ(PQntuples(flags.get()), 1) << PQresultErrorMessage(flags.get());
    EXPECT_EQ(PQftype(flags.get(), 0), 16u);
    EXPECT_STREQ(PQgetvalue(flags.get(), 0, 0), "t");
    EXPECT_STREQ(PQfname(flags.get(), 1), "default");
    // The operators themselves: POSIX extended expressions over characters; a lone ~ is
    // still SQLite's bitwise NOT.
    const struct {
        const char *sql, *result;
    } matches[] = {
        {"select 'abc' ~ '^a', 'abc' !~ 'b', 'x' ~ null, ~5, 'abc' OPERATOR(pg_catalog.~) 'c$', 'é' ~ '^.$'",
         "1|0|<null>|-6|1|1\n"},
        {"select 'ABC' ~* 'b', 'ABC' !~* 'b', 'ABC' ~ 'b', 'ÉTÉ' ~* '^été$', 'Abc' ILIKE 'a%', 'Abc' not ilike 'x%'",
         "1|0|0|1|1|1\n"},
        // LIKE tells case apart; patterns escape with a backslash unless ESCAPE says
        // otherwise; ILIKE folds letters beyond ASCII.
        {"select 'ABC' like 'abc', 'ABC' like 'A%', 'a_b' like 'a\\_b', 'axb' like 'a\\_b', "
         "'a\\b' like 'a\\\\b', '5%' like '5!%' escape '!', 'x%y' like 'x' || '\\%' || 'y'",
         "0|1|1|0|1|1|1\n"},
        {"select 'ÉCOLE' ilike 'éc_le', 'Straße' ilike 'STRASSE', 'a_b' ilike 'A\\_B', 'axb' ilike 'a\\_b', "
         "'X' ilike 'x' escape '', 'ab' not ilike '%B', null ilike 'a'",
         "1|0|1|0|1|0|<null>\n"},
        {"select 'x' ilike 'x\\'", "ERROR 22025: LIKE pattern must not end with escape character"},
        {"select 'x' ilike 'x' escape 'ab'", "ERROR 22025: invalid escape string"},
        {"select 'a' ~ '(a'", "ERROR 2201B: invalid regular expression: parentheses () not balanced"},
        {"select 'aa' ~ '(a)\\1'", "ERROR 2201B: invalid regular expression: back references are not supported"},
    };
    for (const auto &m : matches) EXPECT_EQ(exec(c(), m.sql), m.result) << m.sql;
    // A long match stops with its statement.
    EXPECT_EQ(exec(c(), "set statement_timeout = '200ms'"), "<SET>");
    EXPECT_EQ(exec(c(), "select printf('%.*c', 3000000, 'a') ~ '(a{100}){50}c'"),
              "ERROR 57014: canceling statement due to statement timeout");
    EXPECT_EQ(exec(c(), "reset statement_timeout"), "<RESET>");

    // The catalogue's functions are made when a statement first calls one, too.
    Conn fresh = connect(server);
    EXPECT_EQ(exec(fresh.get(), "select quote_ident('a b'), quote_ident('ok_1'), quote_ident('select'), "
                                "quote_ident('Up'), quote_ident('x\"y'), col_description(1, 1)"),
              "\"a b\"|ok_1|\"select\"|\"Up\"|\"x\"\"y\"|<null>\n");

    // A read-only session reads them too, and stays read-only.
    Conn read_only = connect(server, "options='-c default_transaction_read_only=on'");
    EXPECT_EQ(exec(read_only.get(), "select count(*) > 20 from pg_type"), "1\n");
    EXPECT_EQ(exec(read_only.get(), "create table w(a)"), "ERROR 25006: attempt to write a readonly database");
}

// As in PostgreSQL, a SET in a block that rolls back is undone, SET LOCAL ends with its
// block, and clients are told of each reported setting that changes (ParameterStatus).
TEST_F(Protocol, SettingsFollowTheirTransactionBlockAndAreReported) {
    EXPECT_STREQ(PQparameterStatus(c(), "application_name"), "");
    EXPECT_STREQ(PQparameterStatus(c(), "DateStyle"), "ISO, MDY");
    const struct {
        const char *sql, *result, *application_name;
    } steps[] = {
        {"set application_name = 'one'", "<SET>", "one"},
        {"begin", "<BEGIN>", "one"},
        {"set application_name = 'two'", "<SET>", "two"},
        {"rollback", "<ROLLBACK>", "one"},
        {"begin", "<BEGIN>", "one"},
        {"set application_name = 'three'", "<SET>", "three"},
        {"commit", "<COMMIT>", "three"},
        {"begin", "<BEGIN>", "three"},
        {"set local application_name = 'local'", "<SET>", "local"},
        {"show application_name", "local\n", "local"},
        {"commit", "<COMMIT>", "three"},
        {"set local application_name = 'outside a block'", "<SET>", "three"},
        // A block that fails: its settings go when it ends.
        {"begin", "<BEGIN>", "three"},
        {"set application_name = 'four'", "<SET>", "four"},
        {"select * from nosuch", "ERROR 42000: no such table: nosuch", "four"},
        {"set application_name = 'five'",
         "ERROR 25P02: current transaction is aborted, commands ignored until end of transaction block", "four"},
        {"commit", "<ROLLBACK>", "three"},
        {"begin; set application_name = 'six'; rollback; begin; set application_name = 'seven'; commit",
         "<COMMIT>", "seven"},
        {"begin; set default_transaction_read_only = on; rollback", "<ROLLBACK>", "seven"},
        // ROLLBACK TO a savepoint undoes what was set after it, RELEASE keeps it.
        {"begin", "<BEGIN>", "seven"},
        {"set application_name = 'eight'", "<SET>", "eight"},
        {"savepoint a", "<SAVEPOINT>", "eight"},
        {"set application_name = 'nine'", "<SET>", "nine"},
        {"savepoint \"B\"", "<SAVEPOINT>", "nine"},
        {"set local application_name = 'ten'", "<SET>", "ten"},
        {"rollback to savepoint A", "<ROLLBACK>", "eight"},
        {"savepoint b", "<SAVEPOINT>", "eight"},
        {"set application_name = 'eleven'", "<SET>", "eleven"},
        {"release b", "<RELEASE>", "eleven"},
        {"select * from nosuch", "ERROR 42000: no such table: nosuch", "eleven"},
        {"rollback work to a", "<ROLLBACK>", "eight"},
        {"set application_name = 'twelve'", "<SET>", "twelve"},
        {"commit", "<COMMIT>", "twelve"},
        // As in PostgreSQL, savepoints belong to a block.
        {"savepoint c", "ERROR 25P01: SAVEPOINT can only be used in transaction blocks", "twelve"},
        {"release savepoint c", "ERROR 25P01: RELEASE SAVEPOINT can only be used in transaction blocks", "twelve"},
        {"rollback to c", "ERROR 25P01: ROLLBACK TO SAVEPOINT can only be used in transaction blocks", "twelve"},
        {"create table t(a)", "<CREATE TABLE>", "twelve"},
    };
    for (const auto &step : steps) {
        EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;
        EXPECT_STREQ(PQparameterStatus(c(), "application_name"), step.application_name) << step.sql;
    }
    EXPECT_EQ(exec(c(), "set datestyle = ymd"), "<SET>");
    EXPECT_STREQ(PQparameterStatus(c(), "DateStyle"), "ISO, YMD");

    // The start-up packet's settings are the session's own: RESET goes back to them.
    Conn named = connect(server, "application_name=reporting options='-c statement_timeout=5s'");
    ASSERT_EQ(PQstatus(named.get()), CONNECTION_OK) << PQerrorMessage(named.get());
    EXPECT_EQ(exec(named.get(), "set application_name = 'other'"), "<SET>");
    EXPECT_EQ(exec(named.get(), "reset application_name"), "<RESET>");
    EXPECT_STREQ(PQparameterStatus(named.get(), "application_name"), "reporting");
    EXPECT_EQ(exec(named.get(), "set application_name to default; show application_name"), "reporting\n");
    EXPECT_EQ(exec(named.get(), "set application_name = 'other'"), "<SET>");
    EXPECT_EQ(exec(named.get(), "discard all"), "<DISCARD ALL>");
    EXPECT_EQ(exec(named.get(), "show application_name"), "reporting\n");
    // libpq's options (PGOPTIONS) as PostgreSQL reads them: -c name=value, --name=value.
    EXPECT_EQ(exec(named.get(), "show statement_timeout"), "5s\n");
}

// lock_timeout sets how long a statement waits for another client's lock (the server's
// own wait, 5 s, when it is 0).
TEST_F(Protocol, LockTimeoutSetsHowLongAStatementWaitsForALock) {
    ASSERT_EQ(exec(c(), "create table t(a)"), "<CREATE TABLE>");
    Conn holder = connect(server);
    ASSERT_EQ(exec(holder.get(), "begin; insert into t values (1)"), "<INSERT 0 1>");
    EXPECT_EQ(exec(c(), "set lock_timeout = '8s'"), "<SET>");
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5500));
        exec(holder.get(), "commit");
    });
    EXPECT_EQ(exec(c(), "insert into t values (2)"), "<INSERT 0 1>");  // past the 5 s it waited before
    release.join();
    EXPECT_EQ(exec(c(), "select count(*) from t"), "2\n");
    // When it runs out, the statement ends as PostgreSQL's does.
    ASSERT_EQ(exec(holder.get(), "begin; insert into t values (3)"), "<INSERT 0 1>");
    EXPECT_EQ(exec(c(), "set lock_timeout = '200ms'"), "<SET>");
    EXPECT_EQ(exec(c(), "insert into t values (4)"), "ERROR 55P03: canceling statement due to lock timeout");
    EXPECT_EQ(exec(holder.get(), "rollback"), "<ROLLBACK>");
}

// COPY ... FROM STDIN as libpq sends it, in pieces that split rows, fields and escapes
// anywhere: "COPY n" and every row, or an error and none.
std::string copy_in(PGconn *c, const std::string &sql, const std::string &data, size_t piece,
                    const char *fail = nullptr) {
    Result r(PQexec(c, sql.c_str()), PQclear);
    if (PQresultStatus(r.get()) != PGRES_COPY_IN) return text_of(r.get());
    for (size_t at = 0; at < data.size(); at += piece)
        if (PQputCopyData(c, data.data() + at, static_cast<int>(std::min(piece, data.size() - at))) != 1)
            return "put failed";
    PQputCopyEnd(c, fail);
    r.reset(PQgetResult(c));
    std::string out = PQresultStatus(r.get()) == PGRES_COMMAND_OK ? std::string("<") + PQcmdStatus(r.get()) + ">"
                                                                  : text_of(r.get());
    while (PGresult *more = PQgetResult(c)) PQclear(more);
    return out;
}

// COPY ... TO STDOUT: the rows as they came.
std::string copy_out(PGconn *c, const std::string &sql) {
    Result r(PQexec(c, sql.c_str()), PQclear);
    if (PQresultStatus(r.get()) != PGRES_COPY_OUT) return text_of(r.get());
    std::string out;
    char *line = nullptr;
    int n;
    while ((n = PQgetCopyData(c, &line, 0)) > 0) {
        out.append(line, static_cast<size_t>(n));
        PQfreemem(line);
    }
    r.reset(PQgetResult(c));
    return out + "<" + PQcmdStatus(r.get()) + ">";
}

TEST_F(Protocol, CopyRowsInAndOutInTextAndCsv) {
    ASSERT_EQ(exec(c(), "create table t(id integer primary key, s text, r real, b blob)"), "<CREATE TABLE>");
    const std::string text = "1\tone\t1.5\t\\\\x0102\n2\ttab\\there\t\\N\t\\N\r\n3\t\\101\\x42\t-2\t\\N";
    const std::string csv = "id,s,r,b\n4,\"a, \"\"b\"\"\",3.5,\n5,\"two\nlines\",,\\x0a\n";
    for (size_t piece : {1, 3, 1000}) {
        EXPECT_EQ(copy_in(c(), "copy t from stdin", text, piece), "<COPY 3>") << piece;
        EXPECT_EQ(copy_in(c(), "COPY t (id, s, r, b) FROM STDIN WITH (FORMAT csv, HEADER)", csv, piece), "<COPY 2>")
            << piece;
        EXPECT_EQ(exec(c(), "select id, s, r, hex(b) from t order by id"),
                  "1|one|1.5|0102\n2|tab\there|<null>|\n3|AB|-2.0|\n4|a, \"b\"|3.5|\n5|two\nlines|<null>|0A\n")
            << piece;
        EXPECT_EQ(copy_out(c(), "copy t to stdout"),
                  "1\tone\t1.5\t\\\\x0102\n2\ttab\\there\t\\N\t\\N\n3\tAB\t-2.0\t\\N\n4\ta, \"b\"\t3.5\t\\N\n"
                  "5\ttwo\\nlines\t\\N\t\\\\x0a\n<COPY 5>");
        EXPECT_EQ(exec(c(), "delete from t"), "<DELETE 5>");
    }
    EXPECT_EQ(copy_in(c(), "copy t (id, s) from stdin csv", "7,x\n", 100), "<COPY 1>");
    EXPECT_EQ(copy_out(c(), "copy (select id, s from t) to stdout with csv header"), "id,s\n7,x\n<COPY 1>");
    EXPECT_EQ(copy_out(c(), "copy (select 1 where 0) to stdout"), "<COPY 0>");
    EXPECT_EQ(copy_out(c(), "copy (select 1; delete from t) to stdout"), "ERROR 42601: syntax error at or near \";\"");

    // All rows or none: a row that fails takes the rows before it with it.
    const struct {
        const char *sql, *data, *fail, *result;
    } failures[] = {
        {"copy t (id, s) from stdin", "8\tok\n9\n", nullptr,
         "ERROR 22P04: missing data for column \"s\" (COPY t, line 2)"},
        {"copy t (id, s) from stdin", "8\tok\n9\ta\tb\n", nullptr,
         "ERROR 22P04: extra data after last expected column (COPY t, line 2)"},
        {"copy t (id) from stdin", "8\n7\n", nullptr, "ERROR 23505: UNIQUE constraint failed: t.id (COPY t, line 2)"},
        {"copy t (id) from stdin", "8\n", "the client changed its mind",
         "ERROR 57014: COPY from stdin failed: the client changed its mind"},
        {"copy t (id, s) from stdin csv", "8,\"open\n", nullptr, "ERROR 22P04: unterminated CSV quoted field (line 2)"},
        {"copy t from '/etc/passwd'", "", nullptr,
         "ERROR 42501: COPY to or from a file or a program is not allowed: use COPY ... FROM STDIN or TO STDOUT "
         "(psql's \\copy reads and writes files on the client)"},
        {"copy t to program 'id'", "", nullptr,
         "ERROR 42501: COPY to or from a file or a program is not allowed: use COPY ... FROM STDIN or TO STDOUT "
         "(psql's \\copy reads and writes files on the client)"},
        {"copy t to stdout (format binary)", "", nullptr,
         "ERROR 0A000: COPY TO in the binary format is not supported: use the text or CSV format"},
        {"copy nosuch from stdin", "", nullptr, "ERROR 42000: no such table: nosuch"},
        {"copy t (id, (select 1)) from stdin", "", nullptr, "ERROR 42601: syntax error at or near \"(\""},
        {"copy t (id,) from stdin", "", nullptr, "ERROR 42601: syntax error at or near \")\""},
        {"copy t from stdin (delimiter 'ab')", "", nullptr,
         "ERROR 22023: COPY delimiter must be a single one-byte character"},
    };
    for (const auto &f : failures) EXPECT_EQ(copy_in(c(), f.sql, f.data, 2, f.fail), f.result) << f.sql;
    // The binary format coming in, each field in the type its column is described with.
    auto be = [](uint64_t v, int width) { return big_endian(v, width); };
    const std::string header = std::string("PGCOPY\n\377\r\n\0", 11) + be(0, 4) + be(0, 4);
    const std::string row = be(3, 2) + be(8, 4) + be(8, 8) + be(2, 4) + "hi" + be(uint32_t(-1), 4);
    const std::string end = be(uint16_t(-1), 2);
    EXPECT_EQ(copy_in(c(), "copy t (id, s, r) from stdin (format binary)", header + row + end, 5), "<COPY 1>");
    EXPECT_EQ(exec(c(), "select id, s, r, typeof(id) from t where id = 8"), "8|hi|<null>|integer\n");
    const struct {
        std::string data, result;
    } binary_failures[] = {
        {"PGCOPY\n" + row, "ERROR 22P04: COPY file signature not recognized"},
        {header + be(2, 2) + be(8, 4) + be(9, 8) + be(0, 4) + end,
         "ERROR 22P04: row field count is 2, expected 3 (COPY t, line 1)"},
        {header + row.substr(0, 10), "ERROR 22P04: unexpected end of COPY data (row 1)"},
        {header + be(3, 2) + be(4, 4) + be(9, 4) + be(0, 4) + be(uint32_t(-1), 4) + end,
         "ERROR 22P03: incorrect binary data format in bind parameter 1 (COPY t, line 1)"},
    };
    for (const auto &f : binary_failures)
        EXPECT_EQ(copy_in(c(), "copy t (id, s, r) from stdin with binary", f.data, 3), f.result);
    EXPECT_EQ(exec(c(), "delete from t where id = 8"), "<DELETE 1>");

    // A row without end is stopped at 32 MiB, not held in memory as it grows.
    EXPECT_EQ(copy_in(c(), "copy t (s) from stdin", std::string((32u << 20) + 10, 'x'), 1 << 20),
              "ERROR 54000: COPY row 1 is longer than 33554432 bytes");
    EXPECT_EQ(exec(c(), "select group_concat(id) from t"), "7\n");

    // In a block: a failed COPY fails the block; a read-only one takes no rows.
    EXPECT_EQ(exec(c(), "begin"), "<BEGIN>");
    EXPECT_EQ(copy_in(c(), "copy t (id) from stdin", "7\n", 10), "ERROR 23505: UNIQUE constraint failed: t.id (COPY t, line 1)");
    EXPECT_EQ(copy_in(c(), "copy t (id) from stdin", "9\n", 10),
              "ERROR 25P02: current transaction is aborted, commands ignored until end of transaction block");
    EXPECT_EQ(exec(c(), "rollback"), "<ROLLBACK>");
    EXPECT_EQ(exec(c(), "begin read only"), "<BEGIN>");
    EXPECT_EQ(copy_in(c(), "copy t (id) from stdin", "9\n", 10).substr(0, 12), "ERROR 25006:");
    EXPECT_EQ(exec(c(), "rollback"), "<ROLLBACK>");
    EXPECT_EQ(exec(c(), "select count(*) from t"), "1\n");
}

// INSERT, UPDATE and DELETE with RETURNING send their rows and are tagged as what they
// did (drivers take the count of changed rows from the tag), in both protocols.
TEST_F(Protocol, DataChangesWithReturningAreTaggedAsWhatTheyDid) {
    ASSERT_EQ(exec(c(), "create table t(id integer primary key, s text)"), "<CREATE TABLE>");
    const struct {
        const char *sql, *rows, *tag;
    } cases[] = {
        {"insert into t(s) values ('a'), ('b') returning id", "1\n2\n", "INSERT 0 2"},
        {"update t set s = upper(s) returning s", "A\nB\n", "UPDATE 2"},
        {"delete from t where id = 1 returning id, s", "1|A\n", "DELETE 1"},
        {"select id from t", "2\n", "SELECT 1"},
    };
    for (const auto &k : cases) {
        Result simple(PQexec(c(), k.sql), PQclear);
        EXPECT_EQ(text_of(simple.get()), k.rows) << k.sql;
        EXPECT_STREQ(PQcmdStatus(simple.get()), k.tag) << k.sql;
    }
    EXPECT_EQ(exec(c(), "delete from t"), "<DELETE 1>");
    for (const auto &k : cases) {
        Result extended(PQexecParams(c(), k.sql, 0, nullptr, nullptr, nullptr, nullptr, 0), PQclear);
        EXPECT_EQ(text_of(extended.get()), k.rows) << k.sql;
        EXPECT_STREQ(PQcmdStatus(extended.get()), k.tag) << k.sql;
    }
}

// A connection pooler hands a server connection from one client to the next after
// DISCARD ALL (PgBouncer's reset query): nothing of the first client's session may reach
// the next one, neither settings nor prepared statements, cursors, temporary tables or
// the connection's pragmas.
TEST_F(Protocol, DiscardAllLeavesTheSessionAsAfterItsLogin) {
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"create table t(a)", "<CREATE TABLE>"},
        {"create unique index t_a on t(a)", "<CREATE INDEX>"},  // tagged as PostgreSQL tags it
        {"set statement_timeout = 1234", "<SET>"},
        {"set application_name = 'first client'", "<SET>"},
        {"create temp table mine(secret)", "<CREATE TABLE>"},
        {"insert into mine values ('first client''s')", "<INSERT 0 1>"},
        {"pragma query_only = 1", "<PRAGMA>"},
        {"begin", "<BEGIN>"},
        {"declare held cursor with hold for select 1", "<DECLARE CURSOR>"},
        {"discard all", "ERROR 25001: DISCARD ALL cannot run inside a transaction block"},
        {"rollback", "<ROLLBACK>"},
        {"begin", "<BEGIN>"},
        {"declare held cursor with hold for select 1", "<DECLARE CURSOR>"},
        {"commit", "<COMMIT>"},
        {"discard all", "<DISCARD ALL>"},
        {"show statement_timeout", "0\n"},
        {"show application_name", "\n"},
        {"select * from mine", "ERROR 42000: no such table: mine"},
        {"pragma query_only", "0\n"},
        {"fetch held", "ERROR 34000: cursor \"held\" does not exist"},
        {"insert into t values (1)", "<INSERT 0 1>"},
        // DISCARD TEMP, PLANS and SEQUENCES, and DEALLOCATE.
        {"create temp table mine(secret)", "<CREATE TABLE>"},
        {"create temp view v as select * from mine", "<CREATE VIEW>"},
        {"discard temp", "<DISCARD TEMP>"},
        {"select * from mine", "ERROR 42000: no such table: mine"},
        // The server's own views stay.
        {"select count(*) from pg_type, DB.DBA.SYS_USERS where typname = 'int8'", "0\n"},
        {"select count(*) > 0 from DB.DBA.SYS_KEYS", "1\n"},
        {"discard plans", "<DISCARD PLANS>"},
        {"discard sequences", "<DISCARD SEQUENCES>"},
        {"deallocate nosuch", "ERROR 26000: prepared statement \"nosuch\" does not exist"},
        {"deallocate all", "<DEALLOCATE ALL>"},
        {"discard everything", "ERROR 42601: syntax error at or near \"everything\""},
    };
    Result r(PQprepare(c(), "early", "select 1", 0, nullptr), PQclear);
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;
    EXPECT_STREQ(PQparameterStatus(c(), "application_name"), "");
    r.reset(PQdescribePrepared(c(), "early"));
    EXPECT_EQ(text_of(r.get()), "ERROR 26000: prepared statement \"early\" does not exist");

    r.reset(PQprepare(c(), "one", "select 1", 0, nullptr));
    r.reset(PQprepare(c(), "two", "select 2", 0, nullptr));
    EXPECT_EQ(exec(c(), "deallocate prepare one"), "<DEALLOCATE>");
    r.reset(PQexecPrepared(c(), "one", 0, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "ERROR 26000: prepared statement \"one\" does not exist");
    // DISCARD ALL as a prepared statement of its own, which goes with the others.
    r.reset(PQprepare(c(), "reset", "discard all", 0, nullptr));
    r.reset(PQexecPrepared(c(), "reset", 0, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "<DISCARD ALL>");
    r.reset(PQexecPrepared(c(), "two", 0, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "ERROR 26000: prepared statement \"two\" does not exist");
    EXPECT_EQ(exec(c(), "select count(*) from t"), "1\n");
}

// statement_timeout stops a statement that runs too long, as a cancel does, in both
// protocols; statements after it run as before.
TEST_F(Protocol, StatementTimeoutStopsALongStatement) {
    const char *endless = "with recursive r(n) as (select 1 union all select n + 1 from r where n < 500000000) "
                          "select count(*) from r";
    const char *timed_out = "ERROR 57014: canceling statement due to statement timeout";
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"set statement_timeout = 1500", "<SET>"},
        {"show statement_timeout", "1500ms\n"},
        {"set statement_timeout = '2 min'", "<SET>"},
        {"show statement_timeout", "2min\n"},
        {"set statement_timeout = '1.5s'", "<SET>"},
        {"show statement_timeout", "1500ms\n"},
        {"set statement_timeout = '5 fortnights'",
         "ERROR 22023: invalid value for parameter \"statement_timeout\": \"5 fortnights\": a time is a number of "
         "milliseconds, or a number with a unit: us, ms, s, min, h or d"},
        {"set statement_timeout = -1",
         "ERROR 22023: -1 is outside the valid range for parameter \"statement_timeout\" (0 .. 2147483647 ms)"},
        {"set statement_timeout = '200ms'", "<SET>"},
        {endless, timed_out},
        {"select pg_sleep(30)", timed_out},
        {"select regexp_replace(printf('%.*c', 200000, 'a'), 'a*b', 'x', 'g')", timed_out},
        {"select printf('%.*c', 2000000, 'a') ilike '%' || printf('%.*c', 40000, 'a') || 'b'", timed_out},
        {"select 1", "1\n"},
        {"begin", "<BEGIN>"},
        {endless, timed_out},
        {"rollback", "<ROLLBACK>"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;
    Result r(PQexecParams(c(), endless, 0, nullptr, nullptr, nullptr, nullptr, 0), PQclear);
    EXPECT_EQ(text_of(r.get()), timed_out);
    EXPECT_EQ(exec(c(), "set statement_timeout = 0"), "<SET>");
    EXPECT_EQ(exec(c(), "select count(*) from (with recursive r(n) as (select 1 union all select n + 1 from r "
                        "where n < 300000) select n from r)"),
              "300000\n");
}

// A parameter without a type takes the type of the column it is compared with, set into
// or inserted into (by the column's declared type, as RowDescription gives it), and a
// LIMIT's is a number; elsewhere it stays text. Computed columns of one type whatever
// their values (count(*)) are described in it.
TEST_F(Protocol, StatementsTypeParametersAndComputedColumnsByTheirText) {
    ASSERT_EQ(exec(c(), "create table t(id integer primary key, n int, r real, s text, b blob)"), "<CREATE TABLE>");
    ASSERT_EQ(exec(c(), "create table u(id integer, s varchar(9), w double)"), "<CREATE TABLE>");
    const unsigned i8 = 20, f8 = 701, tx = 25;
    const struct {
        const char *sql;
        std::vector<unsigned> types;
    } cases[] = {
        {"select * from t where id = $1", {i8}},
        {"select * from t where $1 < r and s = $2", {f8, tx}},
        {"select * from t a where a.n >= $2 and a.id <> $1", {i8, i8}},
        {"select * from t where id in ($1, $2) and n not in ($3) and r between $4 and $5", {i8, i8, i8, f8, f8}},
        {"select * from t order by id limit $1 offset $2", {i8, i8}},
        {"update t set r = $1, s = $2 where id = $3", {f8, tx, i8}},
        {"insert into t(s, r, n) values ($1, $2, $3), ($4, 1.5, $5)", {tx, f8, i8, tx, i8}},
        {"insert into u values ($1, $2, $3)", {i8, tx, f8}},
        {"select t.s, u.w from t join u on u.id = t.id where u.w > $1 and t.n = $2", {f8, i8}},
        // Neither a call, nor an expression, nor a string; a subquery's column by its table.
        {"select * from t where lower(s) = $1 or n + $2 > 3 or s = '$3' || $3", {tx, tx, tx}},
        {"select * from (select id from t) where id = $1", {i8}},
        {"select $1, $2::integer", {tx, 23}},
        {"select * from t where b = $1", {tx}},
    };
    int k = 0;
    for (const auto &c : cases) {
        std::string name = "s" + std::to_string(k++);
        Result r(PQprepare(this->c(), name.c_str(), c.sql, 0, nullptr), PQclear);
        ASSERT_EQ(text_of(r.get()), "<>") << c.sql;
        r.reset(PQdescribePrepared(this->c(), name.c_str()));
        std::vector<unsigned> types;
        for (int i = 0; i < PQnparams(r.get()); ++i) types.push_back(PQparamtype(r.get(), i));
        EXPECT_EQ(types, c.types) << c.sql;
    }
    // Values in those types are bound as numbers.
    EXPECT_EQ(exec(c(), "insert into t values (7, 1, 0.5, 'x', null)"), "<INSERT 0 1>");
    Result r(PQdescribePrepared(c(), "s0"), PQclear);
    const char *seven[] = {"7"};
    r.reset(PQexecPrepared(c(), "s0", 1, seven, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "7|1|0.5|x|<null>\n");
    const char *bad[] = {"seven"};
    r.reset(PQexecPrepared(c(), "s0", 1, bad, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()).substr(0, 10), "ERROR 22P0");

    // Computed columns whose values have one type whatever they are get it too.
    const struct {
        const char *sql;
        std::vector<unsigned> types;
    } results[] = {
        {"select count(*), length(s) as l, avg(r), total(n) t, cast(r as integer), cast(n AS text), id from t",
         {i8, i8, f8, f8, i8, tx, i8}},
        {"select cast(n as numeric), count(*) + 0.5, id * 2, lower(s), sum(n) from t", {tx, tx, tx, tx, tx}},
        {"select *, count(*) from t", {i8, i8, f8, tx, tx, tx}},
        {"with c as (select count(*) as k from t) select k, (select count(*) from u) from c", {tx, tx}},
    };
    for (const auto &c : results) {
        Result p(PQprepare(this->c(), "", c.sql, 0, nullptr), PQclear);
        ASSERT_EQ(text_of(p.get()), "<>") << c.sql;
        p.reset(PQdescribePrepared(this->c(), ""));
        std::vector<unsigned> types;
        for (int i = 0; i < PQnfields(p.get()); ++i) types.push_back(PQftype(p.get(), i));
        EXPECT_EQ(types, c.types) << c.sql;
    }
}

TEST_F(Protocol, PreparedStatementsRunAgainAndDescribe) {
    ASSERT_EQ(exec(c(), "create table t(i integer, s text)"), "<CREATE TABLE>");
    Result r(PQprepare(c(), "ins", "insert into t values ($1, $2)", 2, nullptr), PQclear);
    ASSERT_EQ(text_of(r.get()), "<>");
    for (int i = 1; i <= 3; ++i) {
        std::string n = std::to_string(i), s = "row " + n;
        const char *values[] = {n.c_str(), s.c_str()};
        r.reset(PQexecPrepared(c(), "ins", 2, values, nullptr, nullptr, 0));
        EXPECT_EQ(text_of(r.get()), "<INSERT 0 1>");
    }
    r.reset(PQprepare(c(), "sel", "select i, s, i * 1.5 from t where i > $1 order by i", 0, nullptr));
    r.reset(PQdescribePrepared(c(), "sel"));
    ASSERT_EQ(PQnparams(r.get()), 1);
    EXPECT_EQ(PQparamtype(r.get(), 0), 20u);  // compared with an integer column
    ASSERT_EQ(PQnfields(r.get()), 3);
    EXPECT_EQ(PQftype(r.get(), 0), 20u);
    EXPECT_EQ(PQftype(r.get(), 1), 25u);
    const char *one = "1";
    r.reset(PQexecPrepared(c(), "sel", 1, &one, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "2|row 2|3.0\n3|row 3|4.5\n");
    EXPECT_EQ(PQftype(r.get(), 2), 701u);  // computed: typed by its first value
    r.reset(PQdescribePrepared(c(), "sel"));  // once more, after a run
    EXPECT_EQ(PQnfields(r.get()), 3);
    // A cast names a parameter's type (SQLite reads "$2::text" as one name), and
    // parameters keep their numbers in any order.
    r.reset(PQprepare(c(), "cast", "select $2::text, $1::bigint * 2, $3", 0, nullptr));
    r.reset(PQdescribePrepared(c(), "cast"));
    ASSERT_EQ(PQnparams(r.get()), 3);
    EXPECT_EQ(PQparamtype(r.get(), 0), 20u);
    EXPECT_EQ(PQparamtype(r.get(), 1), 25u);
    EXPECT_EQ(PQparamtype(r.get(), 2), 25u);
    const char *three[] = {"21", "x", "y"};
    r.reset(PQexecPrepared(c(), "cast", 3, three, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "x|42|y\n");
    r.reset(PQprepare(c(), "zero", "select $0::integer, $0, $1", 0, nullptr));  // $0 is never bound
    r.reset(PQexecPrepared(c(), "zero", 1, three, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "<null>|<null>|21\n");
    // The statement follows a change of the table it reads.
    ASSERT_EQ(exec(c(), "alter table t add column extra"), "<ALTER TABLE>");
    r.reset(PQexecPrepared(c(), "sel", 1, &one, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "2|row 2|3.0\n3|row 3|4.5\n");

    const struct {
        const char *name, *sql, *result;
    } failures[] = {
        {"ins", "select 1", "ERROR 42P05: prepared statement \"ins\" already exists"},
        {"two", "select 1; select 2",
         "ERROR 42601: cannot insert multiple commands into a prepared statement"},
        {"bad", "selec 1", "ERROR 42000: near \"selec\": syntax error"},
    };
    for (const auto &f : failures) {
        r.reset(PQprepare(c(), f.name, f.sql, 0, nullptr));
        EXPECT_EQ(text_of(r.get()), f.result) << f.sql;
    }
    r.reset(PQexecPrepared(c(), "nope", 0, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "ERROR 26000: prepared statement \"nope\" does not exist");
    r.reset(PQprepare(c(), "empty", " -- nothing", 0, nullptr));
    r.reset(PQexecPrepared(c(), "empty", 0, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "<empty>");
}

// The results of a pipeline up to its `syncs`-th Sync, as text ("sync", "aborted" for a
// statement skipped after an error).
std::vector<std::string> pipeline_results(PGconn *c, int syncs) {
    std::vector<std::string> seen;
    for (int synced = 0, guard = 0; synced < syncs && guard < 20 * syncs; ++guard) {
        PGresult *r = PQgetResult(c);
        if (!r) continue;
        ExecStatusType st = PQresultStatus(r);
        if (st == PGRES_PIPELINE_SYNC) ++synced;
        seen.push_back(st == PGRES_PIPELINE_SYNC      ? "sync"
                       : st == PGRES_PIPELINE_ABORTED ? "aborted"
                                                      : text_of(r));
        PQclear(r);
    }
    return seen;
}

// After an error the server skips the client's messages up to Sync; the next
// exchange runs as usual.
TEST_F(Protocol, AnErrorSkipsToSync) {
    ASSERT_EQ(PQenterPipelineMode(c()), 1);
    auto send = [&](const char *sql) {
        ASSERT_EQ(PQsendQueryParams(c(), sql, 0, nullptr, nullptr, nullptr, nullptr, 0), 1);
    };
    send("select my_aref(5, 1)");  // fails when it runs, after Parse and Bind
    send("select 'skipped'");
    ASSERT_EQ(PQpipelineSync(c()), 1);
    send("select 'runs'");
    ASSERT_EQ(PQpipelineSync(c()), 1);
    const std::vector<std::string> expected = {
        "ERROR 22023: my_aref expects a vector, not an arg of type 189.",
        "aborted", "sync", "runs\n", "sync"};
    EXPECT_EQ(pipeline_results(c(), 2), expected);
}

// As in PostgreSQL, the statements of one simple query, and those a client sends up to a
// Sync, are one transaction outside a block: an error undoes what came before it.
TEST_F(Protocol, AQueryOrAPipelineIsOneTransaction) {
    ASSERT_EQ(exec(c(), "create table t(a integer primary key)"), "<CREATE TABLE>");
    Conn other = connect(server);
    const struct {
        const char *sql, *result, *rows;
        PGTransactionStatusType status;
    } steps[] = {
        {"insert into t values (1); insert into t values (2); insert into t values (1)",
         "ERROR 23505: UNIQUE constraint failed: t.a", "<null>", PQTRANS_IDLE},
        {"insert into t values (1); insert into t values (2)", "<INSERT 0 1>", "1,2", PQTRANS_IDLE},
        // A COMMIT ends it; what follows is another.
        {"insert into t values (3); commit; insert into t values (4); select nosuch",
         "ERROR 42000: no such column: nosuch", "1,2,3", PQTRANS_IDLE},
        // A BEGIN makes it a block that goes on after the query.
        {"insert into t values (5); begin; insert into t values (6)", "<INSERT 0 1>", "1,2,3", PQTRANS_INTRANS},
        {"rollback", "<ROLLBACK>", "1,2,3", PQTRANS_IDLE},
        {"set application_name = 'undone'; select nosuch", "ERROR 42000: no such column: nosuch", "1,2,3",
         PQTRANS_IDLE},
        // SQLite itself rolls back at this error; the settings go as well.
        {"set application_name = 'undone'; insert or rollback into t values (1)",
         "ERROR 23505: UNIQUE constraint failed: t.a", "1,2,3", PQTRANS_IDLE},
        {"select 1; savepoint a", "ERROR 25P01: SAVEPOINT can only be used in transaction blocks", "1,2,3",
         PQTRANS_IDLE},
        {"create table u(b); insert into u values (1); drop table nosuch", "ERROR 42000: no such table: nosuch",
         "1,2,3", PQTRANS_IDLE},
        {"select count(*) from u", "ERROR 42000: no such table: u", "1,2,3", PQTRANS_IDLE},
    };
    for (const auto &step : steps) {
        EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;
        EXPECT_EQ(PQtransactionStatus(c()), step.status) << step.sql;
        EXPECT_EQ(exec(other.get(), "select group_concat(a) from (select a from t order by a)"),
                  std::string(step.rows) + "\n")
            << step.sql;
        EXPECT_EQ(exec(c(), "show application_name"), "\n") << step.sql;
    }
    // A deferred check that fails when the query's transaction commits undoes it all.
    ASSERT_EQ(exec(c(), "pragma foreign_keys = on; create table child(p references t deferrable initially deferred)"),
              "<CREATE TABLE>");
    EXPECT_EQ(exec(c(), "insert into t values (7); insert into child values (99)"),
              "ERROR 23503: FOREIGN KEY constraint failed");
    EXPECT_EQ(exec(other.get(), "select count(*) from t where a = 7"), "0\n");

    // A pipeline up to its Sync.
    ASSERT_EQ(PQenterPipelineMode(c()), 1);
    auto send = [&](const char *sql) {
        ASSERT_EQ(PQsendQueryParams(c(), sql, 0, nullptr, nullptr, nullptr, nullptr, 0), 1);
    };
    send("insert into t values (10)");
    send("insert into t values (11)");
    send("insert into t values (10)");
    ASSERT_EQ(PQpipelineSync(c()), 1);
    send("insert into t values (12)");
    send("insert into t values (13)");
    ASSERT_EQ(PQpipelineSync(c()), 1);
    const std::vector<std::string> expected = {"<INSERT 0 1>", "<INSERT 0 1>",
                                               "ERROR 23505: UNIQUE constraint failed: t.a", "sync",
                                               "<INSERT 0 1>", "<INSERT 0 1>", "sync"};
    EXPECT_EQ(pipeline_results(c(), 2), expected);
    ASSERT_EQ(PQexitPipelineMode(c()), 1);
    EXPECT_EQ(exec(other.get(), "select group_concat(a) from (select a from t where a >= 10 order by a)"),
              "12,13\n");
}

// A client may ask for what it sent so far with Flush and wait before it sends Sync
// (asyncpg prepares a statement so): an error must reach it then, not at Sync.
TEST_F(Protocol, AnErrorReachesAClientThatFlushedBeforeSync) {
    ASSERT_EQ(PQenterPipelineMode(c()), 1);
    ASSERT_EQ(PQsendPrepare(c(), "bad", "select * from nosuch", 0, nullptr), 1);
    ASSERT_EQ(PQsendFlushRequest(c()), 1);
    ASSERT_EQ(PQflush(c()), 0);
    std::string got;
    for (int i = 0; i < 50 && got.empty(); ++i) {  // at most 5 s
        pollfd p = {PQsocket(c()), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ASSERT_EQ(PQconsumeInput(c()), 1) << PQerrorMessage(c());
        if (PQisBusy(c())) continue;
        Result r(PQgetResult(c()), PQclear);
        if (r) got = text_of(r.get());
    }
    EXPECT_EQ(got, "ERROR 42000: no such table: nosuch");
    ASSERT_EQ(PQpipelineSync(c()), 1);  // so that what is left arrives whatever came
    for (int guard = 0; guard < 8; ++guard) {
        Result r(PQgetResult(c()), PQclear);
        if (r && PQresultStatus(r.get()) == PGRES_PIPELINE_SYNC) break;
    }
    ASSERT_EQ(PQexitPipelineMode(c()), 1);
    EXPECT_EQ(exec(c(), "select 'after'"), "after\n");
}

std::string z(const std::string &s) { return s + '\0'; }

TEST_F(Protocol, ExecuteWithARowLimitSuspendsThePortal) {
    RawClient raw(server.port());
    ASSERT_TRUE(raw.login());
    const std::string no_formats_or_values = big_endian(0, 2) + big_endian(0, 2) + big_endian(0, 2);
    raw.send('P', z("") + z(numbers(5)) + big_endian(0, 2));
    raw.send('B', z("") + z("") + no_formats_or_values);
    raw.send('E', z("") + big_endian(2, 4));
    raw.send('H', "");  // Flush: the answers come without a Sync
    EXPECT_EQ(raw.until_ready(5), "12D(1)D(2)s");
    raw.send('E', z("") + big_endian(2, 4));
    raw.send('E', z("") + big_endian(0, 4));  // 0: the rest
    raw.send('S', "");
    EXPECT_EQ(raw.until_ready(), "D(3)D(4)sD(5)C(SELECT 1)Z");

    // A named portal lives until Sync; Close answers even for a missing one.
    raw.send('B', z("p") + z("") + no_formats_or_values);
    raw.send('E', z("p") + big_endian(3, 4));
    raw.send('C', "P" + z("p"));
    raw.send('E', z("p") + big_endian(3, 4));
    raw.send('E', z("p") + big_endian(3, 4));  // skipped after the error
    raw.send('S', "");
    raw.send('C', "P" + z("never"));
    raw.send('S', "");
    EXPECT_EQ(raw.until_ready(), "2D(1)D(2)D(3)s3EZ");
    EXPECT_EQ(raw.until_ready(), "3Z");
}

// A prepared statement bound again starts afresh with its new parameters, whether the
// portal before it ran to the end, stopped midway or is still open beside it.
TEST_F(Protocol, APreparedStatementBoundAgainStartsAfresh) {
    RawClient raw(server.port());
    ASSERT_TRUE(raw.login());
    auto bind = [](const std::string &portal, long upto) {
        std::string value = std::to_string(upto);
        return z(portal) + z("s") + big_endian(0, 2) + big_endian(1, 2) +
               big_endian(value.size(), 4) + value + big_endian(0, 2);
    };
    raw.send('P', z("s") + z(numbers(10) + " where i <= $1") + big_endian(1, 2) + big_endian(20, 4));
    raw.send('S', "");
    ASSERT_EQ(raw.until_ready(), "1Z");
    const struct {
        std::vector<std::pair<char, std::string>> messages;
        const char *answers;
    } rounds[] = {
        // The unnamed portal, to the end and then stopped midway, each time bound anew.
        {{{'B', bind("", 2)}, {'E', z("") + big_endian(0, 4)}}, "2D(1)D(2)C(SELECT 2)"},
        {{{'B', bind("", 3)}, {'E', z("") + big_endian(1, 4)}}, "2D(1)s"},
        {{{'B', bind("", 1)}, {'E', z("") + big_endian(0, 4)}}, "2D(1)C(SELECT 1)"},
        // Two portals of the statement at once, then the first closed and bound again.
        {{{'B', bind("a", 4)}, {'E', z("a") + big_endian(2, 4)}, {'B', bind("b", 2)},
          {'E', z("b") + big_endian(0, 4)}, {'E', z("a") + big_endian(0, 4)},
          {'C', "P" + z("a")}, {'B', bind("a", 3)}, {'E', z("a") + big_endian(0, 4)}},
         "2D(1)D(2)s2D(1)D(2)C(SELECT 2)D(3)D(4)C(SELECT 2)32D(1)D(2)D(3)C(SELECT 3)"},
        // After Sync has dropped the portals.
        {{{'B', bind("", 10)}, {'E', z("") + big_endian(3, 4)}}, "2D(1)D(2)D(3)s"},
        {{{'B', bind("", 0)}, {'E', z("") + big_endian(0, 4)}}, "2C(SELECT 0)"},
    };
    for (const auto &round : rounds) {
        for (const auto &m : round.messages) raw.send(m.first, m.second);
        raw.send('S', "");
        EXPECT_EQ(raw.until_ready(), std::string(round.answers) + "Z") << round.answers;
    }
    // The statement reads the table as it is now, not as it was when first run.
    ASSERT_EQ(exec(c(), "create table t(i integer)"), "<CREATE TABLE>");
    raw.send('P', z("t") + z("select count(*) from t where i > $1") + big_endian(1, 2) +
                      big_endian(20, 4));
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(exec(c(), "insert into t values (" + std::to_string(round + 5) + ")"),
                  "<INSERT 0 1>");
        raw.send('B', z("") + z("t") + big_endian(0, 2) + big_endian(1, 2) + big_endian(1, 4) +
                          "0" + big_endian(0, 2));
        raw.send('E', z("") + big_endian(0, 4));
        raw.send('S', "");
        EXPECT_EQ(raw.until_ready(), round == 0 ? "12D(1)C(SELECT 1)Z" : "2D(2)C(SELECT 1)Z");
    }
}

TEST_F(Protocol, CursorsFetchInBatches) {
    ASSERT_EQ(exec(c(), "begin"), "<BEGIN>");
    ASSERT_EQ(exec(c(), "declare big no scroll cursor for " + numbers(10000)), "<DECLARE CURSOR>");
    // psycopg learns a cursor's columns by describing it as a portal.
    Result d(PQdescribePortal(c(), "big"), PQclear);
    ASSERT_EQ(PQnfields(d.get()), 1);
    EXPECT_EQ(PQftype(d.get(), 0), 20u);
    long rows = 0, sum = 0, batches = 0;
    for (int guard = 0; guard < 20; ++guard) {
        Result r(PQexec(c(), "FETCH FORWARD 1000 FROM big"), PQclear);
        ASSERT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK) << PQresultErrorMessage(r.get());
        EXPECT_EQ(std::string(PQcmdStatus(r.get())), "FETCH " + std::to_string(PQntuples(r.get())));
        if (PQntuples(r.get()) == 0) break;
        ++batches;
        for (int i = 0; i < PQntuples(r.get()); ++i, ++rows) sum += std::atol(PQgetvalue(r.get(), i, 0));
    }
    EXPECT_EQ(batches, 10);
    EXPECT_EQ(rows, 10000);
    EXPECT_EQ(sum, 10000L * 10001 / 2);
    EXPECT_EQ(exec(c(), "close big"), "<CLOSE CURSOR>");

    // WITH HOLD outlives the transaction; the others end with it.
    EXPECT_EQ(exec(c(), "declare \"Held\" cursor with hold for " + numbers(5)), "<DECLARE CURSOR>");
    EXPECT_EQ(exec(c(), "declare gone cursor for " + numbers(5)), "<DECLARE CURSOR>");
    EXPECT_EQ(exec(c(), "fetch 2 from gone"), "1\n2\n");
    EXPECT_EQ(exec(c(), "commit"), "<COMMIT>");
    EXPECT_EQ(exec(c(), "fetch 1 from gone"), "ERROR 34000: cursor \"gone\" does not exist");
    EXPECT_EQ(exec(c(), "declare \"Held\" cursor with hold for select 1"),
              "ERROR 42P03: cursor \"Held\" already exists");
    EXPECT_EQ(exec(c(), "fetch forward 3 from \"Held\""), "1\n2\n3\n");
    EXPECT_EQ(exec(c(), "fetch all in \"Held\";"), "4\n5\n");
    EXPECT_EQ(exec(c(), "fetch next from \"Held\""), "");
    EXPECT_EQ(exec(c(), "close all"), "<CLOSE CURSOR ALL>");
    EXPECT_EQ(exec(c(), "fetch next from \"Held\""), "ERROR 34000: cursor \"Held\" does not exist");

    // A WITH HOLD cursor outlives a transaction that commits, not one that rolls
    // back (a failed block's COMMIT included).
    const struct {
        const char *failure, *end, *fetched;
    } ends[] = {
        {nullptr, "commit", "1\n"},
        {nullptr, "rollback", "ERROR 34000: cursor \"h\" does not exist"},
        {"selec 1", "commit", "ERROR 34000: cursor \"h\" does not exist"},
    };
    for (const auto &k : ends) {
        SCOPED_TRACE(k.end);
        ASSERT_EQ(exec(c(), "begin"), "<BEGIN>");
        ASSERT_EQ(exec(c(), "declare h cursor with hold for " + numbers(3)), "<DECLARE CURSOR>");
        if (k.failure) exec(c(), k.failure);
        exec(c(), k.end);
        EXPECT_EQ(exec(c(), "fetch 1 from h"), k.fetched);
        // Errors after the block ended open no failed block.
        EXPECT_EQ(exec(c(), "selec 1"), "ERROR 42000: near \"selec\": syntax error");
        EXPECT_EQ(PQtransactionStatus(c()), PQTRANS_IDLE);
        exec(c(), "close all");
    }

    const struct {
        const char *sql, *result;
    } failures[] = {
        {"declare c cursor for select 1",
         "ERROR 25P01: DECLARE CURSOR can only be used in transaction blocks"},
        {"declare c scroll cursor with hold for select 1",
         "ERROR 0A000: scrollable cursors are not supported: use NO SCROLL"},
        {"declare c cursor with hold for selec 1", "ERROR 42000: near \"selec\": syntax error"},
        {"declare c cursor hold for select 1", "ERROR 42601: syntax error: expected FOR"},
        {"close nope", "ERROR 34000: cursor \"nope\" does not exist"},
    };
    for (const auto &f : failures) EXPECT_EQ(exec(c(), f.sql), f.result) << f.sql;

    // Through the extended protocol, with a parameter in the cursor's query.
    ASSERT_EQ(exec(c(), "begin"), "<BEGIN>");
    const char *limit = "3";
    const Oid int8 = 20;
    Result r(PQexecParams(c(), ("declare p cursor for " + numbers(10) + " where i <= $1").c_str(), 1,
                          &int8, &limit, nullptr, nullptr, 0),
             PQclear);
    EXPECT_EQ(text_of(r.get()), "<DECLARE CURSOR>");
    r.reset(PQexecParams(c(), "fetch 5 from p", 0, nullptr, nullptr, nullptr, nullptr, 1));
    ASSERT_EQ(PQntuples(r.get()), 3);
    EXPECT_EQ(std::string(PQgetvalue(r.get(), 2, 0), 8), big_endian(3, 8));
    EXPECT_EQ(exec(c(), "rollback"), "<ROLLBACK>");
}

// The server's descriptors open on files in `dir` (a file without a name shows
// as "DIR/#INODE (deleted)").
int open_files_in(pid_t pid, const std::string &dir) {
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(fds.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent *e = readdir(d)) {
        char target[4096];
        ssize_t len = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (len > 0 && std::string(target, static_cast<size_t>(len)).rfind(dir + "/", 0) == 0) ++n;
    }
    closedir(d);
    return n;
}

// Rows that a built-in sends into a cursor wait past a few MiB in a temporary file
// without a name, which goes with the cursor.
TEST(HeldRows, BuiltinRowsInACursorWaitInATemporaryFile) {
    TempDir dir;
    const std::string tmp = dir.file("tmp");
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    Server server(dir.file("held.db"), {"TMPDIR=" + tmp});
    ASSERT_GT(server.port(), 0);
    Conn conn = connect(server);
    ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    PGconn *c = conn.get();
    auto temp_files = [&] { return open_files_in(server.pid(), tmp); };
    long peak_before = status_kib(server.pid(), "VmHWM");

    ASSERT_EQ(exec(c, "begin"), "<BEGIN>");
    // A few rows stay in memory.
    ASSERT_EQ(exec(c, "declare small cursor for select n_range_bif(0, 1000)"), "<DECLARE CURSOR>");
    EXPECT_EQ(exec(c, "fetch 2 from small"), "0|0\n1|2\n");
    EXPECT_EQ(temp_files(), 0);

    // Two million rows, all sent by the built-in during the first FETCH, come back
    // whole and in order, a batch at a time.
    const long kRows = 2000000;
    ASSERT_EQ(exec(c, "declare big cursor for select n_range_bif(0, " + std::to_string(kRows) + ")"),
              "<DECLARE CURSOR>");
    long next = 0;
    for (int batch = 0; batch < 1000; ++batch) {
        Result r(PQexec(c, "fetch 10000 from big"), PQclear);
        ASSERT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK) << PQresultErrorMessage(r.get());
        if (PQntuples(r.get()) == 0) break;
        for (int i = 0; i < PQntuples(r.get()); ++i, ++next) {
            ASSERT_EQ(std::atol(PQgetvalue(r.get(), i, 0)), next);
            ASSERT_EQ(std::atol(PQgetvalue(r.get(), i, 1)), 2 * next);
        }
        if (batch == 0) {
            EXPECT_EQ(temp_files(), 1);
        }
    }
    EXPECT_EQ(next, kRows);
    EXPECT_EQ(temp_files(), 0) << "the file goes when its last row is taken";
    EXPECT_EQ(exec(c, "fetch 2 from small"), "2|4\n3|6\n");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Held as values these rows took over 200 MiB.
    EXPECT_LT(status_kib(server.pid(), "VmHWM") - peak_before, 48 * 1024);
#else
    (void)peak_before;
#endif
    ASSERT_EQ(exec(c, "commit"), "<COMMIT>");

    // Closing the cursor, ending its transaction or the connection closes the file.
    for (const char *end : {"close c", "commit", "rollback", "disconnect"}) {
        SCOPED_TRACE(end);
        Conn other = connect(server);
        ASSERT_EQ(exec(other.get(), "begin"), "<BEGIN>");
        ASSERT_EQ(exec(other.get(), "declare c cursor for select n_range_bif(0, 1000000)"),
                  "<DECLARE CURSOR>");
        EXPECT_EQ(exec(other.get(), "fetch 1 from c"), "0|0\n");
        EXPECT_EQ(temp_files(), 1);
        if (std::string(end) == "disconnect") {
            other.reset();
        } else {
            exec(other.get(), end);
        }
        for (int i = 0; i < 250 && temp_files() != 0; ++i)  // a connection ends on its own thread
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(temp_files(), 0);
    }
    struct stat st;
    EXPECT_EQ(stat(tmp.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u) << "no file was left in the temporary folder";
    conn.reset();
    EXPECT_EQ(server.stop(), 0);
}

// A temporary file that cannot be written fails the FETCH with PostgreSQL's
// error, and the connection goes on.
TEST(HeldRows, AWriteFailureFailsTheStatement) {
    TempDir dir;
    ServerOptions options({}, {"TMPDIR=" + dir.path()});
    options.max_file_size = 1 << 20;  // the server's files stop at 1 MiB, as on a full disk
    Server server(dir.file("full.db"), options);
    ASSERT_GT(server.port(), 0);
    Conn conn = connect(server);
    PGconn *c = conn.get();
    ASSERT_EQ(exec(c, "begin"), "<BEGIN>");
    ASSERT_EQ(exec(c, "declare c cursor for select n_range_bif(0, 3000000)"), "<DECLARE CURSOR>");
    EXPECT_EQ(exec(c, "fetch 10 from c"), "ERROR 53100: could not write to temporary file: File too large");
    EXPECT_EQ(exec(c, "rollback"), "<ROLLBACK>");
    EXPECT_EQ(exec(c, "select n_range_bif(0, 2)"), "0|0\n1|2\n");
    ASSERT_EQ(exec(c, "begin"), "<BEGIN>");
    ASSERT_EQ(exec(c, "declare c cursor for select n_range_bif(0, 3)"), "<DECLARE CURSOR>");
    EXPECT_EQ(exec(c, "fetch all from c"), "0|0\n1|2\n2|4\n");
    EXPECT_EQ(exec(c, "commit"), "<COMMIT>");
    conn.reset();
    EXPECT_EQ(server.stop(), 0);
}

TEST_F(Protocol, CancelRequestStopsTheRunningStatement) {
    // A cancellation while idle changes nothing.
    std::unique_ptr<PGcancel, decltype(&PQfreeCancel)> cancel(PQgetCancel(c()), PQfreeCancel);
    char why[256];
    ASSERT_EQ(PQcancel(cancel.get(), why, sizeof why), 1) << why;
    EXPECT_EQ(exec(c(), "select 'idle'"), "idle\n");
    // An open cursor keeps a statement of the connection active across the cancellation.
    ASSERT_EQ(exec(c(), "declare held cursor with hold for " + numbers(3)), "<DECLARE CURSOR>");
    ASSERT_EQ(exec(c(), "fetch 1 from held"), "1\n");

    ASSERT_EQ(PQsendQuery(c(), ("select count(*) from (" + numbers(2000000000) + ")").c_str()), 1);
    // A request with another key is ignored: the statement runs on.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(server.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    std::string request = big_endian(16, 4) + big_endian(80877102, 4) +
                          big_endian(static_cast<uint32_t>(PQbackendPID(c())), 4) + big_endian(0, 4);
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), 16);
    char ch;
    EXPECT_EQ(recv(fd, &ch, 1, 0), 0);  // the server answers by closing
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(PQconsumeInput(c()), 1);
    EXPECT_EQ(PQisBusy(c()), 1);

    ASSERT_EQ(PQcancel(cancel.get(), why, sizeof why), 1) << why;
    std::string result;
    for (int guard = 0; guard < 100; ++guard) {
        PGresult *r = PQgetResult(c());
        if (!r) break;
        result = text_of(r);
        PQclear(r);
    }
    EXPECT_EQ(result, "ERROR 57014: canceling statement due to user request");
    EXPECT_EQ(exec(c(), "select 'after'"), "after\n");
    EXPECT_EQ(exec(c(), "fetch 1 from held"), "2\n");
}

// The extended protocol keeps the rules of transaction blocks: an error, a
// cancellation included, fails the block, Sync reports it, and only its end runs.
TEST_F(Protocol, ErrorsFailTheTransactionBlockAsInSimpleQueries) {
    auto run = [&](const std::string &sql) {
        Result r(PQexecParams(c(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0), PQclear);
        return text_of(r.get());
    };
    const std::string aborted =
        "ERROR 25P02: current transaction is aborted, commands ignored until end of transaction "
        "block";
    ASSERT_EQ(run("create table t(a integer not null)"), "<CREATE TABLE>");
    std::unique_ptr<PGcancel, decltype(&PQfreeCancel)> cancel(PQgetCancel(c()), PQfreeCancel);

    // How each block fails: in Execute, in Parse, by a cancellation.
    const std::function<void()> failures[] = {
        [&] { EXPECT_EQ(run("insert into t values (NULL)").compare(0, 6, "ERROR "), 0); },
        [&] { EXPECT_EQ(run("selec 1"), "ERROR 42000: near \"selec\": syntax error"); },
        [&] {
            std::string sql = "select count(*) from (" + numbers(2000000000) + ")";
            ASSERT_EQ(PQsendQueryParams(c(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            char why[256];
            ASSERT_EQ(PQcancel(cancel.get(), why, sizeof why), 1) << why;
            std::string result;
            for (PGresult *r; (r = PQgetResult(c())) != nullptr; PQclear(r)) result = text_of(r);
            EXPECT_EQ(result, "ERROR 57014: canceling statement due to user request");
        },
    };
    for (size_t k = 0; k < sizeof failures / sizeof failures[0]; ++k) {
        SCOPED_TRACE("failure " + std::to_string(k));
        ASSERT_EQ(run("begin"), "<BEGIN>");
        EXPECT_EQ(run("insert into t values (1)"), "<INSERT 0 1>");
        EXPECT_EQ(run("declare c cursor for select a from t"), "<DECLARE CURSOR>");
        failures[k]();
        EXPECT_EQ(PQtransactionStatus(c()), PQTRANS_INERROR);
        EXPECT_EQ(run("insert into t values (2)"), aborted);
        EXPECT_EQ(run("select 1"), aborted);
        EXPECT_EQ(run("fetch 1 from c"), aborted);
        EXPECT_EQ(exec(c(), "select 1"), aborted);
        EXPECT_EQ(run("commit"), "<ROLLBACK>");
        EXPECT_EQ(PQtransactionStatus(c()), PQTRANS_IDLE);
        EXPECT_EQ(run("select count(*) from t"), "0\n");
        EXPECT_EQ(run("fetch 1 from c"), "ERROR 34000: cursor \"c\" does not exist");
    }

    // ROLLBACK TO a savepoint leaves the failure behind.
    ASSERT_EQ(run("begin"), "<BEGIN>");
    ASSERT_EQ(run("savepoint s"), "<SAVEPOINT>");
    EXPECT_EQ(run("insert into t values (NULL)").compare(0, 6, "ERROR "), 0);
    EXPECT_EQ(run("rollback to s"), "<ROLLBACK>");
    EXPECT_EQ(PQtransactionStatus(c()), PQTRANS_INTRANS);
    EXPECT_EQ(run("insert into t values (4)"), "<INSERT 0 1>");
    EXPECT_EQ(run("commit"), "<COMMIT>");
    EXPECT_EQ(run("select a from t"), "4\n");
}

// A BLOB bound as a parameter stays a BLOB even when its bytes begin as the
// server's stored values do; and results over the wire's limit fail, not change.
TEST_F(Protocol, BoundBlobsStayBlobsAndLargeValuesFail) {
    const std::string hex = "fe515856414c0100690700000000000000";
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    ASSERT_EQ(exec(c(), "create table b(v blob)"), "<CREATE TABLE>");
    const Oid bytea = 17;
    EXPECT_EQ(param("insert into b values ($1)", bytea, 1, bytes), "<INSERT 0 1>");
    EXPECT_EQ(param("insert into b values ($1)", bytea, 0, "\\x" + hex), "<INSERT 0 1>");
    std::string upper = hex;
    for (char &ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const std::string row = "\\x" + hex + "|[X'" + upper + "']\n";
    EXPECT_EQ(exec(c(), "select v, my_vector(v) from b"), row + row);
    EXPECT_EQ(param("select $1, my_vector($1)", bytea, 1, bytes), row);
    // The same bytes as a literal in a statement that goes through Parse.
    Result literal(PQexecParams(c(), ("select X'" + hex + "', my_vector(X'" + hex + "')").c_str(), 0,
                                nullptr, nullptr, nullptr, nullptr, 0),
                   PQclear);
    EXPECT_EQ(text_of(literal.get()), row);

    const std::string too_large =
        "ERROR 54000: a result value exceeds the largest value a client can receive (16777215 "
        "bytes)";
    for (const char *sql : {"select 1, zeroblob(16777216)", "select printf('%.*c', 16777216, 'x')"}) {
        Result r(PQexecParams(c(), sql, 0, nullptr, nullptr, nullptr, nullptr, 0), PQclear);
        EXPECT_EQ(text_of(r.get()), too_large) << sql;
    }
    EXPECT_EQ(exec(c(), "begin"), "<BEGIN>");
    EXPECT_EQ(exec(c(), "declare big cursor for select zeroblob(16777216)"), "<DECLARE CURSOR>");
    EXPECT_EQ(exec(c(), "fetch 1 from big"), too_large);
    EXPECT_EQ(exec(c(), "rollback"), "<ROLLBACK>");
}

TEST_F(Protocol, PsqlStreamsWithFetchCountAndCancelsOnInterrupt) {
    std::vector<std::string> env = client_env();
    std::string port = std::to_string(server.port());
    ProgramRun r = run_program(kPsql,
                               {"psql", "-X", "-A", "-t", "-h", "127.0.0.1", "-p", port, "-U", "x",
                                "-d", "x", "-v", "FETCH_COUNT=1000", "-c",
                                // psql uses a cursor for a query that starts with SELECT
                                "select i from (" + numbers(25000) + ")"},
                               "", "", &env);
    EXPECT_EQ(r.status, 0) << r.err;
    size_t lines = std::count(r.out.begin(), r.out.end(), '\n');
    EXPECT_EQ(lines, 25000u);
    EXPECT_EQ(r.out.substr(r.out.size() - 6), "25000\n");

    // Ctrl-C: psql sends a CancelRequest for the statement it waits on.
    std::string out = dir.file("psql.out"), err = dir.file("psql.err");
    std::vector<std::string> args = {"psql", "-X", "-A", "-t", "-h", "127.0.0.1", "-p", port,
                                     "-U", "x", "-d", "x", "-c", "select 'started'", "-c",
                                     "select count(*) from (" + numbers(2000000000) + ")"};
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (auto &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        execve(kPsql.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 200 && read_all(out).find("started") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int wstatus = 0;
    bool ended = false;
    for (int i = 0; i < 50 && !ended; ++i) {  // again if psql was not yet waiting
        kill(pid, SIGINT);
        for (int j = 0; j < 10 && !ended; ++j) {
            ended = waitpid(pid, &wstatus, WNOHANG) == pid;
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
    }
    EXPECT_TRUE(ended);
    EXPECT_NE(read_all(err).find("ERROR:  canceling statement due to user request"), std::string::npos)
        << read_all(err);
}

// pgbench makes its own tables (dropping several at once, WITH (fillfactor), TRUNCATE,
// COPY ... FREEZE, VACUUM ANALYZE of a table, ALTER TABLE ... ADD PRIMARY KEY) and then
// runs its transactions in every protocol mode.
TEST_F(Protocol, PgbenchInitialisesAndRunsInEveryMode) {
    std::vector<std::string> env = client_env();
    const std::vector<std::string> where = {"-h", "127.0.0.1", "-p", std::to_string(server.port()), "-U", "x"};
    for (int round = 0; round < 2; ++round) {  // the second drops and truncates what the first made
        std::vector<std::string> init = {"pgbench", "-i", "-s", "1", "-q"};
        init.insert(init.end(), where.begin(), where.end());
        init.push_back("x");
        ProgramRun r = run_program(kPgbench, init, "", "", &env);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("done in"), std::string::npos) << r.err;
    }
    EXPECT_EQ(exec(c(), "select (select count(*) from pgbench_accounts), (select count(*) from pgbench_branches), "
                        "(select group_concat(name, ' ') from (select name from sqlite_schema where type = 'index' "
                        "and name not like 'sqlite%' order by name))"),
              "100000|1|pgbench_accounts_pkey pgbench_branches_pkey pgbench_tellers_pkey\n");
    // A primary key added so is unique.
    EXPECT_EQ(exec(c(), "insert into pgbench_branches(bid, bbalance) values (1, 0)"),
              "ERROR 23505: UNIQUE constraint failed: pgbench_branches.bid");
    for (const char *mode : {"simple", "extended", "prepared"}) {
        std::vector<std::string> run = {"pgbench", "-n", "-M", mode, "-c", "2", "-t", "20"};
        run.insert(run.end(), where.begin(), where.end());
        run.push_back("x");
        ProgramRun r = run_program(kPgbench, run, "", "", &env);
        EXPECT_EQ(r.status, 0) << mode << ": " << r.err;
        EXPECT_NE(r.out.find("number of transactions actually processed: 40/40"), std::string::npos)
            << mode << ": " << r.out << r.err;
    }
    // Every transaction's change landed everywhere it should.
    EXPECT_EQ(exec(c(), "select count(*), sum(delta) = (select sum(abalance) from pgbench_accounts), "
                        "sum(delta) = (select sum(tbalance) from pgbench_tellers), "
                        "sum(delta) = (select sum(bbalance) from pgbench_branches) from pgbench_history"),
              "120|1|1|1\n");
}

// The same statements as schema scripts write them, one at a time.
TEST_F(Protocol, TableStatementsAsPostgresWritesThem) {
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"create table a(id int, v text) with (fillfactor = 90); create table b(id int) WITH (autovacuum_enabled=off)",
         "<CREATE TABLE>"},
        {"insert into a values (1, 'x'), (1, 'y'); insert into b values (1)", "<INSERT 0 1>"},
        {"alter table a add constraint a_key unique (id)", "ERROR 23505: UNIQUE constraint failed: a.id"},
        {"delete from a where v = 'y'; alter table only a add primary key (id); alter table b add unique (id)",
         "<CREATE INDEX>"},
        {"select group_concat(name, ' ') from (select name from sqlite_schema where type = 'index' and tbl_name in ('a', 'b') "
         "order by name)",
         "a_pkey b_id_key\n"},
        {"vacuum analyze a; VACUUM (VERBOSE, ANALYZE) b; vacuum full a", "<ANALYZE>"},
        {"vacuum main", "<VACUUM>"},  // SQLite's, of the database
        // An operator class follows a column; a column may be called so itself.
        {"create table o(text_ops text); create index oi on o(text_ops); create index oj on o(text_ops text_ops)",
         "<CREATE INDEX>"},
        {"truncate table a, b restart identity cascade", "<DELETE 1>"},
        {"select (select count(*) from a) + (select count(*) from b)", "0\n"},
        {"drop table if exists a, b, nosuch cascade", "<DROP TABLE>"},
        {"select count(*) from sqlite_schema where name in ('a', 'b')", "0\n"},
        {"drop table a, b", "ERROR 42000: no such table: a"},
        // Identity columns are numbered as serial ones; indexes made or dropped concurrently.
        {"create table i(id bigint generated always as identity primary key, v text); "
         "create table j(id int GENERATED BY DEFAULT AS IDENTITY (start with 10) primary key, tags text[])",
         "<CREATE TABLE>"},
        {"insert into i(v) values ('x'), ('y') returning id", "1\n2\n"},
        {"select group_concat(name || ' ' || type, ', ') from pragma_table_info('j')", "id INTEGER, tags text[]\n"},
        {"create index concurrently jt on j(tags); drop index concurrently jt", "<DROP INDEX>"},
        {"select id from i order by id limit all offset 1", "2\n"},
        // Calls as defaults, as PostgreSQL's schemas write them (SQLite wants parentheses).
        {"create table u(id uuid primary key default gen_random_uuid(), n int default abs(-3), h text default md5('x'))",
         "<CREATE TABLE>"},
        {"insert into u default values; insert into u default values", "<INSERT 0 1>"},
        {"select count(distinct id), min(id ~ '^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$'), "
         "min(n), min(h), md5('abc'), md5(null) from u",
         "2|1|3|9dd4e461268c8034f5c8564e155c67a6|900150983cd24fb0d6963f7d28e17f72|<null>\n"},
        // An index without a name gets PostgreSQL's; a view is replaced.
        {"create table p(id int primary key, name text, k int); create index on p(name); "
         "create unique index if not exists on p using btree (k, name desc)",
         "<CREATE INDEX>"},
        {"select group_concat(name, ' ') from (select name from sqlite_schema where type = 'index' and tbl_name = 'p' "
         "order by name)",
         "p_k_name_idx p_name_idx sqlite_autoindex_p_1\n"},
        {"create view pv as select id from p; create or replace view pv as select id, name from p", "<CREATE VIEW>"},
        {"select count(*) from pragma_table_info('pv')", "2\n"},
        // DELETE ... USING: the rows the other tables have a match for; RETURNING as written.
        {"insert into p values (1, 'a', 1), (2, 'b', 2), (3, 'c', 3); create table q(pid int, tag text); "
         "insert into q values (1, 'x'), (3, 'x'), (3, 'y')",
         "<INSERT 0 3>"},
        {"delete from p as victim using q where q.pid = victim.id and q.tag = 'x' returning victim.id, victim.*",
         "1|1|a|1\n3|3|c|3\n"},
        {"delete from q using p returning q.tag", "x\nx\ny\n"},  // p has a row: every row of q matches it
        {"select count(*) from q", "0\n"},
        // OFFSET alone or first, OFFSET ... ROWS and FETCH FIRST ... ROWS ONLY.
        {"insert into p values (4, 'd', 4), (5, 'e', 5)", "<INSERT 0 2>"},
        {"select id from p order by id offset 1 fetch first 2 rows only", "4\n5\n"},
        {"select id from p order by id offset 2", "5\n"},
        {"select id from p order by id offset 1 limit 1", "4\n"},
        {"select id from p order by id fetch next row only", "2\n"},
        {"select (select id from p order by id desc offset 1 rows fetch first 1 row only)", "4\n"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;
}

// SELECT DISTINCT ON (keys): the first row of each group in the select's order, as
// "latest row per group" queries ask; over a join it stays SQLite's syntax error.
TEST_F(Protocol, DistinctOnKeepsTheFirstRowOfEachGroup) {
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"create table ev(id integer primary key, u int, at text, v text); insert into ev(u, at, v) values "
         "(1, '2026-01-01', 'a'), (1, '2026-01-03', 'b'), (2, '2026-01-02', 'c'), (2, '2026-01-01', 'd'), "
         "(3, '2026-01-05', 'e')",
         "<INSERT 0 5>"},
        {"select distinct on (u) u, v from ev order by u, at desc", "1|b\n2|c\n3|e\n"},
        {"select distinct on (e.u) * from ev as e where e.v <> 'b' and (e.id > 0) order by e.u, at desc limit 2",
         "1|1|2026-01-01|a\n3|2|2026-01-02|c\n"},
        {"select n, (select distinct on (u) v from ev where u = n order by u, at) from (select 2 as n)", "2|d\n"},
        {"select distinct on (u) u from ev e join ev f using (u)", "ERROR 42000: near \"on\": syntax error"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;
}

// Statements nested deeper than SQLite's parser takes are refused as it refuses them; the
// rewrites that recurse by nesting (substring(... FROM ...), position(... IN ...), CAST,
// ...) never read them, so no client can exhaust its connection's stack with one. At the
// deepest they read (50) they run to their end, and the server stays.
TEST_F(Protocol, DeeplyNestedStatementsAreRefusedAndTheServerStays) {
    auto nested = [](const std::string &open, const std::string &inner, const std::string &close, int depth) {
        std::string sql = "select ";
        for (int k = 0; k < depth; ++k) sql += open;
        sql += inner;
        for (int k = 0; k < depth; ++k) sql += close;
        return sql;
    };
    for (int depth : {50, 20000}) {
        for (const std::string &sql :
             {nested("substring(", "'abc'", " from 1)", depth), nested("position('a' in ", "'b'", ")", depth),
              nested("trim(both 'x' from ", "'x'", ")", depth), nested("cast(", "'2026-01-01'", " as date)", depth),
              nested("extract(year from ", "now()", ")", depth), nested("(", "1", ")", depth),
              nested("(select ", "1", ")", depth), nested("string_agg(", "'a'", ", ',' order by 1)", depth)}) {
            std::string result = exec(c(), sql.c_str());
            if (depth > 50) {  // as deep as the rewrites read, a statement may also run
                EXPECT_EQ(result.compare(0, 6, "ERROR "), 0) << depth << ": " << sql.substr(0, 60) << " gave " << result;
            }
        }
    }
    EXPECT_EQ(exec(c(), "select substring(position('b' in 'abc')::text from 1)"), "2\n");
}

// EXPLAIN as PostgreSQL's tools read it: one column, "QUERY PLAN", a row per step, a step
// within another indented under it; the statement is not run.
TEST_F(Protocol, ExplainShowsThePlanAsOneColumn) {
    ASSERT_EQ(exec(c(), "create table e(id integer primary key, v text); create index ev on e(v)"), "<CREATE INDEX>");
    Result r(PQexec(c(), "explain select * from e where id = 1"), PQclear);
    ASSERT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK) << PQresultErrorMessage(r.get());
    ASSERT_EQ(PQnfields(r.get()), 1);
    EXPECT_STREQ(PQfname(r.get(), 0), "QUERY PLAN");
    EXPECT_EQ(text_of(r.get()), "SEARCH e USING INTEGER PRIMARY KEY (rowid=?)\n");
    const struct {
        const char *sql, *result;
    } steps[] = {
        {"explain (analyze, costs off) select v from e union select v from e order by 1",
         "MERGE (UNION)\n  ->  LEFT\n        ->  SCAN e USING COVERING INDEX ev\n  ->  RIGHT\n"
         "        ->  SCAN e USING COVERING INDEX ev\n"},
        {"insert into e values (1, 'x')", "<INSERT 0 1>"},
        {"explain analyze delete from e where v = 'x'", "SEARCH e USING INDEX ev (v=?)\n"},
        {"select count(*) from e", "1\n"},  // the DELETE was not run
        {"explain select * from nosuch", "ERROR 42000: no such table: nosuch"},
    };
    for (const auto &step : steps) EXPECT_EQ(exec(c(), step.sql), step.result) << step.sql;
}

// A Python client script against the server: it prints "ok" when all it checks holds.
void expect_script_passes(const std::string &script, int port) {
    std::vector<std::string> env = client_env();
    ProgramRun r = run_program(kPython, {"python3", script, std::to_string(port)}, "", "", &env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "ok\n") << r.err;
}

TEST_F(Protocol, AsyncpgDescribesStatementsOnceAndReadsBinaryResults) {
    expect_script_passes(kAsyncpgScript, server.port());
}

TEST_F(Protocol, JdbcConnectsPreparesBatchesCancelsAndRunsTransactions) {
    std::vector<std::string> env = client_env();
    // No performance-data file of the JVM's in /tmp.
    ProgramRun r = run_program(kJava,
                               {"java", "-XX:-UsePerfData", "-cp", JDBC_DRIVER, JDBC_PROGRAM,
                                std::to_string(server.port())},
                               "", "", &env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "ok\n") << r.err;
}

TEST_F(Protocol, PgxSendsNumbersForParametersOfNumericColumns) {
    std::vector<std::string> env = client_env();
    ProgramRun r = run_program(PGX_CLIENT, {"pgx_client", std::to_string(server.port())}, "", "", &env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "ok\n") << r.err;
}

TEST_F(Protocol, PsycopgParametersPreparedStatementsAndNamedCursors) {
    expect_script_passes(kPsycopgScript, server.port());
}

TEST_F(Protocol, SqlalchemyCreatesTablesOfClassesAndStoresObjects) {
    expect_script_passes(kSqlalchemyScript, server.port());
}

}  // namespace
