// The value behind a Python Expr: an optional name, the tree and its argument map, with
// the construction operations that build every new expression from copies of its operands.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ir/expr_tree.hpp"

namespace qv {

// One entry of temp_args: (temp id, argument name).
using TempArg = std::pair<std::uint64_t, std::string>;
// Ascending by temp id, keys unique.
using TempArgs = std::vector<TempArg>;

struct ExprValue {
    std::optional<std::string> name;  // only on expressions made by arg / args
    NodeList nodes;
    TempArgs temp_args;

    friend bool operator==(const ExprValue&, const ExprValue&) = default;
};

// One side of an operator, borrowed: an expression's tree and map, or a constant with an
// empty map. Borrowed parts must outlive the Operand.
class Operand {
public:
    Operand(const ExprValue& e) noexcept  // implicit: an expression is an operand as it stands
        : nodes_(e.nodes.data()), count_(e.nodes.size()), temp_args_(e.temp_args) {}
    explicit Operand(double constant) noexcept : constant_(const_node(constant)) {}

    std::span<const Node> nodes() const noexcept {
        return nodes_ ? std::span<const Node>(nodes_, count_)
                      : std::span<const Node>(&constant_, 1);
    }
    std::span<const TempArg> temp_args() const noexcept { return temp_args_; }

private:
    const Node* nodes_ = nullptr;
    std::size_t count_ = 0;
    Node constant_{};
    std::span<const TempArg> temp_args_;
};

// Takes the next id of the process-wide counter (starts at 0, never reused).
std::uint64_t take_temp_id() noexcept;

ExprValue new_arg(std::string name);
// These throw std::length_error when the result would exceed the node count a subtree
// size can record.
ExprValue make_unary(UnaryOp op, const Operand& x);
ExprValue make_binary(BinaryOp op, const Operand& left, const Operand& right);
ExprValue make_compare(CompareOp op, const Operand& left, const Operand& right);
ExprValue make_select(const Operand& condition, const Operand& if_true, const Operand& if_false);

// A copy of `a` with every entry of `b` inserted over it: on equal keys b's name wins.
TempArgs merge_temp_args(std::span<const TempArg> a, std::span<const TempArg> b);

// "Expr(x)" or "Expr(Binary(Add, ArgRef(0), Const(1.0)))".
std::string expr_repr(const ExprValue& e);
// The text of a Const value: "1.0", "-0.0", "1e16", "2.5e-7", "inf", "NaN".
std::string float_text(double v);

// Distinct ArgRef ids of the tree, ascending.
std::vector<std::uint64_t> referenced_args(const NodeList& nodes);

using IdMapping = std::unordered_map<std::uint64_t, std::uint64_t>;
// A copy of the tree with each ArgRef id that is a key of `mapping` replaced by its value.
NodeList rewrite_node(const NodeList& nodes, const IdMapping& mapping);
// temp_args renumbered by `mapping`; of several entries landing on one id, the one with
// the greatest old id survives.
TempArgs rewrite_temp_args(const TempArgs& temp_args, const IdMapping& mapping);
// Tree and map renumbered, the name kept.
ExprValue rewrite_args(const ExprValue& e, const IdMapping& mapping);

}  // namespace qv
