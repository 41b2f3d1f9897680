// Lowering by an explicit walk of the tree (no recursion on the C stack), Selects in phases.
#include "compiler/lower.hpp"

#include <bit>
#include <string>
#include <unordered_map>
#include <utility>

#include "compiler/constant_operands.hpp"
#include "compiler/kernels.hpp"
#include "compiler/node_types.hpp"
#include "core/fault.hpp"
#include "ir/int_ops.hpp"

namespace qv {

namespace {

class Lowering {
public:
    Lowering(const NodeList& tree, const ValueNumbers& vn, const SelectPlan& plan,
             std::vector<ArgPattern> pattern, Comparisons comparisons,
             std::optional<ValueType> store)
        : tree_(tree), vn_(vn), plan_(plan), store_(store) {
        ProgramFrame& f = p_.frame;
        // Storage buffers are typed as the values they are widened to.
        std::vector<ArgPattern> computed = pattern;
        for (ArgPattern& a : computed) a.type = compute_type(a.type);
        types_ = node_types(tree, computed, comparisons, &f.refusal);
        if (!f.refusal) f.refusal = type_refusal(tree, types_, comparisons);
        f.scalar_args.assign(pattern.size(), UINT32_MAX);
        f.scalar_imag_args.assign(pattern.size(), UINT32_MAX);
        f.scalar_int_args.assign(pattern.size(), UINT32_MAX);
        f.int_reads.assign(pattern.size(), ValueType::F64);
        widened_.assign(pattern.size(), UINT32_MAX);
        f.pattern = std::move(pattern);
        f.nesting = plan.nesting;
        constant(0.0);  // kUnused
    }

    RegisterProgram run() {
        avail_.resize(vn_.uses.size());
        work_.push_back(Work{static_cast<std::uint32_t>(tree_.size() - 1), 0, 0});
        while (!work_.empty()) {
            const Work w = work_.back();
            work_.pop_back();
            if (w.node == kDiscard) {
                vals_.pop_back();
            } else if (w.phase == 0) {
                open(w.node);
            } else if (!plan_.split(w.node)) {
                operate(w.node);
            } else {
                select_phase(w);
            }
        }
        finish();
        return std::move(p_);
    }

private:
    struct Work {
        std::uint32_t node;
        std::uint8_t phase;
        std::uint32_t ctx;  // split Selects: the context to return to
    };
    static constexpr std::uint32_t kDiscard = UINT32_MAX;

    // A node reached for the first time: a value already made, a leaf, or its children first.
    void open(std::uint32_t i) {
        const Node& node = tree_[i];
        if (vn_.shared(tree_, i)) {
            if (const Val* hit = available(vn_.of[i])) {
                vals_.push_back(*hit);
                return;
            }
        }
        const auto kids = children(tree_, i);
        if (node.tag == NodeTag::Const) {
            vals_.push_back(Val{Val::Kind::Scalar, constant(const_value(node))});
            if (const_is_int(node)) int_literals_.emplace(vals_.back().index, const_int(node));
        } else if (node.tag == NodeTag::ArgRef) {
            vals_.push_back(argument(node.bits));
        } else if (plan_.split(i)) {
            work_.push_back(Work{i, 1, cur_});
            work_.push_back(Work{static_cast<std::uint32_t>(kids[0]), 0, 0});
        } else {
            work_.push_back(Work{i, 1, 0});
            for (std::size_t k = child_count(node.tag); k-- > 0;) {
                work_.push_back(Work{static_cast<std::uint32_t>(kids[k]), 0, 0});
            }
        }
    }

    // A split Select, after its condition (phase 1), its if_true branch (3), its if_false one (4).
    void select_phase(const Work& w) {
        const std::uint32_t i = w.node;
        const auto kids = children(tree_, i);
        switch (w.phase) {
            case 1:  // the values both branches need, then the split
                work_.push_back(Work{i, 2, w.ctx});
                if (const auto it = plan_.hoists.find(i); it != plan_.hoists.end()) {
                    for (std::uint32_t j : it->second) {
                        work_.push_back(Work{kDiscard, 0, 0});
                        work_.push_back(Work{j, 0, 0});
                    }
                }
                break;
            case 2: {
                const Val cond = read_as(pop(), ValueType::F64);
                const std::uint32_t result = new_register(type_of_node(i));
                p_.select_result.resize(p_.registers);
                p_.select_result[result] = 1;
                p_.steps.push_back(RegStep{
                    StepKind::Begin, type_of(cond), 0, result, cur_, 1, {cond, kUnused, kUnused}});
                vals_.push_back(Val{Val::Kind::Reg, result});
                branch_marks_.push_back(remembered_.size());
                cur_ = plan_.branch_ctx[i];
                work_.push_back(Work{i, 3, w.ctx});
                work_.push_back(Work{static_cast<std::uint32_t>(kids[1]), 0, 0});
                break;
            }
            case 3:
                finish_branch();
                marker(StepKind::Else, w.ctx);
                cur_ = plan_.branch_ctx[i] + 1;
                work_.push_back(Work{i, 4, w.ctx});
                work_.push_back(Work{static_cast<std::uint32_t>(kids[2]), 0, 0});
                break;
            default:
                finish_branch();
                marker(StepKind::End, w.ctx);
                cur_ = w.ctx;
                forget_branches();
                remember(i, vals_.back());
                break;
        }
    }

    void marker(StepKind kind, std::uint32_t ctx) {
        p_.steps.push_back(RegStep{
            kind, ValueType::F64, 0, vals_.back().index, ctx, 0, {kUnused, kUnused, kUnused}});
    }

    // The root's value goes to the output register: the step that made it writes there when it
    // made it for the root alone, otherwise it is copied.
    void finish() {
        if (vals_.size() != 1) fault("kernel body must leave exactly one value");
        const Val root = vals_.back();
        p_.output_type = is_vector(root) ? type_of(root) : type_of_node(tree_.size() - 1);
        if (store_ && is_storage(*store_) && compute_type(*store_) == p_.output_type) {
            // Narrowed as it is written.
            const ValueType computed = p_.output_type;
            p_.output_type = *store_;
            p_.output = new_register(*store_);
            p_.steps.push_back(RegStep{StepKind::Compute,
                                       *store_,
                                       kernel_id<CastKernels>(computed),
                                       p_.output,
                                       cur_,
                                       1,
                                       {read_as(root, computed), kUnused, kUnused}});
            return;
        }
        if (root.kind == Val::Kind::Reg && !reg_shared(root.index)) {
            p_.output = root.index;
        } else {
            p_.output = new_register(p_.output_type);
            p_.steps.push_back(RegStep{StepKind::Compute,
                                       p_.output_type,
                                       kernel_id<CopyKernels>(0),
                                       p_.output,
                                       cur_,
                                       1,
                                       {read_as(root, p_.output_type), kUnused, kUnused}});
        }
    }

    Val pop() {
        if (vals_.empty()) fault("kernel body stack underflow");
        const Val v = vals_.back();
        vals_.pop_back();
        return v;
    }

    // An operator, or a blended Select, over the values on top of the stack.
    void operate(std::size_t i) {
        const Node& node = tree_[i];
        int arity = static_cast<int>(child_count(node.tag));
        Val ops[3] = {kUnused, kUnused, kUnused};
        for (int k = arity; k-- > 0;) ops[k] = pop();
        // Operands in the type the node computes in (a comparison, in its operands' common
        // type; a predicate answering a bool, in its operand's); a Select's condition only
        // chooses, by being nonzero.
        const ValueType result = type_of_node(i);
        const auto kids = children(tree_, i);
        const bool bool_predicate = node.tag == NodeTag::Unary &&
                                    op_is_predicate(static_cast<UnaryOp>(node.op)) &&
                                    result == ValueType::Bool;
        ValueType type = result;
        if (node.tag == NodeTag::Compare) {
            type = compared_in(types_[kids[0]], types_[kids[1]]);
        } else if (bool_predicate) {
            type = tested_in(types_[kids[0]]);
        } else if (node.tag == NodeTag::Unary && is_complex(type_of_node(kids[0]))) {
            type = type_of_node(kids[0]);  // parts and magnitudes are real
        } else if (node.tag == NodeTag::Binary && node.op == static_cast<int>(BinaryOp::Complex)) {
            type = part_type(result);  // of real parts
        }
        for (int k = 0; k < arity; ++k) {
            ops[k] =
                node.tag == NodeTag::Select && k == 0 ? truth(ops[k], type) : cast(ops[k], type);
        }
        if (node.tag == NodeTag::Unary && !is_complex(type) && !is_float(type)) {
            // real and conjugate of a bool or an integer are the value itself, imag its zeros.
            const auto op = static_cast<UnaryOp>(node.op);
            if (op == UnaryOp::Real || op == UnaryOp::Conj || op == UnaryOp::Imag) {
                const Val zero[3] = {ops[0], Val{Val::Kind::Scalar, constant(0.0)}, kUnused};
                const BinaryOp times =
                    type == ValueType::Bool ? BinaryOp::BitwiseAnd : BinaryOp::Mul;
                const Val v = op == UnaryOp::Imag
                                  ? compute(kernel_id<BinaryKernels>(times), 2, zero, type)
                                  : ops[0];
                remember(i, v);
                vals_.push_back(v);
                return;
            }
        }
        KernelId kernel = 0;
        switch (node.tag) {
            case NodeTag::Unary:
                kernel = bool_predicate
                             ? kernel_id<BoolPredicateKernels>(
                                   BoolPredicateKernels::index(static_cast<UnaryOp>(node.op)))
                             : kernel_id<UnaryKernels>(node.op);
                // Not of a bool is xor with true, the same bits: GCC 12 vectorises the binary
                // loop over bools and leaves the unary one scalar, about 10x slower.
                if (static_cast<UnaryOp>(node.op) == UnaryOp::Invert && type == ValueType::Bool) {
                    kernel = kernel_id<BinaryKernels>(BinaryOp::BitwiseXor);
                    ops[1] = Val{Val::Kind::Scalar, constant(1.0)};
                    arity = 2;
                }
                break;
            case NodeTag::Binary: {
                const auto op = static_cast<BinaryOp>(node.op);
                kernel = kernel_id<BinaryKernels>(op);
                // NumPy's + and maximum of bools are "or", * and minimum "and": the same bits
                // from the byte-wise loops as from their float64 forms, several times faster.
                if (type == ValueType::Bool && logical(op)) {
                    const bool any = op == BinaryOp::Add || op == BinaryOp::Max;
                    kernel =
                        kernel_id<BinaryKernels>(any ? BinaryOp::BitwiseOr : BinaryOp::BitwiseAnd);
                }
                const ScalarTable& scalars = p_.frame.scalars;
                // The rewrites prove float64's bits; other types run the operator itself.
                if (type != ValueType::F64) break;
                if (const std::optional<KernelId> power =
                        constant_power(op, ops[0], ops[1], scalars)) {
                    kernel = *power;
                    ops[1] = kUnused;
                    arity = 1;
                } else if (const std::optional<double> r = exact_reciprocal(op, ops[1], scalars)) {
                    kernel = kernel_id<BinaryKernels>(BinaryOp::Mul);
                    ops[1] = Val{Val::Kind::Scalar, constant(*r)};
                }
                break;
            }
            case NodeTag::Compare:
                kernel = result == ValueType::Bool ? kernel_id<BoolCompareKernels>(node.op)
                                                   : kernel_id<CompareKernels>(node.op);
                break;
            default: kernel = kernel_id<BlendKernels>(0); break;
        }
        const Val v = compute(kernel, arity, ops, type, result);
        remember(i, v);
        vals_.push_back(v);
    }

    // A register for a step over blocks; over scalars alone, a scalar folded now (constants) or
    // once per call (scalar arguments), but for a complex value, which the float64 scalar table
    // cannot hold: complex(re, im) of scalars fills a block, by the loops arrays use.
    // `type` is the step's; `result` the type of its values, where it differs (comparisons).
    Val compute(KernelId kernel, int arity, const Val (&ops)[3], ValueType type) {
        return compute(kernel, arity, ops, type, type);
    }
    Val compute(KernelId kernel, int arity, const Val (&ops)[3], ValueType type, ValueType result) {
        if (is_vector(ops[0]) || is_vector(ops[1]) || is_vector(ops[2]) || is_complex(result)) {
            if (is_integer(type)) check_int_constants(kernel, arity, ops, type);
            Val read[3] = {ops[0], ops[1], ops[2]};
            // A cast's operand has its own type, which no scalar has.
            for (int k = in_family<CastKernels>(kernel) ? 1 : 0; k < arity; ++k)
                read[k] = read_as(read[k], type);
            const std::uint32_t dst = new_register(result);
            p_.steps.push_back(RegStep{
                StepKind::Compute, type, kernel, dst, cur_, arity, {read[0], read[1], read[2]}});
            return Val{Val::Kind::Reg, dst};
        }
        // The scalar table holds float64: a truth there is 1.0 or 0.0, as the float forms
        // write it (the bool forms write a byte).
        if (in_family<BoolCompareKernels>(kernel)) {
            kernel = kernel_id<CompareKernels>(kernel - kFirstKernel<BoolCompareKernels>);
        } else if (in_family<BoolPredicateKernels>(kernel)) {
            kernel = kernel_id<UnaryKernels>(
                BoolPredicateKernels::ops[kernel - kFirstKernel<BoolPredicateKernels>]);
        }
        ScalarTable& scalars = p_.frame.scalars;
        const std::uint32_t e[3] = {ops[0].index, ops[1].index, ops[2].index};
        // Integer constants (NumPy scalars written in the formula) are computed in their type
        // below, wrapping, never folded in float64.
        if (!is_integer(type) && scalars.constant(e[0]) && scalars.constant(e[1]) &&
            scalars.constant(e[2])) {
            return Val{Val::Kind::Scalar,
                       constant(fold_kernel(kernel, scalars.values[e[0]], scalars.values[e[1]],
                                            scalars.values[e[2]]))};
        }
        // Integer values of strong scalars are computed in their type, wrapping as NumPy's
        // scalars do, a Python int among them checked against that type as NumPy checks it;
        // the others in float64, as Python computes its numbers.
        const bool integral = is_integer(type) && result == type;
        const ValueType in = integral ? type : ValueType::F64;
        if (integral) check_int_constants(kernel, arity, ops, type);
        std::uint32_t r[3];
        for (int k = 0; k < 3; ++k) r[k] = read_as(ops[k], in).index;
        std::uint32_t dst = scalars.add(0.0, false);
        if (is_integer(type) && kernel == kernel_id<BinaryKernels>(BinaryOp::Pow))
            p_.frame.int_exponents.push_back(read_as(ops[1], ValueType::I64).index);
        p_.frame.scalar_steps.push_back(ScalarStep{kernel, in, dst, r[0], r[1], r[2]});
        if (integral && in != ValueType::I64) {
            // Entries hold int64 bits: a narrower result widened by a cast of its own.
            const std::uint32_t wide = scalars.add(0.0, false);
            p_.frame.scalar_steps.push_back(
                ScalarStep{kernel_id<CastKernels>(in), ValueType::I64, wide, dst, 0, 0});
            dst = wide;
        }
        if (integral) int_entries_.emplace(dst, dst);
        return Val{Val::Kind::Scalar, dst};
    }

    // The branch's value goes to the Select's result register: its last step writes there
    // when that step made it for this branch alone, otherwise it is copied.
    void finish_branch() {
        const Val v = pop();
        if (vals_.empty()) fault("kernel body stack underflow");
        const std::uint32_t result = vals_.back().index;
        const ValueType type = p_.reg_type[result];
        std::vector<RegStep>& steps = p_.steps;
        if (v.kind == Val::Kind::Reg && type_of(v) == type && !reg_shared(v.index) &&
            !steps.empty() && steps.back().kind == StepKind::Compute &&
            steps.back().dst == v.index) {
            steps.back().dst = result;
            return;
        }
        const bool converts = is_vector(v) && type_of(v) != type;
        steps.push_back(
            RegStep{StepKind::Compute,
                    type,
                    converts ? kernel_id<CastKernels>(type_of(v)) : kernel_id<CopyKernels>(0),
                    result,
                    cur_,
                    1,
                    {read_as(v, type), kUnused, kUnused}});
    }

    const Val* available(std::uint32_t value) const {
        for (const auto& [ctx, v] : avail_[value]) {
            if (plan_.encloses(ctx, cur_)) return &v;
        }
        return nullptr;
    }
    void remember(std::size_t i, Val v) {
        if (!vn_.shared(tree_, i)) return;
        avail_[vn_.of[i]].emplace_back(cur_, v);
        remembered_.push_back(vn_.of[i]);
        if (v.kind == Val::Kind::Reg) {
            reg_shared_.resize(p_.registers);
            reg_shared_[v.index] = 1;
        }
    }
    // Values made in a split Select's branches hold only the lanes of this pass through it. The
    // same Select can be emitted twice (hoisted, and inside another hoisted subtree); its
    // branches are the same contexts both times, so the second pass must not find the first
    // pass's values there.
    void forget_branches() {
        const std::size_t mark = branch_marks_.back();
        branch_marks_.pop_back();
        for (; remembered_.size() > mark; remembered_.pop_back())
            avail_[remembered_.back()].pop_back();
    }
    bool reg_shared(std::uint32_t r) const { return r < reg_shared_.size() && reg_shared_[r] != 0; }

    std::uint32_t new_register(ValueType type) {
        p_.reg_type.push_back(type);
        return p_.registers++;
    }
    // The type a node computes in; a subtree of Python numbers alone, float64.
    ValueType type_of_node(std::size_t i) const {
        return types_[i].weak ? weak_type(types_[i]) : types_[i].type;
    }
    // The type of a vector value's elements (scalars are float64).
    ValueType type_of(Val v) const {
        switch (v.kind) {
            case Val::Kind::Reg: return p_.reg_type[v.index];
            case Val::Kind::Arg: return p_.frame.pattern[v.index].type;
            case Val::Kind::Scalar: break;
        }
        return ValueType::F64;
    }
    // A vector value converted to `type` by a cast step; scalars are read in any type.
    Val cast(Val v, ValueType type) {
        if (!is_vector(v) || type_of(v) == type) return v;
        const Val ops[3] = {v, kUnused, kUnused};
        return compute(kernel_id<CastKernels>(type_of(v)), 1, ops, type);
    }
    // A condition as 1 or 0 in `type`: whether it is nonzero (NaN is), tested in its own type,
    // since converting it first could round a tiny value to zero.
    Val truth(Val v, ValueType type) {
        if (!is_vector(v) || type_of(v) == type) return v;
        if (type_of(v) != ValueType::Bool) {
            const Val ops[3] = {v, Val{Val::Kind::Scalar, constant(0.0)}, kUnused};
            v = compute(kernel_id<BoolCompareKernels>(CompareOp::Ne), 2, ops, type_of(v),
                        ValueType::Bool);
        }
        return cast(v, type);
    }

    // A step over integers reads its constant operands in its type, as NumPy converts a Python
    // int: one out of the type's range is refused, as NumPy refuses it; so is one past 2**53,
    // which the float64 scalar table would not hold exactly. A negative constant exponent is
    // refused as NumPy refuses it. Scalar arguments are checked so at each call (int_reads).
    void check_int_constants(KernelId kernel, int arity, const Val (&ops)[3], ValueType type) {
        const ScalarTable& scalars = p_.frame.scalars;
        Refusal& refusal = p_.frame.refusal;
        for (int k = 0; k < arity; ++k) {
            if (ops[k].kind == Val::Kind::Scalar) note_int_read(ops[k].index, type);
        }
        for (int k = 0; k < arity && refusal.kind == Refusal::Kind::None; ++k) {
            if (ops[k].kind != Val::Kind::Scalar || !scalars.constant(ops[k].index)) continue;
            const double v = scalars.values[ops[k].index];
            const auto literal = int_literals_.find(ops[k].index);
            refusal = literal != int_literals_.end() ? python_int_refusal(literal->second, type)
                                                     : python_int_refusal(v, int_text(v), type);
            if (!refusal && k == 1 && v < 0 && kernel == kernel_id<BinaryKernels>(BinaryOp::Pow)) {
                refusal = negative_int_power();
            }
        }
    }

    // A value as a step of type `type` reads it: a scalar as int64 bits for an integer step,
    // as float64 for the others.
    Val read_as(Val v, ValueType type) {
        if (v.kind != Val::Kind::Scalar) return v;
        if (is_integer(type)) return int_entry(v.index, type);
        const auto bits = int_entries_.find(v.index);
        if (bits == int_entries_.end() || bits->second != v.index) return v;  // float64 already
        const auto known = float_entries_.find(v.index);
        if (known != float_entries_.end()) return Val{Val::Kind::Scalar, known->second};
        const std::uint32_t dst = p_.frame.scalars.add(0.0, false);
        p_.frame.scalar_steps.push_back(
            ScalarStep{kernel_id<CastKernels>(ValueType::I64), ValueType::F64, dst, v.index, 0, 0});
        float_entries_.emplace(v.index, dst);
        return Val{Val::Kind::Scalar, dst};
    }

    // The entry holding scalar entry `entry` as int64 bits, for a step of integer type `type`:
    // a constant's exact value (checked in range before), a scalar argument's own, or a scalar
    // step's float64 result converted by a step of its own, checked at each call in `type`.
    Val int_entry(std::uint32_t entry, ValueType type) {
        ProgramFrame& f = p_.frame;
        for (auto& [read, narrowest] : f.float_int_reads) {
            if (read == entry && type == ValueType::I32) narrowest = type;
        }
        const auto known = int_entries_.find(entry);
        if (known != int_entries_.end()) return Val{Val::Kind::Scalar, known->second};
        std::uint32_t bits = UINT32_MAX;
        if (f.scalars.constant(entry)) {
            const auto literal = int_literals_.find(entry);
            const std::int64_t v = literal != int_literals_.end()
                                       ? literal->second
                                       : float_to_int<std::int64_t>(f.scalars.values[entry]);
            bits = f.scalars.add(std::bit_cast<double>(v), true);
        }
        for (std::size_t k = 0; k < f.scalar_args.size() && bits == UINT32_MAX; ++k) {
            if (f.scalar_args[k] != entry) continue;
            bits = f.scalar_int_args[k] = f.scalars.add(0.0, false);
        }
        if (bits == UINT32_MAX) {
            f.float_int_reads.emplace_back(entry, type);
            bits = f.scalars.add(0.0, false);
            f.scalar_steps.push_back(ScalarStep{kernel_id<CastKernels>(ValueType::F64),
                                                ValueType::I64, bits, entry, 0, 0});
        }
        int_entries_.emplace(entry, bits);
        return Val{Val::Kind::Scalar, bits};
    }

    // The argument whose scalar entry this is, if any, is read in integer type `type`.
    void note_int_read(std::uint32_t entry, ValueType type) {
        ProgramFrame& f = p_.frame;
        for (std::size_t k = 0; k < f.scalar_args.size(); ++k) {
            if (f.scalar_args[k] != entry) continue;
            if (f.int_reads[k] != ValueType::I32) f.int_reads[k] = type;  // int32 is narrower
        }
    }

    std::uint32_t constant(double value) { return p_.frame.scalars.add(value, true); }
    Val argument(std::uint64_t k) {
        ProgramFrame& f = p_.frame;
        if (f.pattern[k].buffer) return widened(k);
        if (f.scalar_args[k] == UINT32_MAX) f.scalar_args[k] = f.scalars.add(0.0, false);
        const Val re{Val::Kind::Scalar, f.scalar_args[k]};
        const ValueType type = f.pattern[k].type;
        if (!is_complex(type)) return re;
        if (f.scalar_imag_args[k] == UINT32_MAX) f.scalar_imag_args[k] = f.scalars.add(0.0, false);
        const Val ops[3] = {re, Val{Val::Kind::Scalar, f.scalar_imag_args[k]}, kUnused};
        return compute(kernel_id<BinaryKernels>(BinaryOp::Complex), 2, ops, part_type(type), type);
    }

    // Buffer argument k, widened by a cast step as it is read when it is of a storage type:
    // once for all lanes (context 0), else in the context that reads it.
    Val widened(std::uint64_t k) {
        const Val arg{Val::Kind::Arg, static_cast<std::uint32_t>(k)};
        const ValueType type = p_.frame.pattern[k].type;
        if (!is_storage(type)) return arg;
        if (cur_ == 0 && widened_[k] != UINT32_MAX) return Val{Val::Kind::Reg, widened_[k]};
        const Val ops[3] = {arg, kUnused, kUnused};
        const Val v = compute(kernel_id<CastKernels>(type), 1, ops, compute_type(type));
        if (cur_ == 0) {
            widened_[k] = v.index;
            reg_shared_.resize(p_.registers);
            reg_shared_[v.index] = 1;  // read again: never the output's register
        }
        return v;
    }

    const NodeList& tree_;
    const ValueNumbers& vn_;
    const SelectPlan& plan_;
    const std::optional<ValueType> store_;
    std::vector<std::uint32_t> widened_;  // per argument: its widened register at context 0
    std::vector<NodeType> types_;         // per node
    RegisterProgram p_;

    std::vector<Work> work_;
    std::vector<Val> vals_;
    std::vector<std::vector<std::pair<std::uint32_t, Val>>> avail_;  // per value: (context, value)
    std::vector<std::uint32_t> remembered_;  // the values put in avail_, in order
    std::vector<std::size_t>
        branch_marks_;  // per split Select being lowered: remembered_'s size at its Begin
    std::vector<std::uint8_t> reg_shared_;
    std::unordered_map<std::uint32_t, std::int64_t> int_literals_;  // scalar entry: exact value
    std::unordered_map<std::uint32_t, std::uint32_t> int_entries_;  // scalar entry: its int64 bits'
    std::unordered_map<std::uint32_t, std::uint32_t> float_entries_;  // int64 entry: as float64
    std::uint32_t cur_ = 0;
};

}  // namespace

RegisterProgram lower(const NodeList& tree, const ValueNumbers& vn, const SelectPlan& plan,
                      std::vector<ArgPattern> pattern, Comparisons comparisons,
                      std::optional<ValueType> store) {
    return Lowering(tree, vn, plan, std::move(pattern), comparisons, store).run();
}

}  // namespace qv
