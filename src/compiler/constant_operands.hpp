// Rewrites of an operator by a constant operand, each giving the operator's bits: x ** c for
// the exponents with a candidate, and x / c for a power of two c as a product.
#pragma once

#include <optional>

#include "compiler/program.hpp"
#include "ir/ops.hpp"

namespace qv {

// The constant-power kernel for x ** c when `base` is a block and `exponent` a constant with a
// candidate, where pow's error bound is known.
std::optional<KernelId> constant_power(BinaryOp op, Val base, Val exponent,
                                       const ScalarTable& scalars);

// 1 / c when the operator divides by a constant power of two c whose reciprocal is a double:
// x * (1/c) is the same real number x * 2^-k, rounded once, so the same bits (zeros,
// infinities and subnormal results included; a NaN x comes out of either as itself, quieted).
std::optional<double> exact_reciprocal(BinaryOp op, Val divisor, const ScalarTable& scalars);

}  // namespace qv
