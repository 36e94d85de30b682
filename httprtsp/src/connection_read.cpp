// The connection's socket reads: non-blocking reads of what is waiting, the wait for readable
// bytes of a client connection, and a caller reading its own reply (detail::reply_wait says
// who reads). Nothing here logs: the read loop in connection.cpp does.
#include "httprtsp/src/connection.hpp"

#include "httprtsp/src/detail/outbound_queue.hpp"
#include "httprtsp/src/detail/reply_wait.hpp"
#include "httprtsp/src/detail/upload_stream.hpp"
#include "httprtsp/src/detail/serve_policy.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/thread/thread.hpp>

namespace httprtsp {

namespace {
typedef std::chrono::steady_clock clock_type;
} // namespace

// Bytes already waiting in the socket are taken here, on this thread: on a fast stream,
// handing every 8 KiB to another I/O thread costs more than the bytes themselves.
std::size_t connection::read_waiting(boost::system::error_code& error) {
    scoped_lock lock(lock_);
    if (!socket_.is_open()) {
        error = boost::asio::error::would_block; // let start() report the closed socket
        return 0;
    }
    if (!socket_.non_blocking()) {
        socket_.non_blocking(true, error);
        if (error) {
            error = boost::asio::error::would_block;
            return 0;
        }
    }
    return socket_.read_some(read_space(), error);
}

// Called only when the previous read's bytes have all been handled, so the upload block can
// go as soon as the upload has ended.
boost::asio::mutable_buffer connection::read_space() {
    if (upload_ && upload_->started()) {
        if (!upload_buffer_)
            upload_buffer_.reset(new char[upload_read_size]);
        read_into_ = upload_buffer_.get();
        return boost::asio::buffer(read_into_, upload_read_size);
    }
    upload_buffer_.reset();
    read_into_ = read_buffer_.data();
    return boost::asio::buffer(read_buffer_);
}

void connection::handle_readable(const boost::system::error_code& error) {
    {
        scoped_lock lock(lock_);
        switch (reply_wait_->readable(static_cast<bool>(error),
                                      error == boost::asio::error::operation_aborted)) {
        case detail::reply_wait::readable_action::left_to_caller:
        case detail::reply_wait::readable_action::quiet:
            return;
        case detail::reply_wait::readable_action::report_error:
        case detail::reply_wait::readable_action::read:
            break;
        }
    }
    if (error) {
        continue_read(nullptr, nullptr, nullptr, error); // as an aborted or failed read
        return;
    }
    boost::system::error_code read_error;
    const std::size_t bytes = read_waiting(read_error);
    if (read_error == boost::asio::error::would_block) {
        start();
        return;
    }
    continue_read(nullptr, read_into_, read_into_ + bytes, read_error);
}

bool connection::take_read_side() {
    // Only the plain case: one request waiting, nothing being written, nobody else reading, and
    // a caller that cannot be interrupted while it waits (an interruption does not end a poll).
    // The wait for readable bytes stays outstanding: its completion leaves the bytes to this
    // caller, and a close still ends it as it would end a read.
    if (policy_->serving() || upload_ || !reply_wait_->can_take() || pending_replies_.size() != 1 ||
        !outbound_->empty() || outbound_->closing() || !socket_.is_open() ||
        boost::this_thread::interruption_enabled())
        return false;
    if (!detail::reply_wait::supported())
        return false;
    boost::system::error_code error;
    if (!socket_.non_blocking())
        socket_.non_blocking(true, error);
    return !error && reply_wait_->take();
}

bool connection::read_own_reply(std::optional<std::chrono::steady_clock::time_point> deadline) {
    int fd;
    {
        scoped_lock lock(lock_);
        fd = socket_.native_handle();
    }
    for (;;) {
        if (std::optional<bool> done = caller_step(fd, deadline))
            return *done;
    }
}

std::optional<bool>
connection::caller_step(int fd, std::optional<std::chrono::steady_clock::time_point> deadline) {
    const std::optional<int> timeout =
        detail::reply_wait::timeout_until(deadline, clock_type::now());
    if (!timeout)
        return false;
    {
        scoped_lock lock(lock_);
        if (!socket_.is_open()) {
            if (reply_wait_->caller_has_read())
                start(); // closed while this thread handled bytes: as at the end of a read
            else
                report_caller_abort(); // closed before it read: as if it had polled
            return true;
        }
        reply_wait_->polling(true);
    }
    const detail::reply_wait::poll_result polled = reply_wait_->poll(fd, *timeout);
    std::size_t bytes = 0;
    boost::system::error_code error;
    {
        scoped_lock lock(lock_);
        reply_wait_->polling(false);
        if (!socket_.is_open()) {
            report_caller_abort(); // closed meanwhile, which settled the reply
            return true;
        }
        if (polled == detail::reply_wait::poll_result::again)
            return std::nullopt; // time up or interrupted by a signal
        if (polled == detail::reply_wait::poll_result::ready) {
            bytes = socket_.read_some(read_space(), error);
            if (!error)
                reply_wait_->caller_read(); // handling bytes now: a close is no lost read
        }
    }
    if (polled == detail::reply_wait::poll_result::failed) {
        // Cannot wait here: the I/O threads read on.
        hand_over(nullptr, read_into_, read_into_, boost::system::error_code());
        return true;
    }
    if (error == boost::asio::error::would_block)
        return std::nullopt;
    if (error) {
        hand_over(nullptr, read_into_, read_into_, error);
        return true;
    }
    if (caller_parse(read_into_, read_into_ + bytes))
        return true;
    return std::nullopt;
}

// An outstanding wait reports the close as an aborted read; without one, do as it would have
// done.
void connection::report_caller_abort() {
    if (reply_wait_->caller_owes_abort() && !abandoned_)
        boost::asio::post(*io_service_, boost::bind(&connection::handle_read, shared_from_this(),
                                                    boost::asio::error::operation_aborted, 0));
}

bool connection::caller_parse(const char* pos, const char* const end) {
    while (pos != end) {
        parse_step step = parse_next(pos, end);
        if (boost::indeterminate(step.result)) {
            pos = step.stop;
            continue;
        }
        boost::shared_ptr<reply> rep;
        if (step.result)
            rep = boost::dynamic_pointer_cast<reply>(step.msg);
        if (!rep) {
            hand_over(&step, step.stop, end, boost::system::error_code());
            return true;
        }
        if (!dispatch_reply(rep))
            return true; // closed after a reply that ends the connection
        if (step.stop != end)
            hand_over(nullptr, step.stop, end, boost::system::error_code());
        else
            start(); // back to waiting for readable bytes
        return true;
    }
    return false;
}

void connection::hand_over(const parse_step* step, const char* pos, const char* end,
                           const boost::system::error_code& error) {
    {
        scoped_lock lock(lock_);
        reply_wait_->to_io_thread();
    }
    std::optional<parse_step> first;
    if (step)
        first = *step;
    boost::shared_ptr<connection> self = shared_from_this();
    boost::asio::post(*io_service_, [self, first, pos, end, error]() mutable {
        self->continue_read(first ? &*first : nullptr, pos, end, error);
    });
}

} // namespace httprtsp
