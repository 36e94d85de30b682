#include "httprtsp/src/connection.hpp"

#include "httprtsp/src/io_service_helper.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/exception_ptr.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>

#if defined(__linux__)
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

namespace httprtsp {

namespace {

// Peer bytes for a log line: anything outside printable ASCII is escaped so that a peer
// cannot drive the terminal.
std::string printable(const char* begin, const char* end) {
    std::string out;
    out.reserve(static_cast<std::size_t>(end - begin));
    for (const char* p = begin; p != end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 32 || c > 126) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Bytes a queued message will take on the wire, near enough for back-pressure.
std::size_t queued_size(const message& msg) {
    std::size_t n = 64;
    for (const auto& h : msg.headers())
        n += h.first.size() + h.second.size() + 4;
    if (message::body_ptr body = msg.body())
        n += body->size();
    return n;
}

// The interim answer to "Expect: 100-continue"; it answers no request.
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

typedef std::chrono::steady_clock clock_type;

} // namespace

connection::connection(boost::shared_ptr<boost::asio::io_service> io_service,
                       boost::shared_ptr<request_handler_base> handler)
    : io_service_(io_service), socket_(*io_service), handler_(handler),
      format_(boost::make_shared<httprtsp_message_format>()), read_into(read_buffer.data()),
      write_index(0), close_when_written(false), serving_(false), timer_(*io_service),
      deadline_(clock_type::time_point::max()), timer_armed_(false), waiting_for_(""),
      in_progress_(false), in_body_(false), seen_request_(false), unanswered_(0), unsent_bytes_(0),
      read_paused_(false), idle_(false), peer_known(false) {
    if (boost::shared_ptr<upload_temp_file_request_handler> uploads =
            boost::dynamic_pointer_cast<upload_temp_file_request_handler>(handler)) {
        upload_.reset(new upload_stream(uploads, *this));
        format_->upload_uri = uploads->upload_uri();
    }
}

connection::~connection() {
    close();
#if defined(__linux__)
    if (wake_caller_ >= 0)
        ::close(wake_caller_);
#endif
}

void connection::serve(const server_limits& limits, boost::shared_ptr<server_hooks> hooks) {
    scoped_lock lock(lock_);
    serving_ = true;
    limits_ = limits;
    format_->set_limits(limits.parser);
    hooks_ = hooks;
    last_progress_ = clock_type::now();
    update_deadline();
}

// The one time-out that applies to what the connection waits for now; the timer is only
// re-armed when that comes earlier than its current expiry.
void connection::set_parser_limits(const parser_limits& limits) {
    scoped_lock lock(lock_);
    format_->set_limits(limits);
}

parser_limits connection::get_parser_limits() const {
    scoped_lock lock(lock_);
    return format_->get_limits();
}

void connection::update_deadline() {
    if (!serving_ || !socket_.is_open())
        return;
    clock_type::time_point deadline = clock_type::time_point::max();
    bool idle = false;
    if (!write_queue.empty()) {
        deadline = last_progress_ + limits_.body_timeout;
        waiting_for_ = "the peer to take a reply";
    } else if (in_progress_ && in_body_) {
        deadline = last_progress_ + limits_.body_timeout;
        waiting_for_ = "the request body";
    } else if (in_progress_) {
        deadline = request_start_ + limits_.header_timeout;
        waiting_for_ = "the request headers";
    } else if (unanswered_ == 0) {
        idle = true;
        deadline = last_progress_ + (seen_request_ ? limits_.idle_timeout : limits_.header_timeout);
        waiting_for_ = seen_request_ ? "the next request" : "a request";
    }
    deadline_ = deadline;
    if (idle && !idle_.load() && hooks_)
        hooks_->idle(*this);
    idle_.store(idle);
    if (deadline == clock_type::time_point::max() || (timer_armed_ && timer_expiry_ <= deadline))
        return;
    timer_armed_ = true;
    timer_expiry_ = deadline;
    timer_.expires_at(deadline);
    timer_.async_wait(
        boost::bind(&connection::handle_timer, shared_from_this(), boost::placeholders::_1));
}

void connection::handle_timer(const boost::system::error_code& error) {
    if (error == boost::asio::error::operation_aborted)
        return; // re-armed or closed
    scoped_lock lock(lock_);
    timer_armed_ = false;
    if (!socket_.is_open() || deadline_ == clock_type::time_point::max())
        return;
    if (clock_type::now() < deadline_) {
        update_deadline();
        return;
    }
    HTTPRTSP_LOG_NOTICE("closing %s:%d: waited too long for %s\n",
                        peer_endpoint.address().to_string().c_str(),
                        static_cast<int>(peer_endpoint.port()), waiting_for_);
    close();
}

bool connection::too_much_unsent() {
    return serving_ && unsent_bytes_ > limits_.max_unsent;
}

void connection::written_front() {
    if (serving_) {
        unsent_bytes_ -= std::min(unsent_bytes_, queued_size(*write_queue.front()));
        last_progress_ = clock_type::now();
    }
    write_queue.pop_front();
    if (!serving_)
        return;
    if (read_paused_ && !too_much_unsent() && socket_.is_open()) {
        read_paused_ = false;
        start();
    }
    update_deadline();
}

// After the bytes of one read were parsed.
void connection::note_activity(bool in_progress, bool completed) {
    if (!serving_)
        return;
    const clock_type::time_point now = clock_type::now();
    if (in_progress && (!in_progress_ || completed))
        request_start_ = now;
    in_progress_ = in_progress;
    last_progress_ = now;
    boost::shared_ptr<message> msg = format_->get_current_message();
    in_body_ = in_progress && msg && msg->body();
    answer_continue();
    update_deadline();
}

// An HTTP/1.1 client that announced "Expect: 100-continue" waits for this before it sends
// the body.
void connection::answer_continue() {
    if (!in_body_ || !socket_.is_open())
        return;
    boost::shared_ptr<request> req =
        boost::dynamic_pointer_cast<request>(format_->get_current_message());
    if (!req || req->protocol() != "HTTP/1.1" || !req->body()->empty() ||
        (upload_ && upload_->started()) || continued_.lock() == req)
        return;
    message::header_map::const_iterator expect = req->find_header("Expect");
    if (expect == req->headers().end() || !boost::iequals(expect->second, "100-continue"))
        return;
    continued_ = req;
    send(boost::make_shared<continue_message>());
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
    if (!peer_known) {
        boost::system::error_code ignored;
        peer_endpoint = socket_.remote_endpoint(ignored);
        peer_known = !ignored;
    }
#if defined(__linux__)
    if (!serving_) {
        side_ = read_side::reactor;
        // A wait withdrawn for a caller that has not completed yet re-arms from its completion.
        if (!waiting_readable_) {
            waiting_readable_ = true;
            socket_.async_wait(boost::asio::ip::tcp::socket::wait_read,
                               boost::bind(&connection::handle_readable, shared_from_this(),
                                           boost::placeholders::_1));
        }
        return;
    }
#endif
    socket_.async_read_some(read_space(),
                            boost::bind(&connection::handle_read, shared_from_this(),
                                        boost::placeholders::_1, boost::placeholders::_2));
}

void connection::handle_readable(const boost::system::error_code& error) {
    {
        scoped_lock lock(lock_);
        waiting_readable_ = false;
        if (!error && side_ != read_side::reactor)
            return; // a caller reads now; it waits again when done
        if (error == boost::asio::error::operation_aborted && quiet_abort_)
            return;
        if (!error)
            side_ = read_side::io_thread;
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
    continue_read(nullptr, read_into, read_into + bytes, read_error);
}

bool connection::take_read_side() {
#if defined(__linux__)
    // Only the plain case: one request waiting, nothing being written, nobody else reading, and
    // a caller that cannot be interrupted while it waits (an interruption does not end a poll).
    // The wait for readable bytes stays outstanding: its completion leaves the bytes to this
    // caller, and a close still ends it as it would end a read.
    if (serving_ || upload_ || side_ != read_side::reactor || !waiting_readable_ ||
        pending_replies.size() != 1 || !write_queue.empty() || close_when_written ||
        !socket_.is_open() || boost::this_thread::interruption_enabled())
        return false;
    if (wake_caller_ < 0) {
        wake_caller_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_caller_ < 0)
            return false;
    }
    boost::system::error_code error;
    if (!socket_.non_blocking())
        socket_.non_blocking(true, error);
    if (error)
        return false;
    side_ = read_side::caller;
    return true;
#else
    return false;
#endif
}

bool connection::read_own_reply(std::optional<std::chrono::steady_clock::time_point> deadline) {
#if defined(__linux__)
    int fd;
    {
        scoped_lock lock(lock_);
        fd = socket_.native_handle();
    }
    for (;;) {
        int timeout = -1;
        if (deadline) {
            const auto left = *deadline - clock_type::now();
            if (left <= clock_type::duration::zero())
                return false;
            timeout = static_cast<int>(std::min<std::chrono::milliseconds::rep>(
                std::chrono::ceil<std::chrono::milliseconds>(left).count(), 1 << 30));
        }
        {
            scoped_lock lock(lock_);
            if (!socket_.is_open()) {
                start(); // closed while this thread handled bytes: as at the end of a read
                return true;
            }
            caller_polling_ = true;
        }
        // The socket's number is only waited on here; it is read under the lock once known open.
        pollfd waits[2] = {{fd, POLLIN, 0}, {wake_caller_, POLLIN, 0}};
        const int ready = ::poll(waits, 2, timeout);
        const bool poll_failed = ready < 0 && errno != EINTR;
        std::size_t bytes = 0;
        boost::system::error_code error;
        {
            scoped_lock lock(lock_);
            caller_polling_ = false;
            if (!socket_.is_open()) {
                // Closed meanwhile, which settled the reply. An outstanding wait reports the
                // close as an aborted read; without one, do as it would have done.
                if (caller_owes_abort_ && !abandoned)
                    boost::asio::post(*io_service_,
                                      boost::bind(&connection::handle_read, shared_from_this(),
                                                  boost::asio::error::operation_aborted, 0));
                return true;
            }
            if (ready <= 0 && !poll_failed)
                continue; // time up or interrupted by a signal
            if (!poll_failed)
                bytes = socket_.read_some(read_space(), error);
        }
        if (poll_failed) {
            // Cannot wait here: the I/O threads read on.
            hand_over(nullptr, read_into, read_into, boost::system::error_code());
            return true;
        }
        if (error == boost::asio::error::would_block)
            continue;
        if (error) {
            hand_over(nullptr, read_into, read_into, error);
            return true;
        }
        const char* pos = read_into;
        const char* const end = read_into + bytes;
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
    }
#else
    (void)deadline;
    return true;
#endif
}

void connection::hand_over(const parse_step* step, const char* pos, const char* end,
                           const boost::system::error_code& error) {
    {
        scoped_lock lock(lock_);
        side_ = read_side::io_thread;
    }
    std::optional<parse_step> first;
    if (step)
        first = *step;
    boost::shared_ptr<connection> self = shared_from_this();
    boost::asio::post(*io_service_, [self, first, pos, end, error]() mutable {
        self->continue_read(first ? &*first : nullptr, pos, end, error);
    });
}

void connection::send(boost::shared_ptr<message> msg) {
    scoped_lock lock(lock_);
    if (!socket_.is_open())
        throw boost::system::system_error(boost::asio::error::connection_reset);
    write_queue.push_back(msg);
    if (serving_) {
        unsent_bytes_ += queued_size(*msg);
        if (unanswered_ > 0 && !boost::dynamic_pointer_cast<continue_message>(msg))
            --unanswered_;
        if (write_queue.size() == 1)
            last_progress_ = clock_type::now();
        update_deadline();
    }
    if (write_queue.size() == 1)
        write_front();
}

void connection::write_front() {
    for (;;) {
        write_buffers = format_->to_buffers(write_queue.front());
        write_index = 0;
        // A small message usually fits the socket at once: write it here and spare the
        // hand-off of its completion to an I/O thread. Anything else (a partial write, an
        // error, a message that closes the connection) takes the asynchronous path, so that
        // closing never happens inside send().
        boost::system::error_code error;
        if (!socket_.non_blocking())
            socket_.non_blocking(true, error);
        std::size_t written = error ? 0 : socket_.write_some(write_buffers, error);
        if (error || !skip_written(written) || close_when_written ||
            !write_queue.front()->keep_alive()) {
            write_rest();
            return;
        }
        written_front();
        if (write_queue.empty())
            return;
    }
}

bool connection::skip_written(std::size_t bytes) {
    while (write_index < write_buffers.size()) {
        const std::size_t size = write_buffers[write_index].size();
        if (bytes < size) {
            write_buffers[write_index] += bytes;
            break;
        }
        bytes -= size;
        ++write_index;
    }
    while (write_index < write_buffers.size() && write_buffers[write_index].size() == 0)
        ++write_index;
    return write_index == write_buffers.size();
}

void connection::write_rest() {
    std::vector<boost::asio::const_buffer> rest(
        write_buffers.begin() + static_cast<std::ptrdiff_t>(write_index), write_buffers.end());
    socket_.async_write_some(rest, boost::bind(&connection::handle_write, shared_from_this(),
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
        send(req);
        pending_replies.push_back(placeholder);
        own_read = take_read_side();
    }
    std::optional<clock_type::time_point> deadline;
    if (reply_timeout)
        deadline = clock_type::now() + *reply_timeout;
    // Still waiting when the time is up (neither answered nor settled meanwhile): fail like
    // a lost connection.
    const auto give_up = [this, &placeholder] {
        scoped_lock lock(lock_);
        const auto waiting = std::find(pending_replies.begin(), pending_replies.end(), placeholder);
        if (waiting == pending_replies.end())
            return false;
        pending_replies.erase(waiting);
        abandoned = true;
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
        pending_replies.remove(placeholder);
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
    if (serving_) {
        boost::system::error_code ignored;
        timer_.cancel(ignored);
        unsent_bytes_ = 0;
        idle_.store(false);
        if (hooks_)
            hooks_->closed(*this);
    }
    if (close_error)
        HTTPRTSP_LOG_ERROR("runtime error while handling 'close': %s\n",
                           close_error.message().c_str());
#if defined(__linux__)
    // A closed socket ends an outstanding read as aborted, which is logged; a read being handled
    // meanwhile is not. Here the wait or the reading caller stands for that read.
    const bool read_outstanding =
        side_ == read_side::reactor || (side_ == read_side::caller && caller_polling_);
    quiet_abort_ = !read_outstanding;
    if (side_ == read_side::caller && wake_caller_ >= 0) {
        caller_owes_abort_ = read_outstanding && !waiting_readable_;
        const std::uint64_t one = 1;
        if (::write(wake_caller_, &one, sizeof one) < 0) {
            // Cannot fail while the counter is far from full.
        }
    }
#endif

    for (const reply_placeholder_ptr& placeholder : pending_replies) {
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
    pending_replies.clear();

    // The front message's aborted write is still to complete and refers to it.
    if (write_queue.size() >= 2)
        write_queue.erase(++write_queue.begin(), write_queue.end());

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
        const std::size_t piece = std::min(size, read_buffer.size());
        if (!process_received(data, data + piece))
            return;
        data += piece;
        size -= piece;
    }
}

void connection::handle_read(const boost::system::error_code& read_error, std::size_t bytes) {
    continue_read(nullptr, read_into, read_into + bytes, read_error);
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
            if (too_much_unsent())
                break;
        }
        const std::size_t bytes = read_waiting(error);
        pos = read_into;
        end = read_into + bytes;
        if (error == boost::asio::error::would_block) {
            error = boost::system::error_code();
            break;
        }
    }

    if (!error) {
        scoped_lock lock(lock_);
        if (too_much_unsent()) {
            read_paused_ = true; // resumed once the replies have drained
            return;
        }
        start();
    } else if (error == boost::asio::error::operation_aborted && abandoned) {
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
        if (serving_ && error == boost::asio::error::eof && !write_queue.empty() &&
            socket_.is_open()) {
            // The peer has finished sending, not necessarily reading: finish its replies.
            close_when_written = true;
            close_error_ = error;
            return;
        }
        close(error);
    }
}

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
        if (!upload_buffer)
            upload_buffer.reset(new char[upload_read_size]);
        read_into = upload_buffer.get();
        return boost::asio::buffer(read_into, upload_read_size);
    }
    upload_buffer.reset();
    read_into = read_buffer.data();
    return boost::asio::buffer(read_buffer);
}

bool connection::process_received(const char* pos, const char* const end, parse_step* first) {
    bool in_progress = false;
    bool completed = false;
    while (first || pos != end) {
        parse_step step = first ? *first : parse_next(pos, end);
        first = nullptr;
        if (!settle_upload(step))
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
    note_activity(in_progress, completed);
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
        peer = peer_endpoint;
    }
    HTTPRTSP_LOG_NOTICE_ALWAYS("received bad http/rtsp message: %s from %s:%d",
                               printable(step.stop, end).c_str(),
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
    if (write_queue.empty() || !socket_.is_open())
        close();
    else
        close_when_written = true;
}

void connection::dispatch_request(boost::shared_ptr<request> req) {
    {
        scoped_lock lock(lock_);
        if (!socket_.is_open())
            return;
        if (serving_) {
            ++unanswered_;
            seen_request_ = true;
        }
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

bool connection::dispatch_reply(boost::shared_ptr<reply> rep) {
    reply_placeholder_ptr placeholder;
    bool closed = false;
    {
        scoped_lock lock(lock_);
        if (!pending_replies.empty()) {
            placeholder = pending_replies.front();
            pending_replies.pop_front();
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

void connection::handle_write(const boost::system::error_code& error, std::size_t bytes) {
    if (error) {
        close(error);
        return;
    }
    scoped_lock lock(lock_);
    if (write_queue.empty())
        return;

    // Step over what the socket took; write the rest of the same message first.
    if (!skip_written(bytes)) {
        write_rest();
        return;
    }

    if (!write_queue.front()->keep_alive()) {
        close();
        write_queue.clear();
        return;
    }
    written_front();
    if (!write_queue.empty())
        write_front();
    else if (close_when_written)
        close(close_error_);
}

upload_stream::outcome connection::handle_read_upload(boost::tribool result,
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
