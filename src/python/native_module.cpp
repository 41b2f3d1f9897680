// quorvaline._native, the package's native face: a second module of this same library
// (PEP 489, several modules in one library), so it shares the one engine state and the
// classes of _quorvaline, whose own surface stays as it is.
#include <Python.h>

#include "python/heap_type.hpp"
#include "python/py_expr_nodes.hpp"

namespace qv::py {

namespace {

PyMethodDef native_methods[] = {
    {"expr_nodes", method_cast(native_expr_nodes), METH_FASTCALL | METH_KEYWORDS,
     "expr_nodes($module, expr)\n--\n\n"
     "The expression's argument names (ascending temp id) and its nodes in post-order."},
    {"expr_from_nodes", method_cast(native_expr_from_nodes), METH_FASTCALL | METH_KEYWORDS,
     "expr_from_nodes($module, names, nodes)\n--\n\n"
     "A new Expr over new arguments, one per name in that order, from post-order nodes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT,
    "quorvaline._native",
    "The quorvaline package's native face over the engine of _quorvaline.",
    0,
    native_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace qv::py

PyMODINIT_FUNC PyInit__native(void) {
    return PyModule_Create(&qv::py::native_def);
}
