// An expression's tree as plain Python values, both ways. A node is a pair (tag, payload):
// Const (0, float) with the float's exact bits, (0, int) for an integer literal (int64), (0, bool)
// for a bool literal and (0, NumPy scalar) for a constant of that dtype (bool, int32, int64,
// float32 or float64); ArgRef
// (1, position in the names); Unary (2, op), Binary (3, op), Compare (4, op) with the operator
// codes of the node tables; Select (5, 0). Post-order, root last, children left to right; nothing
// recurses on the tree's depth.
#include "python/py_expr_nodes.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "ir/expr.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/operands.hpp"
#include "python/py_expr.hpp"
#include "python/py_spec.hpp"
#include "python/ref.hpp"

namespace qv::py {

namespace {

constexpr Signature kExprNodesSignature = Signature("expr_nodes()").required("expr");
constexpr Signature kFromNodesSignature =
    Signature("expr_from_nodes()").required("names").required("nodes");

[[noreturn]] void raise_bad_node(std::size_t index, const std::string& what) {
    raise_format(PyExc_ValueError, "node %zu: %s", index, what.c_str());
}

std::uint8_t op_count(NodeTag tag) {
    switch (tag) {
        case NodeTag::Unary: return kUnaryOpCount;
        case NodeTag::Binary: return kBinaryOpCount;
        case NodeTag::Compare: return kCompareOpCount;
        default: return 1;  // Select carries no operator: its payload must be 0
    }
}

// A typed constant as Python holds it: a bool, or a NumPy scalar of its type.
Ref typed_payload(const Node& n) {
    const ValueType type = const_type(n);
    if (type == ValueType::Bool) return Ref::borrow(const_value(n) != 0.0 ? Py_True : Py_False);
    ensure_numpy_api();
    alignas(8) unsigned char data[8];
    const std::int64_t i = const_int(n);
    const std::int32_t i32 = static_cast<std::int32_t>(i);
    const double f = const_value(n);
    const float f32 = static_cast<float>(f);
    switch (type) {
        case ValueType::I64: std::memcpy(data, &i, sizeof i); break;
        case ValueType::I32: std::memcpy(data, &i32, sizeof i32); break;
        case ValueType::F32: std::memcpy(data, &f32, sizeof f32); break;
        default: std::memcpy(data, &f, sizeof f); break;
    }
    PyArray_Descr* descr = PyArray_DescrFromType(numpy_type(type));
    Ref scalar = Ref::steal(PyArray_Scalar(data, descr, nullptr));
    Py_DECREF(descr);
    return Ref::steal(check(scalar.release()));
}

bool numpy_scalar(PyObject* payload) {
    ensure_numpy_api();
    return PyArray_IsScalar(payload, Generic);
}

// A scalar's value of 4 or 8 bytes, as the wider of its two types.
template <class Narrow, class Wide>
Wide widened(const unsigned char* data, std::size_t size) {
    if (size == sizeof(Narrow)) {
        Narrow v{};
        std::memcpy(&v, data, sizeof v);
        return v;
    }
    Wide v{};
    std::memcpy(&v, data, sizeof v);
    return v;
}

// The node of a NumPy scalar payload, of a type the engine computes in. Its value is read only
// once its type is known to be one of those (at most 8 bytes).
Node typed_const(PyObject* payload, std::size_t index) {
    if (!numpy_scalar(payload))
        raise_bad_node(index, "a constant must be a float, an int, a bool or a NumPy scalar");
    PyArray_Descr* descr = PyArray_DescrFromScalar(payload);
    const char kind = descr->kind;
    const auto size = PyDataType_ELSIZE(descr);
    Py_DECREF(descr);
    const bool wide = size == 4 || size == 8;
    if (kind != 'b' && !((kind == 'i' || kind == 'f') && wide))
        raise_bad_node(index, "a NumPy constant must be bool, int32, int64, float32 or float64");
    alignas(8) unsigned char data[8] = {};
    PyArray_ScalarAsCtype(payload, data);
    if (kind == 'b')
        return typed_const_node(ValueType::Bool,
                                std::bit_cast<std::uint64_t>(data[0] != 0 ? 1.0 : 0.0));
    if (kind == 'i') {
        const auto v = widened<std::int32_t, std::int64_t>(data, size);
        return typed_const_node(size == 4 ? ValueType::I32 : ValueType::I64,
                                static_cast<std::uint64_t>(v));
    }
    return typed_const_node(size == 4 ? ValueType::F32 : ValueType::F64,
                            std::bit_cast<std::uint64_t>(widened<float, double>(data, size)));
}

PyObject* node_tuple(const Node& n, const TempArgs& temp_args) {
    Ref payload;
    switch (n.tag) {
        case NodeTag::Const:
            if (const_is_typed(n)) {
                payload = typed_payload(n);
                break;
            }
            payload = Ref::steal(check(const_is_int(n) ? PyLong_FromLongLong(const_int(n))
                                                       : PyFloat_FromDouble(const_value(n))));
            break;
        case NodeTag::ArgRef: {
            auto at =
                std::lower_bound(temp_args.begin(), temp_args.end(), n.bits,
                                 [](const TempArg& a, std::uint64_t id) { return a.first < id; });
            if (at == temp_args.end() || at->first != n.bits)
                fault("ArgRef without a temp_args entry");
            payload = Ref::steal(
                check(PyLong_FromSize_t(static_cast<std::size_t>(at - temp_args.begin()))));
            break;
        }
        default: payload = Ref::steal(check(PyLong_FromLong(n.op)));
    }
    Ref tag = Ref::steal(check(PyLong_FromLong(static_cast<long>(n.tag))));
    return check(PyTuple_Pack(2, tag.get(), payload.get()));
}

std::vector<std::string> to_names(PyObject* value) {
    Ref seq = Ref::steal(check(PySequence_Fast(value, "names must be a sequence of str")));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        names.push_back(to_utf8(PySequence_Fast_GET_ITEM(seq.get(), i)));
    return names;
}

long to_small_int(PyObject* value, std::size_t index, const char* what) {
    if (!PyLong_Check(value)) raise_bad_node(index, std::string(what) + " must be an int");
    const long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        raise_bad_node(index, std::string(what) + " out of range");
    }
    return v;
}

// Reads the pairs and checks that they form exactly one tree: each operator takes its
// operands from the top of a stack of finished subtrees. ArgRef bits hold the position.
NodeList to_node_list(PyObject* value, std::size_t name_count) {
    Ref seq = Ref::steal(check(PySequence_Fast(value, "nodes must be a sequence of pairs")));
    const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
    NodeList nodes;
    nodes.reserve(n);
    std::vector<std::uint64_t> sizes;  // subtree sizes of the finished, unclaimed subtrees
    std::vector<bool> used(name_count, false);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(i));
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2)
            raise_bad_node(i, "must be a pair (tag, payload)");
        const long tag = to_small_int(PyTuple_GET_ITEM(item, 0), i, "tag");
        PyObject* payload = PyTuple_GET_ITEM(item, 1);
        if (tag < 0 || tag > static_cast<long>(NodeTag::Select)) raise_bad_node(i, "unknown tag");
        Node node{static_cast<NodeTag>(tag), 0, 1, 0};
        if (node.tag == NodeTag::Const) {
            if (PyBool_Check(payload)) {
                node = typed_const_node(
                    ValueType::Bool, std::bit_cast<std::uint64_t>(payload == Py_True ? 1.0 : 0.0));
            } else if (PyLong_CheckExact(payload)) {
                int overflow = 0;
                const long long v = PyLong_AsLongLongAndOverflow(payload, &overflow);
                if (overflow != 0) raise_bad_node(i, "an integer constant must fit in int64");
                if (v == -1 && PyErr_Occurred() != nullptr) python_api_failed();
                node = int_const_node(v);
            } else if (PyFloat_Check(payload) && !numpy_scalar(payload)) {  // np.float64 is one
                node = const_node(PyFloat_AS_DOUBLE(payload));
            } else {
                node = typed_const(payload, i);
            }
        } else if (node.tag == NodeTag::ArgRef) {
            const long at = to_small_int(payload, i, "argument position");
            if (at < 0 || static_cast<std::size_t>(at) >= name_count)
                raise_bad_node(i, "argument position out of range");
            used[static_cast<std::size_t>(at)] = true;
            node.bits = static_cast<std::uint64_t>(at);
        } else {
            const long op = to_small_int(payload, i, "operator");
            if (op < 0 || op >= op_count(node.tag)) raise_bad_node(i, "unknown operator");
            node.op = static_cast<std::uint8_t>(op);
        }
        const std::size_t arity = child_count(node.tag);
        if (sizes.size() < arity) raise_bad_node(i, "too few operands");
        std::uint64_t total = 1;
        for (std::size_t k = 0; k < arity; ++k) {
            total += sizes.back();
            sizes.pop_back();
        }
        // The root records the whole tree's size in 32 bits.
        if (total > std::numeric_limits<std::uint32_t>::max()) {
            throw std::length_error("expression too large: more than 4294967295 nodes");
        }
        node.size = static_cast<std::uint32_t>(total);
        sizes.push_back(total);
        nodes.push_back(node);
    }
    if (sizes.size() != 1) {
        raise_format(PyExc_ValueError, "nodes must form exactly one tree, not %zu", sizes.size());
    }
    for (std::size_t k = 0; k < name_count; ++k) {
        if (!used[k]) raise_format(PyExc_ValueError, "name %zu is not used by any node", k);
    }
    return nodes;
}

}  // namespace

QV_FASTCALL_FN(native_expr_nodes) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kExprNodesSignature, args, nargs, kwnames);
        // A KernelSpec's arguments are its dense indices: their ids are their positions.
        const KernelSpec* spec = kernel_spec_of(parsed[0]);
        TempArgs spec_args;
        if (spec != nullptr) {
            for (std::size_t k = 0; k < spec->arg_names.size(); ++k)
                spec_args.emplace_back(k, spec->arg_names[k]);
        }
        const TempArgs& temp_args =
            spec != nullptr ? spec_args : parsed.convert(0, to_expr).temp_args;
        const NodeList& tree = spec != nullptr ? spec->body : parsed.convert(0, to_expr).nodes;
        Ref names = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(temp_args.size()))));
        for (std::size_t k = 0; k < temp_args.size(); ++k) {
            const std::string& name = temp_args[k].second;
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k),
                             check(PyUnicode_DecodeUTF8(
                                 name.data(), static_cast<Py_ssize_t>(name.size()), nullptr)));
        }
        Ref nodes = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(tree.size()))));
        for (std::size_t i = 0; i < tree.size(); ++i) {
            PyTuple_SET_ITEM(nodes.get(), static_cast<Py_ssize_t>(i),
                             node_tuple(tree[i], temp_args));
        }
        return check(PyTuple_Pack(2, names.get(), nodes.get()));
    });
}

// Each name becomes a new argument, ids drawn in the order of the names, so the kernel
// numbers the arguments in that order. Nothing is drawn when the input is refused.
QV_FASTCALL_FN(native_expr_from_nodes) {
    (void)self;
    return guarded([&] {
        const Args parsed = parse_fastcall(kFromNodesSignature, args, nargs, kwnames);
        const std::vector<std::string> names = parsed.convert(0, to_names);
        NodeList nodes =
            parsed.convert(1, [&](PyObject* v) { return to_node_list(v, names.size()); });
        ExprValue e;
        e.temp_args.reserve(names.size());
        for (const std::string& name : names) e.temp_args.emplace_back(take_temp_id(), name);
        for (Node& node : nodes) {
            if (node.tag == NodeTag::ArgRef) node.bits = e.temp_args[node.bits].first;
        }
        // A lone argument is what kernel.arg makes, name included.
        if (nodes.size() == 1 && nodes[0].tag == NodeTag::ArgRef) e.name = names[0];
        e.nodes = std::move(nodes);
        return wrap_expr(std::move(e));
    });
}

}  // namespace qv::py
