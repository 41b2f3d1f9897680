// The catalog of kernels: every function a compute step can run, numbered densely family by
// family (the operators of the table by their codes, then the compiler's own steps, then the
// fused steps of each fusion rule). The loop sets build one table of loops over this numbering;
// the compiler folds constants through fold_kernel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compiler/elementwise.hpp"
#include "compiler/fusion/registry.hpp"
#include "compiler/kernel_families.hpp"
#include "compiler/narrow_kernels.hpp"
#include "compiler/program.hpp"

namespace qv {

using AllKernels = JoinFamilies<
    KernelFamilies<UnaryKernels, BinaryKernels, CompareKernels, BlendKernels, CopyKernels,
                   PowConstKernels, CastKernels, BoolCompareKernels, BoolPredicateKernels>,
    FusionRules>::type;

inline constexpr std::size_t kKernelCount = AllKernels::kernel_count;
static_assert(kKernelCount <= UINT16_MAX, "KernelId is 16 bits");

template <class Family>
inline constexpr KernelId kFirstKernel = [] {
    constexpr std::size_t first = AllKernels::first<Family>();
    static_assert(first != SIZE_MAX, "not a family of the catalog");
    return static_cast<KernelId>(first);
}();

// The kernel Fn<k> of Family; an operator's kernel by its code.
template <class Family>
constexpr KernelId kernel_id(std::size_t k) {
    return static_cast<KernelId>(kFirstKernel<Family> + k);
}
template <class Family, class Op>
requires std::is_enum_v<Op>
constexpr KernelId kernel_id(Op op) { return kernel_id<Family>(static_cast<std::size_t>(op)); }

template <class Family>
constexpr bool in_family(KernelId id) {
    return id >= kFirstKernel<Family> && id < kFirstKernel<Family> + Family::count;
}

// The kernel's value at one element, as the loops compute it.
double fold_kernel(KernelId kernel, double a, double b, double c);

}  // namespace qv
