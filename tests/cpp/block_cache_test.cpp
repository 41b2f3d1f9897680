#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "buffer/block_cache.hpp"
#include "buffer/f64_vec.hpp"

namespace qv {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST(BlockCache, ClassesRoundUpByAtMostAnEighth) {
    for (std::size_t bytes : std::vector<std::size_t>{kBlockCacheMin, kBlockCacheMin + 1, 800000,
                                                      3 * kMiB + 5, 80000000}) {
        const std::size_t size = block_class(bytes);
        EXPECT_GE(size, bytes);
        EXPECT_LE(size - bytes, bytes / 8);
        EXPECT_EQ(block_class(size), size);
    }
}

// A freed block comes back for the next request of its class, not for another class.
TEST(BlockCache, FreedBlocksAreReusedByClass) {
    block_cache_release_all();
    void* a = block_take(800'000);
    std::memset(a, 1, 800'000);
    block_give_back(a, 800'000);
    EXPECT_EQ(block_cache_kept_bytes(), block_class(800'000));
    void* other = block_take(3 * kMiB);
    EXPECT_NE(other, a);
    void* again = block_take(799'990);  // same class
    EXPECT_EQ(again, a);
    EXPECT_EQ(block_cache_kept_bytes(), 0u);
    block_give_back(other, 3 * kMiB);
    block_give_back(again, 799'990);
    block_cache_release_all();
    EXPECT_EQ(block_cache_kept_bytes(), 0u);
}

TEST(BlockCache, KeepsNoMoreThanItsBound) {
    block_cache_release_all();
    const std::size_t bound = block_cache_bound();
    const std::size_t each = bound / 3 + 1;
    std::vector<void*> blocks;
    for (int i = 0; i < 4; ++i) blocks.push_back(block_take(each));
    for (void* p : blocks) block_give_back(p, each);
    EXPECT_LE(block_cache_kept_bytes(), bound);
    EXPECT_GT(block_cache_kept_bytes(), 0u);
    block_cache_release_all();
}

// Vectors use the cache: a dropped large vector's storage is the next one's.
TEST(BlockCache, VectorsReuseStorage) {
    block_cache_release_all();
    const double* first = nullptr;
    {
        F64Vec v(100'000);
        first = v.data();
    }
    F64Vec w(100'000);
    EXPECT_EQ(w.data(), first);
}

// With nothing taken or given back for a while, what is kept is released.
TEST(BlockCache, IdleProcessReleasesWhatIsKept) {
    block_give_back(block_take(kMiB), kMiB);
    ASSERT_GT(block_cache_kept_bytes(), 0u);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (block_cache_kept_bytes() != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(block_cache_kept_bytes(), 0u);
}

}  // namespace
}  // namespace qv
