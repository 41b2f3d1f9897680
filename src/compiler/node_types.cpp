// One pass in post-order: children are typed before their parent.
#include "compiler/node_types.hpp"

#include <string>

#include "core/fault.hpp"

namespace qv {

std::vector<NodeType> node_types(const NodeList& tree, std::span<const ArgPattern> pattern) {
    std::vector<NodeType> types(tree.size());
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const Node& node = tree[i];
        const auto kids = children(tree, i);
        switch (node.tag) {
            case NodeTag::Const: types[i] = NodeType{}; break;
            case NodeTag::ArgRef: {
                if (node.bits >= pattern.size())
                    fault("argument " + std::to_string(node.bits) + " outside the pattern");
                const ArgPattern& p = pattern[node.bits];
                types[i] = NodeType{p.weak, p.type};
                break;
            }
            case NodeTag::Unary: types[i] = types[kids[0]]; break;
            case NodeTag::Binary:
            case NodeTag::Compare: types[i] = promote(types[kids[0]], types[kids[1]]); break;
            // The condition only chooses: the branches make the type.
            case NodeTag::Select: types[i] = promote(types[kids[1]], types[kids[2]]); break;
        }
    }
    return types;
}

}  // namespace qv
