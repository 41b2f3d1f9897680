// RecvCase and py_select: waiting on several channels at once.
#include "python/py_select.hpp"

#include "core/fault.hpp"
#include "python/arg_frame.hpp"
#include "python/entry.hpp"
#include "python/heap_type.hpp"
#include "python/py_channel.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {

constexpr Signature kRecvCaseNew = Signature("RecvCase.__new__()").required("channel");
constexpr Signature kSelectSignature = Signature("py_select()").varargs("cases").keyword_only("default");

PyObject* recv_case_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        const Args parsed = parse_tuple_dict(kRecvCaseNew, args, kwargs);
        (void)parsed.convert(0, [](PyObject* v) { return to_instance(v, channel_type(), "Channel"); });
        // The case keeps a copy of the channel's handle once channels carry one.
        return check(type->tp_alloc(type, 0));
    });
}

PyObject* py_select(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        const Args parsed = parse_fastcall(kSelectSignature, args, nargs, kwnames);
        parsed.convert_rest([](PyObject* v) { (void)to_instance(v, recv_case_type(), "RecvCase"); });
        const bool has_default = parsed[0] != nullptr && parsed.convert(0, to_bool);
        if (parsed.rest().empty()) {
            if (!has_default) fault("no operations have been added to `Select`");
            return check(Py_BuildValue("(iO)", -1, Py_None));
        }
        // Waiting on the cases comes with the channel work.
        PyErr_SetString(PyExc_NotImplementedError, "py_select over channels");
        throw_python_error();
    });
}

PyMethodDef py_select_def = {
    "py_select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_select)),
    METH_FASTCALL | METH_KEYWORDS,
    "py_select(*cases, default=False)\n--\n\nPython-visible select function."};

PyType_Slot recv_case_slots[] = {
    {Py_tp_doc, const_cast<char*>("RecvCase(channel)\n--\n\nPython-visible `RecvCase` for select.")},
    {Py_tp_new, reinterpret_cast<void*>(recv_case_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};
PyType_Spec recv_case_spec = {"builtins.RecvCase", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                              recv_case_slots};
PyTypeObject* g_recv_case_type = nullptr;

}  // namespace

PyTypeObject* recv_case_type() { return lazy_type(g_recv_case_type, recv_case_spec); }

PyObject* make_py_select(PyObject* module) {
    Ref name = Ref::steal(check(PyModule_GetNameObject(module)));
    return check(PyCFunction_NewEx(&py_select_def, module, name.get()));
}

}  // namespace qv::py
