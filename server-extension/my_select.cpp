// my_select: the key catalogue DB.DBA.SYS_KEYS as an array of rows. It counts
// the keys, makes an array of that many row slots and fills them from a second
// statement, on the client connection of the calling query. Failures are not
// raised: they are handed back in the error slot.
#include <cstdint>

#include "builtins.h"

namespace {

const char kCountStatement[] = "select count (*) from DB.DBA.SYS_KEYS";
const char kRowStatement[] =
    "select  KEY_TABLE,  KEY_NAME,  KEY_ID,  KEY_N_SIGNIFICANT,  KEY_CLUSTER_ON_ID,  "
    "KEY_IS_MAIN,  KEY_IS_OBJECT_ID,  KEY_IS_UNIQUE,  KEY_MIGRATE_TO,  KEY_SUPER_ID,  "
    "KEY_DECL_PARTS  from DB.DBA.SYS_KEYS";
constexpr int kColumns = 11;

}  // namespace

extern "C" {

qx_value my_select(qx_state *qst, qx_value *err_slot, qx_value *) {
    qx_value local_slot = nullptr;
    qx_value *err = err_slot ? err_slot : &local_slot;
    qx_client *client = qx_state_client(qst);
    qx_statement *count_stmt = nullptr;
    qx_statement *row_stmt = nullptr;
    qx_cursor *cursor = nullptr;
    qx_value result = nullptr;
    // Only a fetched counting row sets the count; without one the catalogue
    // counts as empty.
    int32_t count = 0;

    count_stmt = qx_sql_compile(kCountStatement, client, err, 0);
    if (!count_stmt) goto clean_up;
    *err = qx_sql_exec(count_stmt, client, &cursor, qst, nullptr, nullptr);
    if (*err) goto clean_up;
    if (cursor) {
        if (cursor->error) {
            *err = qx_copy(cursor->error);
            goto clean_up;
        }
        while (qx_cursor_next(cursor))  // the last row decides
            count = static_cast<int32_t>(static_cast<uint32_t>(qx_unbox(qx_cursor_column(cursor, 0))));
        // An error met after the first counting row must not pass for a count.
        if (cursor->error) {
            *err = qx_copy(cursor->error);
            goto clean_up;
        }
        qx_cursor_free(cursor);
        cursor = nullptr;
    }
    qx_sql_free(count_stmt);
    count_stmt = nullptr;

    if (count < 0) {
        *err = qx_error_new("22003", nullptr, "my_select: the catalogue count %d is negative",
                            count);
        goto clean_up;
    }
    // Zero-filled by the server; too many rows for one value is an error it raises
    // into this call's error slot.
    result = qx_alloc(static_cast<size_t>(count) * sizeof(qx_value), QX_TAG_ARRAY);
    if (!result) goto clean_up;

    row_stmt = qx_sql_compile(kRowStatement, client, err, 0);
    if (!row_stmt) goto clean_up;
    *err = qx_sql_exec(row_stmt, client, &cursor, qst, nullptr, nullptr);
    if (*err) goto clean_up;
    if (cursor && qx_cursor_next(cursor)) {
        for (int32_t i = 0; i < count; ++i) {
            if (cursor->error) {
                *err = qx_copy(cursor->error);
                goto clean_up;
            }
            qx_value row = qx_alloc(kColumns * sizeof(qx_value), QX_TAG_ARRAY);
            if (!row) goto clean_up;
            qx_slots(result)[i] = row;
            for (int j = 0; j < kColumns; ++j) qx_slots(row)[j] = qx_copy(qx_cursor_column(cursor, j));
            if (*err) goto clean_up;  // a copy that could not be made raised its error
            if (!qx_cursor_next(cursor)) break;
        }
    }
    qx_cursor_free(cursor);
    cursor = nullptr;
    qx_sql_free(row_stmt);
    row_stmt = nullptr;

clean_up:
    qx_cursor_free(cursor);
    qx_sql_free(count_stmt);
    qx_sql_free(row_stmt);
    if (*err) {
        qx_free_tree(result);
        if (err == &local_slot) qx_free_tree(local_slot);
        return nullptr;
    }
    return result;
}

}
