// Kernel evaluation: length agreement, views, sequential or pooled block interpretation, and
// large outputs streamed past the cache.
#include "ir/evaluator.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <variant>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/fault.hpp"
#include "ir/block_interp.hpp"
#include "pool/pool.hpp"

namespace qv {

namespace {

// Outputs this large do not fit the last-level cache (32 MiB here), so nothing reads them back
// from it: they are written with streaming stores, which skip reading each line in before
// writing it, a fifth of the memory traffic of a kernel with three inputs.
constexpr std::size_t kStreamingBytes = std::size_t{32} << 20;
// Elements computed into a scratch run before they are streamed out: 16 KiB, within L1.
constexpr std::size_t kStreamChunk = 2048;

// Stores are the only change: the values written are the interpreter's, bit for bit.
void stream_copy(double* dst, const double* src, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i < n && (reinterpret_cast<std::uintptr_t>(dst + i) & 15) != 0; ++i) dst[i] = src[i];
    for (; i + 2 <= n; i += 2) _mm_stream_pd(dst + i, _mm_loadu_pd(src + i));
#endif
    for (; i < n; ++i) dst[i] = src[i];
}

// Runs [begin, end) of `program` a chunk at a time into a scratch run, streamed to `out`.
void run_streaming(const BlockBinding& program, std::size_t begin, std::size_t end, double* out) {
    alignas(64) double chunk[kStreamChunk];
    for (std::size_t s = begin; s < end; s += kStreamChunk) {
        const std::size_t e = std::min(end, s + kStreamChunk);
        // run() writes element i at its argument + i: shift the scratch by s, through an
        // integer so that no pointer is formed outside an array.
        auto* shifted = reinterpret_cast<double*>(reinterpret_cast<std::uintptr_t>(chunk) - s * sizeof(double));
        program.run(s, e, shifted);
        stream_copy(out + s, chunk, e - s);
    }
#if defined(__SSE2__)
    _mm_sfence();  // the streamed lines are visible before the piece counts as done
#endif
}

}  // namespace

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

void evaluate_kernel_into(const CompiledKernel& kernel, const ArgValues& args, std::span<double> out) {
    const std::size_t n = out.size();
    if (n == 0) return;
    std::vector<ArgView> views;
    views.reserve(args.size());
    for (const ArgValue& a : args) {
        if (const double* scalar = std::get_if<double>(&a)) {
            views.push_back(ArgView{nullptr, *scalar, 0});
        } else {
            const std::span<const double> data = std::get<BufferRef>(a)->as_f64_slice();
            if (data.size() != n) fault("output of " + std::to_string(n) + " elements for arguments of " +
                                        std::to_string(data.size()));
            views.push_back(ArgView{data.data(), 0.0, data.size()});
        }
    }

    const bool flat = std::holds_alternative<FlatProgram>(kernel.form);
    const BlockBinding program = block_program(kernel, views).bind(views);
    double* result = out.data();
    const bool streaming = n * sizeof(double) >= kStreamingBytes;
    if (n < kParallelThreshold) {
        program.run(0, n, result);
    } else {
        parallel_for(n, flat ? kFlatMinPiece : 1,
                     [&program, result, streaming](std::size_t begin, std::size_t end) {
                         if (streaming) {
                             run_streaming(program, begin, end, result);
                         } else {
                             program.run(begin, end, result);
                         }
                     });
    }
}

Result<BufferRef> evaluate_kernel(const CompiledKernel& kernel, const ArgValues& args) {
    Result<std::size_t> n = common_length(args);
    if (!n) return std::move(n).error();
    F64Vec out(n.value());
    evaluate_kernel_into(kernel, args, out);
    return from_f64_vec(std::move(out));
}

}  // namespace qv
