// Kernel evaluation: length agreement, views, sequential or pooled block interpretation.
#include "exec/evaluator.hpp"

#include <atomic>
#include <string>
#include <variant>
#include <vector>

#include "core/fault.hpp"
#include "exec/block_program.hpp"
#include "pool/pool.hpp"

namespace qv {

Result<std::size_t> common_length(const ArgValues& args) {
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
    return n;
}

namespace {

std::vector<ArgView> views_of(const ArgValues& args) {
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
    return views;
}

const Refusal& refusal(const CompiledKernel& kernel, const ArgValues& args) {
    return block_program(kernel, views_of(args), Comparisons::Numbers).refusal();
}

}  // namespace

void evaluate_kernel_into(const CompiledKernel& kernel, const ArgValues& args,
                          std::span<double> out) {
    evaluate_views_into(kernel, views_of(args), out);
}

namespace {

// Whether an integer met a negative integer exponent (see BlockBinding::run).
bool run_program(const BlockProgram& program, const CompiledKernel& kernel,
                 std::span<const ArgView> views, void* out, std::size_t n) {
    for (const ArgView& v : views) {
        if (v.data != nullptr && v.length != n) {
            fault("output of " + std::to_string(n) + " elements for arguments of " +
                  std::to_string(v.length));
        }
    }
    const BlockBinding bound = program.bind(views);
    if (n < kParallelThreshold) return bound.run(0, n, out);
    std::atomic<bool> negative_power{false};
    parallel_for(n, kernel.has_select ? 1 : kSelectFreeMinPiece,
                 [&bound, &negative_power, out](std::size_t begin, std::size_t end) {
                     if (bound.run(begin, end, out))
                         negative_power.store(true, std::memory_order_relaxed);
                 });
    return negative_power.load(std::memory_order_relaxed);
}

}  // namespace

void evaluate_views_into(const CompiledKernel& kernel, std::span<const ArgView> views,
                         std::span<double> out) {
    if (out.empty()) return;
    const BlockProgram& program = block_program(kernel, views, Comparisons::Numbers);
    if (program.output_type() != ValueType::F64)
        fault("float64 output for a kernel whose values are of another type");
    if (program.refusal()) fault("running a program NumPy refuses: " + program.refusal().message);
    // Over float64 values alone: no integer power.
    if (run_program(program, kernel, views, out.data(), out.size()))
        fault("an integer power on the float64 surface");
}

ValueType result_type(const CompiledKernel& kernel, std::span<const ArgView> views) {
    return block_program(kernel, views, Comparisons::Bool).output_type();
}

Refusal refusal_of(const CompiledKernel& kernel, std::span<const ArgView> views) {
    const BlockProgram& program = block_program(kernel, views, Comparisons::Bool);
    return program.refusal() ? program.refusal() : program.refusal_of_values(views);
}

Refusal evaluate_views_into(const CompiledKernel& kernel, std::span<const ArgView> views, void* out,
                            std::size_t n, std::optional<ValueType> store) {
    if (n == 0) return {};
    const BlockProgram& program = block_program(kernel, views, Comparisons::Bool, store);
    if (program.refusal()) fault("running a program NumPy refuses: " + program.refusal().message);
    if (run_program(program, kernel, views, out, n)) return negative_int_power();
    return {};
}

Result<BufferRef> evaluate_kernel(const CompiledKernel& kernel, const ArgValues& args) {
    Result<std::size_t> n = common_length(args);
    if (!n) return std::move(n).error();
    // Float64 buffers cannot hold the complex values complex() makes (the typed NumPy path
    // computes those).
    for (const Node& node : kernel.body) {
        if (node.tag == NodeTag::Binary && node.op == static_cast<int>(BinaryOp::Complex))
            return EngineError::type_error(
                "complex() makes complex values, which a float64 "
                "buffer cannot hold");
    }
    if (const Refusal& refused = refusal(kernel, args)) return refused.type_error();
    F64Vec out(n.value());
    evaluate_kernel_into(kernel, args, out);
    return from_f64_vec(std::move(out));
}

}  // namespace qv
