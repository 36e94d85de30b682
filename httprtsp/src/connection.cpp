#include "httprtsp/src/connection.hpp"

#include "httprtsp/src/detail/outbound_queue.hpp"
#include "httprtsp/src/detail/printable.hpp"
#include "httprtsp/src/detail/reply_wait.hpp"
#include "httprtsp/src/detail/serve_policy.hpp"
#include "httprtsp/src/detail/upload_stream.hpp"
#include "httprtsp/src/io_service_helper.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/exception_ptr.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace httprtsp {

static_assert(connection::upload_header_limit == upload_stream::header_limit,
              "the announced limit is the upload step's");

namespace {

typedef std::chrono::steady_clock clock_type;

} // namespace

connection::connection(boost::shared_ptr<boost::asio::io_service> io_service,
                       boost::shared_ptr<request_handler_base> handler)
    : io_service_(io_service), socket_(*io_service), handler_(handler),
      format_(boost::make_shared<httprtsp_message_format>()), read_into_(read_buffer_.data()),
      outbound_(new detail::outbound_queue), policy_(new detail::serve_policy), timer_(*io_service),
      idle_(false), peer_known_(false), reply_wait_(new detail::reply_wait) {
    if (boost::shared_ptr<upload_temp_file_request_handler> uploads =
            boost::dynamic_pointer_cast<upload_temp_file_request_handler>(handler)) {
        upload_.reset(new upload_stream(uploads, *this));
        format_->upload_uri = uploads->upload_uri();
    }
}

connection::~connection() {
    close();
}

void connection::handle_timer(const boost::system::error_code& error) {
    if (error == boost::asio::error::operation_aborted)
        return; // re-armed or closed
    scoped_lock lock(lock_);
    policy_->timer_fired();
    if (!socket_.is_open() ||
        policy_->current().deadline == detail::serve_policy::time_point::max())
        return;
    if (policy_->expired(clock_type::now()) && !outbound_->empty()) {
        note_taken();
        update_deadline();
    }
    if (!policy_->expired(clock_type::now())) {
        update_deadline();
        return;
    }
    HTTPRTSP_LOG_NOTICE("closing %s:%d: waited too long for %s\n",
                        peer_endpoint_.address().to_string().c_str(),
                        static_cast<int>(peer_endpoint_.port()), policy_->current().waiting_for);
    close();
}

bool connection::is_closed() {
    scoped_lock lock(lock_);
    return !socket_.is_open();
}

void connection::start() {
    scoped_lock lock(lock_);
    if (!socket_.is_open()) {
        HTTPRTSP_LOG_WARNING("%p start:: socket already closed\n", static_cast<void*>(this));
        return;
    }
    if (!peer_known_) {
        boost::system::error_code ignored;
        peer_endpoint_ = socket_.remote_endpoint(ignored);
        peer_known_ = !ignored;
    }
    if (!policy_->serving() && detail::reply_wait::supported()) {
        if (reply_wait_->to_reactor())
            socket_.async_wait(boost::asio::ip::tcp::socket::wait_read,
                               boost::bind(&connection::handle_readable, shared_from_this(),
                                           boost::placeholders::_1));
        return;
    }
    socket_.async_read_some(read_space(),
                            boost::bind(&connection::handle_read, shared_from_this(),
                                        boost::placeholders::_1, boost::placeholders::_2));
}

boost::shared_ptr<reply>
connection::issue_request(boost::shared_ptr<request> req,
                          std::optional<std::chrono::milliseconds> reply_timeout) {
    reply_placeholder_ptr placeholder = boost::make_shared<reply_placeholder>();
    auto future = placeholder->promise.get_future();
    bool own_read = false;
    {
        scoped_lock lock(lock_);
        queue_message(req, true);
        pending_replies_.push_back(placeholder);
        own_read = take_read_side();
    }
    std::optional<clock_type::time_point> deadline;
    if (reply_timeout)
        deadline = clock_type::now() + *reply_timeout;
    // Still waiting when the time is up (neither answered nor settled meanwhile): fail like
    // a lost connection.
    const auto give_up = [this, &placeholder] {
        scoped_lock lock(lock_);
        const auto waiting =
            std::find(pending_replies_.begin(), pending_replies_.end(), placeholder);
        if (waiting == pending_replies_.end())
            return false;
        pending_replies_.erase(waiting);
        abandoned_ = true;
        close(boost::asio::error::timed_out);
        return true;
    };
    bool late = false;
    try {
        // Boost.Thread's date-time wait: its chrono waits need a library nothing else links.
        if (own_read && !read_own_reply(deadline)) {
            late = give_up();
        } else if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                std::max(*deadline - clock_type::now(), clock_type::duration::zero()));
            if (!future.timed_wait(boost::posix_time::milliseconds(left.count())))
                late = give_up();
        }
        if (!late)
            return future.get();
    } catch (boost::thread_interrupted&) {
        clean_canceled_request(placeholder);
        throw;
    } catch (std::exception& e) {
        HTTPRTSP_LOG_ERROR("connection::issue_request: %s\n", e.what());
        clean_canceled_request(placeholder);
    } catch (...) {
        HTTPRTSP_LOG_ERROR("connection::issue_request: %s\n", "unknown exception");
        clean_canceled_request(placeholder);
    }
    if (late)
        throw boost::system::system_error(boost::asio::error::timed_out);
    return boost::shared_ptr<reply>();
}

bool connection::clean_canceled_request(reply_placeholder_ptr placeholder) {
    HTTPRTSP_LOG_ERROR("clean_canceled_request\n");
    if (!placeholder)
        return false;
    {
        scoped_lock lock(lock_);
        pending_replies_.remove(placeholder);
    }
    try {
        placeholder->promise.set_value(boost::shared_ptr<reply>());
    } catch (std::exception& e) {
        HTTPRTSP_LOG_ERROR("runtime error while handling 'promise' request: %s\n", e.what());
    }
    return true;
}

void connection::close(const boost::system::error_code& error) {
    scoped_lock lock(lock_, boost::defer_lock);
    try {
        lock.lock();
    } catch (std::exception& e) {
        HTTPRTSP_LOG_ERROR("runtime error while handling 'cancel': %s\n", e.what());
        return;
    }
    if (!socket_.is_open())
        return;

    if (upload_)
        upload_->abort(); // cut off: nothing of it may pass for complete
    boost::system::error_code close_error;
    socket_.close(close_error);
    policy_->closed();
    if (policy_->serving()) {
        boost::system::error_code ignored;
        timer_.cancel(ignored);
        idle_.store(false);
        if (hooks_)
            hooks_->closed(*this);
    }
    if (close_error)
        HTTPRTSP_LOG_ERROR("runtime error while handling 'close': %s\n",
                           close_error.message().c_str());
    reply_wait_->closed();

    for (const reply_placeholder_ptr& placeholder : pending_replies_) {
        try {
            if (error)
                placeholder->promise.set_exception(
                    boost::copy_exception(boost::system::system_error(error)));
            else
                placeholder->promise.set_value(boost::shared_ptr<reply>());
        } catch (std::exception& e) {
            HTTPRTSP_LOG_ERROR("runtime error while handling 'promise' request: %s\n", e.what());
        }
    }
    pending_replies_.clear();

    // The front message's aborted write is still to complete and refers to it.
    outbound_->drop_behind_front();

    if (error && handler_) {
        try {
            handler_->handle_request(shared_from_this(), boost::shared_ptr<request>());
        } catch (std::exception& e) {
            HTTPRTSP_LOG_ERROR("runtime error while handling 'close' request: %s\n", e.what());
        }
    }
}

void connection::receive(const char* data, std::size_t size) {
    while (size != 0) {
        const std::size_t piece = std::min(size, read_buffer_.size());
        if (!process_received(data, data + piece))
            return;
        data += piece;
        size -= piece;
    }
}

void connection::handle_read(const boost::system::error_code& read_error, std::size_t bytes) {
    continue_read(nullptr, read_into_, read_into_ + bytes, read_error);
}

void connection::continue_read(parse_step* first, const char* pos, const char* end,
                               boost::system::error_code error) {
    for (unsigned round = 0;; ++round) {
        if (!process_received(pos, end, first))
            return;
        first = nullptr;
        if (error || round == direct_read_limit)
            break;
        {
            scoped_lock lock(lock_);
            if (policy_->too_much_unsent())
                break;
        }
        const std::size_t bytes = read_waiting(error);
        pos = read_into_;
        end = read_into_ + bytes;
        if (error == boost::asio::error::would_block) {
            error = boost::system::error_code();
            break;
        }
    }

    if (!error) {
        scoped_lock lock(lock_);
        if (policy_->too_much_unsent()) {
            policy_->pause_reading(); // resumed once the replies have drained
            return;
        }
        start();
    } else if (error == boost::asio::error::operation_aborted && abandoned_) {
        return; // closed after a late reply; the caller has reported that
    } else if (error == boost::asio::error::operation_aborted) {
        HTTPRTSP_LOG_NOTICE(
            "%p====================================1.boost::asio::error::operation_aborted: ignored\n",
            static_cast<void*>(this));
        start();
    } else {
        // A reply framed by neither length nor chunks ends with the stream.
        boost::shared_ptr<message> last;
        if (error == boost::asio::error::eof && (last = format_->end_of_input()) && !dispatch(last))
            return;
        scoped_lock lock(lock_);
        if (policy_->serving() && error == boost::asio::error::eof && !outbound_->empty() &&
            socket_.is_open()) {
            // The peer has finished sending, not necessarily reading: finish its replies.
            outbound_->close_when_written(error);
            return;
        }
        close(error);
    }
}

bool connection::process_received(const char* pos, const char* const end, parse_step* first) {
    const std::size_t bytes = static_cast<std::size_t>(end - pos);
    bool in_progress = false;
    bool completed = false;
    while (first || pos != end) {
        parse_step step = first ? *first : parse_next(pos, end);
        first = nullptr;
        if (!settle_upload(step) || refuse_peer_request(step) || over_budget(step))
            return false;
        in_progress = boost::indeterminate(step.result);
        if (!in_progress) {
            completed = true;
            if (!(step.result ? dispatch(step.msg) : answer_malformed(step, end)))
                return false;
        }
        pos = step.stop;
    }
    scoped_lock lock(lock_);
    note_activity(in_progress, completed, bytes);
    return true;
}

connection::parse_step connection::parse_next(const char* pos, const char* end) {
    parse_step step;
    step.stop = end;
    try {
        boost::tie(step.result, step.stop, step.msg) = format_->parse(pos, end);
    } catch (std::exception&) {
        // A status code or Content-Length that does not convert: malformed like any other.
        step.msg = format_->get_current_message();
        format_->reset();
        step.result = false;
        step.stop = pos;
        step.parser_threw = true;
    }
    return step;
}

// The upload's say on a step: a refused upload is answered 503, one past its size limit 413,
// a failed one makes the input malformed.
bool connection::settle_upload(parse_step& step) {
    const upload_stream::outcome upload = handle_read_upload(step.result, step.msg);
    if (upload == upload_stream::outcome::refused || upload == upload_stream::outcome::too_large) {
        if (boost::indeterminate(step.result))
            step.msg = format_->get_current_message();
        format_->reset();
        if (upload == upload_stream::outcome::refused)
            HTTPRTSP_LOG_WARNING("upload refused: another upload is running\n");
        reject(step.msg, upload == upload_stream::outcome::refused ? 503 : 413);
        return false;
    }
    if (upload == upload_stream::outcome::failed) {
        HTTPRTSP_LOG_ERROR("handle_read_upload failed\n");
        if (boost::indeterminate(step.result))
            format_->reset();
        step.result = false;
    }
    return true;
}

bool connection::answer_malformed(parse_step& step, const char* end) {
    HTTPRTSP_LOG_ERROR("error while parsing the request\n");
    boost::asio::ip::tcp::endpoint peer;
    {
        scoped_lock lock(lock_);
        peer = peer_endpoint_;
    }
    HTTPRTSP_LOG_NOTICE_ALWAYS("received bad http/rtsp message: %s from %s:%d",
                               detail::printable(step.stop, end).c_str(),
                               peer.address().to_string().c_str(), static_cast<int>(peer.port()));
    if (is_closed()) {
        // Nothing can answer; a parser exception gives no position, so drop the rest.
        if (step.parser_threw)
            step.stop = end;
        return true;
    }
    reject(step.msg, 400);
    return false;
}

bool connection::dispatch(boost::shared_ptr<message> msg) {
    if (boost::shared_ptr<request> req = boost::dynamic_pointer_cast<request>(msg))
        dispatch_request(req);
    else if (boost::shared_ptr<reply> rep = boost::dynamic_pointer_cast<reply>(msg))
        return dispatch_reply(rep);
    return true;
}

// Answers input that cannot be served and closes once everything queued has gone out.
void connection::reject(boost::shared_ptr<message> msg, int status) {
    boost::shared_ptr<reply> answer = boost::make_shared<reply>();
    answer->protocol() = msg ? msg->protocol() : std::string("HTTP/1.0");
    answer->set_status(static_cast<unsigned>(status), true);
    scoped_lock lock(lock_);
    try {
        send(answer);
    } catch (...) {
    }
    // Closing now would drop the answer while an earlier write is still in flight.
    if (outbound_->empty() || !socket_.is_open())
        close();
    else
        outbound_->close_when_written();
}

void connection::dispatch_request(boost::shared_ptr<request> req) {
    {
        scoped_lock lock(lock_);
        if (!socket_.is_open())
            return;
        if (policy_->serving())
            policy_->dispatched();
        boost::system::error_code ignored;
        req->local_endpoint() = socket_.local_endpoint(ignored);
        req->remote_endpoint() = socket_.remote_endpoint(ignored);
    }
    bool failed = false;
    try {
        if (handler_)
            handler_->handle_request(shared_from_this(), req);
    } catch (std::exception& e) {
        HTTPRTSP_LOG_ERROR_ALWAYS("exception while handling request: %s", e.what());
        failed = true;
    } catch (...) {
        HTTPRTSP_LOG_ERROR_ALWAYS("non-standard exception while handling a request");
        failed = true;
    }
    if (!failed)
        return;
    boost::shared_ptr<reply> error_reply =
        req ? boost::make_shared<reply>(*req) : boost::make_shared<reply>();
    if (!req)
        error_reply->protocol() = "HTTP/1.0";
    error_reply->set_status(500, true);
    try {
        send(error_reply);
    } catch (std::exception&) {
        // Closed meanwhile: nobody is left to answer.
    }
}

// "100 Continue", "102 Processing" and the like announce the final reply of the same request;
// 101 ends the exchange (the protocol changes) and is that request's reply.
bool connection::is_interim(const reply& rep) {
    return rep.status() >= 100 && rep.status() < 200 && rep.status() != 101;
}

bool connection::dispatch_reply(boost::shared_ptr<reply> rep) {
    if (is_interim(*rep))
        return true; // the request keeps waiting for its final reply
    reply_placeholder_ptr placeholder;
    bool closed = false;
    {
        scoped_lock lock(lock_);
        if (!pending_replies_.empty()) {
            placeholder = pending_replies_.front();
            pending_replies_.pop_front();
            // The peer ends the connection after such a reply: close it before the waiter
            // wakes, so that its next request connects anew instead of being written into a
            // connection the peer has closed.
            if (!rep->keep_alive()) {
                close();
                closed = true;
            }
        }
    }
    if (!placeholder) {
        HTTPRTSP_LOG_ERROR_ALWAYS("handle_read: received unexpected reply");
        return true;
    }
    try {
        placeholder->promise.set_value(rep);
    } catch (std::exception& e) {
        HTTPRTSP_LOG_ERROR_ALWAYS("exception while handling reply: %s", e.what());
    } catch (...) {
        HTTPRTSP_LOG_ERROR_ALWAYS("non-standard exception while handling reply");
    }
    return !closed;
}

upload_outcome connection::handle_read_upload(boost::tribool result,
                                              boost::shared_ptr<message> msg) {
    if (!upload_)
        return upload_stream::outcome::more;
    try {
        if (!msg)
            msg = format_->get_current_message();
        boost::shared_ptr<request> req = boost::dynamic_pointer_cast<request>(msg);
        if (!req)
            return upload_stream::outcome::more;
        message::body_ptr body = req->body();
        scoped_lock lock(lock_);
        // Once begun, the end of the message finishes the upload even when its last read
        // brought no content (a chunked body's last chunk).
        const bool ends_upload = upload_->started() && !boost::indeterminate(result);
        if (!body || (body->empty() && !ends_upload) ||
            !is_upload_request(*req, format_->upload_uri))
            return upload_stream::outcome::more;
        return upload_->take(result, *req);
    } catch (std::exception& e) {
        HTTPRTSP_LOG_ERROR_ALWAYS("an exception was thrown: %s", e.what());
        return upload_stream::outcome::more;
    }
}

} // namespace httprtsp
