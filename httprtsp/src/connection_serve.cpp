// The connection's limits: the parser's, and for a served connection the time-outs,
// back-pressure and "100 Continue" that detail::serve_policy decides.
#include "httprtsp/src/connection.hpp"

#include "httprtsp/src/detail/outbound_queue.hpp"
#include "httprtsp/src/detail/serve_policy.hpp"

#include <boost/bind/bind.hpp>

namespace httprtsp {

namespace {
typedef std::chrono::steady_clock clock_type;
} // namespace

void connection::serve(const server_limits& limits, boost::shared_ptr<server_hooks> hooks) {
    scoped_lock lock(lock_);
    detail::serve_policy::limits policy_limits;
    policy_limits.header_timeout = limits.header_timeout;
    policy_limits.body_timeout = limits.body_timeout;
    policy_limits.idle_timeout = limits.idle_timeout;
    policy_limits.max_unsent = limits.max_unsent;
    policy_->serve(policy_limits, clock_type::now());
    format_->set_limits(limits.parser);
    hooks_ = hooks;
    update_deadline();
}

// The one time-out that applies to what the connection waits for now; the timer is only
// re-armed when that comes earlier than its current expiry.
void connection::update_deadline() {
    if (!policy_->serving() || !socket_.is_open())
        return;
    const detail::serve_policy::wait next = policy_->update(!outbound_->empty());
    if (next.idle && !idle_.load() && hooks_)
        hooks_->idle(*this);
    idle_.store(next.idle);
    if (!policy_->arm_timer())
        return;
    timer_.expires_at(next.deadline);
    timer_.async_wait(
        boost::bind(&connection::handle_timer, shared_from_this(), boost::placeholders::_1));
}

// After the bytes of one read were parsed.
void connection::note_activity(bool in_progress, bool completed) {
    if (!policy_->serving())
        return;
    boost::shared_ptr<message> msg = format_->get_current_message();
    policy_->parsed(in_progress, msg && msg->body(), completed, clock_type::now());
    answer_continue();
    update_deadline();
}

// An HTTP/1.1 client that announced "Expect: 100-continue" waits for this before it sends
// the body.
void connection::answer_continue() {
    if (!socket_.is_open())
        return;
    if (policy_->due_continue(boost::dynamic_pointer_cast<request>(format_->get_current_message()),
                              upload_ && upload_->started()))
        send(detail::continue_reply());
}

void connection::set_parser_limits(const parser_limits& limits) {
    scoped_lock lock(lock_);
    format_->set_limits(limits);
}

parser_limits connection::get_parser_limits() const {
    scoped_lock lock(lock_);
    return format_->get_limits();
}

} // namespace httprtsp
