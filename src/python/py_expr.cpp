// The Expr class. Instances come only from the kernel factory functions and operators.
#include "python/py_expr.hpp"

#include "python/heap_type.hpp"

namespace qv::py {

namespace {

PyType_Slot expr_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Python-visible expression node.\n"
                    "Operator overloading builds an `Expr` tree without any computation.\n\n"
                    "`temp_args` maps temporary argument IDs to their names.\n"
                    "Each `arg(\"x\")` call assigns a unique `temp_id` via a global counter,\n"
                    "and operators merge both sides' `temp_args` via `BTreeMap` union.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};

PyType_Spec expr_spec = {"builtins.Expr", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, expr_slots};

PyTypeObject* g_expr_type = nullptr;

}  // namespace

PyTypeObject* expr_type() { return lazy_type(g_expr_type, expr_spec); }

}  // namespace qv::py
