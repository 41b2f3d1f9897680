// The process-wide kernel cache: one compiled kernel per distinct kernel body, kept for the
// life of the process. Bodies are identified by a key of their pre-order walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/poison_rw_lock.hpp"
#include "exec/compiled.hpp"
#include "ir/expr_tree.hpp"

namespace qv {

// Node codes, constant bit patterns and argument indices in pre-order. Names are not part
// of it: bodies carry dense indices.
struct KernelKey {
    std::vector<std::uint8_t> codes;
    std::vector<std::uint64_t> constants;
    std::vector<std::uint64_t> arg_indices;

    friend bool operator==(const KernelKey&, const KernelKey&) = default;
};

KernelKey make_kernel_key(const NodeList& body);
// The same, into `key`, reusing its storage.
void make_kernel_key_into(const NodeList& body, KernelKey& key);
// SipHash-1-3 under a fixed key over the length-prefixed little-endian fields.
std::uint64_t kernel_key_hash(const KernelKey& key);
// Flat when the body has no Select, otherwise the tree itself.
CompiledKernelRef compile_kernel(const NodeList& body);

class KernelCache {
public:
    // Compiles outside the lock on a miss; the first insertion of an equal key wins.
    CompiledKernelRef get_or_compile(const NodeList& body);
    std::size_t entry_count() const;
    // Held across fork() by the forking thread (PoisonRwLock).
    void lock_for_fork() const { map_.lock_for_fork(); }
    void unlock_in_parent() const { map_.unlock_in_parent(); }
    void rebuild_in_child() const { map_.rebuild_in_child(); }

private:
    struct Entry {
        KernelKey key;
        CompiledKernelRef kernel;
    };
    // Keys whose hashes collide share one list, in insertion order.
    using Map = std::unordered_map<std::uint64_t, std::vector<Entry>>;

    PoisonRwLock<Map> map_;
};

// The process-wide cache, created on first use and never destroyed.
CompiledKernelRef get_or_compile(const NodeList& body);
std::size_t cache_entry_count();

}  // namespace qv
