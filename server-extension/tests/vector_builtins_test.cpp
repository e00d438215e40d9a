// my_aref on every kind of typed vector and my_vector, called in-process as the
// server calls them, and the start-up hook's registrations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "builtins.h"
#include "call_srv.h"
#include "n_range_bif.h"

namespace {

struct Outcome {
    qx_value result = nullptr;
    std::string state, code, message;
    ~Outcome() { qx_free_tree(result); }
};

// Calls the built-in with two arguments; `a` stays the caller's, `b` is freed.
void call(qx_bif_fn fn, const char *name, qx_value a, qx_value b, Outcome *o) {
    qx_value args = qx_list(2, a, b);
    qx_value err = nullptr;
    o->result = qx_bif_call(fn, name, args, &err);
    std::memset(args, 0, 2 * sizeof(qx_value));  // hand a and b back before freeing
    qx_free(args);
    qx_free_tree(b);
    if (err) {
        o->state = qx_error_state(err);
        const char *code = qx_error_native_code(err);
        o->code = code ? code : "";
        o->message = qx_error_message(err);
        qx_free_tree(err);
    }
}

template <typename T, size_t N>
qx_value vector_of(const T (&items)[N], int tag) {
    return qx_box_bytes(items, sizeof items, tag);
}

std::string subscript_error(int index, const char *type, int tag, int length) {
    return "aref: Bad array subscript (zero-based) " + std::to_string(index) +
           " for an arg of type " + type + " (" + std::to_string(tag) + ") and length " +
           std::to_string(length) + ".";
}

TEST(MyAref, ElementsOfTypedVectors) {
    const uint8_t bytes[] = {97, 98, 99};
    const uint8_t high_byte[] = {0, 255};
    const uint16_t shorts[] = {1, 65535};
    const int32_t ints[] = {-5, 70000};
    const float floats[] = {0.5f, -1.25f};
    const double doubles[] = {3.0, -2.5e100};
    const int32_t packed[] = {4, -123456};
    struct Case {
        qx_value vector;
        int index;
        int result_tag;
        double expected;
    } cases[] = {
        {qx_box_string("abc"), 1, QX_TAG_INTEGER, 98},
        {vector_of(high_byte, QX_TAG_BINARY), 1, QX_TAG_INTEGER, 255},  // unsigned
        {vector_of(bytes, QX_TAG_BINARY), 0, QX_TAG_INTEGER, 97},
        {vector_of(shorts, QX_TAG_WIDE_STRING), 1, QX_TAG_INTEGER, 65535},  // never -1
        {vector_of(shorts, QX_TAG_UINT16_VECTOR), 0, QX_TAG_INTEGER, 1},
        {vector_of(ints, QX_TAG_INT32_VECTOR), 0, QX_TAG_INTEGER, -5},  // sign kept
        {vector_of(ints, QX_TAG_INT32_VECTOR), 1, QX_TAG_INTEGER, 70000},
        {vector_of(floats, QX_TAG_FLOAT_VECTOR), 1, QX_TAG_FLOAT, -1.25},
        {vector_of(doubles, QX_TAG_DOUBLE_VECTOR), 1, QX_TAG_DOUBLE, -2.5e100},
        {vector_of(packed, QX_TAG_INT_LIST), 1, QX_TAG_INTEGER, -123456},
    };
    for (const auto &c : cases) {
        int tag = qx_tag_of(c.vector);
        Outcome o;
        call(my_aref, "my_aref", c.vector, qx_box_int64(c.index), &o);
        ASSERT_EQ(o.state, "") << tag << ": " << o.message;
        EXPECT_EQ(qx_tag_of(o.result), c.result_tag) << tag;
        EXPECT_EQ(qx_unbox_double(o.result), c.expected) << tag;
        qx_free(c.vector);
    }
}

TEST(MyAref, SubscriptOutsideTheLengthNamesTypeTagAndLength) {
    const uint16_t shorts[] = {1, 2, 3};           // 6 bytes: length 3 at width 2
    const double doubles[] = {1, 2};               // 16 bytes: length 2 at width 8
    const char odd[] = {1, 2, 3, 4, 5, 6, 7};      // 7 bytes: length 1 at width 4, rest dropped
    struct Case {
        qx_value vector;
        int index;
        int length;
    } cases[] = {
        {qx_box_string("abc"), 3, 3},  // the trailing zero is not an element
        {qx_box_string("abc"), -1, 3},
        {vector_of(shorts, QX_TAG_UINT16_VECTOR), 3, 3},
        {vector_of(doubles, QX_TAG_DOUBLE_VECTOR), 2, 2},
        {vector_of(odd, QX_TAG_INT32_VECTOR), 1, 1},
        {qx_list(1, qx_box_int64(9)), 1, 1},  // subscript equal to the length
        {qx_alloc(0, QX_TAG_ARRAY), 0, 0},
        {qx_box_int64(70000), 2, 2},          // a boxed integer is 8 bytes
        {qx_box_int64(5), 2, 2},              // an inline one is measured the same way
        {qx_box_bytes("abcdefghijkl", 12, QX_TAG_RAW), 3, 3},
    };
    for (const auto &c : cases) {
        int tag = qx_tag_of(c.vector);
        Outcome o;
        call(my_aref, "my_aref", c.vector, qx_box_int64(c.index), &o);
        EXPECT_EQ(o.result, nullptr);
        EXPECT_EQ(o.state, "42000") << tag;
        EXPECT_EQ(o.code, "");
        EXPECT_EQ(o.message, subscript_error(c.index, qx_tag_name(tag), tag, c.length));
        qx_free_tree(c.vector);
    }
}

TEST(MyAref, ValuesThatAreNoVectorRaiseTheTypeError) {
    struct Case {
        qx_value value;
        int index;
    } cases[] = {
        {qx_box_int64(70000), 0},  // a tag-189 value with a header
        {qx_box_int64(5), 0},      // inline: subscripts 0 and 1 give the type error
        {qx_box_int64(5), 1},
        {qx_box_double(2.0), 1},
        {qx_box_bytes("abcdefgh", 8, QX_TAG_RAW), 0},
    };
    for (const auto &c : cases) {
        int tag = qx_tag_of(c.value);
        Outcome o;
        call(my_aref, "my_aref", c.value, qx_box_int64(c.index), &o);
        EXPECT_EQ(o.result, nullptr);
        EXPECT_EQ(o.state, "22023") << tag;
        EXPECT_EQ(o.code, "SR000");
        EXPECT_EQ(o.message, "my_aref expects a vector, not an arg of type " + std::to_string(tag) + ".");
        qx_free(c.value);
    }
}

TEST(MyAref, SlotElementIsACopyThatOutlivesTheVector) {
    for (int tag : {QX_TAG_ARRAY, QX_TAG_LIST, QX_TAG_RECORD, QX_TAG_ROW, QX_TAG_TREE}) {
        qx_value vec = qx_alloc(2 * sizeof(qx_value), tag);
        qx_slots(vec)[0] = qx_box_int64(-1);
        qx_slots(vec)[1] = qx_list(1, qx_box_string("kept"));
        Outcome o;
        call(my_aref, "my_aref", vec, qx_box_int64(1), &o);
        ASSERT_EQ(o.state, "") << tag << ": " << o.message;
        ASSERT_NE(o.result, qx_slots(vec)[1]);
        static_cast<char *>(qx_slots(qx_slots(vec)[1])[0])[0] = 'X';
        qx_free_tree(vec);  // freeing the vector must leave the result intact
        EXPECT_STREQ(static_cast<const char *>(qx_slots(o.result)[0]), "kept") << tag;
    }
}

TEST(MyVector, CopiesItsArgumentsIntoANewArray) {
    qx_value none = qx_alloc(0, QX_TAG_ARRAY);
    qx_value err = nullptr;
    qx_value empty = qx_bif_call(my_vector, "my_vector", none, &err);
    ASSERT_EQ(err, nullptr);
    EXPECT_EQ(qx_tag_of(empty), QX_TAG_ARRAY);
    EXPECT_EQ(qx_length_of(empty), 0u);
    EXPECT_NE(empty, none);
    qx_free(empty);
    qx_free(none);

    qx_value args = qx_list(3, qx_box_int64(100000), qx_box_string("x"), qx_alloc(0, QX_TAG_NULL));
    qx_value v = qx_bif_call(my_vector, "my_vector", args, &err);
    ASSERT_EQ(err, nullptr);
    ASSERT_EQ(qx_tag_of(v), QX_TAG_ARRAY);
    ASSERT_EQ(qx_slot_count(v), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_NE(qx_slots(v)[i], qx_slots(args)[i]) << i;  // copies
    qx_free_tree(args);
    EXPECT_EQ(qx_unbox(qx_slots(v)[0]), 100000);
    EXPECT_STREQ(static_cast<const char *>(qx_slots(v)[1]), "x");
    EXPECT_EQ(qx_tag_of(qx_slots(v)[2]), QX_TAG_NULL);
    qx_free_tree(v);
}

TEST(StartHook, RegistersInOrderAndCreatesTheLock) {
    start_hook();
    std::vector<std::string> names;
    for (int i = 0; qx_bif_name_at(i); ++i) names.push_back(qx_bif_name_at(i));
    EXPECT_EQ(names, (std::vector<std::string>{"call_srv", "my_aref", "my_vector", "my_select",
                                               "need_to_know", "n_range_bif"}));
    EXPECT_EQ(qx_bif_find("my_aref"), my_aref);
    EXPECT_EQ(qx_bif_find("my_vector"), my_vector);
    EXPECT_EQ(qx_bif_find("my_select"), my_select);
    EXPECT_EQ(qx_bif_find("need_to_know"), need_to_know);
    EXPECT_EQ(qx_bif_find("call_srv"), call_srv);
    EXPECT_EQ(qx_bif_find("n_range_bif"), n_range_bif);
    ASSERT_NE(startup_lock, nullptr);
    qx_mutex_lock(startup_lock);
    qx_mutex_unlock(startup_lock);
}

}  // namespace
