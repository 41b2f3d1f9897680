// An expression's tree as plain Python values, both ways, for the package's text form and
// pickling: nodes in post-order as (tag, payload) pairs, arguments by position in a name list.
#pragma once

#include <Python.h>

#include "python/arg_frame.hpp"

namespace qv::py {

// expr_nodes(expr) -> (names, nodes)
QV_FASTCALL_FN(native_expr_nodes);
// expr_from_nodes(names, nodes) -> Expr
QV_FASTCALL_FN(native_expr_from_nodes);

}  // namespace qv::py
