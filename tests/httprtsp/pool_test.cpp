// The I/O pool: surviving throwing handlers, and stop joining its threads.
#include "tests/support/pool_support.hpp"
#include "tests/support/httprtsp_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

TEST(PoolTest, ThrowingHandlerIsLoggedOnceAndTheServiceKeepsServing) {
    const bool saved = httprtsp::colours_enabled;
    httprtsp::colours_enabled = false;
    const struct {
        std::function<void()> raise;
        std::string line;
    } cases[] = {
        {[] { throw std::runtime_error("bad thing"); },
         "In io_service_helper, line #: Uncought exception: bad thing\n"},
        {[] { throw 7; }, "In io_service_helper, line #: Uncought unknown exception.\n"},
    };
    std::unique_ptr<io_service_pool> pool_owner(new io_service_pool(3));
    io_service_pool& pool = *pool_owner;
    for (const auto& c : cases) {
        conn_test::stdout_capture out;
        auto raise = c.raise;
        pool.get_io_service()->post(raise);
        ASSERT_TRUE(conn_test::wait_for([&] { return !out.text().empty(); }));
        std::promise<void> ran;
        pool.get_io_service()->post([&ran] { ran.set_value(); });
        EXPECT_EQ(std::future_status::ready, ran.get_future().wait_for(std::chrono::seconds(10)));
        EXPECT_EQ(c.line, conn_test::normalise_lines(out.text()));
        // No thread was lost.
        EXPECT_EQ(3u, conn_test::pool_thread_names(pool, 3).size());
    }
    pool_owner.reset(); // joined: nothing reads the switch any more
    httprtsp::colours_enabled = saved;
}

TEST(PoolTest, StopWaitsForRunningHandlersAndSkipsQueuedOnes) {
    io_service_pool pool(1);
    std::atomic<bool> started(false), finished(false), queued_ran(false);
    pool.get_io_service()->post([&] {
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        finished = true;
    });
    pool.get_io_service()->post([&] { queued_ran = true; });
    ASSERT_TRUE(conn_test::wait_for([&] { return started.load(); }));
    pool.stop(); // the work guard is still held
    EXPECT_TRUE(finished.load());
#if !defined(_WIN32)
    // Windows' completion port hands out what was queued before the stop request first, so
    // there the queued handler may still run.
    EXPECT_FALSE(queued_ran.load());
#endif
}

TEST(PoolTest, StopJoinsEveryThread) {
    std::atomic<int> finished(0);
    {
        io_service_pool pool(3);
        std::atomic<int> started(0);
        for (int i = 0; i < 3; ++i)
            pool.get_io_service()->post([&, i] {
                ++started;
                while (started < 3)
                    std::this_thread::yield();
                std::this_thread::sleep_for(std::chrono::milliseconds(50 * (i + 1)));
                ++finished;
            });
        ASSERT_TRUE(conn_test::wait_for([&] { return started == 3; }));
        pool.stop();
        EXPECT_EQ(3, finished.load());
        pool.stop(); // a second stop finds nothing to join
    }
    EXPECT_EQ(3, finished.load());
}

} // namespace
