// Binding a map's named values to its kernel's arguments.
#include "runtime/work.hpp"

#include <algorithm>
#include <string_view>

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

std::optional<EngineError> check_bound_names(const std::vector<std::string>& arg_names,
                                             std::span<const std::string_view> given) {
    std::vector<std::string_view> missing;
    for (const std::string& name : arg_names) {
        if (std::find(given.begin(), given.end(), std::string_view(name)) == given.end()) {
            missing.push_back(name);
        }
    }
    if (missing.size() == 1) return EngineError::arg("missing arg: " + std::string(missing[0]));
    if (!missing.empty())
        return EngineError::arg("missing args: " + sorted_joined(std::move(missing)));

    // A sorted list rather than a hash set: one allocation on every submission instead of many.
    std::vector<std::string_view> known(arg_names.begin(), arg_names.end());
    std::sort(known.begin(), known.end());
    std::vector<std::string_view> unexpected;
    for (std::string_view name : given) {
        if (!std::binary_search(known.begin(), known.end(), name)) unexpected.push_back(name);
    }
    if (!unexpected.empty()) {
        return EngineError::arg("unexpected args: " + sorted_joined(std::move(unexpected)));
    }
    return std::nullopt;
}

Result<ArgValues> bind_arguments(const MapWork& work) {
    std::vector<std::string_view> given;
    given.reserve(work.bound.size());
    for (const auto& [name, value] : work.bound) given.push_back(name);
    if (auto refused = check_bound_names(work.arg_names, given)) return std::move(*refused);

    ArgValues values;
    values.reserve(work.arg_names.size());
    for (const std::string& name : work.arg_names) values.push_back(work.bound.at(name));
    return values;
}

}  // namespace qv
