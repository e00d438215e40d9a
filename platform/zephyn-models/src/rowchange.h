#pragma once

#include <QtCore/QVector>

#include <algorithm>

namespace Zephyn {
namespace Models {

// How a list of rows became another, in the terms of a model's signals: rows [first, last]
// inserted, removed or changed in place, or anything else (a reset).
struct RowChange
{
    enum Kind { None, Inserted, Removed, Changed, Reset };
    Kind kind = None;
    int first = 0;
    int last = -1;
};

// The rows that differ lie between the longest common head and the longest common tail;
// when only one side has rows there, they were inserted or removed.
template <typename Row>
RowChange rowChange(const QVector<Row> &before, const QVector<Row> &after)
{
    if (before == after)
        return {};
    const int shorter = std::min(before.size(), after.size());
    int head = 0;
    while (head < shorter && before.at(head) == after.at(head))
        ++head;
    int tail = 0;
    while (tail < shorter - head
           && before.at(before.size() - 1 - tail) == after.at(after.size() - 1 - tail))
        ++tail;
    const int removed = before.size() - head - tail;
    const int inserted = after.size() - head - tail;
    if (removed == 0)
        return {RowChange::Inserted, head, head + inserted - 1};
    if (inserted == 0)
        return {RowChange::Removed, head, head + removed - 1};
    if (removed == inserted)
        return {RowChange::Changed, head, head + inserted - 1};
    return {RowChange::Reset, 0, -1};
}

} // namespace Models
} // namespace Zephyn
