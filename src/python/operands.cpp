// Operand binding for the package's native face: classification, conversion, broadcasting,
// and the lending of array memory to the engine for the length of one call.
#include "python/operands.hpp"

#include <algorithm>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "python/arg_frame.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/py_buffer.hpp"
#include "python/ref.hpp"
#include "runtime/work.hpp"

namespace qv::py {

namespace {

// One operand after classification. Array: a C-contiguous, aligned, native float64 ndarray of
// at least one dimension, the caller's own (`copied` false) or a copy made here.
struct Operand {
    enum class Kind { Scalar, Array, Buffer } kind = Kind::Scalar;
    double scalar = 0.0;
    double imag = 0.0;                // complex scalars: the imaginary part
    ValueType type = ValueType::F64;  // of the array's elements, or of a strong scalar
    bool weak = true;                 // scalars: a Python number
    bool integral = false;            // integer scalars within int64: `integer` is exact
    std::int64_t integer = 0;
    Ref array;
    bool copied = false;
    BufferRef buffer;
};

[[noreturn]] void raise_for_operand(PyObject* kind, std::string_view name,
                                    std::string_view message) {
    std::string text = "argument '";
    text += name;
    text += "': ";
    text += message;
    raise_message(kind, text);
}

std::string text_of(PyObject* o) {
    Ref s = Ref::steal(check(PyObject_Str(o)));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (data == nullptr) throw_python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

// numpy.ma.MaskedArray (np.ma.masked is one too), or null when numpy.ma is not loaded: it is
// imported by its users, so then nothing can be a masked array.
Ref masked_array_type() {
    PyObject* ma = PyImport_GetModule(Ref::steal(check(PyUnicode_FromString("numpy.ma"))).get());
    if (ma == nullptr) {
        if (PyErr_Occurred() != nullptr) throw_python_error();
        return {};
    }
    Ref module = Ref::steal(ma);
    return Ref::steal(check(PyObject_GetAttrString(module.get(), "MaskedArray")));
}

// Finds a masked array in an operand, or in a list or tuple at any depth NumPy reads
// (NPY_MAXDIMS levels). A list seen again (shared rows, a list holding itself) is not
// scanned again, so sharing cannot make the scan exponential nor a cycle endless.
class MaskedScan {
public:
    explicit MaskedScan(PyObject* masked) : masked_(masked) {}

    bool holds(PyObject* value, int depth = 0) {
        if (PyArray_IsAnyScalar(value) || PyArray_CheckExact(value)) return false;
        if (!PyList_Check(value) && !PyTuple_Check(value)) {
            const int is = PyObject_IsInstance(value, masked_);
            if (is < 0) throw_python_error();
            return is == 1;
        }
        if (depth == NPY_MAXDIMS || nesting_.contains(value)) return false;
        // By index, each item owned while it is looked at: isinstance may run Python code
        // that changes the list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(value, i));
            // Only lists that hold lists are remembered: a flat list costs no insertion.
            if (PyList_Check(item.get()) || PyTuple_Check(item.get())) nesting_.insert(value);
            if (holds(item.get(), depth + 1)) return true;
        }
        return false;
    }

private:
    PyObject* masked_;
    std::unordered_set<PyObject*> nesting_;  // lists being or already scanned that hold lists
};

bool readable_in_place(PyArrayObject* a, ValueType type) {
    PyArray_Descr* descr = PyArray_DESCR(a);
    return descr->type_num == numpy_type(type) && PyArray_ISNBO(descr->byteorder) &&
           PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a);
}

// The type data of this dtype is computed in: float32, bool, int32 and int64 keep their types
// (float16 widens to float32 exactly); everything else becomes float64.
ValueType native_type(PyArray_Descr* descr, Typing typing) {
    if (typing != Typing::Native) return ValueType::F64;
    if (descr->type_num == NPY_FLOAT || descr->type_num == NPY_HALF) return ValueType::F32;
    if (descr->kind == 'i' && PyDataType_ELSIZE(descr) == 4) return ValueType::I32;
    if (descr->kind == 'i' && PyDataType_ELSIZE(descr) == 8) return ValueType::I64;
    if (descr->type_num == NPY_CFLOAT) return ValueType::C64;
    if (descr->kind == 'c') return ValueType::C128;  // clongdouble rounds, as float128 does
    return descr->type_num == NPY_BOOL ? ValueType::Bool : ValueType::F64;
}

// The type array data of this dtype is bound as: the narrow types (int8, int16, uint8, uint16,
// uint32, float16) as themselves, storage the engine widens as it reads it, in place; others
// as native_type gives.
ValueType array_type(PyArray_Descr* descr, Typing typing) {
    if (typing == Typing::Native) {
        for (std::size_t t = kComputeTypeCount; t < kValueTypeCount; ++t) {
            if (descr->type_num == numpy_type(static_cast<ValueType>(t)))
                return static_cast<ValueType>(t);
        }
    }
    return native_type(descr, typing);
}

// A NumPy scalar's part in the promotion, as NumPy 2 gives it: float32 and float16 are
// float32, int32 and int64 themselves, bool a bool (`m + np.True_` stays bool), the other
// floats and wide integers float64; integers of up to 16 bits, which NumPy would not let widen
// a float32 or int32 operand, stay weak, as a Python int.
void type_scalar(Operand& op, PyArray_Descr* descr, Typing typing) {
    if (typing != Typing::Native) return;
    const char kind = descr->kind;
    if ((kind == 'i' || kind == 'u') && PyDataType_ELSIZE(descr) <= 2) {
        op.type = ValueType::I64;
        return;
    }
    op.weak = false;
    op.type = native_type(descr, typing);
}

// A Python int through the float64 nearest to it; too large is OverflowError naming it.
double int_value(std::string_view name, PyObject* value) {
    const double v = PyLong_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_python_error();
        PyErr_Clear();
        raise_for_operand(PyExc_OverflowError, name, "integer too large to convert to float64");
    }
    return v;
}

// An integer scalar: as float64, and exactly where int64 holds it (beyond, integer steps refuse
// it as NumPy does).
void set_int(Operand& op, std::string_view name, PyObject* value) {
    op.scalar = int_value(name, value);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred() != nullptr) throw_python_error();
    op.integral = overflow == 0;
    op.integer = op.integral ? static_cast<std::int64_t>(v) : 0;
}

// What NumPy's float64 conversion would misread: None as NaN, text parsed as a number.
void refuse_non_number(std::string_view name, PyObject* value) {
    if (value == Py_None) {
        raise_for_operand(PyExc_TypeError, name,
                          "None is not a number (use numpy.nan for a missing value)");
    }
    if (PyUnicode_Check(value) || PyBytes_Check(value)) {
        raise_for_operand(
            PyExc_TypeError, name,
            "'" + std::string(Py_TYPE(value)->tp_name) + "' object is text, not a number");
    }
}

// An object array is refused; the reason an element gives (None, text, an integer beyond
// float64) is named when there is one.
[[noreturn]] void refuse_objects(std::string_view name, PyArrayObject* a) {
    Ref iter = Ref::steal(check(PyArray_IterNew(reinterpret_cast<PyObject*>(a))));
    auto* it = reinterpret_cast<PyArrayIterObject*>(iter.get());
    while (it->index < it->size) {
        Ref element = Ref::steal(check(PyArray_GETITEM(a, static_cast<char*>(it->dataptr))));
        refuse_non_number(name, element.get());
        if (PyLong_Check(element.get())) (void)int_value(name, element.get());
        PyArray_ITER_NEXT(it);
    }
    raise_for_operand(
        PyExc_TypeError, name,
        "dtype object does not convert to float64 (only bool, integer and float data do)");
}

Operand classify(std::string_view name, PyObject* value, Typing typing = Typing::Float64) {
    Operand op;
    if (PyFloat_CheckExact(value)) {
        op.scalar = PyFloat_AS_DOUBLE(value);
        return op;
    }
    if (PyLong_Check(value)) {  // bool too
        set_int(op, name, value);
        // A Python int promotes as an integer: int32 + 2 stays int32. A Python bool that
        // reaches the engine meets arrays (parts over Python ints and bools alone are Python's),
        // where NumPy gives the array's type, as a bool of its own does: int32 + True is int32.
        if (typing == Typing::Native) {
            op.type = PyBool_Check(value) ? ValueType::Bool : ValueType::I64;
            op.weak = !PyBool_Check(value);
        }
        return op;
    }
    // A Python complex is weak, as a Python float; NumPy's complex scalars come below.
    if (PyComplex_CheckExact(value) && typing == Typing::Native) {
        op.scalar = PyComplex_RealAsDouble(value);
        op.imag = PyComplex_ImagAsDouble(value);
        op.type = ValueType::C128;
        return op;
    }
    if (PyObject_TypeCheck(value, buffer_type())) {
        op.kind = Operand::Kind::Buffer;
        op.buffer = buffer_ref(value);
        return op;
    }
    refuse_non_number(name, value);
    ensure_numpy_api();
    // Plain arrays and scalars, the common operands, skip the lookup.
    const bool may_be_masked = !PyArray_CheckExact(value) && !PyArray_IsAnyScalar(value);
    if (const Ref masked = may_be_masked ? masked_array_type() : Ref();
        masked && MaskedScan(masked.get()).holds(value)) {
        raise_for_operand(PyExc_TypeError, name,
                          "masked arrays are refused, since their masked values would be "
                          "computed; pass .filled(value) or .compressed()");
    }
    Ref array;
    if (PyArray_Check(value)) {
        array = Ref::borrow(value);
    } else {
        array = Ref::steal(PyArray_FromAny(value, nullptr, 0, 0, 0, nullptr));
        if (!array) reraise_naming(name, {PyExc_TypeError, PyExc_ValueError, PyExc_OverflowError});
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const char kind = PyArray_DESCR(a)->kind;
    if (kind == 'O') refuse_objects(name, a);
    if (kind == 'U' || kind == 'S') {
        raise_for_operand(PyExc_TypeError, name,
                          "an array of text (" +
                              text_of(reinterpret_cast<PyObject*>(PyArray_DESCR(a))) +
                              ") is not numbers");
    }
    // Complex data is computed as complex by the typed path; the float64 one cannot hold it.
    const bool complex_kind = kind == 'c' && typing == Typing::Native;
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && !complex_kind) {
        raise_for_operand(
            PyExc_TypeError, name,
            "dtype " + text_of(reinterpret_cast<PyObject*>(PyArray_DESCR(a))) +
                " does not convert to float64 (only bool, integer and float data do)");
    }
    if (PyArray_NDIM(a) == 0) {
        type_scalar(op, PyArray_DESCR(a), typing);
        Ref item = Ref::steal(check(PyArray_GETITEM(a, PyArray_BYTES(a))));
        if (complex_kind) {
            // complex64's parts are float32 values, exact in float64; clongdouble's round.
            const Py_complex z = PyComplex_AsCComplex(item.get());
            if (z.real == -1.0 && PyErr_Occurred() != nullptr) throw_python_error();
            op.scalar = z.real;
            op.imag = z.imag;
        } else if (PyLong_Check(item.get())) {
            set_int(op, name, item.get());
        } else {
            op.scalar = PyFloat_AsDouble(item.get());
            if (op.scalar == -1.0 && PyErr_Occurred() != nullptr) throw_python_error();
        }
        return op;
    }
    op.kind = Operand::Kind::Array;
    op.type = array_type(PyArray_DESCR(a), typing);
    if (!readable_in_place(a, op.type)) {
        // One copy: C order, in the type computed in; the dtype kinds above all convert by
        // value.
        op.array = Ref::steal(PyArray_FromAny(
            array.get(), PyArray_DescrFromType(numpy_type(op.type)), 0, 0,
            NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
        if (!op.array)
            reraise_naming(name, {PyExc_TypeError, PyExc_ValueError, PyExc_OverflowError});
        op.copied = true;
    } else {
        op.array = std::move(array);
    }
    return op;
}

std::span<const npy_intp> dims_of(const Operand& op, npy_intp& buffer_length) {
    if (op.kind == Operand::Kind::Buffer) {
        buffer_length = static_cast<npy_intp>(op.buffer->element_count());
        return {&buffer_length, 1};
    }
    auto* a = reinterpret_cast<PyArrayObject*>(op.array.get());
    return {PyArray_DIMS(a), static_cast<std::size_t>(PyArray_NDIM(a))};
}

// NumPy's rule: shapes align at their last axis; sizes must be equal or 1.
void broadcast_shape(std::span<const std::string> names, std::span<const Operand> ops,
                     std::pmr::vector<npy_intp>& shape) {
    // Per axis, the operand that gave it a size other than 1.
    std::pmr::vector<std::size_t> setter(shape.get_allocator());
    constexpr std::size_t kNobody = SIZE_MAX;
    for (std::size_t k = 0; k < ops.size(); ++k) {
        if (ops[k].kind == Operand::Kind::Scalar) continue;
        npy_intp length = 0;
        const std::span<const npy_intp> dims = dims_of(ops[k], length);
        if (dims.size() > shape.size()) {
            const std::size_t grow = dims.size() - shape.size();
            shape.insert(shape.begin(), grow, 1);
            setter.insert(setter.begin(), grow, kNobody);
        }
        const std::size_t offset = shape.size() - dims.size();
        for (std::size_t i = 0; i < dims.size(); ++i) {
            npy_intp& s = shape[offset + i];
            if (dims[i] == s || dims[i] == 1) continue;
            if (s == 1) {
                s = dims[i];
                setter[offset + i] = k;
                continue;
            }
            npy_intp other_length = 0;
            const std::size_t j = setter[offset + i];
            const std::string message = "operands '" + names[j] + "' with shape " +
                                        shape_text(dims_of(ops[j], other_length)) + " and '" +
                                        names[k] + "' with shape " + shape_text(dims) +
                                        " do not broadcast together";
            raise_message(PyExc_ValueError, message);
        }
    }
}

Ref shape_tuple(std::span<const npy_intp> shape) {
    Ref t = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(shape.size()))));
    for (std::size_t i = 0; i < shape.size(); ++i) {
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromSsize_t(shape[i])));
    }
    return t;
}

// A C-contiguous copy of `op` spread over `shape` (which it broadcasts to).
Ref broadcast_copy(const Operand& op, std::span<const npy_intp> shape) {
    Ref source;
    if (op.kind == Operand::Kind::Buffer) {
        const BufferRef& b = op.buffer;
        npy_intp n = static_cast<npy_intp>(b->element_count());
        source = Ref::steal(check(PyArray_SimpleNew(1, &n, NPY_DOUBLE)));
        const auto values = b->as_f64_slice();
        if (n != 0)
            std::copy(
                values.begin(), values.end(),
                static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(source.get()))));
    } else {
        source = op.array;
    }
    Ref numpy = Ref::steal(check(PyImport_ImportModule("numpy")));
    Ref spread = Ref::steal(check(PyObject_CallMethod(numpy.get(), "broadcast_to", "OO",
                                                      source.get(), shape_tuple(shape).get())));
    return Ref::steal(
        check(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(spread.get()), NPY_CORDER)));
}

// A record over the array's memory that owns nothing: the SingleOperand keeps the array, so
// dropping the record never touches Python (no interpreter lock to take on any thread, in
// any interpreter, at exit).
BufferRef lend(const Ref& array) {
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    std::vector<std::size_t> shape(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a));
    return lend_f64(std::move(shape), static_cast<const double*>(PyArray_DATA(a)), nullptr);
}

bool same_shape(std::span<const npy_intp> a, std::span<const npy_intp> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

std::string_view operand_name(PyObject* key) {
    if (!PyUnicode_Check(key)) raise_message(PyExc_TypeError, "operand names must be strings");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) throw_python_error();
    return {utf8, static_cast<std::size_t>(size)};
}

// The engine's refusal of names that do not match the kernel's: missing or unexpected.
[[noreturn]] void refuse_names(std::span<const std::string> names, PyObject* operands) {
    std::vector<std::string_view> given;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(operands, &pos, &key, &value)) given.push_back(operand_name(key));
    auto refused = check_bound_names(std::vector<std::string>(names.begin(), names.end()), given);
    if (!refused) fault("names refused without a refusal");
    raise_result(std::move(*refused));
}

}  // namespace

int numpy_type(ValueType type) noexcept {
    switch (type) {
        case ValueType::F64: return NPY_DOUBLE;
        case ValueType::F32: return NPY_FLOAT;
        case ValueType::Bool: return NPY_BOOL;
        case ValueType::I32: return NPY_INT32;
        case ValueType::I64: return NPY_INT64;
        case ValueType::C64: return NPY_CFLOAT;
        case ValueType::C128: return NPY_CDOUBLE;
        case ValueType::I8: return NPY_INT8;
        case ValueType::I16: return NPY_INT16;
        case ValueType::U8: return NPY_UINT8;
        case ValueType::U16: return NPY_UINT16;
        case ValueType::U32: return NPY_UINT32;
        case ValueType::F16: return NPY_HALF;
    }
    return NPY_DOUBLE;
}

std::string shape_text(std::span<const npy_intp> shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    if (shape.size() == 1) text += ',';
    return text + ")";
}

BoundOperands bind_operands(std::span<const std::string> names, PyObject* operands,
                            std::pmr::memory_resource* arena, Typing typing) {
    // Names first, in the engine's words, before anything is converted.
    // Owned: converting one operand may run Python code that changes the dict.
    std::pmr::vector<Ref> given(names.size(), arena);
    bool every_key_known = true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(operands, &pos, &key, &value)) {
        const std::string_view name = operand_name(key);
        bool known = false;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name) {
                given[i] = Ref::borrow(value);
                known = true;
            }
        }
        every_key_known &= known;
    }
    const bool every_name_given =
        std::all_of(given.begin(), given.end(), [](const Ref& r) { return bool(r); });
    if (!every_key_known || !every_name_given) refuse_names(names, operands);

    std::pmr::vector<Operand> ops(arena);
    ops.reserve(names.size());
    bool any_array = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        ops.push_back(classify(names[i], given[i].get(), typing));
        any_array |= ops.back().kind != Operand::Kind::Scalar;
    }
    if (!any_array) raise_result(EngineError::arg("no buffer arguments provided"));

    BoundOperands bound(arena);
    broadcast_shape(names, ops, bound.shape);
    bound.views.reserve(ops.size());
    for (std::size_t i = 0; i < ops.size(); ++i) {
        Operand& op = ops[i];
        if (op.kind == Operand::Kind::Scalar) {
            bound.views.push_back(
                ArgView{nullptr, op.scalar, 0, op.type, op.weak, op.imag, op.integral, op.integer});
            continue;
        }
        npy_intp length = 0;
        if (!same_shape(dims_of(op, length), bound.shape)) {
            op.array = broadcast_copy(op, bound.shape);
            op.kind = Operand::Kind::Array;
            op.copied = true;
        }
        if (op.kind == Operand::Kind::Buffer) {
            const std::span<const double> data = op.buffer->as_f64_slice();
            bound.views.push_back(ArgView{data.data(), 0.0, data.size()});
            bound.buffers.push_back(std::move(op.buffer));
            continue;
        }
        auto* a = reinterpret_cast<PyArrayObject*>(op.array.get());
        const char* begin = PyArray_BYTES(a);
        if (!op.copied)
            bound.in_place.push_back(InPlaceSpan{names[i], begin, begin + PyArray_NBYTES(a)});
        bound.views.push_back(
            ArgView{begin, 0.0, static_cast<std::size_t>(PyArray_SIZE(a)), op.type, false});
        bound.arrays.push_back(std::move(op.array));
    }
    return bound;
}

SingleOperand bind_single(const char* name, PyObject* value) {
    Operand op = classify(name, value);
    SingleOperand single;
    switch (op.kind) {
        case Operand::Kind::Scalar: single.buffer = from_f64_vec(F64Vec{op.scalar}); break;
        case Operand::Kind::Buffer: single.buffer = std::move(op.buffer); break;
        case Operand::Kind::Array:
            single.buffer = lend(op.array);
            single.array = std::move(op.array);
            break;
    }
    return single;
}

}  // namespace qv::py
