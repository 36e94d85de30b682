// The connection's limits: the parser's, the body budget and the small limits of a client
// connection's peer, and for a served connection the time-outs, back-pressure and
// "100 Continue" that detail::serve_policy decides.
#include "httprtsp/src/connection.hpp"

#include "httprtsp/src/detail/outbound_queue.hpp"
#include "httprtsp/src/detail/serve_policy.hpp"
#include "httprtsp/src/detail/upload_stream.hpp"

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
    policy_limits.min_rate = limits.min_rate;
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
    // Idle before the server hears of it: a server at the cap that looks for room in between
    // sees it idle, or else is told afterwards.
    const bool became_idle = next.idle && !idle_.load();
    idle_.store(next.idle);
    if (became_idle && hooks_)
        hooks_->idle(*this);
    stalled_since_.store(policy_->stalled_since().time_since_epoch().count());
    if (!policy_->arm_timer())
        return;
    timer_.expires_at(next.deadline);
    timer_.async_wait(
        boost::bind(&connection::handle_timer, shared_from_this(), boost::placeholders::_1));
}

// After the bytes of one read were parsed.
void connection::note_activity(bool in_progress, bool completed, std::size_t bytes) {
    if (!policy_->serving())
        return;
    boost::shared_ptr<message> msg = format_->get_current_message();
    policy_->parsed(in_progress, msg && msg->body(), completed, bytes, clock_type::now());
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

// A client connection serves no routes: a request from its peer with a body held in memory past
// the small limit is answered 400 (the stock pages have no 413) before the body is read, and the
// connection closes.
bool connection::refuse_peer_request(parse_step& step) {
    if (policy_->serving() || (!boost::indeterminate(step.result) && !step.result))
        return false;
    boost::shared_ptr<message> msg = step.msg ? step.msg : format_->get_current_message();
    boost::shared_ptr<request> req = boost::dynamic_pointer_cast<request>(msg);
    // An upload handler streams its uploads to a file: they hold no memory here.
    if (!req || (upload_ && is_upload_request(*req, format_->upload_uri)) ||
        !detail::serve_policy::body_over(*req, detail::serve_policy::peer_request_body_limit))
        return false;
    if (boost::indeterminate(step.result))
        format_->reset();
    reject(msg, 400);
    return true;
}

// A served request's body held in memory takes its share of the process-wide budget as soon
// as it is announced; past the budget the request is answered 503 before its body is read.
bool connection::over_budget(parse_step& step) {
    if (!policy_->serving() || (!boost::indeterminate(step.result) && !step.result))
        return false;
    boost::shared_ptr<message> msg = step.msg ? step.msg : format_->get_current_message();
    boost::shared_ptr<request> req = boost::dynamic_pointer_cast<request>(msg);
    bool held = req && req->body() && !is_upload_request(*req, format_->upload_uri);
    {
        scoped_lock lock(lock_);
        held = held && !policy_->reserve_body(detail::serve_policy::body_size(*req));
        if (!held && !boost::indeterminate(step.result))
            policy_->release_body(); // complete: the handler has it now
    }
    if (!held)
        return false;
    if (boost::indeterminate(step.result))
        format_->reset();
    reject(msg, 503);
    return true;
}

} // namespace httprtsp
