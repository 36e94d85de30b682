#include "httprtsp/src/detail/serve_policy.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <atomic>

namespace httprtsp {
namespace detail {

namespace {

class continue_message : public message {
public:
    std::vector<boost::asio::const_buffer> to_buffers() const override {
        return {boost::asio::buffer(text, sizeof text - 1)};
    }
    std::string to_string() const override { return "httprtsp::reply[status: 100]"; }

private:
    static constexpr char text[] = "HTTP/1.1 100 Continue\r\n\r\n";
};
constexpr char continue_message::text[];

} // namespace

boost::shared_ptr<message> continue_reply() {
    return boost::make_shared<continue_message>();
}

bool is_continue_reply(const boost::shared_ptr<message>& msg) {
    return static_cast<bool>(boost::dynamic_pointer_cast<continue_message>(msg));
}

void serve_policy::serve(const limits& l, time_point now) {
    serving_ = true;
    limits_ = l;
    last_progress_ = now;
}

void serve_policy::parsed(bool in_progress, bool in_body, bool completed, std::size_t bytes,
                          time_point now) {
    const bool more_body = in_body_ && in_progress && in_body && !completed;
    if (in_progress && (!in_progress_ || completed))
        request_start_ = now;
    in_progress_ = in_progress;
    in_body_ = in_progress && in_body;
    if (more_body)
        progress(bytes, now);
    else
        mark_progress(now);
}

void serve_policy::taken(std::uint64_t total, time_point now) {
    if (total <= taken_)
        return;
    const std::uint64_t bytes = total - taken_;
    taken_ = total;
    if (serving_)
        progress(bytes, now);
}

void serve_policy::progress(std::uint64_t bytes, time_point now) {
    progress_bytes_ += bytes;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - last_progress_).count();
    if (elapsed > 0 &&
        progress_bytes_ * 1000 < std::uint64_t(limits_.min_rate) * std::uint64_t(elapsed))
        return;
    mark_progress(now);
}

void serve_policy::mark_progress(time_point now) {
    last_progress_ = now;
    progress_bytes_ = 0;
}

void serve_policy::dispatched() {
    ++unanswered_;
    seen_request_ = true;
}

void serve_policy::queued(std::size_t counted, bool answers, bool first, time_point now) {
    unsent_ += counted;
    if (!serving_)
        return;
    if (unanswered_ > 0 && answers)
        --unanswered_;
    if (first)
        mark_progress(now);
}

bool serve_policy::written(std::size_t counted, time_point now) {
    unsent_ -= std::min(unsent_, counted);
    if (serving_)
        mark_progress(now);
    if (!read_paused_ || too_much_unsent())
        return false;
    read_paused_ = false;
    return true;
}

void serve_policy::closed() {
    unsent_ = 0;
    release_body();
}

serve_policy::wait serve_policy::update(bool replies_queued) {
    wait next;
    if (replies_queued) {
        next.deadline = last_progress_ + limits_.body_timeout;
        next.waiting_for = "the peer to take a reply";
    } else if (in_progress_ && in_body_) {
        next.deadline = last_progress_ + limits_.body_timeout;
        next.waiting_for = "the request body";
    } else if (in_progress_) {
        next.deadline = request_start_ + limits_.header_timeout;
        next.waiting_for = "the request headers";
    } else if (unanswered_ == 0) {
        next.idle = true;
        next.deadline =
            last_progress_ + (seen_request_ ? limits_.idle_timeout : limits_.header_timeout);
        next.waiting_for = seen_request_ ? "the next request" : "a request";
    } else {
        next.waiting_for = current_.waiting_for; // the handler's turn: no time-out
    }
    current_ = next;
    return next;
}

bool serve_policy::arm_timer() {
    const time_point deadline = current_.deadline;
    if (deadline == time_point::max() || (timer_armed_ && timer_expiry_ <= deadline))
        return false;
    timer_armed_ = true;
    timer_expiry_ = deadline;
    return true;
}

std::uint64_t serve_policy::body_size(const message& msg) {
    const std::uint64_t held = msg.body() ? msg.body()->size() : 0;
    message::header_map::const_iterator length = msg.find_header("Content-Length");
    if (length == msg.headers().end())
        return held;
    // Digits only; anything else the parser refuses on its own. Past 19 digits it saturates.
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (char c : length->second) {
        if (c == ' ' || c == '\t')
            continue;
        if (c < '0' || c > '9')
            return held;
        if (++digits > 19)
            return ~std::uint64_t(0);
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return std::max(value, held);
}

bool serve_policy::body_over(const message& msg, std::uint64_t limit) {
    return body_size(msg) > limit;
}

bool serve_policy::reserve_body(std::uint64_t need) {
    if (need <= body_reserved_)
        return true;
    if (!body_budget::take(need - body_reserved_))
        return false;
    body_reserved_ = need;
    return true;
}

void serve_policy::release_body() {
    body_budget::give_back(body_reserved_);
    body_reserved_ = 0;
}

namespace {
std::atomic<std::uint64_t> budget_limit{body_budget::default_limit};
std::atomic<std::uint64_t> budget_used{0};
} // namespace

void body_budget::set_limit(std::uint64_t bytes) {
    budget_limit.store(bytes);
}

std::uint64_t body_budget::limit() {
    return budget_limit.load();
}

std::uint64_t body_budget::in_use() {
    return budget_used.load();
}

bool body_budget::take(std::uint64_t bytes) {
    std::uint64_t used = budget_used.load();
    do {
        if (bytes > budget_limit.load() || used > budget_limit.load() - bytes)
            return false;
    } while (!budget_used.compare_exchange_weak(used, used + bytes));
    return true;
}

void body_budget::give_back(std::uint64_t bytes) {
    budget_used.fetch_sub(bytes);
}

bool serve_policy::due_continue(const boost::shared_ptr<request>& req, bool upload_started) {
    if (!in_body_ || !req || req->protocol() != "HTTP/1.1" || !req->body()->empty() ||
        upload_started || continued_.lock() == req)
        return false;
    message::header_map::const_iterator expect = req->find_header("Expect");
    if (expect == req->headers().end() || !boost::iequals(expect->second, "100-continue"))
        return false;
    continued_ = req;
    return true;
}

} // namespace detail
} // namespace httprtsp
