#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "buffer/inner.hpp"
#include "core/fault.hpp"

namespace qv {
namespace {

TEST(Buffer, FromVecMovesStorage) {
    F64Vec v{2.5, 7.0, -1.0};
    const double* p = v.data();
    BufferRef b = from_f64_vec(std::move(v));
    EXPECT_EQ(b->element_count(), 3u);
    EXPECT_EQ(b->as_f64_slice().data(), p);
    EXPECT_EQ(b->shape(), std::vector<std::size_t>{3});
    EXPECT_EQ(b->dtype(), DType::F64);
}

TEST(Buffer, ElementCountOfShapes) {
    EXPECT_EQ(BufferInner({}, F64Vec{1.0}, 8, DType::F64).element_count(), 1u);
    EXPECT_EQ(BufferInner({2, 0}, F64Vec{}, 0, DType::F64).element_count(), 0u);
    EXPECT_EQ(BufferInner({2, 3}, F64Vec(6), 48, DType::F64).element_count(), 6u);
}

TEST(Buffer, TypedAccessRefusesOtherDtypes) {
    BufferInner b({2}, F64Vec(1), 8, DType::I32);
    try {
        (void)b.as_f64_slice();
        FAIL() << "expected a fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.text(),
                  "assertion `left == right` failed: as_f64_slice requires F64 dtype\n"
                  "  left: I32\n right: F64");
    }
}

// A lent record reads the owner's memory in place and keeps the owner until its last
// reference goes.
TEST(Buffer, LentMemoryLivesAsLongAsItsLastReference) {
    auto owner = std::make_shared<std::vector<double>>(std::vector<double>{1, 2, 3, 4, 5, 6});
    std::weak_ptr<std::vector<double>> watch = owner;
    BufferRef lent = lend_f64({2, 3}, owner->data(), owner);
    const double* data = owner->data();
    owner.reset();
    EXPECT_EQ(lent->element_count(), 6u);
    EXPECT_EQ(lent->byte_len(), 48u);
    EXPECT_EQ(lent->as_f64_slice().data(), data);
    EXPECT_EQ(lent->as_f64_slice()[5], 6.0);
    BufferRef copy = lent;
    lent.reset();
    EXPECT_FALSE(watch.expired());
    copy.reset();
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace qv
