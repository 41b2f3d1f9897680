// A test-only extension that declares signatures of every shape through the argument
// frame, so the frame's messages and converters are checked beyond the methods built so far.
#include "python/arg_frame.hpp"

using namespace qv::py;

namespace {

constexpr Signature kThree =
    Signature("_KernelModule.where_()").required("cond").required("true_val").required("false_val");
constexpr Signature kOptional = Signature("_RuntimeModule.go()").required("spec").optional("out");
constexpr Signature kNone = Signature("f()");
constexpr Signature kVarargs = Signature("_KernelModule.args()").varargs("names");
constexpr Signature kVarkw = Signature("_KernelModule.map()").required("spec").varkw();
constexpr Signature kU64 = Signature("u64()").required("n");
constexpr Signature kSize = Signature("size()").required("n");
constexpr Signature kDict = Signature("dict()").required("mapping");
constexpr Signature kText = Signature("_KernelModule.arg()").required("name");

PyObject* given(PyObject* o) { return o != nullptr ? o : Py_None; }

PyObject* three(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
    return guarded([&] {
        const Args p = parse_fastcall(kThree, a, n, k);
        return check(Py_BuildValue("(OOO)", p[0], p[1], p[2]));
    });
}

PyObject* optional(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
    return guarded([&] {
        const Args p = parse_fastcall(kOptional, a, n, k);
        return check(Py_BuildValue("(OO)", p[0], given(p[1])));
    });
}

PyObject* none(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
    return guarded([&] {
        (void)parse_fastcall(kNone, a, n, k);
        return Py_NewRef(Py_None);
    });
}

PyObject* varargs(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
    return guarded([&] {
        const Args p = parse_fastcall(kVarargs, a, n, k);
        Ref out = Ref::steal(check(PyList_New(0)));
        p.convert_rest([&](PyObject* v) {
            const std::string s = to_utf8(v);
            Ref item = Ref::steal(check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))));
            if (PyList_Append(out.get(), item.get()) < 0) throw_python_error();
        });
        return out.release();
    });
}

PyObject* varkw(PyObject*, PyObject* a, PyObject* k) noexcept {
    return guarded([&] {
        const Args p = parse_tuple_dict(kVarkw, a, k);
        return check(Py_BuildValue("(OO)", p[0], given(p.kwargs())));
    });
}

PyObject* u64(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
    return guarded([&] {
        const Args p = parse_fastcall(kU64, a, n, k);
        return check(PyLong_FromUnsignedLongLong(p.convert(0, to_u64)));
    });
}

PyObject* size(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
    return guarded([&] {
        const Args p = parse_fastcall(kSize, a, n, k);
        return check(PyLong_FromSize_t(p.convert(0, to_size)));
    });
}

PyObject* dict(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
    return guarded([&] {
        const Args p = parse_fastcall(kDict, a, n, k);
        return Py_NewRef(p.convert(0, to_dict));
    });
}

PyObject* text(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
    return guarded([&] {
        const Args p = parse_fastcall(kText, a, n, k);
        const std::string s = p.convert(0, to_utf8);
        return check(PyLong_FromSize_t(s.size()));  // UTF-8 byte count
    });
}

#define FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS
PyMethodDef methods[] = {
    {"three", FAST(three), nullptr},
    {"optional", FAST(optional), nullptr},
    {"none", FAST(none), nullptr},
    {"varargs", FAST(varargs), nullptr},
    {"varkw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(varkw)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"u64", FAST(u64), nullptr},
    {"size", FAST(size), nullptr},
    {"dict", FAST(dict), nullptr},
    {"text", FAST(text), nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "frame_probe", nullptr, -1, methods,
                         nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_frame_probe(void) { return PyModule_Create(&probe_def); }
