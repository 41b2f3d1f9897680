// Result arrays: engine blocks handed to NumPy with a capsule as their base, which gives the
// block back when the array goes; and the checks of a caller's `out`.
#include "python/result_array.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "buffer/f64_vec.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"

namespace qv::py {

namespace {

constexpr const char* kBlockCapsule = "quorvaline.block";

void give_back(PyObject* capsule) noexcept {
    void* block = PyCapsule_GetPointer(capsule, kBlockCapsule);
    const auto bytes = reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule));
    release_f64_storage(block, bytes);
}

// Pieces joined with +=: GCC 12 warns falsely on "literal" + std::string temporaries.
[[noreturn]] void refuse_out(PyObject* kind, std::initializer_list<std::string_view> why) {
    std::string text = "argument 'out': ";
    for (std::string_view piece : why) text += piece;
    raise_message(kind, text);
}

}  // namespace

Ref new_result_array(std::span<const npy_intp> shape, ValueType type) {
    ensure_numpy_api();
    std::size_t n = 1;
    for (npy_intp d : shape) n *= static_cast<std::size_t>(d);
    const std::size_t bytes = n * element_size(type);
    void* block = allocate_f64_storage(bytes);
    Ref base = Ref::steal(PyCapsule_New(block, kBlockCapsule, give_back));
    if (!base) {
        release_f64_storage(block, bytes);
        throw_python_error();
    }
    if (PyCapsule_SetContext(base.get(),
                             reinterpret_cast<void*>(static_cast<std::uintptr_t>(bytes))) < 0) {
        throw_python_error();
    }
    Ref array = Ref::steal(check(PyArray_NewFromDescr(
        &PyArray_Type, PyArray_DescrFromType(numpy_type(type)), static_cast<int>(shape.size()),
        const_cast<npy_intp*>(shape.data()), nullptr, block, NPY_ARRAY_CARRAY, nullptr)));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0) {
        throw_python_error();  // the base reference was stolen even so
    }
    return array;
}

std::optional<ValueType> narrow_store(PyObject* out, ValueType computed) {
    ensure_numpy_api();
    if (!PyArray_Check(out)) return std::nullopt;
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(out));
    for (std::size_t t = kComputeTypeCount; t < kValueTypeCount; ++t) {
        const auto type = static_cast<ValueType>(t);
        if (descr->type_num == numpy_type(type) && compute_type(type) == computed) return type;
    }
    return std::nullopt;
}

PyArrayObject* checked_out(PyObject* out, const BoundOperands& bound, ValueType type) {
    ensure_numpy_api();
    if (!PyArray_Check(out)) {
        refuse_out(PyExc_TypeError, {"'", Py_TYPE(out)->tp_name, "' object is not a NumPy array"});
    }
    auto* a = reinterpret_cast<PyArrayObject*>(out);
    PyArray_Descr* descr = PyArray_DESCR(a);
    if (descr->type_num != numpy_type(type) || !PyArray_ISNBO(descr->byteorder)) {
        Ref name = Ref::steal(check(PyObject_Str(reinterpret_cast<PyObject*>(descr))));
        const char* text = PyUnicode_AsUTF8(name.get());
        if (text == nullptr) throw_python_error();
        refuse_out(PyExc_TypeError, {"dtype ", text, " given; the result is ", type_name(type)});
    }
    const std::span<const npy_intp> dims(PyArray_DIMS(a),
                                         static_cast<std::size_t>(PyArray_NDIM(a)));
    if (!std::equal(dims.begin(), dims.end(), bound.shape.begin(), bound.shape.end())) {
        refuse_out(PyExc_ValueError,
                   {"shape ", shape_text(dims), " given; the operands broadcast to ",
                    shape_text(bound.shape)});
    }
    if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a)) {
        refuse_out(PyExc_ValueError, {"a C-contiguous aligned array is needed"});
    }
    if (!PyArray_ISWRITEABLE(a)) refuse_out(PyExc_ValueError, {"the array is read-only"});
    const char* begin = PyArray_BYTES(a);
    const char* end = begin + PyArray_NBYTES(a);
    for (const InPlaceSpan& in : bound.in_place) {
        const bool overlap = begin < in.end && in.begin < end;
        if (overlap && !(begin == in.begin && end == in.end)) {
            refuse_out(PyExc_ValueError,
                       {"overlaps operand '", in.name, "' without being exactly it"});
        }
    }
    return a;
}

}  // namespace qv::py
