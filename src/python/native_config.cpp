// The dict config() returns is built from the engine's own reports, so that what the package
// shows is what the loops do.
#include "python/native_config.hpp"

#include <string>

#include "exec/loops.hpp"
#include "exec/vector_libm/vector_libm.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {

constexpr Signature kConfigSignature = Signature("config()");

void set(PyObject* dict, const char* key, Ref value) {
    if (PyDict_SetItemString(dict, key, check(value.get())) < 0) throw_python_error();
}

Ref text(const std::string& s) {
    return Ref::steal(check(PyUnicode_FromStringAndSize(s.data(), std::ssize(s))));
}

Ref text_or_none(const std::string& s) { return s.empty() ? Ref::borrow(Py_None) : text(s); }

Ref function_state(const VectorFunctionState& s) {
    Ref d = Ref::steal(check(PyDict_New()));
    set(d.get(), "path", text(s.vector ? "vector" : "scalar"));
    set(d.get(), "isa", text_or_none(s.isa));
    set(d.get(), "variant", text_or_none(s.variant));
    set(d.get(), "reason", text_or_none(s.reason));
    set(d.get(), "checked_inputs", Ref::steal(check(PyLong_FromSize_t(s.check.inputs))));
    set(d.get(), "mismatches", Ref::steal(check(PyLong_FromSize_t(s.check.mismatches))));
    return d;
}

}  // namespace

QV_FASTCALL_FN(native_config) {
    (void)self;
    return guarded([&] {
        (void)parse_fastcall(kConfigSignature, args, nargs, kwnames);
        const VectorLibmReport& r = vector_libm_report();
        Ref libm = Ref::steal(check(PyDict_New()));
        set(libm.get(), "version", text_or_none(r.libm_version));
        set(libm.get(), "build_id", text_or_none(r.build_id));
        set(libm.get(), "build_checked", Ref::borrow(r.build_checked ? Py_True : Py_False));
        Ref vector = Ref::steal(check(PyDict_New()));
        set(vector.get(), "setting", text_or_none(r.setting));
        for (const VectorFunctionState& s : r.functions)
            set(vector.get(), s.name, function_state(s));
        Ref out = Ref::steal(check(PyDict_New()));
        set(out.get(), "loop_set", text(std::string(loop_set_name(active_loop_set()))));
        set(out.get(), "libm", std::move(libm));
        set(out.get(), "vector_libm", std::move(vector));
        return out.release();
    });
}

}  // namespace qv::py
