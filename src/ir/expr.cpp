// Construction, repr and argument renumbering of expression values.
#include "ir/expr.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <stdexcept>

namespace qv {

namespace {

std::atomic<std::uint64_t> next_temp_id{0};

// Copies the operands' trees side by side and puts `top` over them as their parent.
NodeList combine(std::initializer_list<const Operand*> operands, Node top) {
    std::size_t total = 1;
    for (const Operand* o : operands) total += o->nodes().size();
    // The root records the whole tree's size in 32 bits.
    if (total > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("expression too large: more than 4294967295 nodes");
    }
    NodeList out;
    out.reserve(total);
    for (const Operand* o : operands) out.insert(out.end(), o->nodes().begin(), o->nodes().end());
    top.size = static_cast<std::uint32_t>(total);
    out.push_back(top);
    return out;
}

ExprValue make_two(NodeTag tag, std::uint8_t op, const Operand& left, const Operand& right) {
    ExprValue e;
    e.nodes = combine({&left, &right}, Node{tag, op, 0, 0});
    e.temp_args = merge_temp_args(left.temp_args(), right.temp_args());
    return e;
}

}  // namespace

std::uint64_t take_temp_id() noexcept {
    return next_temp_id.fetch_add(1, std::memory_order_seq_cst);
}

ExprValue new_arg(std::string name) {
    std::uint64_t id = take_temp_id();
    ExprValue e;
    e.nodes.push_back(arg_node(id));
    e.temp_args.emplace_back(id, name);
    e.name = std::move(name);
    return e;
}

ExprValue make_unary(UnaryOp op, const Operand& x) {
    ExprValue e;
    e.nodes = combine({&x}, Node{NodeTag::Unary, static_cast<std::uint8_t>(op), 0, 0});
    e.temp_args.assign(x.temp_args().begin(), x.temp_args().end());
    return e;
}

ExprValue make_binary(BinaryOp op, const Operand& left, const Operand& right) {
    return make_two(NodeTag::Binary, static_cast<std::uint8_t>(op), left, right);
}

ExprValue make_compare(CompareOp op, const Operand& left, const Operand& right) {
    return make_two(NodeTag::Compare, static_cast<std::uint8_t>(op), left, right);
}

ExprValue make_select(const Operand& condition, const Operand& if_true, const Operand& if_false) {
    ExprValue e;
    e.nodes = combine({&condition, &if_true, &if_false}, Node{NodeTag::Select, 0, 0, 0});
    e.temp_args = merge_temp_args(merge_temp_args(condition.temp_args(), if_true.temp_args()),
                                  if_false.temp_args());
    return e;
}

TempArgs merge_temp_args(std::span<const TempArg> a, std::span<const TempArg> b) {
    TempArgs out;
    out.reserve(a.size() + b.size());
    auto ia = a.begin();
    auto ib = b.begin();
    while (ia != a.end() || ib != b.end()) {
        if (ib == b.end() || (ia != a.end() && ia->first < ib->first)) {
            out.push_back(*ia++);
        } else {
            if (ia != a.end() && ia->first == ib->first) ++ia;  // b's name replaces a's
            out.push_back(*ib++);
        }
    }
    return out;
}

std::string float_text(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    std::string out = std::signbit(v) ? "-" : "";
    if (v == 0) return out + "0.0";

    // Shortest round-trip digits as d.ddde±x, then laid out by hand.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    std::size_t e_at = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_at)) {
        if (c != '.') digits += c;
    }
    int exp = 0;
    std::string_view exp_text = sci.substr(e_at + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);

    double mag = std::fabs(v);
    if (mag >= 1e-4 && mag < 1e16) {
        if (exp < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exp - 1), '0');
            out += digits;
        } else {
            std::size_t int_len = static_cast<std::size_t>(exp) + 1;
            if (digits.size() <= int_len) {
                out += digits;
                out.append(int_len - digits.size(), '0');
                out += ".0";
            } else {
                out.append(digits, 0, int_len);
                out += '.';
                out.append(digits, int_len);
            }
        }
    } else {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(exp);
    }
    return out;
}

std::string expr_repr(const ExprValue& e) {
    std::string out = "Expr(";
    if (e.name) {
        out += *e.name;
    } else if (!e.nodes.empty()) {
        // Pre-order with an explicit stack: an entry is a node to render or a text to emit.
        struct Item {
            std::size_t node;
            const char* text;  // when set, emitted instead of a node
        };
        std::vector<Item> stack{{e.nodes.size() - 1, nullptr}};
        while (!stack.empty()) {
            Item item = stack.back();
            stack.pop_back();
            if (item.text) {
                out += item.text;
                continue;
            }
            const Node& n = e.nodes[item.node];
            switch (n.tag) {
                case NodeTag::Const:
                    if (const_is_typed(n) && const_type(n) == ValueType::Bool) {
                        out += const_value(n) != 0.0 ? "Const(True)" : "Const(False)";
                        continue;
                    }
                    out += "Const(" +
                           (const_is_int(n) ? std::to_string(const_int(n))
                                            : float_text(const_value(n))) +
                           (const_is_typed(n) ? ", " + std::string(type_name(const_type(n))) : "") +
                           ")";
                    continue;
                case NodeTag::ArgRef: out += "ArgRef(" + std::to_string(n.bits) + ")"; continue;
                case NodeTag::Unary:
                    out += "Unary(";
                    out += op_name(static_cast<UnaryOp>(n.op));
                    out += ", ";
                    break;
                case NodeTag::Binary:
                    out += "Binary(";
                    out += op_name(static_cast<BinaryOp>(n.op));
                    out += ", ";
                    break;
                case NodeTag::Compare:
                    out += "Compare(";
                    out += op_name(static_cast<CompareOp>(n.op));
                    out += ", ";
                    break;
                case NodeTag::Select: out += "Select("; break;
            }
            auto kids = children(e.nodes, item.node);
            std::size_t count = child_count(n.tag);
            stack.push_back({0, ")"});
            for (std::size_t k = count; k-- > 0;) {
                stack.push_back({kids[k], nullptr});
                if (k > 0) stack.push_back({0, ", "});
            }
        }
    }
    out += ")";
    return out;
}

std::vector<std::uint64_t> referenced_args(const NodeList& nodes) {
    std::vector<std::uint64_t> ids;
    for (const Node& n : nodes) {
        if (n.tag == NodeTag::ArgRef) ids.push_back(n.bits);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

NodeList rewrite_node(const NodeList& nodes, const IdMapping& mapping) {
    NodeList out = nodes;
    if (mapping.empty()) return out;
    for (Node& n : out) {
        if (n.tag != NodeTag::ArgRef) continue;
        if (auto it = mapping.find(n.bits); it != mapping.end()) n.bits = it->second;
    }
    return out;
}

TempArgs rewrite_temp_args(const TempArgs& temp_args, const IdMapping& mapping) {
    TempArgs pairs;
    pairs.reserve(temp_args.size());
    for (const auto& [id, name] : temp_args) {
        auto it = mapping.find(id);
        pairs.emplace_back(it == mapping.end() ? id : it->second, name);
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const TempArg& a, const TempArg& b) { return a.first < b.first; });
    // Of a run sharing one new id keep the last, which came from the greatest old id.
    TempArgs out;
    out.reserve(pairs.size());
    for (auto& p : pairs) {
        if (!out.empty() && out.back().first == p.first) {
            out.back().second = std::move(p.second);
        } else {
            out.push_back(std::move(p));
        }
    }
    return out;
}

ExprValue rewrite_args(const ExprValue& e, const IdMapping& mapping) {
    return ExprValue{e.name, rewrite_node(e.nodes, mapping),
                     rewrite_temp_args(e.temp_args, mapping)};
}

}  // namespace qv
