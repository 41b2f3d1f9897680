#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <thread>

#include "ir/expr.hpp"
#include "runtime/cache.hpp"

namespace qv {

namespace {

Operand a0() {
    static const ExprValue e{std::nullopt, {arg_node(0)}, {{0, "a"}}};
    return e;
}
Operand a1() {
    static const ExprValue e{std::nullopt, {arg_node(1)}, {{1, "b"}}};
    return e;
}

NodeList add_const(double c) { return make_binary(BinaryOp::Add, a0(), Operand(c)).nodes; }

TEST(KernelKey, PreOrderFields) {
    ExprValue body =
        make_select(make_compare(CompareOp::Gt, a0(), Operand(0.5)), make_unary(UnaryOp::Neg, a1()),
                    make_binary(BinaryOp::Max, a0(), Operand(-2.0)));
    KernelKey key = make_kernel_key(body.nodes);
    // Const 0, ArgRef 1, then the unary, binary and compare codes in turn, then Select.
    constexpr int kUnary = 2, kBinary = kUnary + kUnaryOpCount;
    constexpr int kCompare = kBinary + kBinaryOpCount, kSelect = kCompare + kCompareOpCount;
    const int max = kBinary + static_cast<int>(BinaryOp::Max);
    EXPECT_EQ(key.codes, (std::vector<std::uint8_t>{kSelect, kCompare, 1, 0, kUnary, 1,
                                                    static_cast<std::uint8_t>(max), 1, 0}));
    EXPECT_EQ(key.constants, (std::vector<std::uint64_t>{std::bit_cast<std::uint64_t>(0.5),
                                                         std::bit_cast<std::uint64_t>(-2.0)}));
    EXPECT_EQ(key.arg_indices, (std::vector<std::uint64_t>{0, 1, 0}));
}

TEST(KernelKey, EqualityTable) {
    const double nan = std::nan("");
    struct Case {
        NodeList a, b;
        bool equal;
    };
    const Case cases[] = {
        {add_const(1.0), add_const(1.0), true},
        {add_const(1.0), add_const(2.0), false},
        {add_const(0.0), add_const(-0.0), false},
        {add_const(nan), add_const(nan), true},
        {make_binary(BinaryOp::Add, a0(), a1()).nodes, make_binary(BinaryOp::Add, a1(), a0()).nodes,
         false},
        {make_binary(BinaryOp::Add, a0(), a1()).nodes, make_binary(BinaryOp::Sub, a0(), a1()).nodes,
         false},
        {make_binary(BinaryOp::Add, a0(), a1()).nodes,
         make_compare(CompareOp::Gt, a0(), a1()).nodes, false},
        {make_unary(UnaryOp::Neg, make_unary(UnaryOp::Abs, a0())).nodes,
         make_unary(UnaryOp::Abs, make_unary(UnaryOp::Neg, a0())).nodes, false},
        // A unary and a binary operator of one code once shared a key code.
        {make_unary(UnaryOp::Sinh, make_binary(BinaryOp::Add, a0(), a1())).nodes,
         make_binary(BinaryOp::Add, make_unary(UnaryOp::Sinh, a0()), a1()).nodes, false},
    };
    for (const auto& c : cases) {
        KernelKey ka = make_kernel_key(c.a), kb = make_kernel_key(c.b);
        EXPECT_EQ(ka == kb, c.equal);
        if (c.equal) {
            EXPECT_EQ(kernel_key_hash(ka), kernel_key_hash(kb));
        }
    }
}

// Every operator of every kind has a key code of its own.
TEST(KernelKey, EveryOperatorHasItsOwnCode) {
    std::vector<std::uint8_t> codes;
    for (int op = 0; op < kUnaryOpCount; ++op)
        codes.push_back(make_kernel_key(make_unary(static_cast<UnaryOp>(op), a0()).nodes).codes[0]);
    for (int op = 0; op < kBinaryOpCount; ++op)
        codes.push_back(
            make_kernel_key(make_binary(static_cast<BinaryOp>(op), a0(), a1()).nodes).codes[0]);
    for (int op = 0; op < kCompareOpCount; ++op)
        codes.push_back(
            make_kernel_key(make_compare(static_cast<CompareOp>(op), a0(), a1()).nodes).codes[0]);
    codes.push_back(make_kernel_key(make_select(a0(), a1(), a0()).nodes).codes[0]);
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(std::adjacent_find(codes.begin(), codes.end()), codes.end());
    EXPECT_GT(codes.front(), 1);  // not Const's 0 nor ArgRef's 1
}

// Pins the byte stream: value from an independent SipHash-1-3 over the same bytes, key 0
// (codes 2 1: negation of an argument).
TEST(KernelKey, HashOfKnownStream) {
    EXPECT_EQ(kernel_key_hash(make_kernel_key(make_unary(UnaryOp::Neg, a0()).nodes)),
              0xf5d604990aee284bULL);
}

TEST(KernelKey, DeepBodyWalksWithoutRecursion) {
    NodeList body{arg_node(0)};
    for (std::uint32_t i = 0; i < 100000; ++i) {
        body.push_back(Node{NodeTag::Unary, static_cast<std::uint8_t>(UnaryOp::Sqrt), i + 2, 0});
    }
    KernelKey key = make_kernel_key(body);
    ASSERT_EQ(key.codes.size(), body.size());
    EXPECT_EQ(key.codes.front(), 2 + static_cast<int>(UnaryOp::Sqrt));
    EXPECT_EQ(key.codes.back(), 1);
    EXPECT_EQ(key.arg_indices, (std::vector<std::uint64_t>{0}));
}

TEST(KernelCache, OneEntryPerDistinctBody) {
    KernelCache cache;
    CompiledKernelRef first = cache.get_or_compile(add_const(1.0));
    EXPECT_EQ(cache.get_or_compile(add_const(1.0)).get(), first.get());
    EXPECT_EQ(cache.entry_count(), 1u);
    EXPECT_NE(cache.get_or_compile(add_const(2.0)).get(), first.get());
    cache.get_or_compile(add_const(-0.0));
    cache.get_or_compile(add_const(0.0));
    EXPECT_EQ(cache.entry_count(), 4u);
}

TEST(KernelCache, KeepsTheBodyAndWhetherItSelects) {
    KernelCache cache;
    NodeList with_select = make_select(a0(), Operand(1.0), a1()).nodes;
    CompiledKernelRef tree = cache.get_or_compile(with_select);
    EXPECT_TRUE(tree->has_select);
    EXPECT_EQ(tree->body, with_select);

    NodeList plain = make_binary(BinaryOp::Mul, a0(), a1()).nodes;
    CompiledKernelRef flat = cache.get_or_compile(plain);
    EXPECT_FALSE(flat->has_select);
    EXPECT_EQ(flat->body, plain);
}

TEST(KernelCache, ProcessWideCacheCountsNewBodiesOnce) {
    NodeList body = add_const(123.25);
    std::size_t before = cache_entry_count();
    CompiledKernelRef k = get_or_compile(body);
    EXPECT_EQ(get_or_compile(body).get(), k.get());
    EXPECT_EQ(cache_entry_count(), before + 1);
}

// Threads racing on the same new bodies all end up with the one kernel kept per body.
TEST(KernelCache, ConcurrentMissesKeepOneEntryPerBody) {
    constexpr int kThreads = 8, kBodies = 24, kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        KernelCache cache;
        std::vector<NodeList> bodies;
        for (int b = 0; b < kBodies; ++b) bodies.push_back(add_const(b));
        std::vector<std::vector<const CompiledKernel*>> seen(
            kThreads, std::vector<const CompiledKernel*>(kBodies));
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                std::vector<int> order(kBodies);
                for (int b = 0; b < kBodies; ++b) order[b] = b;
                std::shuffle(order.begin(), order.end(),
                             std::mt19937(static_cast<unsigned>(t + round * 131)));
                ready.fetch_add(1);
                while (ready.load() < kThreads) std::this_thread::yield();
                for (int b : order) seen[t][b] = cache.get_or_compile(bodies[b]).get();
            });
        }
        for (auto& th : threads) th.join();
        ASSERT_EQ(cache.entry_count(), static_cast<std::size_t>(kBodies));
        for (int b = 0; b < kBodies; ++b) {
            const CompiledKernel* kept = cache.get_or_compile(bodies[b]).get();
            for (int t = 0; t < kThreads; ++t)
                ASSERT_EQ(seen[t][b], kept) << "body " << b << " thread " << t;
        }
    }
}

double constant_of(const CompiledKernel& k) { return const_value(k.body.at(1)); }

// Beyond the limit the least recently used go, down to three quarters; a kernel still held
// outlives its entry.
TEST(KernelCache, EvictsLeastRecentlyUsed) {
    KernelCache cache({.entries = 8, .bytes = SIZE_MAX});
    std::vector<CompiledKernelRef> first;
    for (int b = 0; b < 8; ++b) first.push_back(cache.get_or_compile(add_const(b)));
    for (int b = 0; b < 8; b += 2) cache.get_or_compile(add_const(b));  // even bodies used again
    cache.get_or_compile(add_const(8));                                 // the ninth: evicts three
    EXPECT_EQ(cache.entry_count(), 6u);
    for (int b : {0, 2, 4, 6, 7}) {
        EXPECT_EQ(cache.get_or_compile(add_const(b)), first[b]) << "body " << b;
    }
    for (int b : {1, 3, 5}) {
        EXPECT_NE(cache.get_or_compile(add_const(b)), first[b]) << "body " << b;
        EXPECT_EQ(constant_of(*first[b]), b);
    }
}

TEST(KernelCache, ByteBudgetBoundsLargeBodies) {
    ExprValue deep = make_unary(UnaryOp::Neg, a0());
    for (int i = 1; i < 1000; ++i) deep = make_unary(UnaryOp::Neg, deep);
    const std::size_t budget = 10 * entry_bytes(deep.nodes.size() + 2);
    KernelCache cache({.entries = SIZE_MAX, .bytes = budget});
    for (int b = 0; b < 100; ++b) {
        cache.get_or_compile(make_binary(BinaryOp::Add, deep, Operand(b)).nodes);
        ASSERT_LE(cache.byte_count(), budget);
    }
    EXPECT_GE(cache.entry_count(), 7u);
}

// Hits, misses and evictions from many threads: every kernel computes its own body's
// constant, and the counts stay within the limit.
TEST(KernelCache, ConcurrentUseUnderEviction) {
    constexpr int kThreads = 6, kBodies = 64, kCalls = 3000;
    KernelCache cache({.entries = 16, .bytes = SIZE_MAX});
    std::vector<NodeList> bodies;
    for (int b = 0; b < kBodies; ++b) bodies.push_back(add_const(b));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            // Skewed: a few hot bodies hit most of the time, the rest miss and evict.
            std::uniform_int_distribution<int> hot(0, 3), any(0, kBodies - 1);
            for (int i = 0; i < kCalls; ++i) {
                const int b = i % 4 ? hot(rng) : any(rng);
                if (constant_of(*cache.get_or_compile(bodies[b])) != b) wrong.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(cache.entry_count(), 16u);
}

TEST(PoisonRwLock, FailedWriterPoisonsEveryLaterUse) {
    PoisonRwLock<int> lock(1);
    EXPECT_THROW(lock.read("r", [](const int&) -> int { throw Fault("reader"); }), Fault);
    EXPECT_EQ(lock.read("r", [](const int& v) { return v; }),
              1);  // a failed reader does not poison

    EXPECT_THROW(lock.write("w",
                            [](int& v) {
                                v = 2;
                                throw Fault("half done");
                            }),
                 Fault);
    const std::pair<bool, const char*> uses[] = {
        {false, "cache read lock poisoned: PoisonError { .. }"},
        {true, "cache write lock poisoned: PoisonError { .. }"},
    };
    for (const auto& [write, text] : uses) {
        try {
            if (write) {
                lock.write("cache write lock poisoned", [](int&) {});
            } else {
                lock.read("cache read lock poisoned", [](const int&) {});
            }
            ADD_FAILURE() << "expected a fault";
        } catch (const Fault& f) {
            EXPECT_EQ(f.text(), text);
        }
    }
}

}  // namespace
}  // namespace qv
