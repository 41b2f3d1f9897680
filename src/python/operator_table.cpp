// The operator table's rows as Python values, generated from the table.
#include "python/operator_table.hpp"

#include <cstddef>
#include <iterator>
#include <string_view>
#include <vector>

#include "ir/expr_tree.hpp"
#include "ir/ops.hpp"
#include "python/entry.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {

struct Row {
    NodeTag kind;
    int code;
    const char* name;
    int arity;
    const char* spellings;
    const char* function;  // null: no kernel function
    const char* libm;      // null: no math library function
    const char* doc;
    bool predicate;  // its value is a truth
};

#define QV_ROW(kind, arity, name, code, function, libm, spellings, doc) \
    Row{NodeTag::kind, code,      #name,                                \
        arity,         spellings, function,                             \
        libm,          doc,       op_is_predicate(kind##Op::name)},
#define QV_UNARY_OP(name, code, scalar, cost, libm, spellings, doc) \
    QV_ROW(Unary, 1, name, code, nullptr, libm, spellings, doc)
#define QV_UNARY_FN(name, code, scalar, cost, libm, spellings, doc, fn, ...) \
    QV_ROW(Unary, 1, name, code, #fn, libm, spellings, doc)
#define QV_BINARY_OP(name, code, scalar, cost, libm, spellings, doc) \
    QV_ROW(Binary, 2, name, code, nullptr, libm, spellings, doc)
#define QV_BINARY_FN(name, code, scalar, cost, libm, spellings, doc, fn, ...) \
    QV_ROW(Binary, 2, name, code, #fn, libm, spellings, doc)
#define QV_COMPARE_OP(name, code, scalar, cost, libm, spellings, doc) \
    QV_ROW(Compare, 2, name, code, nullptr, libm, spellings, doc)

constexpr Row kRows[] = {QV_UNARY_OPS(QV_UNARY_OP, QV_UNARY_FN) QV_BINARY_OPS(
    QV_BINARY_OP, QV_BINARY_FN) QV_COMPARE_OPS(QV_COMPARE_OP)};

#undef QV_ROW
#undef QV_UNARY_OP
#undef QV_UNARY_FN
#undef QV_BINARY_OP
#undef QV_BINARY_FN
#undef QV_COMPARE_OP

// "** pow power" -> ("**", "pow", "power")
PyObject* spelling_tuple(std::string_view text) {
    std::vector<std::string_view> words;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    Ref out = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(words.size()))));
    for (std::size_t i = 0; i < words.size(); ++i) {
        const auto size = static_cast<Py_ssize_t>(words[i].size());
        PyObject* word = check(PyUnicode_FromStringAndSize(words[i].data(), size));
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), word);
    }
    return out.release();
}

}  // namespace

PyObject* operator_rows() {
    constexpr Py_ssize_t count = static_cast<Py_ssize_t>(std::size(kRows));
    Ref rows = Ref::steal(check(PyTuple_New(count)));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Row& r = kRows[i];
        const int kind = static_cast<int>(r.kind);
        PyObject* spellings = spelling_tuple(r.spellings);
        PyObject* row =
            check(Py_BuildValue("(iisiNzzsO)", kind, r.code, r.name, r.arity, spellings, r.function,
                                r.libm, r.doc, r.predicate ? Py_True : Py_False));
        PyTuple_SET_ITEM(rows.get(), i, row);
    }
    return rows.release();
}

}  // namespace qv::py
