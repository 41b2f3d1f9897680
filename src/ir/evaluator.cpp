// Kernel evaluation: length agreement, views, sequential or pooled block interpretation, and the
// per-element tree evaluator that the block interpreter's Select handling is checked against.
#include "ir/evaluator.hpp"

#include <bit>
#include <string>
#include <variant>

#include "core/fault.hpp"
#include "ir/block_interp.hpp"
#include "ir/scalar_ops.hpp"
#include "pool/pool.hpp"

namespace qv {

namespace {

// Root of the operand that ends just below position `end` (exclusive), refusing sizes that
// point outside the tree.
std::uint64_t operand_before(const NodeList& tree, std::size_t end) {
    if (end == 0) fault("malformed expression tree: missing operand");
    const std::size_t root = end - 1;
    if (tree[root].size == 0 || tree[root].size > end) fault("malformed expression tree: bad subtree size");
    return root;
}

std::size_t subtree_start(const NodeList& tree, std::uint64_t root) { return root + 1 - tree[root].size; }

}  // namespace

double eval_tree(const NodeList& tree, std::size_t index, std::span<const ArgView> args,
                 TreeScratch& scratch) {
    if (tree.empty()) fault("malformed expression tree: no nodes");
    auto& work = scratch.work;
    auto& values = scratch.values;
    work.clear();
    values.clear();
    auto pop = [&values]() {
        if (values.empty()) fault("tree evaluator stack underflow");
        const double v = values.back();
        values.pop_back();
        return v;
    };
    work.push_back(static_cast<std::uint64_t>(tree.size() - 1) * 2);
    while (!work.empty()) {
        const std::uint64_t i = work.back() / 2;
        const bool operands_done = (work.back() & 1) != 0;
        work.pop_back();
        const Node& node = tree[i];
        switch (node.tag) {
            case NodeTag::Const:
                values.push_back(std::bit_cast<double>(node.bits));
                break;
            case NodeTag::ArgRef: {
                if (node.bits >= args.size()) {
                    fault("tree argument " + std::to_string(node.bits) +
                          " outside the argument list of " + std::to_string(args.size()));
                }
                const ArgView& a = args[node.bits];
                if (a.data == nullptr) {
                    values.push_back(a.scalar);
                } else {
                    if (index >= a.length) {
                        fault("element index " + std::to_string(index) + " outside a buffer of " +
                              std::to_string(a.length));
                    }
                    values.push_back(a.data[index]);
                }
                break;
            }
            case NodeTag::Unary:
                if (!operands_done) {
                    work.push_back(i * 2 + 1);
                    work.push_back(operand_before(tree, i) * 2);
                } else {
                    const double x = pop();
                    values.push_back(apply_unary(static_cast<UnaryOp>(node.op), x));
                }
                break;
            case NodeTag::Binary:
            case NodeTag::Compare:
                if (!operands_done) {
                    const std::uint64_t right = operand_before(tree, i);
                    const std::uint64_t left = operand_before(tree, subtree_start(tree, right));
                    work.push_back(i * 2 + 1);
                    work.push_back(right * 2);
                    work.push_back(left * 2);  // on top: evaluated first
                } else {
                    const double r = pop();
                    const double l = pop();
                    values.push_back(node.tag == NodeTag::Binary
                                         ? apply_binary(static_cast<BinaryOp>(node.op), l, r)
                                         : apply_compare(static_cast<CompareOp>(node.op), l, r));
                }
                break;
            case NodeTag::Select: {
                const std::uint64_t if_false = operand_before(tree, i);
                const std::uint64_t if_true = operand_before(tree, subtree_start(tree, if_false));
                if (!operands_done) {
                    work.push_back(i * 2 + 1);
                    work.push_back(operand_before(tree, subtree_start(tree, if_true)) * 2);
                } else {
                    // The chosen branch takes the Select's place: chains need no extra frames.
                    work.push_back((pop() != 0.0 ? if_true : if_false) * 2);
                }
                break;
            }
            default:
                fault("malformed expression tree: unknown node tag");
        }
    }
    if (values.size() != 1) fault("tree evaluator must leave exactly one value");
    return values.back();
}

Result<BufferRef> evaluate_kernel(const CompiledKernel& kernel, const ArgValues& args) {
    bool have_length = false;
    std::size_t n = 0;
    for (const ArgValue& a : args) {
        const BufferRef* buffer = std::get_if<BufferRef>(&a);
        if (buffer == nullptr) continue;
        if (*buffer == nullptr) fault("buffer argument without a buffer");
        const std::size_t count = (*buffer)->element_count();
        if (!have_length) {
            have_length = true;
            n = count;
        } else if (count != n) {
            return EngineError::shape("buffer length mismatch: " + std::to_string(n) + " vs " +
                                      std::to_string(count));
        }
    }
    if (!have_length) return EngineError::arg("no buffer arguments provided");
    if (n == 0) return from_f64_vec(F64Vec{});

    std::vector<ArgView> views;
    views.reserve(args.size());
    for (const ArgValue& a : args) {
        if (const double* scalar = std::get_if<double>(&a)) {
            views.push_back(ArgView{nullptr, *scalar, 0});
        } else {
            const std::span<const double> data = std::get<BufferRef>(a)->as_f64_slice();
            views.push_back(ArgView{data.data(), 0.0, data.size()});
        }
    }

    const bool flat = std::holds_alternative<FlatProgram>(kernel.form);
    const BlockBinding program = block_program(kernel, views).bind(views);
    F64Vec out(n);
    double* result = out.data();
    if (n < kParallelThreshold) {
        program.run(0, n, result);
    } else {
        parallel_for(n, flat ? kFlatMinPiece : 1,
                     [&program, result](std::size_t begin, std::size_t end) {
                         program.run(begin, end, result);
                     });
    }
    return from_f64_vec(std::move(out));
}

}  // namespace qv
