// Server values: header layout, inline integers, text, copies, freeing, limits.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "quendrix/server.h"

namespace {

TEST(Values, HeaderHoldsLengthAndTagBeforeAlignedZeroedData) {
    qx_value v = qx_alloc(70000, QX_TAG_RAW);  // a length that needs all three bytes
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(v) % 8, 0u);
    const auto *h = static_cast<const unsigned char *>(v) - 4;
    EXPECT_EQ(h[0] | h[1] << 8 | h[2] << 16, 70000);
    EXPECT_EQ(h[3], QX_TAG_RAW);
    EXPECT_EQ(qx_tag_of(v), QX_TAG_RAW);
    EXPECT_EQ(qx_length_of(v), 70000u);
    const auto *data = static_cast<const unsigned char *>(v);
    for (size_t i = 0; i < 70000; ++i) ASSERT_EQ(data[i], 0) << i;
    qx_free(v);
}

TEST(Values, IntegersAreInlineExactlyBelow65536) {
    struct Case {
        int64_t n;
        bool is_inline;
    } cases[] = {{0, true},       {1, true},          {65535, true},
                 {65536, false},  {-1, false},        {INT32_MIN, false},
                 {INT64_MAX, false}, {INT64_MIN, false}};
    for (const auto &c : cases) {
        qx_value v = qx_box_int64(c.n);
        EXPECT_EQ(qx_is_inline(v) != 0, c.is_inline) << c.n;
        EXPECT_EQ(qx_tag_of(v), QX_TAG_INTEGER) << c.n;
        EXPECT_EQ(qx_unbox(v), c.n);
        if (!c.is_inline) {
            EXPECT_EQ(qx_length_of(v), 8u);
        }
        qx_free(v);
    }
}

TEST(Values, TextLengthDoesNotCountTheTrailingZero) {
    qx_value s = qx_box_string("abc");
    EXPECT_EQ(qx_tag_of(s), QX_TAG_STRING);
    EXPECT_EQ(qx_length_of(s), 3u);
    EXPECT_STREQ(static_cast<const char *>(s), "abc");
    qx_value empty = qx_box_string("");
    EXPECT_EQ(qx_length_of(empty), 0u);
    EXPECT_EQ(*static_cast<const char *>(empty), '\0');
    qx_free(s);
    qx_free(empty);
}

TEST(Values, NumbersConvert) {
    qx_value d = qx_box_double(-2.75);
    qx_value f = qx_box_float(1.5f);
    qx_value text = qx_box_string("123abc");
    EXPECT_EQ(qx_tag_of(d), QX_TAG_DOUBLE);
    EXPECT_EQ(qx_tag_of(f), QX_TAG_FLOAT);
    EXPECT_EQ(qx_length_of(f), 4u);
    EXPECT_DOUBLE_EQ(qx_unbox_double(d), -2.75);
    EXPECT_EQ(qx_unbox(d), -2);
    EXPECT_DOUBLE_EQ(qx_unbox_double(f), 1.5);
    EXPECT_EQ(qx_unbox(text), 123);
    qx_value huge = qx_box_double(1e300);  // out of range: clamped, not undefined
    EXPECT_EQ(qx_unbox(huge), INT64_MAX);
    for (qx_value v : {d, f, text, huge}) qx_free(v);
}

TEST(Values, CopyIsDeepAndIndependent) {
    qx_value inner = qx_list(2, qx_box_string("x"), qx_box_int64(-9));
    qx_value outer = qx_list(3, inner, qx_box_double(0.5), qx_box_int64(7));
    qx_value copy = qx_copy(outer);
    ASSERT_NE(copy, outer);
    qx_value copied_inner = qx_slots(copy)[0];
    ASSERT_NE(copied_inner, inner);
    ASSERT_NE(qx_slots(copied_inner)[0], qx_slots(inner)[0]);
    static_cast<char *>(qx_slots(inner)[0])[0] = 'y';
    qx_free_tree(outer);  // the copy must not share anything with what is freed
    EXPECT_STREQ(static_cast<const char *>(qx_slots(copied_inner)[0]), "x");
    EXPECT_EQ(qx_unbox(qx_slots(copied_inner)[1]), -9);
    EXPECT_EQ(qx_slots(copy)[2], qx_box_int64(7));  // inline integers copy as themselves
    qx_free_tree(copy);
}

TEST(Values, FreeingToleratesInlineAndNull) {
    qx_free(nullptr);
    qx_free(qx_box_int64(12));
    qx_free_tree(nullptr);
    qx_value zeroed = qx_alloc(4 * sizeof(qx_value), QX_TAG_ARRAY);  // slots all null
    qx_free_tree(zeroed);
    EXPECT_EQ(qx_copy(nullptr), nullptr);
}

TEST(Values, IntListElementsAreSignedAndBoundsChecked) {
    int32_t items[] = {-7, 8, INT32_MAX};
    qx_value v = qx_box_bytes(items, sizeof items, QX_TAG_INT_LIST);
    EXPECT_EQ(qx_int_list_ref(v, 0), -7);
    EXPECT_EQ(qx_int_list_ref(v, 2), INT32_MAX);
    EXPECT_EQ(qx_int_list_ref(v, 3), 0);
    EXPECT_EQ(qx_int_list_ref(v, -1), 0);
    qx_free(v);
}

TEST(Values, EveryTagHasAName) {
    for (int tag = 0; tag < 256; ++tag) {
        const char *name = qx_tag_name(tag);
        ASSERT_NE(name, nullptr) << tag;
        EXPECT_GT(std::strlen(name), 0u) << tag;
    }
    EXPECT_STREQ(qx_tag_name(QX_TAG_STRING), "VARCHAR");
    EXPECT_STREQ(qx_tag_name(QX_TAG_INTEGER), "INTEGER");
}

TEST(Values, ErrorValuesCarryStateCodeAndMessage) {
    qx_value e = qx_error_new("22023", "SR000", "%s expects %d", "f", 3);
    EXPECT_EQ(qx_tag_of(e), QX_TAG_ERROR);
    EXPECT_STREQ(qx_error_state(e), "22023");
    EXPECT_STREQ(qx_error_native_code(e), "SR000");
    EXPECT_STREQ(qx_error_message(e), "f expects 3");
    qx_value copy = qx_copy(e);
    qx_free_tree(e);
    EXPECT_STREQ(qx_error_message(copy), "f expects 3");
    qx_free_tree(copy);
    qx_value plain = qx_error_new("42000", nullptr, "no code");
    EXPECT_EQ(qx_error_native_code(plain), nullptr);
    qx_free_tree(plain);
}

}  // namespace
