// A list of kernel families, each a struct with `count` and a template Fn<K> for K < count; the
// catalog numbers their kernels one family after the other.
#pragma once

#include <cstddef>
#include <type_traits>

namespace qv {

template <class... Families>
struct KernelFamilies {
    static constexpr std::size_t kernel_count = (std::size_t{0} + ... + Families::count);

    // The number of the first kernel of Family.
    template <class Family>
    static constexpr std::size_t first() {
        constexpr bool same[] = {std::is_same_v<Family, Families>..., false};
        constexpr std::size_t counts[] = {Families::count..., 0};
        std::size_t at = 0;
        for (std::size_t k = 0; k < sizeof...(Families); ++k) {
            if (same[k]) return at;
            at += counts[k];
        }
        return SIZE_MAX;  // not a member: refused where it is used
    }
};

template <class A, class B>
struct JoinFamilies;
template <class... A, class... B>
struct JoinFamilies<KernelFamilies<A...>, KernelFamilies<B...>> {
    using type = KernelFamilies<A..., B...>;
};

}  // namespace qv
