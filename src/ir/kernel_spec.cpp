// Dense renumbering of expressions into kernel specs, and argument binding.
#include "ir/kernel_spec.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

namespace qv {

namespace {

std::string sorted_joined(std::vector<std::string_view> names) {
    std::sort(names.begin(), names.end());  // by bytes: char_traits<char> compares unsigned
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += ", ";
        out += names[i];
    }
    return out;
}

}  // namespace

std::variant<KernelSpec, SpecError> make_kernel_spec(const ExprValue& expr) {
    std::vector<std::uint64_t> ids = referenced_args(expr.nodes);
    KernelSpec spec;
    spec.arg_names.reserve(ids.size());
    std::unordered_set<std::string_view> taken;
    IdMapping dense;
    for (std::size_t index = 0; index < ids.size(); ++index) {
        std::uint64_t id = ids[index];
        auto it = std::lower_bound(expr.temp_args.begin(), expr.temp_args.end(), id,
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

Result<ArgValues> bind_arguments(const MapWork& work) {
    std::vector<std::string_view> missing;
    for (const std::string& name : work.arg_names) {
        if (!work.bound.contains(name)) missing.push_back(name);
    }
    if (missing.size() == 1) return EngineError::arg("missing arg: " + std::string(missing[0]));
    if (!missing.empty()) return EngineError::arg("missing args: " + sorted_joined(std::move(missing)));

    // A sorted list rather than a hash set: one allocation on every submission instead of many.
    std::vector<std::string_view> known(work.arg_names.begin(), work.arg_names.end());
    std::sort(known.begin(), known.end());
    std::vector<std::string_view> unexpected;
    for (const auto& [name, value] : work.bound) {
        if (!std::binary_search(known.begin(), known.end(), std::string_view(name))) {
            unexpected.push_back(name);
        }
    }
    if (!unexpected.empty()) {
        return EngineError::arg("unexpected args: " + sorted_joined(std::move(unexpected)));
    }

    ArgValues values;
    values.reserve(work.arg_names.size());
    for (const std::string& name : work.arg_names) values.push_back(work.bound.at(name));
    return values;
}

}  // namespace qv
