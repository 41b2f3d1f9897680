// The one declarative argument frame: each method states its parameters in a Signature,
// the parser matches positional and keyword arguments with CPython's own messages, and
// the converters turn arguments into engine values, re-raising a conversion TypeError as
// "argument '{name}': {message}". No method parses its arguments by hand.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python/entry.hpp"
#include "python/ref.hpp"

// Declares an entry point of CPython's fast call convention with keywords.
#define QV_FASTCALL_FN(name)                                                \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, \
                   PyObject* kwnames) noexcept
// Declares an entry point of the classic tuple-and-dict convention (**kwargs methods).
#define QV_VARKW_FN(name) PyObject* name(PyObject* self, PyObject* args, PyObject* kwargs) noexcept

namespace qv::py {

// Parameters in order: the positional-or-keyword ones (the first `required` have no
// default), an optional *varargs, keyword-only ones (all with defaults), optional **kwargs.
class Signature {
public:
    static constexpr std::size_t kMaxParams = 8;

    // `fn` as shown in messages: "_KernelModule.arg()", "py_select()".
    constexpr explicit Signature(const char* fn) : fn_(fn) {}

    constexpr Signature required(const char* name) const { return with(name, true); }
    constexpr Signature optional(const char* name) const { return with(name, false); }
    constexpr Signature varargs(const char* name) const {
        Signature s = *this;
        s.varargs_ = name;
        return s;
    }
    constexpr Signature keyword_only(const char* name) const {
        Signature s = *this;
        s.names_[s.n_params_ + s.n_kwonly_++] = name;
        return s;
    }
    constexpr Signature varkw() const {
        Signature s = *this;
        s.varkw_ = true;
        return s;
    }

    const char* fn() const noexcept { return fn_; }
    // Positional-or-keyword parameters first, then keyword-only ones.
    const char* name(std::size_t i) const noexcept { return names_[i]; }
    std::size_t positional_count() const noexcept { return n_params_; }
    std::size_t required_count() const noexcept { return n_required_; }
    std::size_t slot_count() const noexcept { return n_params_ + n_kwonly_; }
    const char* varargs_name() const noexcept { return varargs_; }
    bool has_varkw() const noexcept { return varkw_; }

private:
    constexpr Signature with(const char* name, bool is_required) const {
        Signature s = *this;
        // Positional parameters come before keyword-only ones; required before optional.
        if (s.n_kwonly_ != 0 || (is_required && s.n_required_ != s.n_params_)) throw "bad order";
        s.names_[s.n_params_++] = name;
        if (is_required) ++s.n_required_;
        return s;
    }

    const char* fn_;
    std::array<const char*, kMaxParams> names_{};
    std::size_t n_params_ = 0;
    std::size_t n_required_ = 0;
    std::size_t n_kwonly_ = 0;
    const char* varargs_ = nullptr;
    bool varkw_ = false;
};

// The matched arguments of one call. Values are borrowed from the call and live as long
// as it does; a parameter that was not given is null.
class Args {
public:
    PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }
    // Surplus positional arguments (*varargs).
    std::span<PyObject* const> rest() const noexcept { return rest_; }
    // Surplus keywords (**kwargs) as a new dict, or null when there were none.
    PyObject* kwargs() const noexcept { return kwargs_.get(); }

    // Converts parameter i with `convert(PyObject*)`, naming it in a TypeError.
    template <class F>
    auto convert(std::size_t i, F&& convert) const -> decltype(convert(nullptr));
    // Converts each *varargs value in order, naming the *varargs parameter in a TypeError.
    template <class F>
    void convert_rest(F&& convert_each) const;

private:
    friend Args match_arguments(const Signature&, PyObject* const*, Py_ssize_t, PyObject*,
                                PyObject*);

    const Signature* sig_ = nullptr;
    std::array<PyObject*, Signature::kMaxParams> slots_{};
    std::span<PyObject* const> rest_;
    Ref kwargs_;
};

// The shared matcher behind both conventions; use the two parsers below.
Args match_arguments(const Signature& sig, PyObject* const* positional, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject* kwdict);

// CPython's fast call convention with keywords (METH_FASTCALL | METH_KEYWORDS).
Args parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
// The classic convention: a tuple and a dict or null (tp_new, **kwargs methods).
Args parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs);

// TypeError "'{actual}' object cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(PyObject* value, const char* target);

// Re-raises a pending TypeError as "argument '{name}': {message}", keeping its cause;
// any other pending exception passes through unchanged. Always throws PythonErrorSet.
[[noreturn]] void reraise_for_argument(const char* name);
// The same for a pending exception of any of `kinds`, re-raised as its own kind.
[[noreturn]] void reraise_naming(std::string_view name, std::initializer_list<PyObject*> kinds);

// Converters. Each sets a Python exception and throws PythonErrorSet on failure.
std::string to_utf8(PyObject* value);   // str ("PyString")
PyObject* to_dict(PyObject* value);     // dict or subclass ("PyDict"), borrowed
std::uint64_t to_u64(PyObject* value);  // int or __index__; OverflowError
std::size_t to_size(PyObject* value);   // as to_u64, within size_t
bool to_bool(PyObject* value);          // bool or NumPy bool ("PyBool")
// A number as float64: an integer (int, bool, __index__) through the float64 nearest to it,
// else what CPython's float conversion accepts (float, __float__; strings are not parsed).
// Anything else gives nullopt and leaves no error pending.
std::optional<double> to_number(PyObject* value);
// An instance of `type` or of a subclass, borrowed; `target` names it in the message.
PyObject* to_instance(PyObject* value, PyTypeObject* type, const char* target);

template <class F>
auto Args::convert(std::size_t i, F&& convert) const -> decltype(convert(nullptr)) {
    try {
        return convert(slots_[i]);
    } catch (const PythonErrorSet&) {
        reraise_for_argument(sig_->name(i));
    }
}

template <class F>
void Args::convert_rest(F&& convert_each) const {
    try {
        for (PyObject* value : rest_) convert_each(value);
    } catch (const PythonErrorSet&) {
        reraise_for_argument(sig_->varargs_name());
    }
}

}  // namespace qv::py
