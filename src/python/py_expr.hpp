// The Expr class: an expression value built lazily by operators and kernel functions.
#pragma once

#include <Python.h>

namespace qv::py {

PyTypeObject* expr_type();

}  // namespace qv::py
