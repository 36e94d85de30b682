// The connection's parts on their own. The served connection's rules on a made-up clock: the
// phase and its exact deadline after every event, when the timer is re-armed, back-pressure at
// and past its limit, which requests get "100 Continue". Who reports a close as an aborted read
// on a client connection, and which failed connects end the walk over a host's addresses.
#include "httprtsp/src/detail/connect_order.hpp"
#include "httprtsp/src/detail/reply_wait.hpp"
#include "httprtsp/src/detail/serve_policy.hpp"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using httprtsp::detail::serve_policy;
using std::chrono::milliseconds;

// Every time-out differs, so that a phase taking another's cannot pass.
serve_policy::limits distinct_limits() {
    serve_policy::limits l;
    l.header_timeout = milliseconds(10000);
    l.body_timeout = milliseconds(20000);
    l.idle_timeout = milliseconds(30000);
    l.max_unsent = 1000;
    return l;
}

const serve_policy::time_point t0 = serve_policy::time_point() + std::chrono::hours(1);
serve_policy::time_point at(int ms) {
    return t0 + milliseconds(ms);
}

TEST(ServePolicyPhaseTest, EveryEventLeadsToItsPhaseAndExactDeadline) {
    enum event {
        parsed_head,
        parsed_body,
        parsed_done,
        parsed_done_next,
        dispatched,
        queued,
        written
    };
    struct step {
        event what;
        int when; // ms after t0
        std::string waiting_for;
        int deadline; // ms after t0; -1: none
        bool idle;
        int stalled_since; // ms after t0: headers from their start, a body from its last
                           // progress; -1: no request in progress
    };
    const std::vector<step> steps = {
        // Before any request the header time-out bounds the wait for the first one.
        {parsed_head, 1000, "the request headers", 11000, false, 1000},
        // More header bytes do not move the header deadline: it runs from the first byte.
        {parsed_head, 5000, "the request headers", 11000, false, 1000},
        // The body runs on the body time-out from its last progress.
        {parsed_body, 6000, "the request body", 26000, false, 6000},
        {parsed_body, 7000, "the request body", 27000, false, 7000},
        // Complete: the handler's turn has no time-out and the connection is not idle.
        {dispatched, 8000, "the request body", 27000, false, 7000},
        {parsed_done, 8000, "the request body", -1, false, -1},
        // A queued reply must move within the body time-out.
        {queued, 9000, "the peer to take a reply", 29000, false, -1},
        // Answered and written: the idle time-out now.
        {written, 9500, "the next request", 39500, true, -1},
        // A new request that completes in the same read as the next one begins: its header
        // deadline runs from that read.
        {parsed_head, 40000, "the request headers", 50000, false, 40000},
        {parsed_done_next, 45000, "the request headers", 55000, false, 45000},
    };
    serve_policy policy;
    policy.serve(distinct_limits(), t0);
    serve_policy::wait first = policy.update(false);
    EXPECT_STREQ("a request", first.waiting_for);
    EXPECT_EQ(at(10000), first.deadline);
    EXPECT_TRUE(first.idle);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const step& s = steps[i];
        bool queued_now = false;
        switch (s.what) {
        case parsed_head:
            policy.parsed(true, false, false, 4096, at(s.when));
            break;
        case parsed_body:
            policy.parsed(true, true, false, 4096, at(s.when));
            break;
        case parsed_done:
            policy.parsed(false, false, true, 4096, at(s.when));
            break;
        case parsed_done_next:
            policy.parsed(true, false, true, 4096, at(s.when));
            break;
        case dispatched:
            policy.dispatched();
            break;
        case queued:
            policy.queued(100, true, true, at(s.when));
            queued_now = true;
            break;
        case written:
            policy.written(100, at(s.when));
            break;
        }
        const serve_policy::wait w = policy.update(queued_now);
        EXPECT_EQ(s.waiting_for, w.waiting_for) << "step " << i;
        EXPECT_EQ(s.deadline < 0 ? serve_policy::time_point::max() : at(s.deadline), w.deadline)
            << "step " << i;
        EXPECT_EQ(s.idle, w.idle) << "step " << i;
        EXPECT_EQ(s.stalled_since < 0 ? serve_policy::time_point::max() : at(s.stalled_since),
                  policy.stalled_since())
            << "step " << i;
    }
}

TEST(ServePolicyPhaseTest, TimerArmsOnlyForAnEarlierDeadlineAndExpiresExactlyAtIt) {
    serve_policy policy;
    policy.serve(distinct_limits(), t0);
    policy.update(false); // a request: t0 + 10 s
    EXPECT_TRUE(policy.arm_timer());
    EXPECT_FALSE(policy.expired(at(10000) - std::chrono::nanoseconds(1)));
    EXPECT_TRUE(policy.expired(at(10000)));
    policy.parsed(true, true, false, 4096, at(1000)); // the body: t0 + 21 s, later
    policy.update(false);
    EXPECT_FALSE(policy.arm_timer());
    policy.timer_fired(); // went off early: arms again for the later deadline
    EXPECT_TRUE(policy.arm_timer());
    policy.parsed(false, false, true, 4096, at(2000));
    policy.dispatched();
    policy.update(false); // the handler's turn: nothing to arm, nothing expires
    policy.timer_fired();
    EXPECT_FALSE(policy.arm_timer());
    EXPECT_FALSE(policy.expired(serve_policy::time_point::max() - std::chrono::hours(1)));
}

TEST(ServePolicyPhaseTest, BodyAndReplyBytesCountAsProgressOnlyAtTheMinimumRate) {
    serve_policy policy;
    policy.serve(distinct_limits(), t0); // 1024 bytes per second by default
    policy.parsed(true, true, false, 100, at(0));
    ASSERT_EQ(at(20000), policy.update(false).deadline);
    // 10 bytes in a second: below the rate, the body time-out runs on from the last progress.
    policy.parsed(true, true, false, 10, at(1000));
    EXPECT_EQ(at(20000), policy.update(false).deadline);
    // Caught up: 2,058 bytes in two seconds, at least 2,048.
    policy.parsed(true, true, false, 2048, at(2000));
    EXPECT_EQ(at(22000), policy.update(false).deadline);
    // 2,047 bytes two seconds later: one short.
    policy.parsed(true, true, false, 2047, at(4000));
    EXPECT_EQ(at(22000), policy.update(false).deadline);
    // A reply being taken part by part: the same rule.
    policy.parsed(false, false, true, 1, at(4500));
    policy.dispatched();
    policy.queued(1 << 20, true, true, at(5000));
    ASSERT_EQ(at(25000), policy.update(true).deadline);
    policy.taken(1023, at(6000)); // totals over the connection's life
    EXPECT_EQ(at(25000), policy.update(true).deadline);
    policy.taken(2048, at(7000));
    EXPECT_EQ(at(27000), policy.update(true).deadline);
    policy.taken(2048, at(8000)); // told again, nothing new
    policy.taken(1000, at(8000)); // a smaller total is no progress either
    EXPECT_EQ(at(27000), policy.update(true).deadline);
}

TEST(ServePolicyBackPressureTest, ReadingPausesOnePastTheLimitAndResumesOnceBelow) {
    serve_policy policy;
    policy.serve(distinct_limits(), t0); // at most 1000 unsent
    policy.queued(600, true, true, t0);
    policy.queued(400, true, false, t0);
    EXPECT_FALSE(policy.too_much_unsent()) << "exactly at the limit";
    policy.queued(100, true, false, t0);
    EXPECT_TRUE(policy.too_much_unsent()) << "past the limit";
    policy.pause_reading();
    EXPECT_FALSE(policy.written(99, t0)) << "one past the limit: still paused";
    EXPECT_TRUE(policy.reading_paused());
    EXPECT_TRUE(policy.written(1, t0)) << "at the limit: reading resumes";
    EXPECT_FALSE(policy.reading_paused());
    EXPECT_FALSE(policy.written(999, t0)) << "resumed once only";
    EXPECT_EQ(1u, policy.unsent());
    policy.closed();
    EXPECT_EQ(0u, policy.unsent());
}

TEST(ServePolicyContinueTest, OnlyAnHttp11RequestAwaitingItsBodyGetsOneContinue) {
    struct row {
        const char* protocol;
        const char* expect; // null: no Expect header
        bool in_body;
        bool body_started;
        bool upload_started;
        bool due;
    };
    const std::vector<row> rows = {
        {"HTTP/1.1", "100-continue", true, false, false, true},
        {"HTTP/1.1", "100-Continue", true, false, false, true},
        // An HTTP/1.0 or RTSP client would take the interim reply for the answer.
        {"HTTP/1.0", "100-continue", true, false, false, false},
        {"RTSP/1.0", "100-continue", true, false, false, false},
        {"HTTP/1.1", nullptr, true, false, false, false},
        {"HTTP/1.1", "something-else", true, false, false, false},
        {"HTTP/1.1", "100-continue", false, false, false, false}, // no body awaited
        {"HTTP/1.1", "100-continue", true, true, false, false},   // the body is coming already
        {"HTTP/1.1", "100-continue", true, false, true, false},   // an upload already streams
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const row& r = rows[i];
        serve_policy policy;
        policy.serve(distinct_limits(), t0);
        auto req = boost::make_shared<httprtsp::request>("POST", "/", r.protocol);
        if (r.expect)
            req->add_header("Expect", r.expect);
        req->attach_body(boost::make_shared<std::vector<char>>(r.body_started ? 1 : 0, 'x'));
        policy.parsed(true, r.in_body, false, 4096, t0);
        EXPECT_EQ(r.due, policy.due_continue(req, r.upload_started)) << "row " << i;
        EXPECT_FALSE(policy.due_continue(req, r.upload_started)) << "row " << i << ": once only";
    }
}

TEST(ReplyWaitCloseTest, ACloseIsReportedAsAnAbortedReadUnlessBytesWereBeingHandled) {
    using httprtsp::detail::reply_wait;
    if (!reply_wait::supported())
        GTEST_SKIP() << "callers never read their own replies here";
    enum stage { reactor_waiting, caller_took, caller_polling, caller_handling, io_thread };
    struct row {
        stage at;
        reply_wait::readable_action wait_reports; // what the outstanding wait's completion does
    };
    const std::vector<row> rows = {
        {reactor_waiting, reply_wait::readable_action::report_error},
        // Took the read side but has not polled yet: still a read outstanding.
        {caller_took, reply_wait::readable_action::report_error},
        {caller_polling, reply_wait::readable_action::report_error},
        {caller_handling, reply_wait::readable_action::quiet},
        {io_thread, reply_wait::readable_action::quiet},
    };
    for (const row& r : rows) {
        reply_wait wait;
        ASSERT_TRUE(wait.to_reactor());
        if (r.at != reactor_waiting && r.at != io_thread) {
            ASSERT_TRUE(wait.take());
        }
        if (r.at == caller_polling)
            wait.polling(true);
        if (r.at == caller_handling)
            wait.caller_read();
        if (r.at == io_thread)
            wait.to_io_thread();
        wait.closed();
        EXPECT_FALSE(wait.caller_owes_abort()) << "stage " << r.at << ": the wait reports it";
        EXPECT_EQ(r.wait_reports, wait.readable(true, true)) << "stage " << r.at;
    }
    // Data came (the wait completed for the caller), then the close before the caller read it:
    // no wait is left, so the caller owes the report.
    reply_wait wait;
    ASSERT_TRUE(wait.to_reactor());
    ASSERT_TRUE(wait.take());
    EXPECT_EQ(reply_wait::readable_action::left_to_caller, wait.readable(false, false));
    wait.closed();
    EXPECT_TRUE(wait.caller_owes_abort());
}

TEST(ClientConnectOrderTest, OnlyTheConfiguredDeadlineEndsTheWalkOverAddresses) {
    namespace error = boost::asio::error;
    using boost::system::error_code;
    struct row {
        std::vector<error_code> attempts; // per address, in resolver order
        int deadline_after;               // attempts after which the deadline has passed; -1
        error_code result;
        std::size_t tried;
        bool deadline_passed;
    };
    const std::vector<row> rows = {
        // The system's own time-out on a dead first address: the second one is tried.
        {{error::timed_out, error_code()}, -1, error_code(), 2, false},
        {{error::timed_out, error::connection_refused}, -1, error::connection_refused, 2, false},
        {{error::connection_refused, error_code()}, -1, error_code(), 2, false},
        // The configured time-out ends it and says so.
        {{error::timed_out, error_code()}, 1, error::timed_out, 1, true},
        {{error_code(), error_code()}, 1, error_code(), 1, false},
        {{}, -1, error::host_not_found, 0, false},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const row& r = rows[i];
        std::vector<std::size_t> endpoints(r.attempts.size());
        std::size_t tried = 0;
        const httprtsp::detail::connect_outcome out = httprtsp::detail::connect_in_order(
            endpoints, [&](std::size_t) { return r.attempts[tried++]; },
            [&] { return r.deadline_after >= 0 && tried >= std::size_t(r.deadline_after); });
        EXPECT_EQ(r.result, out.error) << "row " << i;
        EXPECT_EQ(r.tried, tried) << "row " << i;
        EXPECT_EQ(r.deadline_passed, out.deadline_passed) << "row " << i;
    }
}

} // namespace
