// Decoded block programs kept with their compiled kernel.
#include "exec/compiled.hpp"

#include <algorithm>
#include <utility>

namespace qv {

DecodedPrograms::~DecodedPrograms() {
    for (Entry* e = head_.load(std::memory_order_acquire); e != nullptr;) {
        Entry* next = e->next;
        delete e;
        e = next;
    }
}

const BlockProgram* DecodedPrograms::find(std::span<const ArgView> args, Comparisons comparisons,
                                          std::optional<ValueType> store) const noexcept {
    for (Entry* e = head_.load(std::memory_order_acquire); e != nullptr; e = e->next) {
        if (e->program->matches(args, comparisons, store)) return e->program.get();
    }
    return nullptr;
}

const BlockProgram& DecodedPrograms::keep(std::unique_ptr<BlockProgram> program) const {
    auto entry = std::make_unique<Entry>(Entry{std::move(program), nullptr});
    Entry* expected = head_.load(std::memory_order_acquire);
    for (;;) {
        // Entries after `expected` were scanned by an earlier round or are older than the call.
        for (Entry* e = expected; e != nullptr; e = e->next) {
            if (e->program->same_pattern(*entry->program)) return *e->program;
        }
        entry->next = expected;
        if (head_.compare_exchange_weak(expected, entry.get(), std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
            return *entry.release()->program;
        }
    }
}

CompiledKernel::CompiledKernel(NodeList tree)
    : body(std::move(tree)), has_select(std::any_of(body.begin(), body.end(), [](const Node& n) {
          return n.tag == NodeTag::Select;
      })) {}

const BlockProgram& block_program(const CompiledKernel& kernel, std::span<const ArgView> args,
                                  Comparisons comparisons, std::optional<ValueType> store) {
    if (const BlockProgram* p = kernel.decoded.find(args, comparisons, store)) return *p;
    return kernel.decoded.keep(
        std::make_unique<BlockProgram>(kernel.body, args, best_loop_set(), comparisons, store));
}

}  // namespace qv
