// Rows a portal holds come back exactly and in order, whether they stayed in
// memory or went through the temporary file, and the file leaves no name behind.
#include <gtest/gtest.h>
#include <dirent.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "network/held_rows.h"

namespace {

using qx::pg::HeldRows;

// Same tag, same length, same bytes; slot vectors slot by slot.
bool same(qx_value a, qx_value b) {
    if (qx_tag_of(a) != qx_tag_of(b)) return false;
    if (qx_tag_of(a) == QX_TAG_INTEGER) return qx_unbox(a) == qx_unbox(b);
    if (qx_length_of(a) != qx_length_of(b)) return false;
    if (!qx_tag_holds_values(qx_tag_of(a))) return std::memcmp(a, b, qx_length_of(a)) == 0;
    for (size_t i = 0; i < qx_slot_count(a); ++i)
        if (!same(qx_slots(a)[i], qx_slots(b)[i])) return false;
    return true;
}

// One value of each kind a row may carry, sizes on both sides of varint steps.
std::vector<qx_value> samples() {
    int32_t ints[] = {-5, 7};
    double doubles[] = {0.1, -2.5e300};
    std::string big(100000, 'x');  // larger than one chunk of the file
    big[5] = '\0';
    return {
        nullptr,
        qx_alloc(0, QX_TAG_NULL),
        qx_box_int64(65535),
        qx_box_int64(65536),
        qx_box_int64(-1),
        qx_box_int64(std::numeric_limits<int64_t>::min()),
        qx_box_int64(std::numeric_limits<int64_t>::max()),
        qx_box_double(0.1),
        qx_box_string(""),
        qx_box_string("it's text"),
        qx_box_bytes("\0\x01\xff", 3, QX_TAG_BINARY),
        qx_box_bytes(big.data(), big.size(), QX_TAG_BINARY),
        qx_box_bytes(ints, sizeof ints, QX_TAG_INT32_VECTOR),
        qx_box_bytes(doubles, sizeof doubles, QX_TAG_DOUBLE_VECTOR),
        qx_list(3, qx_box_int64(1), qx_box_string("two"), qx_list(1, qx_box_int64(-3))),
    };
}

// TMPDIR set to a fresh folder for the test's duration.
class HeldRowsTest : public testing::Test {
protected:
    void SetUp() override {
        const char *old = std::getenv("TMPDIR");
        had_tmpdir_ = old != nullptr;
        if (old) old_tmpdir_ = old;
        std::string tmpl = testing::TempDir() + "/held-rows-XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        dir_ = tmpl;
        setenv("TMPDIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (had_tmpdir_) setenv("TMPDIR", old_tmpdir_.c_str(), 1);
        else unsetenv("TMPDIR");
        rmdir(dir_.c_str());
    }
    // The names in the folder besides . and ..
    int names_in_dir() {
        DIR *d = opendir(dir_.c_str());
        int n = 0;
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
        closedir(d);
        return n;
    }
    std::string dir_, old_tmpdir_;
    bool had_tmpdir_ = false;
};

TEST_F(HeldRowsTest, RowsComeBackExactlyAndInOrderAcrossTheBound) {
    std::vector<qx_value> kinds = samples();
    const size_t kRows = 3000;
    // A row: its number, one value of each kind in turn, and a text.
    auto row_of = [&](size_t i) {
        return std::vector<qx_value>{qx_box_int64(static_cast<int64_t>(i)), kinds[i % kinds.size()],
                                     qx_box_string(("row " + std::to_string(i)).c_str())};
    };
    auto free_own = [](std::vector<qx_value> &r) {  // the row's own values, not the kinds
        qx_free_tree(r[0]);
        qx_free_tree(r[2]);
    };

    for (size_t bound : {size_t{0}, size_t{4096}, HeldRows::kDefaultMemoryBound}) {
        SCOPED_TRACE("bound " + std::to_string(bound));
        HeldRows held(bound);
        size_t pushed = 0, popped = 0;
        bool spilled = false;
        qx::SqlError error;
        auto check_pop = [&]() {
            std::vector<qx_value> got;
            ASSERT_TRUE(held.pop(&got, &error)) << error.message;
            std::vector<qx_value> want = row_of(popped);
            ASSERT_EQ(got.size(), want.size());
            for (size_t j = 0; j < got.size(); ++j)
                EXPECT_TRUE(same(got[j], want[j])) << "row " << popped << " value " << j;
            free_own(want);
            for (qx_value v : got) qx_free_tree(v);
            ++popped;
        };
        // Pushes run ahead of pops, unevenly, so that reads meet the file's
        // written part and its unwritten buffer alike.
        while (pushed < kRows) {
            for (size_t k = 0; k < 10 && pushed < kRows; ++k, ++pushed) {
                std::vector<qx_value> r = row_of(pushed);
                ASSERT_TRUE(held.push(3, r.data(), &error)) << error.message;
                free_own(r);
            }
            spilled = spilled || held.spilled();
            EXPECT_EQ(names_in_dir(), 0);
            for (size_t k = 0; k < 7; ++k) check_pop();
            if (HasFatalFailure()) return;
        }
        EXPECT_EQ(held.size(), pushed - popped);
        while (!held.empty()) {
            check_pop();
            if (HasFatalFailure()) return;
        }
        EXPECT_EQ(popped, kRows);
        if (bound < HeldRows::kDefaultMemoryBound) {
            EXPECT_TRUE(spilled);
        }
        EXPECT_FALSE(held.spilled()) << "the file closes when the last row is taken";
    }
    for (qx_value v : kinds) qx_free_tree(v);
}

TEST_F(HeldRowsTest, RowsThatCannotBeKeptFailThePush) {
    qx::SqlError error;
    qx_value one = qx_box_int64(1);

    // A temporary folder that is not there.
    setenv("TMPDIR", (dir_ + "/missing").c_str(), 1);
    HeldRows held(0);
    EXPECT_FALSE(held.push(1, &one, &error));
    EXPECT_EQ(error.state, "53100");
    EXPECT_EQ(error.message, "could not create temporary file in " + dir_ +
                                 "/missing: No such file or directory");
    EXPECT_TRUE(held.empty());

    // A value nested deeper than values may be.
    qx_value deep = qx_box_int64(0);
    for (int i = 0; i <= qx::kMaxValueDepth; ++i) deep = qx_list(1, deep);
    HeldRows in_memory;
    ASSERT_TRUE(in_memory.push(1, &one, &error));
    EXPECT_FALSE(in_memory.push(1, &deep, &error));
    EXPECT_EQ(error.state, "54000");
    std::vector<qx_value> got;
    ASSERT_TRUE(in_memory.pop(&got, &error)) << "rows pushed before stay";
    EXPECT_EQ(qx_unbox(got.at(0)), 1);
    EXPECT_TRUE(in_memory.empty());
    qx_free_tree(deep);
}

}  // namespace
