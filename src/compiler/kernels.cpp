// Constant folding through the kernels' element functions.
#include "compiler/kernels.hpp"

#include <array>
#include <string>
#include <utility>

#include "core/fault.hpp"

namespace qv {

namespace {

using ElementFn = double (*)(double, double, double);

template <class Family, std::size_t... K>
constexpr void add_family(std::array<ElementFn, kKernelCount>& out, std::index_sequence<K...>) {
    ((out[kFirstKernel<Family> + K] = &Family::template Fn<K>::apply), ...);
}

template <class... Families>
constexpr std::array<ElementFn, kKernelCount> element_fns(KernelFamilies<Families...>) {
    std::array<ElementFn, kKernelCount> out{};
    (add_family<Families>(out, std::make_index_sequence<Families::count>{}), ...);
    return out;
}

constexpr std::array<ElementFn, kKernelCount> kElementFns = element_fns(AllKernels{});

}  // namespace

double fold_kernel(KernelId kernel, double a, double b, double c) {
    if (kernel >= kKernelCount) fault("unknown kernel " + std::to_string(kernel));
    return kElementFns[kernel](a, b, c);
}

}  // namespace qv
