// The query compiler's internal entry: the SQL text of a query tree, with a hook
// that sees every query node (the outer query and each subquery) just before it is
// compiled, so that it can rewrite the node in place.
#pragma once

#include <functional>
#include <string>

#include "quendrix/server.h"

namespace qx {

// Called with each query node before its slots are read; false (with *error set)
// stops the compilation.
using QueryVisitor = std::function<bool(qx_value query, std::string *error)>;

bool compile_query(qx_value tree, std::string *out, std::string *error,
                   const QueryVisitor &visit_query = nullptr);

}  // namespace qx
