// Values keep type and contents through the private BLOB form, and damaged or
// foreign BLOBs are refused without leaks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../src/internal.h"

namespace {

std::string shown(qx_value v) {
    std::string s;
    qx::format_value(s, v, true);
    return s;
}

qx_value sample() {
    int32_t ints[] = {-5, 7};
    uint16_t shorts[] = {1, 65535};
    double doubles[] = {0.25};
    return qx_list(9, qx_box_int64(3), qx_box_int64(-70000), qx_box_string("it's"),
                   qx_alloc(0, QX_TAG_NULL), qx_box_float(1.5f),
                   qx_box_bytes(ints, sizeof ints, QX_TAG_INT32_VECTOR),
                   qx_box_bytes(shorts, sizeof shorts, QX_TAG_UINT16_VECTOR),
                   qx_box_bytes(doubles, sizeof doubles, QX_TAG_DOUBLE_VECTOR),
                   qx_list(2, nullptr, qx_box_bytes("\x01\xff", 2, QX_TAG_BINARY)));
}

TEST(Codec, RoundTripKeepsTagsAndContents) {
    qx_value v = sample();
    std::string bytes = qx::serialize(v);
    bool ok = false;
    qx_value back = qx::deserialize(bytes.data(), bytes.size(), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(shown(back),
              "[3, -70000, 'it''s', NULL, 1.5, [-5, 7], [1, 65535], [0.25], [0, X'01FF']]");
    EXPECT_EQ(qx_tag_of(qx_slots(back)[4]), QX_TAG_FLOAT);
    EXPECT_EQ(qx_tag_of(qx_slots(back)[5]), QX_TAG_INT32_VECTOR);
    EXPECT_EQ(shown(back), shown(v));
    qx_free_tree(v);
    qx_free_tree(back);
}

TEST(Codec, EveryTruncationAndForeignBlobIsRefused) {
    qx_value v = sample();
    std::string bytes = qx::serialize(v);
    qx_free_tree(v);
    for (size_t n = 0; n < bytes.size(); ++n) {
        bool ok = true;
        EXPECT_EQ(qx::deserialize(bytes.data(), n, &ok), nullptr) << n;
        EXPECT_FALSE(ok) << n;
    }
    std::string trailing = bytes + "x";
    bool ok = true;
    EXPECT_EQ(qx::deserialize(trailing.data(), trailing.size(), &ok), nullptr);
    EXPECT_FALSE(ok);
    std::string plain = "just some bytes";
    EXPECT_EQ(qx::deserialize(plain.data(), plain.size(), &ok), nullptr);
    EXPECT_FALSE(ok);
}

TEST(Codec, ImpossibleSlotCountIsRefusedBeforeAllocating) {
    qx_value empty = qx_alloc(0, QX_TAG_ARRAY);
    std::string bytes = qx::serialize(empty);
    qx_free(empty);
    // Claim the largest slot vector with no slots following.
    uint32_t huge = QX_MAX_LENGTH;
    bytes.replace(bytes.size() - 4, 4, reinterpret_cast<const char *>(&huge), 4);
    bool ok = true;
    EXPECT_EQ(qx::deserialize(bytes.data(), bytes.size(), &ok), nullptr);
    EXPECT_FALSE(ok);
}

qx_value nested(int depth) {
    qx_value v = qx_box_int64(7);
    for (int i = 0; i < depth; ++i) v = qx_list(1, v);
    return v;
}

// Whatever can be written reads back: the deepest vector round-trips, one level
// more is refused when written, and bytes of that depth are refused when read.
TEST(Codec, WritingAndReadingShareTheDepthLimit) {
    qx_value deepest = nested(qx::kMaxValueDepth);
    std::string bytes = qx::serialize(deepest);
    ASSERT_FALSE(bytes.empty());
    bool ok = false;
    qx_value back = qx::deserialize(bytes.data(), bytes.size(), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(qx::serialize(back), bytes);
    qx_free_tree(back);

    qx_value deeper = qx_list(1, deepest);
    EXPECT_EQ(qx::serialize(deeper), "");
    qx_free_tree(deeper);

    // The same bytes wrapped by hand in one more one-slot vector.
    std::string wrapped = bytes.substr(0, 8) + "s" + static_cast<char>(QX_TAG_ARRAY);
    uint32_t one_slot = sizeof(qx_value);
    wrapped.append(reinterpret_cast<const char *>(&one_slot), 4);
    wrapped += bytes.substr(8);
    EXPECT_EQ(qx::deserialize(wrapped.data(), wrapped.size(), &ok), nullptr);
    EXPECT_FALSE(ok);
}

// Every real shows a decimal point and reads back as the same number.
TEST(Format, RealsAlwaysHaveADecimalPoint) {
    const struct {
        double d;
        const char *shown;
    } cases[] = {
        {1.0, "1.0"},       {0.5, "0.5"},          {-0.0, "-0.0"},
        {1e16, "1.0e+16"},  {2e-10, "2.0e-10"},    {-3e100, "-3.0e+100"},
        {123456.0, "123456.0"}, {1.5e300, "1.5e+300"}, {0.1, "0.1"},
        {5e-324, "4.94065645841247e-324"},
    };
    for (const auto &c : cases) {
        qx_value v = qx_box_double(c.d);
        std::string s = shown(v);
        qx_free(v);
        EXPECT_EQ(s, c.shown);
        EXPECT_EQ(std::strtod(s.c_str(), nullptr), c.d) << s;
    }
}

// Values of a known tag but the wrong shape, as a BLOB from SQL can carry them:
// an error whose slots hold no text, numbers shorter than their type. Reading
// them must stay inside the value.
TEST(Codec, MisshapenValuesFromABlobAreReadSafely) {
    qx_value error_of_integers = qx_alloc(3 * sizeof(qx_value), QX_TAG_ERROR);
    qx_slots(error_of_integers)[0] = qx_box_int64(5);
    qx_slots(error_of_integers)[2] = qx_box_int64(70000);
    qx_value v = qx_list(4, error_of_integers, qx_alloc(0, QX_TAG_DOUBLE),
                         qx_alloc(2, QX_TAG_FLOAT), qx_alloc(4, QX_TAG_INTEGER));
    std::string bytes = qx::serialize(v);
    qx_free_tree(v);
    bool ok = false;
    qx_value back = qx::deserialize(bytes.data(), bytes.size(), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(shown(back), "[<error HY000: unknown error>, 0.0, 0.0, 0]");
    EXPECT_EQ(qx_unbox(qx_slots(back)[1]), 0);
    qx_free_tree(back);
}

}  // namespace
