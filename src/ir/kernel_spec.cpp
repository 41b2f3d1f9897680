// Dense renumbering of expressions into kernel specs.
#include "ir/kernel_spec.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

namespace qv {

std::variant<KernelSpec, SpecError> make_kernel_spec(const ExprValue& expr) {
    std::vector<std::uint64_t> ids = referenced_args(expr.nodes);
    KernelSpec spec;
    spec.arg_names.reserve(ids.size());
    std::unordered_set<std::string_view> taken;
    IdMapping dense;
    for (std::size_t index = 0; index < ids.size(); ++index) {
        std::uint64_t id = ids[index];
        auto it = std::lower_bound(
            expr.temp_args.begin(), expr.temp_args.end(), id,
            [](const TempArg& entry, std::uint64_t key) { return entry.first < key; });
        if (it == expr.temp_args.end() || it->first != id) {
            return SpecError{"missing temp arg metadata for arg index " + std::to_string(id)};
        }
        if (!taken.insert(it->second).second) return SpecError{"duplicate arg name: " + it->second};
        spec.arg_names.push_back(it->second);
        dense.emplace(id, index);
    }
    spec.body = rewrite_node(expr.nodes, dense);
    return spec;
}

}  // namespace qv
