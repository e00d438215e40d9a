// Built-ins: the registry, the calling form, argument access and SQL errors.
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <strings.h>

#include "internal.h"

namespace {

std::mutex registry_mutex;
std::vector<std::unique_ptr<qx::Builtin>> &registry() {
    static std::vector<std::unique_ptr<qx::Builtin>> r;
    return r;
}

thread_local qx_state *current_call = nullptr;

void define(const char *sql_name, qx_bif_fn fn, const void *result_type) {
    if (!sql_name || !fn) return;
    std::lock_guard<std::mutex> lock(registry_mutex);
    for (auto &b : registry()) {
        if (strcasecmp(b->name.c_str(), sql_name) == 0) {
            b->fn = fn;
            b->result_type = result_type;
            return;
        }
    }
    registry().push_back(std::make_unique<qx::Builtin>(qx::Builtin{sql_name, fn, result_type}));
}

void raise_in(qx_state *st, const char *sqlstate, const char *native_code, const char *fmt,
              va_list ap) {
    if (st && st->err_slot) {
        if (*st->err_slot) return;  // the first error of a call is the one reported
        *st->err_slot = qx::make_error_v(sqlstate, native_code, fmt, ap);
        return;
    }
    std::fprintf(stderr, "*** Error %s: ", sqlstate ? sqlstate : "HY000");
    if (native_code) std::fprintf(stderr, "[%s] ", native_code);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
}

qx_state *state_for(qx_state *qst) { return qst ? qst : current_call; }

qx_value fetch(qx_state *qst, qx_value *args, int index, const char *bif_name) {
    qx_state *st = state_for(qst);
    const char *name = bif_name ? bif_name : (st ? st->bif_name : "built-in");
    size_t given = args ? qx_slot_count(args) : 0;
    if (st && index >= st->args_fetched) st->args_fetched = index + 1;
    if (index < 0 || static_cast<size_t>(index) >= given) {
        qx::raise_current("07001", nullptr, "%s: missing argument %d (%zu given)", name,
                          index + 1, given);
        return nullptr;
    }
    return args[index];
}

}  // namespace

extern "C" {

const struct qx_result_type qx_result_type_any = {"ANY"};

void qx_bif_define(const char *sql_name, qx_bif_fn fn) { define(sql_name, fn, nullptr); }

void qx_bif_define_typed(const char *sql_name, qx_bif_fn fn, const void *result_type) {
    define(sql_name, fn, result_type);
}

qx_bif_fn qx_bif_find(const char *sql_name) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    for (auto &b : registry())
        if (sql_name && strcasecmp(b->name.c_str(), sql_name) == 0) return b->fn;
    return nullptr;
}

const char *qx_bif_name_at(int index) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (index < 0 || static_cast<size_t>(index) >= registry().size()) return nullptr;
    return registry()[index]->name.c_str();
}

qx_value qx_bif_arg(qx_state *qst, qx_value *args, int index, const char *bif_name) {
    return fetch(qst, args, index, bif_name);
}

qx_value qx_bif_arg_unconverted(qx_state *qst, qx_value *args, int index,
                                const char *bif_name) {
    return fetch(qst, args, index, bif_name);
}

int32_t qx_bif_arg_int32(qx_state *qst, qx_value *args, int index, const char *bif_name) {
    size_t given = args ? qx_slot_count(args) : 0;
    qx_value v = fetch(qst, args, index, bif_name);
    if (index < 0 || static_cast<size_t>(index) >= given) return 0;
    const char *name = bif_name ? bif_name : "built-in";
    int tag = qx_tag_of(v);
    if (tag == QX_TAG_INTEGER) {
        int64_t n = qx_unbox(v);
        if (n >= INT32_MIN && n <= INT32_MAX) return static_cast<int32_t>(n);
        qx::raise_current("22003", nullptr, "%s: argument %d (%lld) is out of the 32-bit range",
                          name, index + 1, static_cast<long long>(n));
        return 0;
    }
    if (tag == QX_TAG_DOUBLE || tag == QX_TAG_FLOAT) {
        double d = qx_unbox_double(v);
        if (std::floor(d) == d && d >= INT32_MIN && d <= INT32_MAX) return static_cast<int32_t>(d);
    }
    qx::raise_current("22023", nullptr, "%s: argument %d must be an integer, not %s", name,
                      index + 1, qx_tag_name(tag));
    return 0;
}

void qx_sql_error(const char *sqlstate, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    raise_in(current_call, sqlstate, nullptr, fmt, ap);
    va_end(ap);
}

void qx_sql_error_code(const char *sqlstate, const char *native_code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    raise_in(current_call, sqlstate, native_code, fmt, ap);
    va_end(ap);
}

qx_client *qx_state_client(qx_state *qst) {
    qx_state *st = state_for(qst);
    return st ? st->client : nullptr;
}

qx_value qx_bif_call(qx_bif_fn fn, const char *bif_name, qx_value args, qx_value *error_out) {
    return qx::invoke(fn, bif_name, nullptr, args, error_out);
}

}  // extern "C"

namespace qx {

void raise_current(const char *sqlstate, const char *native_code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    raise_in(current_call, sqlstate, native_code, fmt, ap);
    va_end(ap);
}

qx_value invoke(qx_bif_fn fn, const char *name, qx_client *client, qx_value args,
                qx_value *error_out) {
    qx_value err = nullptr;
    qx_state st;
    st.bif_name = name ? name : "built-in";
    st.err_slot = &err;
    st.client = client;
    st.args_given = static_cast<int>(qx_slot_count(args));
    st.outer = current_call;
    current_call = &st;
    qx_value result = fn(&st, &err, static_cast<qx_value *>(args));
    current_call = st.outer;
    if (!err && st.args_given > st.args_fetched) {
        err = qx_error_new("07001", nullptr, "%s: too many arguments (%d given, %d expected)",
                           st.bif_name, st.args_given, st.args_fetched);
    }
    if (err) {
        if (result != err) qx_free_tree(result);
        if (error_out)
            *error_out = err;
        else
            qx_free_tree(err);
        return nullptr;
    }
    if (error_out) *error_out = nullptr;
    return result;
}

std::vector<Builtin> builtins() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    std::vector<Builtin> out;
    for (auto &b : registry()) out.push_back(*b);
    return out;
}

}  // namespace qx
