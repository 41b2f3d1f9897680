// The call of a compiled Kernel in C: the Python class extends this one, so that a call
// costs no Python frame on the way to the engine.
#include "python/kernel_call.hpp"

#include <string_view>

#include "compiler/node_types.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"
#include "python/native_compute.hpp"
#include "python/numpy_api.hpp"
#include "python/py_spec.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {

// The positional operands (one mapping to look names up in, or operands in the order of the
// kernel's names) joined with the named ones, by the package's own rule.
Ref call_operands(PyObject* self, PyObject* args, PyObject* named) {
    Ref module = Ref::steal(check(PyImport_ImportModule("quorvaline._operands")));
    Ref join = Ref::steal(check(PyObject_GetAttrString(module.get(), "kernel_operands")));
    return Ref::steal(check(PyObject_CallFunctionObjArgs(join.get(), self, args, named, nullptr)));
}

// True, with the error cleared, when the engine refused the call for want of an array: the
// operands were numbers alone (or none, for a kernel without names). Any other error stays.
bool no_array_given() {
    if (PyErr_ExceptionMatches(PyExc_ValueError) == 0) return false;
    FetchedError error = fetch_error();
    const Ref text = Ref::steal(PyObject_Str(error.value.get()));
    if (text && PyUnicode_CompareWithASCIIString(text.get(), "no buffer arguments provided") == 0) {
        return true;
    }
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
    return false;
}

// True when the engine refused the call as one the package computes (bools under an operator
// NumPy gives another type); the error is kept for the caller to clear or raise.
bool bools_by_package() {
    if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) return false;
    FetchedError error = fetch_error();
    const Ref text = Ref::steal(PyObject_Str(error.value.get()));
    const char* chars = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    const bool ours =
        chars != nullptr && std::string_view(chars).find(kBoolsByPackage) != std::string_view::npos;
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
    return ours;
}

// A call the package computes: `function` of quorvaline._operands, given the kernel, its
// operands and `out`.
Ref package_call(const char* function, PyObject* self, PyObject* named, PyObject* out) {
    Ref module = Ref::steal(check(PyImport_ImportModule("quorvaline._operands")));
    Ref run = Ref::steal(check(PyObject_GetAttrString(module.get(), function)));
    return Ref::steal(check(PyObject_CallFunctionObjArgs(run.get(), self, named,
                                                         out != nullptr ? out : Py_None, nullptr)));
}

// True when an operand is an array or NumPy scalar of a type the engine has no loops for
// (int8, int16, unsigned, float16): the package computes those with NumPy's dtypes.
bool narrow_operand(PyObject* named) {
    ensure_numpy_api();
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(named, &pos, &key, &value) != 0) {
        PyArray_Descr* descr = nullptr;
        if (PyArray_Check(value)) {
            descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(value));
        } else if (PyArray_IsScalar(value, Integer) || PyArray_IsScalar(value, Half)) {
            descr = PyArray_DescrFromScalar(value);
            Py_DECREF(descr);  // NumPy's builtin descriptors live as long as NumPy
        } else {
            continue;
        }
        const auto size = PyDataType_ELSIZE(descr);
        if ((descr->kind == 'i' && size <= 2) || descr->kind == 'u' || descr->type_num == NPY_HALF)
            return true;
    }
    return false;
}

// __call__(operands=None, /, *, out=None, **named), as Kernel documents it.
PyObject* kernel_call_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        const Py_ssize_t positional = PyTuple_GET_SIZE(args);
        static PyObject* const spec_key = check(PyUnicode_InternFromString("_spec"));
        const Ref spec = Ref::steal(check(PyObject_GetAttr(self, spec_key)));
        const KernelSpec* kernel = kernel_spec_of(spec.get());
        if (kernel == nullptr) {
            raise_format(PyExc_TypeError, "%s._spec must be KernelSpec, not %s",
                         Py_TYPE(self)->tp_name, Py_TYPE(spec.get())->tp_name);
        }
        // The caller's keywords are read, never changed: a C caller may pass its own dict.
        Ref named = kwargs != nullptr ? Ref::borrow(kwargs) : Ref::steal(check(PyDict_New()));
        PyObject* out = nullptr;
        if (kwargs != nullptr) {
            static PyObject* const out_key = check(PyUnicode_InternFromString("out"));
            out = PyDict_GetItemWithError(kwargs, out_key);
            if (out == nullptr && PyErr_Occurred() != nullptr) throw_python_error();
            if (out != nullptr) {
                named = Ref::steal(check(PyDict_Copy(kwargs)));
                if (PyDict_DelItem(named.get(), out_key) < 0) throw_python_error();
            }
        }
        const Ref keep_out = Ref::borrow(out);  // the keywords' copy no longer holds it
        if (positional > 1 || (positional == 1 && PyTuple_GET_ITEM(args, 0) != Py_None)) {
            named = call_operands(self, args, named.get());
        }
        // NumPy's dtypes through a wider engine type.
        if (narrow_operand(named.get()))
            return package_call("kernel_narrow", self, named.get(), out).release();
        try {
            return evaluate_spec(spec.get(), *kernel, named.get(), out).release();
        } catch (const PythonErrorSet&) {
            if (bools_by_package()) {
                PyErr_Clear();
                return package_call("kernel_narrow", self, named.get(), out).release();
            }
            if (!no_array_given()) throw;
        }
        // A 0-d array, as numexpr gives; the package computes its one element.
        return package_call("kernel_numbers", self, named.get(), out).release();
    });
}

}  // namespace

PyTypeObject* kernel_call_type() {
    static PyTypeObject* type = nullptr;
    // No fields of its own, so a subclass lays out its instances freely (its __slots__).
    return lazy_type(
        type, "quorvaline._native.KernelCall", sizeof(PyObject),
        {
            {Py_tp_doc, const_cast<char*>("The call of a compiled kernel: the KernelSpec "
                                          "`self._spec` evaluated over NumPy operands.")},
            {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
            {Py_tp_call, reinterpret_cast<void*>(kernel_call_call)},
        },
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE);
}

}  // namespace qv::py
