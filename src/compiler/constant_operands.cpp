// Constant powers and exact reciprocals.
#include "compiler/constant_operands.hpp"

#include <bit>
#include <cstdint>

#include "compiler/kernels.hpp"
#include "ir/pow_const.hpp"

namespace qv {

std::optional<KernelId> constant_power(BinaryOp op, Val base, Val exponent,
                                       const ScalarTable& scalars) {
    if (op != BinaryOp::Pow || !is_vector(base)) return std::nullopt;
    if (exponent.kind != Val::Kind::Scalar || !scalars.constant(exponent.index) ||
        !pow_bound_known()) {
        return std::nullopt;
    }
    const std::optional<PowExponent> e = pow_exponent_of(scalars.values[exponent.index]);
    if (!e) return std::nullopt;
    return kernel_id<PowConstKernels>(*e);
}

std::optional<double> exact_reciprocal(BinaryOp op, Val divisor, const ScalarTable& scalars) {
    if (op != BinaryOp::Div || divisor.kind != Val::Kind::Scalar ||
        !scalars.constant(divisor.index)) {
        return std::nullopt;
    }
    const double c = scalars.values[divisor.index];
    const auto bits = std::bit_cast<std::uint64_t>(c);
    const std::uint64_t exponent = (bits >> 52) & 0x7ff;
    if ((bits & 0x000fffffffffffffull) != 0 || exponent == 0 || exponent == 0x7ff)
        return std::nullopt;
    return 1.0 / c;
}

}  // namespace qv
