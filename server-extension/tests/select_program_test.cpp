// my_select and the key catalogue through SQL with the real quendrix program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_program.h"

namespace {

const std::string kQuendrix = QUENDRIX_PATH;

class QuendrixSelect : public testing::Test {
protected:
    TempDir dir;
    std::string db = dir.file("test.db");

    ProgramRun sql(const std::vector<std::string> &statements, const std::string &database = "") {
        std::vector<std::string> argv = {"quendrix", "--database", database.empty() ? db : database};
        for (const auto &s : statements) {
            argv.push_back("--execute");
            argv.push_back(s);
        }
        return run_program(kQuendrix, argv);
    }
};

TEST_F(QuendrixSelect, MySelectReturnsTheKeyCatalogue) {
    ProgramRun r = sql({"select my_select()"});
    EXPECT_EQ(r.out, "[]\n");
    EXPECT_EQ(r.status, 0) << r.err;

    r = sql({"create table DB.DBA.ITEMS(ID primary key, NAME); create index BY_NAME on "
             "DB.DBA.ITEMS(NAME)",
             "select my_select()", "select count (*) from DB.DBA.SYS_KEYS",
             "select my_aref(my_aref(my_select(), 2), 1), my_aref(my_aref(my_select(), 0), 0)"});
    EXPECT_EQ(r.out,
              "[['DB.DBA.ITEMS', 'DB.DBA.ITEMS', 1, 1, 1, 1, 0, 1, NULL, 1, 2], "
              "['DB.DBA.ITEMS', 'sqlite_autoindex_DB.DBA.ITEMS_1', 2, 1, 1, 0, 0, 1, NULL, 1, 2], "
              "['DB.DBA.ITEMS', 'BY_NAME', 3, 1, 1, 0, 0, 0, NULL, 1, 2]]\n"
              "3\n"
              "BY_NAME|DB.DBA.ITEMS\n");
    EXPECT_EQ(r.status, 0) << r.err;

    // The catalogue needs no write to the database: it works read-only too.
    r = sql({"select count (*) from DB.DBA.SYS_KEYS", "select my_aref(my_aref(my_select(), 0), 0)"},
            "file:" + db + "?mode=ro");
    EXPECT_EQ(r.out, "3\nDB.DBA.ITEMS\n");
    EXPECT_EQ(r.status, 0) << r.err;

    r = sql({"select my_select(1)"});
    EXPECT_EQ(r.err, "*** Error 07001: my_select: too many arguments (1 given, 0 expected)\n");
    EXPECT_EQ(r.status, 1);
}

}  // namespace
