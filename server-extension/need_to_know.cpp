// need_to_know: rewrites the parse tree of a select query in place so that each
// report table of its from list (a table whose name contains "REPORT") shows only
// the rows whose R_CLASS the user needs to know, as DB.DBA.NEED_TO_KNOW records:
//
//   ... WHERE <old condition> AND EXISTS (SELECT 1 FROM DB.DBA.NEED_TO_KNOW
//         WHERE NK_CLASS = <table>.R_CLASS AND NK_USER = <user>)
//
// It reports nothing: a tree that is not a query of the expected shape is left
// as it is. Trees can be built by hand, so every node is checked for its tag and
// the slots it is read at; a node that does not have them is skipped. The query
// compiler refuses such trees, so a skipped table never runs unrestricted.
#include <cstdint>
#include <cstring>

#include "builtins.h"
#include "quendrix/query_tree.h"

namespace {

qx_value kind(int k) { return qx_box_int64(k); }

// A node: not inline, tag 193, at least one slot, slot 0 the given kind.
bool is_node(qx_value v, int k) {
    return !qx_is_inline(v) && qx_tag_of(v) == QX_TAG_ARRAY && qx_slot_count(v) >= 1 &&
           qx_slots(v)[0] == reinterpret_cast<qx_value>(static_cast<uintptr_t>(k));
}

bool is_array(qx_value v, size_t min_slots) {
    return !qx_is_inline(v) && qx_tag_of(v) == QX_TAG_ARRAY && qx_slot_count(v) >= min_slots;
}

bool is_text(qx_value v) { return !qx_is_inline(v) && qx_tag_of(v) == QX_TAG_STRING; }

// Slot i of a node, or null when the node is shorter.
qx_value slot(qx_value node, size_t i) { return i < qx_slot_count(node) ? qx_slots(node)[i] : nullptr; }

bool names_a_report(qx_value name) {
    static const char kWord[] = "REPORT";
    return memmem(name, qx_length_of(name), kWord, sizeof kWord - 1) != nullptr;
}

}  // namespace

extern "C" {

qx_value and_conditions(qx_value left, qx_value right) {
    if (!left) return right;
    if (!right) return left;
    return qx_list(4, kind(QX_NODE_AND), left, right, nullptr);
}

void restrict_to_need_to_know(qx_value from_where, const char *qualifier, int32_t user) {
    if (!is_array(from_where, 3) || !qualifier) return;
    qx_value class_test = qx_list(4, kind(QX_NODE_EQ),
                                  qx_list(3, kind(QX_NODE_COLUMN), nullptr, qx_box_string("NK_CLASS")),
                                  qx_list(3, kind(QX_NODE_COLUMN), qx_box_string(qualifier),
                                          qx_box_string("R_CLASS")),
                                  nullptr);
    qx_value user_test = qx_list(4, kind(QX_NODE_EQ),
                                 qx_list(3, kind(QX_NODE_COLUMN), nullptr, qx_box_string("NK_USER")),
                                 qx_box_int64(user), nullptr);
    qx_value condition = and_conditions(class_test, user_test);
    qx_value table = qx_list(5, kind(QX_NODE_TABLE), qx_box_string("DB.DBA.NEED_TO_KNOW"), nullptr,
                             qx_box_int64(0), qx_box_int64(0));
    qx_value entry = qx_list(3, kind(QX_NODE_FROM_ENTRY), table, nullptr);
    qx_value from_list = qx_list(1, entry);
    qx_value subquery_from_where = qx_list(9, kind(QX_NODE_FROM_WHERE), from_list, condition,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    qx_value selection = qx_list(1, qx_box_int64(1));
    qx_value subquery = qx_list(5, kind(QX_NODE_QUERY), nullptr, selection, nullptr,
                                subquery_from_where);
    qx_value test = qx_list(5, kind(QX_NODE_EXISTS), nullptr, subquery, nullptr, nullptr);
    qx_slots(from_where)[2] = and_conditions(qx_slots(from_where)[2], test);
}

qx_value need_to_know(qx_state *qst, qx_value *, qx_value *args) {
    int32_t user = qx_bif_arg_int32(qst, args, 0, "need_to_know");
    qx_value tree = qx_bif_arg_unconverted(qst, args, 1, "need_to_know");
    if (!is_node(tree, QX_NODE_QUERY)) return nullptr;
    qx_value from_where = slot(tree, 4);
    // Slot 1 (the from list) is read and slot 2 (the condition) written.
    if (!is_array(from_where, 3)) return nullptr;
    qx_value from = qx_slots(from_where)[1];
    if (!is_array(from, 0)) return nullptr;
    for (size_t i = 0; i < qx_slot_count(from); ++i) {
        qx_value entry = qx_slots(from)[i];
        if (qx_is_inline(entry)) continue;
        if (is_node(entry, QX_NODE_FROM_ENTRY)) entry = slot(entry, 1);
        if (!is_node(entry, QX_NODE_TABLE)) continue;  // joins, derived tables, other things
        qx_value name = slot(entry, 1);
        qx_value correlation = slot(entry, 2);
        if (!is_text(name) || (correlation && !is_text(correlation))) continue;
        qx_value qualifier = correlation ? correlation : name;
        if (names_a_report(name))
            restrict_to_need_to_know(from_where, static_cast<const char *>(qualifier), user);
    }
    return nullptr;
}

}
