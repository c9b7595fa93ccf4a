// The inflate buffer pool: files of nearby sizes share buffers, a buffer is
// never smaller than asked for, and idle memory stays within the budget.
#include <gtest/gtest.h>

#include "engine/buffer_pool.h"

namespace {

using tavmerk::BufferPool;

TEST(BufferPool, AFreedBufferServesTheNextFileOfASimilarSize)
{
    BufferPool pool(size_t(8) << 20);
    BufferPool::Buffer first = pool.take(100000);
    ASSERT_TRUE(first.data);
    ASSERT_GE(first.capacity, 100000u);
    const uint8_t* memory = first.data.get();
    pool.give(std::move(first));

    // A somewhat larger file gets the same memory back, not a fresh buffer.
    BufferPool::Buffer second = pool.take(120000);
    EXPECT_EQ(second.data.get(), memory);
    EXPECT_GE(second.capacity, 120000u);

    // One that does not fit in it gets a buffer of its own.
    BufferPool::Buffer third = pool.take(second.capacity + 1);
    ASSERT_TRUE(third.data);
    EXPECT_NE(third.data.get(), memory);
    EXPECT_GT(third.capacity, second.capacity);
}

TEST(BufferPool, TakesTheSmallestIdleBufferThatFits)
{
    BufferPool pool(size_t(64) << 20);
    BufferPool::Buffer big = pool.take(size_t(4) << 20);
    BufferPool::Buffer medium = pool.take(size_t(300) << 10);
    const uint8_t* medium_memory = medium.data.get();
    pool.give(std::move(big));
    pool.give(std::move(medium));
    EXPECT_EQ(pool.take(size_t(200) << 10).data.get(), medium_memory);
}

TEST(BufferPool, IdleBuffersStayWithinTheBudget)
{
    BufferPool pool(size_t(1) << 20);
    BufferPool::Buffer large = pool.take(size_t(600) << 10);
    BufferPool::Buffer small = pool.take(size_t(100) << 10);
    ASSERT_LE(large.capacity, size_t(1) << 20);
    const uint8_t* large_memory = large.data.get();
    pool.give(std::move(large));
    pool.give(std::move(small));  // over the budget: freed, not kept
    // Had the small one been kept, it would be the smallest fit here.
    EXPECT_EQ(pool.take(size_t(100) << 10).data.get(), large_memory);
}

TEST(BufferPool, EmptyRequestsGetARealBuffer)
{
    BufferPool pool(1024);
    const BufferPool::Buffer empty = pool.take(0);
    EXPECT_TRUE(empty.data);
    EXPECT_GE(empty.capacity, 1u);
}

}  // namespace
