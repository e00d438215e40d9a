// The server's SQL functions over query trees, so that a user can do the whole
// round trip in SQL:
//   sql_parse(text)                    the tree of a select query
//   sql_text(query)                    the SQL text the query compiler makes of it
//   sql_run(query)                     its rows, as a vector of row vectors
//   sql_rewrite(name, arg..., query)   the tree after the built-in `name` has
//                                      rewritten it in place, called as name(arg..., tree)
// A query is a tree or the text of one. SQL passes copies of values between
// functions, so a rewrite is only seen through the tree sql_rewrite returns.
#include <sqlite3.h>

#include "internal.h"
#include "sql/row_security.h"
#include "quendrix/query_tree.h"
#include "quendrix/statements.h"

namespace {

bool is_text(qx_value v) { return !qx_is_inline(v) && qx_tag_of(v) == QX_TAG_STRING; }

// The query argument as a tree of the caller's: a tree is copied, a text parsed.
qx_value tree_of(qx_value query, const char *fn, qx_value *err) {
    if (is_text(query)) return qx_query_parse(static_cast<const char *>(query), err);
    if (!qx_is_inline(query) && qx_tag_of(query) == QX_TAG_ARRAY) return qx_copy(query);
    *err = qx_error_new("22023", nullptr, "%s expects a query tree or its text, not %s", fn,
                        qx_tag_name(qx_tag_of(query)));
    return nullptr;
}

qx_value sql_parse(qx_state *qst, qx_value *err, qx_value *args) {
    qx_value text = qx_bif_arg(qst, args, 0, "sql_parse");
    if (*err) return nullptr;
    if (!is_text(text)) {
        *err = qx_error_new("22023", nullptr, "sql_parse expects text, not %s",
                            qx_tag_name(qx_tag_of(text)));
        return nullptr;
    }
    return qx_query_parse(static_cast<const char *>(text), err);
}

qx_value sql_text(qx_state *qst, qx_value *err, qx_value *args) {
    qx_value query = qx_bif_arg(qst, args, 0, "sql_text");
    if (*err) return nullptr;
    qx_value tree = tree_of(query, "sql_text", err);
    if (!tree) return nullptr;
    qx_value text = qx_query_text(tree, err);
    qx_free_tree(tree);
    return text;
}

qx_value sql_run(qx_state *qst, qx_value *err, qx_value *args) {
    qx_value query = qx_bif_arg(qst, args, 0, "sql_run");
    if (*err) return nullptr;
    qx_value tree = tree_of(query, "sql_run", err);
    if (!tree) return nullptr;
    qx_client *client = qx_state_client(qst);
    // A restricted session's query is rewritten as its statements are.
    std::string text, why;
    std::vector<std::string> readable;
    client->views_read.clear();
    bool compiled = qx::compile_for_client(client, tree, &text, &readable, &why);
    qx_free_tree(tree);
    if (compiled && text.size() > QX_MAX_LENGTH) {
        compiled = false;
        why = "the query's text exceeds the server's value limit";
    }
    if (!compiled) {
        *err = qx::is_restricted(client) ? qx_error_new("42501", nullptr, "sql_run: %s", why.c_str())
                                         : qx_error_new("42000", nullptr, "sql_text: %s", why.c_str());
        return nullptr;
    }
    qx_statement *stmt = nullptr;
    {
        qx::ReadableReports scope(client, std::move(readable));
        client->row_security_context = "read outside the restricted query";
        stmt = qx_sql_compile(text.c_str(), client, err, 0);
    }
    if (qx::is_restricted(client)) {
        qx::SqlError refused;
        if (!stmt && *err && sqlite3_errcode(client->db) == SQLITE_AUTH) {
            qx_free_tree(*err);
            refused = qx::refusal(client);
        } else if (stmt && !qx::check_views_read(client, &refused)) {
            qx_sql_free(stmt);
            stmt = nullptr;
        }
        if (!refused.state.empty()) *err = qx_error_new("42501", nullptr, "%s", refused.message.c_str());
    }
    if (!stmt) return nullptr;
    qx_cursor *cursor = nullptr;
    std::vector<qx_value> rows;
    *err = qx_sql_exec(stmt, client, &cursor, qst, nullptr, nullptr);
    while (!*err && cursor && qx_cursor_next(cursor)) {
        if (cursor->error)
            *err = qx_copy(cursor->error);
        else
            rows.push_back(qx_copy(cursor->row));
    }
    qx_cursor_free(cursor);
    qx_sql_free(stmt);
    qx_value result = *err ? nullptr : qx_alloc(rows.size() * sizeof(qx_value), QX_TAG_ARRAY);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (result)
            qx_slots(result)[i] = rows[i];
        else
            qx_free_tree(rows[i]);
    }
    return result;
}

qx_value sql_rewrite(qx_state *qst, qx_value *err, qx_value *args) {
    int n = static_cast<int>(qx_slot_count(args));
    // Fetching every argument also tells the server how many this call takes.
    qx_value name = qx_bif_arg(qst, args, 0, "sql_rewrite");
    qx_value query = qx_bif_arg(qst, args, n < 2 ? 1 : n - 1, "sql_rewrite");
    for (int i = 1; i < n - 1; ++i) qx_bif_arg(qst, args, i, "sql_rewrite");
    if (*err) return nullptr;
    qx_bif_fn fn = is_text(name) ? qx_bif_find(static_cast<const char *>(name)) : nullptr;
    if (!fn) {
        *err = qx_error_new("42000", nullptr, "sql_rewrite: no built-in named %s",
                            is_text(name) ? static_cast<const char *>(name) : "(not text)");
        return nullptr;
    }
    qx_value tree = tree_of(query, "sql_rewrite", err);
    if (!tree) return nullptr;
    qx_value call_args = qx_alloc(static_cast<size_t>(n - 1) * sizeof(qx_value), QX_TAG_ARRAY);
    if (!call_args) {
        qx_free_tree(tree);
        return nullptr;
    }
    for (int i = 1; i < n - 1; ++i) qx_slots(call_args)[i - 1] = qx_copy(args[i]);
    qx_slots(call_args)[n - 2] = tree;
    qx_value call_err = nullptr;
    qx_value result = qx::invoke(fn, static_cast<const char *>(name), qx_state_client(qst),
                                 call_args, &call_err);
    // The built-in changed the tree in its argument slot; take it back from there.
    tree = qx_slots(call_args)[n - 2];
    qx_slots(call_args)[n - 2] = nullptr;
    qx_free_tree(call_args);
    qx_free_tree(result);
    if (call_err) {
        *err = call_err;
        qx_free_tree(tree);
        return nullptr;
    }
    return tree;
}

}  // namespace

namespace qx {

bool install_query_functions(qx_client *client, std::string *error) {
    return install_function(client, "sql_parse", sql_parse, error) &&
           install_function(client, "sql_text", sql_text, error) &&
           install_function(client, "sql_run", sql_run, error) &&
           install_function(client, "sql_rewrite", sql_rewrite, error);
}

}  // namespace qx
