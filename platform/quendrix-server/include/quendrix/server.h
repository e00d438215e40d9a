/*
 * libquendrix-t: the Quendrix database server as a library.
 *
 * Programs that extend the server call these functions. Each one stands for an
 * operation that the server's extension interface numbers; the number is given
 * as "ordinal N" in its comment. Functions without an ordinal are this server's
 * own additions (value accessors, error values, test hooks, in-process calls).
 *
 * Server values
 * -------------
 * A value is a pointer-sized handle. A handle below 65536 is an inline integer
 * (type tag 189); the null handle is therefore the integer 0. Any other handle
 * points at 8-byte-aligned data preceded by a 4-byte header: the low 24 bits of
 * the little-endian word before the data are the byte length, and the byte just
 * before the data is the type tag. A value therefore holds at most 16777215
 * bytes; asking for more is an error, never a truncation.
 *
 * Slot vectors (tags 193, 196, 212, 215, 216 and error values) hold one
 * pointer-sized value handle per slot and own what their slots hold.
 */
#ifndef QUENDRIX_SERVER_H
#define QUENDRIX_SERVER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QX_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define QX_PRINTF(fmt_index, first_arg)
#endif

typedef void *qx_value;

#define QX_INLINE_LIMIT 65536u
#define QX_MAX_LENGTH 0xFFFFFFu

enum qx_tag {
    QX_TAG_STRING = 182,         /* SQL text: bytes, a zero byte after them, not counted */
    QX_TAG_INT_LIST = 185,       /* 32-bit signed integers, read with qx_int_list_ref */
    QX_TAG_INTEGER = 189,        /* 64-bit signed integer (inline when 0..65535) */
    QX_TAG_FLOAT = 190,          /* single-precision number */
    QX_TAG_DOUBLE = 191,         /* double-precision number */
    QX_TAG_ARRAY = 193,          /* slots; also every parse-tree node */
    QX_TAG_DOUBLE_VECTOR = 195,  /* doubles */
    QX_TAG_LIST = 196,           /* slots */
    QX_TAG_FLOAT_VECTOR = 202,   /* floats */
    QX_TAG_NULL = 204,           /* SQL NULL, byte length 0 */
    QX_TAG_INT32_VECTOR = 209,   /* 32-bit signed integers */
    QX_TAG_RECORD = 212,         /* slots */
    QX_TAG_ROW = 215,            /* slots */
    QX_TAG_TREE = 216,           /* slots */
    QX_TAG_BINARY = 217,         /* bytes (an SQL BLOB) */
    QX_TAG_RAW = 222,            /* raw block, owned bytes the server never looks into */
    QX_TAG_WIDE_STRING = 225,    /* unsigned 16-bit code units */
    QX_TAG_UINT16_VECTOR = 226,  /* unsigned 16-bit numbers */
    QX_TAG_ERROR = 250           /* error: slots SQL state, native code or 0, message */
};

/* Header access. */
static inline int qx_is_inline(qx_value v) { return (uintptr_t)v < QX_INLINE_LIMIT; }
/* The tag of any value; 189 for an inline integer. */
static inline int qx_tag_of(qx_value v) {
    return qx_is_inline(v) ? (int)QX_TAG_INTEGER : (int)((const unsigned char *)v)[-1];
}
/* The byte length of a value with a header; 0 for an inline integer. */
static inline uint32_t qx_length_of(qx_value v) {
    if (qx_is_inline(v)) return 0;
    const unsigned char *h = (const unsigned char *)v - 4;
    return (uint32_t)h[0] | ((uint32_t)h[1] << 8) | ((uint32_t)h[2] << 16);
}
/* Whether values of this tag hold value handles in their slots. */
int qx_tag_holds_values(int tag);
/* Number of whole slots of a slot vector (byte length / pointer size). */
static inline size_t qx_slot_count(qx_value v) { return qx_length_of(v) / sizeof(qx_value); }
static inline qx_value *qx_slots(qx_value v) { return (qx_value *)v; }

/* ordinal 302: a new value of `length` bytes, zero-filled. Null (with an SQL error
 * raised in the current built-in call) when length exceeds 16777215 bytes. */
qx_value qx_alloc(size_t length, int tag);
/* ordinal 303: frees one value; inline integers and null are ignored. */
void qx_free(qx_value v);
/* ordinal 304: frees a value and everything its slots hold; null is ignored. */
void qx_free_tree(qx_value v);
/* ordinal 314: a deep copy; inline integers are returned as they are. */
qx_value qx_copy(qx_value v);
/* ordinal 307: the value as an integer (callers use its low 32 bits). Numbers are
 * truncated, text is read as a decimal number, anything else gives 0. */
int64_t qx_unbox(qx_value v);
/* ordinal 308: an integer value (inline when 0..65535). The 32-bit interface took
 * the low and high words as two arguments; here it is one 64-bit argument. */
qx_value qx_box_int64(int64_t n);
/* ordinal 309: a string value (tag 182) holding a copy of the text. */
qx_value qx_box_string(const char *text);
/* ordinal 311 / 312: floating-point values. */
qx_value qx_box_double(double d);
qx_value qx_box_float(float f);
/* ordinal 316: element `index` of a tag-185 value as a signed 32-bit integer;
 * 0 when the index is outside it. */
int32_t qx_int_list_ref(qx_value v, int32_t index);
/* ordinal 221: a tag-193 array of `n` slots holding the following n values (the
 * array takes them over, it does not copy them). */
qx_value qx_list(int n, ...);
/* ordinal 220: the server's name for a type tag; never null. */
const char *qx_tag_name(int tag);

/* A value of `length` bytes copied from `bytes`, with the given tag. */
qx_value qx_box_bytes(const void *bytes, size_t length, int tag);
/* The number in a double, float or integer value; 0 for anything else. */
double qx_unbox_double(qx_value v);

/* Error values: tag 250 with three slots (SQL state, native code or 0, message). */
qx_value qx_error_new(const char *sqlstate, const char *native_code, const char *fmt, ...)
    QX_PRINTF(3, 4);
const char *qx_error_state(qx_value err);
const char *qx_error_native_code(qx_value err); /* null when there is none */
const char *qx_error_message(qx_value err);

/* Built-in functions
 * ------------------
 * The server calls a built-in with the query state, the error slot (holding null)
 * and the argument array: a tag-193 value with one slot per argument (argument
 * count = qx_length_of(args) / sizeof(qx_value)). It returns a new value, which the
 * server owns from then on, or null. An error value left in the error slot means
 * failure; the server then frees whatever the built-in returned.
 *
 * Raising an SQL error (qx_sql_error, qx_sql_error_code) stores an error value in
 * the error slot of the call in progress and returns; the built-in must then
 * return at once. The first error of a call is the one reported.
 *
 * The server checks argument counts for the built-in: fetching an argument that
 * was not passed raises SQL state 07001, and so does a call that passes more
 * arguments than the built-in fetched. */
typedef struct qx_state qx_state;
typedef struct qx_client qx_client;
typedef qx_value (*qx_bif_fn)(qx_state *qst, qx_value *err_slot, qx_value *args);

/* The result-type description of built-ins whose result is of varying type. */
struct qx_result_type {
    const char *name;
};
/* ordinal 209: the description that ordinal 21 takes. */
extern const struct qx_result_type qx_result_type_any;

/* ordinal 20: register a built-in under its SQL name. */
void qx_bif_define(const char *sql_name, qx_bif_fn fn);
/* ordinal 21: register a built-in with a result-type description. */
void qx_bif_define_typed(const char *sql_name, qx_bif_fn fn, const void *result_type);

/* ordinal 30 / 40: argument `index` exactly as passed; the caller tests its tag. */
qx_value qx_bif_arg(qx_state *qst, qx_value *args, int index, const char *bif_name);
qx_value qx_bif_arg_unconverted(qx_state *qst, qx_value *args, int index, const char *bif_name);
/* ordinal 31: argument `index` as a 32-bit signed integer. An argument that is no
 * integer (or an integral number) within 32 bits raises SQL state 22023 and gives 0. */
int32_t qx_bif_arg_int32(qx_state *qst, qx_value *args, int index, const char *bif_name);

/* ordinal 101: raise an SQL error with a printf-style message. */
void qx_sql_error(const char *sqlstate, const char *fmt, ...) QX_PRINTF(2, 3);
/* ordinal 105: raise an SQL error with the server's native error code too. */
void qx_sql_error_code(const char *sqlstate, const char *native_code, const char *fmt, ...)
    QX_PRINTF(3, 4);

/* ordinal 103: the client connection of a query state (null for in-process calls). */
qx_client *qx_state_client(qx_state *qst);

/* Calls a built-in in the calling thread, as the server would, with `args` (a
 * tag-193 array that stays the caller's). Returns the result, which the caller then
 * owns, or null with the error value (also the caller's) in *error_out. */
qx_value qx_bif_call(qx_bif_fn fn, const char *bif_name, qx_value args, qx_value *error_out);
/* The registered built-in of that SQL name (case-insensitive), or null. */
qx_bif_fn qx_bif_find(const char *sql_name);
/* The names of the registered built-ins in registration order; null after the last. */
const char *qx_bif_name_at(int index);

/* Result rows
 * -----------
 * A built-in may send result rows while it runs. Each row goes at once to the
 * row receiver of the thread that runs the built-in: the shell prints it, the
 * network listener sends it to its client. The rows a statement's built-ins send
 * become that statement's result set. */
/* ordinal 24: sends one result row of `n` values (qx_value arguments). The values
 * stay the caller's, who still frees them. A row that cannot be taken (no client,
 * a column count unlike the result set's, a client that has gone) raises an SQL
 * error in the call in progress. */
void qx_result_row(int n, ...);
/* Receives the rows that built-ins running on this thread send; the values stay
 * the sender's. A receiver refuses a row by raising an SQL error. */
typedef void (*qx_row_receiver)(void *context, int n, qx_value *values);
/* Sets the calling thread's row receiver; null for none (rows are then refused). */
void qx_set_row_receiver(qx_row_receiver receiver, void *context);

/* Server lifecycle
 * ---------------- */
/* ordinal 629: the model name the server reports. The text is copied. */
void qx_set_model_name(const char *name);
const char *qx_model_name(void);
/* ordinal 1: the hook the server calls once while it starts, before any SQL. */
void qx_set_startup_hook(void (*hook)(void));
/* ordinal 3: runs the server with the program's arguments and environment and
 * returns its exit status (0 ok, 1 an SQL or database error in batch mode, 2 a
 * command-line error). */
int qx_server_main(int argc, char **argv, char **envp);

/* Mutexes, semaphores, threads
 * ---------------------------- */
typedef struct qx_mutex qx_mutex;
typedef struct qx_semaphore qx_semaphore;

/* ordinal 507 / 508 / 504 / 505 */
qx_mutex *qx_mutex_new(void);
void qx_mutex_lock(qx_mutex *m);
void qx_mutex_unlock(qx_mutex *m);
void qx_mutex_free(qx_mutex *m);

/* ordinal 503: a counting semaphore at `count`; null when it cannot be made.
 * ordinal 501 wait, 502 signal, 500 free. */
qx_semaphore *qx_semaphore_new(int count);
void qx_semaphore_wait(qx_semaphore *s);
void qx_semaphore_signal(qx_semaphore *s);
void qx_semaphore_free(qx_semaphore *s);

/* A thread's record; the server keeps further private fields after these. */
struct qx_thread_record {
    qx_semaphore *wakeup; /* the thread's own wake-up semaphore, count 0 at start */
};
/* A thread handle: its first word points at the thread's record. */
typedef struct qx_thread {
    struct qx_thread_record *record;
} qx_thread;

/* ordinal 506: starts fn(arg) in a new thread with (at least) the requested stack
 * size; the handle, or null when the thread cannot be started. */
qx_thread *qx_thread_start(void (*fn)(void *), size_t stack_size, void *arg);
/* The handle of the calling thread; null for threads the server did not start. */
qx_thread *qx_thread_current(void);
/* Waits until the thread's function has returned and frees the handle. */
void qx_thread_join(qx_thread *t);

/* Test hooks: make the next `count` creations of that kind fail. The server also
 * reads QUENDRIX_TEST_FAULTS=thread:N,semaphore:N from its environment at start. */
enum qx_fault { QX_FAULT_THREAD_START = 1, QX_FAULT_SEMAPHORE_NEW = 2 };
void qx_test_inject_fault(int fault, int count);

#ifdef __cplusplus
}
#endif

#endif /* QUENDRIX_SERVER_H */
