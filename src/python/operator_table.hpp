// The operator table as the native face exports it, for the package's parser, text form and
// node codes.
#pragma once

#include <Python.h>

namespace qv::py {

// A new tuple with one row per operator: (kind, code, name, arity, spellings, function,
// libm, doc). kind is the node tag (2 unary, 3 binary, 4 compare); spellings a tuple of str,
// the one the text form writes first; function the kernel object's function or None; libm
// the math library function whose bits it gives or None.
PyObject* operator_rows();

}  // namespace qv::py
