// The computing half of rt.go: bind, compile (through the cache) and evaluate a map, or
// reduce one buffer; then complete or fail the task, or queue the result for delivery.
#include "runtime/submit.hpp"

#include <utility>

#include "exec/evaluator.hpp"
#include "runtime/cache.hpp"
#include "runtime/delivery.hpp"

namespace qv {

namespace {

Result<BufferRef> compute_map(const MapWork& work) {
    Result<ArgValues> args = bind_arguments(work);
    if (!args) return std::move(args).error();
    const CompiledKernelRef kernel = get_or_compile(work.body);
    return evaluate_kernel(*kernel, args.value());
}

// Successful outcome of either kind, recorded in the task as is.
Result<TaskResult> compute(const Work& work) {
    if (const auto* map = std::get_if<MapWork>(&work)) {
        Result<BufferRef> out = compute_map(*map);
        if (!out) return std::move(out).error();
        return TaskResult(std::move(out).value());
    }
    const auto& red = std::get<ReduceWork>(work);
    Result<double> value = reduce(*red.input, red.op);
    if (!value) return std::move(value).error();
    return TaskResult(value.value());
}

// The buffer a channel receives: the map result itself, or a one-element buffer of its
// own for a reduction's scalar.
BufferRef buffer_to_send(const TaskResult& result) {
    if (const auto* buffer = std::get_if<BufferRef>(&result)) return *buffer;
    return from_f64_vec(F64Vec{std::get<double>(result)});
}

}  // namespace

void run_submission(TaskRef task, Work work, std::optional<ChannelHandle> out) {
    task->mark_running();
    Result<TaskResult> outcome = compute(work);
    if (!outcome) {
        task->fail(std::move(outcome).error());
        return;
    }
    if (!out) {
        task->complete(std::move(outcome).value());
        return;
    }
    BufferRef to_send = buffer_to_send(outcome.value());
    task->mark_delivery_queued(std::move(outcome).value());
    deliver(DeliveryJob{send_end(*out), std::move(task), std::move(to_send)});
}

}  // namespace qv
