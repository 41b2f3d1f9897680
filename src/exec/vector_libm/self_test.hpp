// The load-time check of a vector replica against the library function it copies: the hard
// inputs (the values that tell glibc's variants apart, the thresholds of every special path,
// the special values) and 65,536 fixed pseudo-random inputs from four generators.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exec/vector_libm/replica.hpp"

namespace qv {

enum class MathFunction : std::uint8_t { Exp, Log, Expf, Logf, Pow, Powf, Sin, Cos };

struct SelfTestResult {
    std::size_t inputs;
    std::size_t mismatches;  // inputs whose result bits differ
};

// Runs `kernel` (its rare lanes handed to `reference`) and `reference` over the self-test
// inputs of `function` and counts the differing results.
SelfTestResult self_test(MathFunction function, VectorMathKernel kernel, ScalarMathFn reference);
SelfTestResult self_test(MathFunction function, VectorMathKernelF32 kernel,
                         ScalarMathFnF32 reference);
// The same for pow, over pairs (x, y), each operand as an array and as one value.
SelfTestResult self_test(VectorPowKernel kernel, ScalarPowFn reference);
SelfTestResult self_test(VectorPowKernelF32 kernel, ScalarPowFnF32 reference);

}  // namespace qv
