// The select parser and the query compiler on any text: every tree the parser makes
// compiles, and the compiled text is one statement SQLite reads without a syntax
// error (it may name tables that do not exist, which SQLite refuses later).
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"
#include "quendrix/query_tree.h"

namespace {

sqlite3 *catalogue_db() {
    static sqlite3 *db = [] {
        sqlite3 *d = nullptr;
        std::string why;
        if (sqlite3_open(":memory:", &d) != SQLITE_OK || !qx::install_catalogue(d, &why)) std::abort();
        return d;
    }();
    return db;
}

[[noreturn]] void fail(const char *what, const std::string &sql, const char *detail) {
    std::fprintf(stderr, "%s\n  %s\n  %s\n", what, sql.c_str(), detail ? detail : "");
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);  // the parser reads C text
    qx_value error = nullptr;
    qx_value tree = qx_query_parse(input.c_str(), &error);
    if (!tree) {
        if (!error) std::abort();  // a refusal always says why
        qx_free_tree(error);
        return 0;
    }
    qx_value compiled = qx_query_text(tree, &error);
    qx_free_tree(tree);
    if (!compiled) fail("a parsed tree does not compile", input, qx_error_message(error));
    std::string sql(static_cast<const char *>(compiled), qx_length_of(compiled));
    qx_free_tree(compiled);

    sqlite3_stmt *stmt = nullptr;
    const char *tail = nullptr;
    int rc = sqlite3_prepare_v2(catalogue_db(), sql.c_str(), static_cast<int>(sql.size() + 1), &stmt, &tail);
    if (rc == SQLITE_OK) {
        if (tail && tail[strspn(tail, " \t\n")]) fail("compiled text holds more than one statement", sql, tail);
    } else {
        const char *why = sqlite3_errmsg(catalogue_db());
        // SQLite may refuse the names or the meaning (tables that do not exist here,
        // SELECT * without FROM, its limits), never the text itself. Messages are told apart by
        // their fixed beginning: the rest quotes names, which may hold any words.
        bool refused_meaning = false;
        for (const char *meaning :
             {"no such table: ", "no such column: ", "ambiguous column name: ", "no tables specified",
              "too many ", "Expression tree is too large", "no such function: ",
              "wrong number of arguments to function ", "misuse of aggregate", "misuse of window function ",
              "aggregate functions are not allowed in the GROUP BY clause",
              "DISTINCT aggregates must have exactly one argument", "row value misused",
              "sub-select returns ", "unknown function: ", "unsafe use of ", "a GROUP BY clause is required"})
            refused_meaning = refused_meaning || std::strncmp(why, meaning, std::strlen(meaning)) == 0;
        // "1st ORDER BY term out of range - should be between 1 and 2": an ordinal first.
        size_t digits = std::strspn(why, "0123456789");
        if (digits > 0 && std::strlen(why) > digits + 2)
            for (const char *meaning : {" ORDER BY term out of range", " GROUP BY term out of range"})
                refused_meaning = refused_meaning ||
                                  std::strncmp(why + digits + 2, meaning, std::strlen(meaning)) == 0;
        if (!refused_meaning) fail("SQLite does not read the compiled text", sql, why);
    }
    sqlite3_finalize(stmt);
    return 0;
}
