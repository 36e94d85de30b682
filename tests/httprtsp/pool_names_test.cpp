// Thread names of the I/O pools; a program of its own, so that its first pool is the
// process's first.
#include "tests/support/pool_support.hpp"

#include <gtest/gtest.h>

TEST(PoolNamesTest, FirstPoolIsIO0ToIO2AndASecondPoolContinuesTheCount) {
    io_service_pool first(3);
    EXPECT_EQ((std::set<std::string>{"IO0", "IO1", "IO2"}), conn_test::pool_thread_names(first, 3));
    io_service_pool second(2);
    EXPECT_EQ((std::set<std::string>{"IO3", "IO4"}), conn_test::pool_thread_names(second, 2));
    // Names stay with their threads.
    EXPECT_EQ((std::set<std::string>{"IO0", "IO1", "IO2"}), conn_test::pool_thread_names(first, 3));
}
