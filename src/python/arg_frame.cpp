// Argument matching and conversion shared by every method and function.
#include "python/arg_frame.hpp"

#include <limits>
#include <vector>

#include "python/errors.hpp"
#include "python/numpy_api.hpp"

namespace qv::py {

namespace {

// Keyword values arrive either as (kwnames, values) or as a dict; both are walked as pairs.
template <class Visit>
void for_each_keyword(PyObject* kwnames, PyObject* const* values, PyObject* kwdict, Visit&& visit) {
    if (kwnames != nullptr) {
        const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < n; ++i) visit(PyTuple_GET_ITEM(kwnames, i), values[i]);
    } else if (kwdict != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwdict, &pos, &key, &value)) visit(key, value);
    }
}

[[noreturn]] void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const auto n = static_cast<Py_ssize_t>(sig.positional_count());
    if (sig.required_count() == sig.positional_count()) {
        raise_format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     sig.fn(), n, given, verb);
    }
    raise_format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.fn(), static_cast<Py_ssize_t>(sig.required_count()), n, given, verb);
}

[[noreturn]] void raise_missing(const Signature& sig, const std::vector<const char*>& missing) {
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0)
            list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    raise_format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.fn(),
                 static_cast<Py_ssize_t>(missing.size()),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
}

// Compares by content: keyword names need not be interned.
std::size_t find_slot(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.slot_count(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.name(i)) == 0) return i;
    }
    return sig.slot_count();
}

}  // namespace

// Matching is shared by both conventions; only the source of keywords differs.
Args match_arguments(const Signature& sig, PyObject* const* positional, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject* kwdict) {
    Args out;
    out.sig_ = &sig;
    const auto n_positional = static_cast<Py_ssize_t>(sig.positional_count());
    if (nargs > n_positional && sig.varargs_name() == nullptr) {
        raise_too_many_positional(sig, nargs);
    }
    const Py_ssize_t taken = nargs < n_positional ? nargs : n_positional;
    for (Py_ssize_t i = 0; i < taken; ++i) out.slots_[static_cast<std::size_t>(i)] = positional[i];
    if (nargs > taken) {
        out.rest_ = {positional + taken, static_cast<std::size_t>(nargs - taken)};
    }

    for_each_keyword(kwnames, positional + nargs, kwdict, [&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            raise_format(PyExc_TypeError, "%s keywords must be strings", sig.fn());
        }
        const std::size_t slot = find_slot(sig, key);
        if (slot == sig.slot_count()) {
            if (!sig.has_varkw()) {
                raise_format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                             sig.fn(), key);
            }
            if (!out.kwargs_) out.kwargs_ = Ref::steal(check(PyDict_New()));
            if (PyDict_SetItem(out.kwargs_.get(), key, value) < 0) throw_python_error();
            return;
        }
        if (out.slots_[slot] != nullptr) {
            raise_format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.fn(),
                         sig.name(slot));
        }
        out.slots_[slot] = value;
    });

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required_count(); ++i) {
        if (out.slots_[i] == nullptr) missing.push_back(sig.name(i));
    }
    if (!missing.empty()) raise_missing(sig, missing);
    return out;
}

Args parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    return match_arguments(sig, args, PyVectorcall_NARGS(nargs), kwnames, nullptr);
}

Args parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs) {
    return match_arguments(sig, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), nullptr,
                           kwargs);
}

// Conversion errors.

[[noreturn]] void raise_cannot_convert(PyObject* value, const char* target) {
    Ref name =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = Ref::steal(check(PyUnicode_FromString(Py_TYPE(value)->tp_name)));
    }
    raise_format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

void reraise_for_argument(const char* name) { reraise_naming(name, {PyExc_TypeError}); }

void reraise_naming(std::string_view name, std::initializer_list<PyObject*> kinds) {
    PyObject* kind = nullptr;
    for (PyObject* k : kinds) {
        if (PyErr_ExceptionMatches(k)) kind = k;
    }
    if (kind == nullptr) throw_python_error();
    const FetchedError original = fetch_error();
    Ref message = Ref::steal(check(PyObject_Str(original.value.get())));
    // Built from sizes: a name may hold NUL characters.
    const std::string head = "argument '" + std::string(name) + "': ";
    Ref prefix = Ref::steal(
        check(PyUnicode_FromStringAndSize(head.data(), static_cast<Py_ssize_t>(head.size()))));
    Ref text = Ref::steal(check(PyUnicode_Concat(prefix.get(), message.get())));
    Ref replacement = Ref::steal(check(PyObject_CallOneArg(kind, text.get())));
    if (PyObject* cause = PyException_GetCause(original.value.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the new reference
    }
    PyErr_SetObject(kind, replacement.get());
    throw_python_error();
}

// Converters.

std::string to_utf8(PyObject* value) {
    if (!PyUnicode_Check(value)) raise_cannot_convert(value, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) throw_python_error();  // e.g. a lone surrogate: UnicodeEncodeError
    return std::string(data, static_cast<std::size_t>(size));
}

PyObject* to_dict(PyObject* value) {
    if (!PyDict_Check(value)) raise_cannot_convert(value, "PyDict");
    return value;
}

std::uint64_t to_u64(PyObject* value) {
    Ref index = Ref::steal(check(PyNumber_Index(value)));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        throw_python_error();
    }
    return v;
}

std::size_t to_size(PyObject* value) {
    const std::uint64_t v = to_u64(value);
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (v > std::numeric_limits<std::size_t>::max()) {
            raise_message(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
    }
    return static_cast<std::size_t>(v);
}

bool to_bool(PyObject* value) {
    if (PyBool_Check(value)) return value == Py_True;
    ensure_numpy_api();
    if (PyArray_IsScalar(value, Bool)) return PyArrayScalar_VAL(value, Bool) != 0;
    raise_cannot_convert(value, "PyBool");
}

std::optional<double> to_number(PyObject* value) {
    const long long integer = PyLong_AsLongLong(value);
    if (integer != -1 || PyErr_Occurred() == nullptr) return static_cast<double>(integer);
    PyErr_Clear();
    const double real = PyFloat_AsDouble(value);
    if (real != -1.0 || PyErr_Occurred() == nullptr) return real;
    PyErr_Clear();
    return std::nullopt;
}

PyObject* to_instance(PyObject* value, PyTypeObject* type, const char* target) {
    if (!PyObject_TypeCheck(value, type)) raise_cannot_convert(value, target);
    return value;
}

}  // namespace qv::py
