// What a connection holds its peer to: the time-outs of each phase, back-pressure on unsent
// replies, whether "100 Continue" is due. No I/O and no clock of its own: the connection
// reports what happened, with the time, and acts on the answers.
#ifndef HTTPRTSP_DETAIL_SERVE_POLICY_HPP
#define HTTPRTSP_DETAIL_SERVE_POLICY_HPP

#include "httprtsp/src/message.hpp"

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace httprtsp {
namespace detail {

class serve_policy {
public:
    typedef std::chrono::steady_clock clock;
    typedef clock::time_point time_point;

    struct limits {
        std::chrono::milliseconds header_timeout{60000};
        std::chrono::milliseconds body_timeout{60000};
        std::chrono::milliseconds idle_timeout{75000};
        std::size_t max_unsent = 1024 * 1024;
        std::size_t min_rate = 1024;
    };

    // What the connection waits for now, and until when (max: no time-out).
    struct wait {
        time_point deadline = time_point::max();
        const char* waiting_for = "";
        bool idle = false;
    };

    // Makes the time-outs apply (a served connection); back-pressure applies either way.
    void serve(const limits& l, time_point now);
    bool serving() const { return serving_; }
    void set_max_unsent(std::size_t bytes) { limits_.max_unsent = bytes; }

    // The bytes of one read were parsed: a request is (still) in progress, in its body or not;
    // completed: at least one message was completed.
    void parsed(bool in_progress, bool in_body, bool completed, std::size_t bytes, time_point now);
    // The peer has taken total bytes of replies over the connection's life (so far as the
    // system tells; else what the socket took).
    void taken(std::uint64_t total, time_point now);
    // A request went to the handler.
    void dispatched();
    // A message was queued: counted bytes add to the unsent ones; answers: it answers a
    // request; first: it is the only one queued.
    void queued(std::size_t counted, bool answers, bool first, time_point now);
    // The front message is all out. True when reading was paused and may resume now.
    bool written(std::size_t counted, time_point now);
    void closed();

    // Reading stops while the unsent bytes are over the limit.
    bool too_much_unsent() const { return unsent_ > limits_.max_unsent; }
    void pause_reading() { read_paused_ = true; }
    bool reading_paused() const { return read_paused_; }
    std::size_t unsent() const { return unsent_; }
    std::size_t unanswered() const { return unanswered_; }

    // The phase now, its deadline kept for expired(). replies_queued: the write queue holds any.
    wait update(bool replies_queued);
    const wait& current() const { return current_; }
    // Since when the request in progress has been stalled: for a body, its last counted
    // progress; for headers, their start (a header block comes at once from a sound peer).
    // max while no request is in progress.
    time_point stalled_since() const {
        if (!in_progress_)
            return time_point::max();
        return in_body_ ? last_progress_ : request_start_;
    }
    bool expired(time_point now) const {
        return current_.deadline != time_point::max() && now >= current_.deadline;
    }
    // Whether the timer must be (re-)armed for the current deadline: only when it comes earlier
    // than the expiry of the one already armed.
    bool arm_timer();
    // The armed timer went off.
    void timer_fired() { timer_armed_ = false; }

    // Requests from the peer of a client connection, which has no routes to serve them, may
    // carry bodies up to this size; a larger one is refused before it is read.
    static const std::uint64_t peer_request_body_limit = 64 * 1024;
    // Whether msg's body, announced or received so far, is over limit.
    static bool body_over(const message& msg, std::uint64_t limit);
    // The larger of msg's Content-Length (saturating) and the body it holds so far.
    static std::uint64_t body_size(const message& msg);

    // The request being read holds need bytes of body: takes what it adds from the process-wide
    // budget; false (nothing taken) when the budget cannot cover it.
    bool reserve_body(std::uint64_t need);
    // The request is complete or refused: its share goes back.
    void release_body();

    // Whether req, whose body is awaited, gets "100 Continue" now (once per request): an
    // HTTP/1.1 request announcing "Expect: 100-continue" before any of its body has come.
    bool due_continue(const boost::shared_ptr<request>& req, bool upload_started);

private:
    bool serving_ = false;
    limits limits_;
    wait current_;
    bool timer_armed_ = false;
    time_point timer_expiry_;
    bool in_progress_ = false;
    bool in_body_ = false;
    bool seen_request_ = false;
    time_point request_start_;
    time_point last_progress_;
    std::size_t unanswered_ = 0;
    std::size_t unsent_ = 0;
    bool read_paused_ = false;
    boost::weak_ptr<message> continued_;
    std::uint64_t body_reserved_ = 0;
    std::uint64_t progress_bytes_ = 0; // body or reply bytes since the last counted progress
    std::uint64_t taken_ = 0;          // reply bytes the peer had taken when last told

    // Body and reply bytes restart the body time-out only while they keep up with the minimum
    // rate since the last counted progress: a byte now and then does not hold the connection.
    void progress(std::uint64_t bytes, time_point now);
    void mark_progress(time_point now);
};

// Bodies held in memory by all served connections of the process together.
class body_budget {
public:
    static const std::uint64_t default_limit = std::uint64_t(256) << 20;
    static void set_limit(std::uint64_t bytes);
    static std::uint64_t limit();
    static std::uint64_t in_use();
    static bool take(std::uint64_t bytes);
    static void give_back(std::uint64_t bytes);
};

// The interim answer to "Expect: 100-continue"; it answers no request.
boost::shared_ptr<message> continue_reply();
bool is_continue_reply(const boost::shared_ptr<message>& msg);

} // namespace detail
} // namespace httprtsp

#endif
