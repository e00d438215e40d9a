// The built-in calling form: argument access, raising errors, argument counts,
// registration and nested calls.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "quendrix/server.h"

namespace {

// Calls `fn` with the given arguments (taken over) and returns "value" or the error.
struct Outcome {
    qx_value result = nullptr;
    std::string state, code, message;
};

Outcome call(qx_bif_fn fn, std::initializer_list<qx_value> args) {
    qx_value array = qx_alloc(args.size() * sizeof(qx_value), QX_TAG_ARRAY);
    size_t i = 0;
    for (qx_value a : args) qx_slots(array)[i++] = a;
    Outcome o;
    qx_value err = nullptr;
    o.result = qx_bif_call(fn, "probe", array, &err);
    qx_free_tree(array);
    if (err) {
        o.state = qx_error_state(err);
        const char *code = qx_error_native_code(err);
        o.code = code ? code : "";
        o.message = qx_error_message(err);
        qx_free_tree(err);
    }
    return o;
}

qx_value int_of_arg0(qx_state *qst, qx_value *, qx_value *args) {
    return qx_box_int64(qx_bif_arg_int32(qst, args, 0, "probe"));
}

TEST(BuiltinCall, Int32ArgumentConversion) {
    struct Case {
        qx_value arg;
        int64_t expected;
        const char *state;  // null when the call succeeds
    } cases[] = {
        {qx_box_int64(5), 5, nullptr},
        {qx_box_int64(INT32_MIN), INT32_MIN, nullptr},
        {qx_box_int64(INT64_C(2147483648)), 0, "22003"},
        {qx_box_double(-3.0), -3, nullptr},
        {qx_box_double(1.5), 0, "22023"},
        {qx_box_string("12"), 0, "22023"},
        {qx_alloc(0, QX_TAG_NULL), 0, "22023"},
    };
    for (const auto &c : cases) {
        std::string shown = qx_tag_name(qx_tag_of(c.arg));
        Outcome o = call(int_of_arg0, {c.arg});
        if (c.state) {
            EXPECT_EQ(o.state, c.state) << shown;
            EXPECT_EQ(o.result, nullptr);
        } else {
            EXPECT_EQ(o.state, "") << shown << ": " << o.message;
            EXPECT_EQ(qx_unbox(o.result), c.expected);
            qx_free(o.result);
        }
    }
}

TEST(BuiltinCall, ArgumentCountsAreChecked) {
    Outcome missing = call(int_of_arg0, {});
    EXPECT_EQ(missing.state, "07001");
    EXPECT_EQ(missing.message, "probe: missing argument 1 (0 given)");
    Outcome extra = call(int_of_arg0, {qx_box_int64(1), qx_box_int64(2)});
    EXPECT_EQ(extra.state, "07001");
    EXPECT_EQ(extra.message, "probe: too many arguments (2 given, 1 expected)");
}

// Makes a result, then raises twice: the result is dropped (no leak) and the
// first error is the one reported.
qx_value raise_after_result(qx_state *, qx_value *, qx_value *) {
    qx_value partial = qx_list(1, qx_box_string("partial"));
    qx_sql_error_code("22023", "SR000", "%s expects a vector, not an arg of type %d.", "f", 189);
    qx_sql_error("42000", "second");
    return partial;
}

TEST(BuiltinCall, FirstRaisedErrorWinsAndTheResultIsFreed) {
    Outcome o = call(raise_after_result, {});
    EXPECT_EQ(o.result, nullptr);
    EXPECT_EQ(o.state, "22023");
    EXPECT_EQ(o.code, "SR000");
    EXPECT_EQ(o.message, "f expects a vector, not an arg of type 189.");
}

qx_value error_in_slot(qx_state *, qx_value *err, qx_value *) {
    *err = qx_error_new("HY000", nullptr, "left in the slot");
    return nullptr;
}

TEST(BuiltinCall, AnErrorLeftInTheSlotIsAFailure) {
    Outcome o = call(error_in_slot, {});
    EXPECT_EQ(o.state, "HY000");
    EXPECT_EQ(o.message, "left in the slot");
}

qx_value inner_raises(qx_state *, qx_value *, qx_value *) {
    qx_sql_error("42000", "inner");
    return nullptr;
}

// Runs a built-in of its own, then raises: the outer call's error must land in
// the outer call, not in the finished inner one.
qx_value outer_calls_inner(qx_state *qst, qx_value *, qx_value *args) {
    qx_value none = qx_alloc(0, QX_TAG_ARRAY);
    qx_value inner_err = nullptr;
    qx_bif_call(inner_raises, "inner", none, &inner_err);
    qx_free(none);
    qx_value arg = qx_bif_arg(qst, args, 0, "outer");
    std::string inner_message = inner_err ? qx_error_message(inner_err) : "none";
    qx_free_tree(inner_err);
    qx_sql_error("22000", "outer saw %s and %lld", inner_message.c_str(),
                 static_cast<long long>(qx_unbox(arg)));
    return nullptr;
}

TEST(BuiltinCall, NestedCallsKeepTheirOwnErrors) {
    Outcome o = call(outer_calls_inner, {qx_box_int64(4)});
    EXPECT_EQ(o.state, "22000");
    EXPECT_EQ(o.message, "outer saw inner and 4");
}

qx_value too_large(qx_state *, qx_value *, qx_value *) {
    return qx_alloc(QX_MAX_LENGTH + 1, QX_TAG_ARRAY);
}

TEST(BuiltinCall, AValueBeyondTheLengthLimitIsAnError) {
    Outcome o = call(too_large, {});
    EXPECT_EQ(o.result, nullptr);
    EXPECT_EQ(o.state, "54000");
    qx_value fits = qx_alloc(QX_MAX_LENGTH, QX_TAG_RAW);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(qx_length_of(fits), QX_MAX_LENGTH);
    qx_free(fits);
}

qx_value first(qx_state *, qx_value *, qx_value *) { return qx_box_int64(1); }
qx_value second(qx_state *, qx_value *, qx_value *) { return qx_box_int64(2); }

TEST(BuiltinCall, RegistrationKeepsOrderAndNamesAreCaseInsensitive) {
    qx_bif_define("reg_a", first);
    qx_bif_define_typed("reg_b", second, &qx_result_type_any);
    qx_bif_define("REG_A", second);  // redefinition replaces in place
    int a = -1, b = -1;
    for (int i = 0; qx_bif_name_at(i); ++i) {
        if (std::string(qx_bif_name_at(i)) == "reg_a") a = i;
        if (std::string(qx_bif_name_at(i)) == "reg_b") b = i;
    }
    EXPECT_GE(a, 0);
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(qx_bif_find("Reg_A"), second);
    EXPECT_EQ(qx_bif_find("reg_b"), second);
    EXPECT_EQ(qx_bif_find("nope"), nullptr);
    EXPECT_EQ(qx_bif_name_at(b + 1), nullptr);
}

}  // namespace
