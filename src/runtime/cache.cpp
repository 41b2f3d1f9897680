// Kernel keys, their hash, and the process-wide cache of compiled kernels.
#include "runtime/cache.hpp"

#include <algorithm>
#include <iterator>

#include "core/siphash.hpp"
#include "ir/ops.hpp"

namespace qv {

namespace {

// Any fixed key does: lookups depend on key equality, the hash only spreads the entries.
constexpr std::uint64_t kHashKey0 = 0;
constexpr std::uint64_t kHashKey1 = 0;

// Each kind's codes follow the previous kind's, so that no two operators share a code: with
// shared codes, sinh(x + y) and sinh(x) + y had one key.
constexpr int kUnaryBase = 2;
constexpr int kBinaryBase = kUnaryBase + kUnaryOpCount;
constexpr int kCompareBase = kBinaryBase + kBinaryOpCount;
constexpr int kSelectCode = kCompareBase + kCompareOpCount;
constexpr int kIntConstCode = kSelectCode + 1;      // 2 and 2.0 promote differently
constexpr int kTypedConstBase = kIntConstCode + 1;  // then one code per value type
static_assert(kTypedConstBase + kValueTypeCount <= UINT8_MAX, "node codes are one byte");

std::uint8_t node_code(const Node& n) {
    switch (n.tag) {
        case NodeTag::Const:
            if (const_is_typed(n))
                return static_cast<std::uint8_t>(kTypedConstBase + static_cast<int>(const_type(n)));
            return const_is_int(n) ? kIntConstCode : 0;
        case NodeTag::ArgRef: return 1;
        case NodeTag::Unary: return static_cast<std::uint8_t>(kUnaryBase + n.op);
        case NodeTag::Binary: return static_cast<std::uint8_t>(kBinaryBase + n.op);
        case NodeTag::Compare: return static_cast<std::uint8_t>(kCompareBase + n.op);
        case NodeTag::Select: return static_cast<std::uint8_t>(kSelectCode);
    }
    fault("internal error: entered unreachable code: unknown expression node tag");
}

}  // namespace

KernelKey make_kernel_key(const NodeList& body) {
    KernelKey key;
    make_kernel_key_into(body, key);
    return key;
}

void make_kernel_key_into(const NodeList& body, KernelKey& key) {
    key.codes.clear();
    key.constants.clear();
    key.arg_indices.clear();
    key.codes.reserve(body.size());
    if (body.empty()) return;
    // Pre-order with an explicit stack; children pushed last-first so the first comes out next.
    thread_local std::vector<std::size_t> stack;
    stack.assign(1, body.size() - 1);
    while (!stack.empty()) {
        std::size_t i = stack.back();
        stack.pop_back();
        const Node& n = body[i];
        key.codes.push_back(node_code(n));
        if (n.tag == NodeTag::Const) key.constants.push_back(n.bits);
        if (n.tag == NodeTag::ArgRef) key.arg_indices.push_back(n.bits);
        auto kids = children(body, i);
        for (std::size_t k = child_count(n.tag); k-- > 0;) stack.push_back(kids[k]);
    }
}

std::uint64_t kernel_key_hash(const KernelKey& key) {
    SipHasher13 h(kHashKey0, kHashKey1);
    h.write_u64_le(key.codes.size());
    h.write(key.codes);
    h.write_u64_le(key.constants.size());
    for (std::uint64_t c : key.constants) h.write_u64_le(c);
    h.write_u64_le(key.arg_indices.size());
    for (std::uint64_t a : key.arg_indices) h.write_u64_le(a);
    return h.finish();
}

CompiledKernelRef compile_kernel(const NodeList& body) {
    return std::make_shared<const CompiledKernel>(body);
}

std::size_t entry_bytes(std::size_t nodes) noexcept {
    // Resident memory per entry, measured over thousands of bodies: 1.2 KiB at 5 nodes, 90 to
    // 110 bytes a node from 40 to 400 nodes, less beyond.
    constexpr std::size_t kPerEntry = 1024, kPerNode = 112;
    return kPerEntry + kPerNode * nodes;
}

CompiledKernelRef KernelCache::get_or_compile(const NodeList& body) {
    // Built into per-thread storage: a hit, the common case, then allocates nothing.
    thread_local KernelKey key;
    make_kernel_key_into(body, key);
    const std::uint64_t hash = kernel_key_hash(key);

    auto lookup = [&](const State& state) -> CompiledKernelRef {
        if (auto it = state.map.find(hash); it != state.map.end()) {
            for (const Entry& e : it->second) {
                if (e.key == key) {
                    e.last_used.touch(insertions_.load(std::memory_order_relaxed));
                    return e.kernel;
                }
            }
        }
        return nullptr;
    };
    CompiledKernelRef hit = state_.read("cache read lock poisoned", lookup);
    if (hit) return hit;

    CompiledKernelRef compiled = compile_kernel(body);
    const std::size_t bytes = entry_bytes(body.size());
    return state_.write("cache write lock poisoned", [&](State& state) -> CompiledKernelRef {
        std::vector<Entry>& list = state.map[hash];
        // Another submission may have inserted the same body while we compiled.
        for (const Entry& e : list) {
            if (e.key == key) return e.kernel;
        }
        const std::uint64_t now = insertions_.fetch_add(1, std::memory_order_relaxed) + 1;
        list.push_back(Entry{key, compiled, bytes, UseStamp(now)});
        state.entries += 1;
        state.bytes += bytes;
        if (state.entries > limits_.entries || state.bytes > limits_.bytes) {
            evict(state, compiled.get());
        }
        return compiled;
    });
}

void KernelCache::evict(State& state, const CompiledKernel* kept) const {
    struct Use {
        std::uint64_t stamp;
        Entry* entry;
    };
    std::vector<Use> uses;
    uses.reserve(state.entries);
    for (auto& [hash, list] : state.map) {
        for (Entry& e : list) {
            if (e.kernel.get() != kept) uses.push_back(Use{e.last_used.get(), &e});
        }
    }
    std::sort(uses.begin(), uses.end(),
              [](const Use& a, const Use& b) { return a.stamp < b.stamp; });
    // Three quarters: one sort pays for a quarter of the limit's insertions.
    const std::size_t entries_mark = limits_.entries - limits_.entries / 4;
    const std::size_t bytes_mark = limits_.bytes - limits_.bytes / 4;
    for (const Use& use : uses) {
        if (state.entries <= entries_mark && state.bytes <= bytes_mark) break;
        state.entries -= 1;
        state.bytes -= use.entry->bytes;
        use.entry->kernel.reset();  // marks it; evaluations holding the kernel keep it alive
    }
    for (auto it = state.map.begin(); it != state.map.end();) {
        std::erase_if(it->second, [](const Entry& e) { return e.kernel == nullptr; });
        it = it->second.empty() ? state.map.erase(it) : std::next(it);
    }
}

std::size_t KernelCache::entry_count() const {
    return state_.read("cache read lock poisoned",
                       [](const State& state) { return state.entries; });
}

std::size_t KernelCache::byte_count() const {
    return state_.read("cache read lock poisoned", [](const State& state) { return state.bytes; });
}

namespace {
KernelCache& process_cache() {
    // Never destroyed: evaluations on other threads may still hold it at exit.
    static KernelCache* cache = new KernelCache();
    return *cache;
}

// A submission holds the lock while it compares keys; a child forked meanwhile would
// wait for ever for a holder it does not have. The fork waits for it instead.
const ForkRegistration g_fork{{
    .prepare = [] { process_cache().lock_for_fork(); },
    .parent = [] { process_cache().unlock_in_parent(); },
    .child = [] { process_cache().rebuild_in_child(); },
}};
}  // namespace

CompiledKernelRef get_or_compile(const NodeList& body) {
    return process_cache().get_or_compile(body);
}

std::size_t cache_entry_count() { return process_cache().entry_count(); }

}  // namespace qv
