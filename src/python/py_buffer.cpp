// The Buffer class and the two copies between NumPy and the engine (asarray, numpy()).
#include "python/py_buffer.hpp"

#include <cstring>
#include <string>

#include "core/fault.hpp"
#include "python/arg_frame.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"
#include "python/numpy_api.hpp"

namespace qv::py {

namespace {

PyObject* buffer_numpy(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        const BufferRef& ref = buffer_ref(self);
        const auto values = ref->as_f64_slice();
        ensure_numpy_api();
        npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
        PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1,
                                               dims, nullptr, nullptr, 0, nullptr);
        if (array == nullptr) python_api_failed();
        if (!values.empty()) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                        values.size_bytes());
        }
        return array;
    });
}

PyObject* buffer_scalar(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        const auto values = buffer_ref(self)->as_f64_slice();
        if (values.empty()) raise_message(PyExc_ValueError, "buffer is empty");
        return check(PyFloat_FromDouble(values[0]));
    });
}

Py_ssize_t buffer_length(PyObject* self) noexcept {
    return guarded_status([&]() -> Py_ssize_t {
        const std::size_t n = buffer_ref(self)->element_count();
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetNone(PyExc_OverflowError);
            throw_python_error();
        }
        return static_cast<Py_ssize_t>(n);
    });
}

PyObject* buffer_repr(PyObject* self) noexcept {
    return guarded([&] {
        const BufferInner& inner = *buffer_ref(self);
        std::string text = "Buffer(dtype=";
        text += dtype_name(inner.dtype());
        text += ", shape=[";
        for (std::size_t i = 0; i < inner.shape().size(); ++i) {
            if (i > 0) text += ", ";
            text += std::to_string(inner.shape()[i]);
        }
        text += "], len=";
        text += std::to_string(inner.element_count());
        text += ')';
        return check(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyMethodDef buffer_methods[] = {
    {"numpy", buffer_numpy, METH_NOARGS,
     "numpy($self)\n--\n\nConvert to numpy array (copies data out)."},
    {"scalar", buffer_scalar, METH_NOARGS,
     "scalar($self)\n--\n\nGet a single scalar value (first element)."},
    {nullptr, nullptr, 0, nullptr},
};

// Accepts an ndarray (or subclass) of one dimension whose dtype is native float64. No
// conversion is attempted. A byte-swapped float64 is not equivalent and is refused too.
PyArrayObject* to_f64_array(PyObject* value) {
    ensure_numpy_api();
    if (!PyArray_Check(value)) raise_cannot_convert(value, "PyArray<T, D>");
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(array) != 1) raise_cannot_convert(value, "PyArray<T, D>");
    PyArray_Descr* descr = PyArray_DESCR(array);
    PyArray_Descr* f64 = PyArray_DescrFromType(NPY_DOUBLE);
    const bool is_f64 = descr == f64 || PyArray_EquivTypes(descr, f64);
    Py_DECREF(f64);
    if (!is_f64) raise_cannot_convert(value, "PyArray<T, D>");
    return array;
}

constexpr Signature kAsarraySignature = Signature("_RuntimeModule.asarray()").required("array");

}  // namespace

const char* const kAsarrayDoc = "asarray($self, array)\n--\n\nCreate a Buffer from a numpy array.";

PyTypeObject* buffer_type() {
    static PyTypeObject* type = nullptr;
    return holder_type<BufferRef>(
        type, "builtins.Buffer",
        {
            {Py_tp_doc, const_cast<char*>(
                            "Python-visible handle of an engine buffer: a shared reference to an\n"
                            "immutable one-dimensional float64 array.")},
            {Py_tp_repr, reinterpret_cast<void*>(buffer_repr)},
            {Py_mp_length, reinterpret_cast<void*>(buffer_length)},
            {Py_tp_methods, buffer_methods},
        });
}

PyObject* wrap_buffer(BufferRef ref) { return wrap(buffer_type(), std::move(ref)); }

const BufferRef& buffer_ref(PyObject* buffer) noexcept { return held<BufferRef>(buffer); }

QV_FASTCALL_FN(runtime_asarray) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kAsarraySignature, args, nargs, kwnames);
        PyArrayObject* array = parsed.convert(0, to_f64_array);
        if ((PyArray_FLAGS(array) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) == 0) {
            fault_expect("contiguous array required", "NotContiguousError");
        }
        const auto n = static_cast<std::size_t>(PyArray_DIM(array, 0));
        F64Vec values(n);
        // One block copy; memcpy also covers arrays NumPy reports as misaligned.
        if (n != 0) std::memcpy(values.data(), PyArray_DATA(array), n * sizeof(double));
        return wrap_buffer(from_f64_vec(std::move(values)));
    });
}

}  // namespace qv::py
