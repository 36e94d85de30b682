// The connection's write side: queueing, writing the front message (at once when the socket
// takes it, else asynchronously) and what follows a written message.
#include "httprtsp/src/connection.hpp"

#include "httprtsp/src/detail/kernel_queue.hpp"
#include "httprtsp/src/detail/outbound_queue.hpp"
#include "httprtsp/src/detail/serve_policy.hpp"

#include <boost/asio/error.hpp>
#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>

namespace httprtsp {

namespace {
typedef std::chrono::steady_clock clock_type;
} // namespace

void connection::send(boost::shared_ptr<message> msg) {
    scoped_lock lock(lock_);
    queue_message(msg, false);
}

void connection::queue_message(boost::shared_ptr<message> msg, bool own_request) {
    if (!socket_.is_open())
        throw boost::system::system_error(boost::asio::error::connection_reset);
    // Replies to a peer that does not read them must not pile up, on either kind of connection;
    // the owner's own requests wait for their replies anyway.
    const std::size_t counted = policy_->serving() || !own_request ? detail::queued_size(*msg) : 0;
    const bool first = outbound_->push(msg, counted);
    policy_->queued(counted, !detail::is_continue_reply(msg), first, clock_type::now());
    update_deadline();
    if (first)
        write_front();
}

void connection::write_front() {
    for (;;) {
        outbound_->load_front(format_->to_buffers(outbound_->front()));
        // A small message usually fits the socket at once: write it here and spare the
        // hand-off of its completion to an I/O thread. Anything else (a partial write, an
        // error, a message that closes the connection) takes the asynchronous path, so that
        // closing never happens inside send().
        boost::system::error_code error;
        if (!socket_.non_blocking())
            socket_.non_blocking(true, error);
        std::size_t written = error ? 0 : socket_.write_some(outbound_->rest(), error);
        if (error || !outbound_->skip_written(written) || outbound_->closing() ||
            !outbound_->front()->keep_alive()) {
            write_rest();
            return;
        }
        written_front();
        if (outbound_->empty())
            return;
    }
}

void connection::write_rest() {
    socket_.async_write_some(outbound_->rest(),
                             boost::bind(&connection::handle_write, shared_from_this(),
                                         boost::placeholders::_1, boost::placeholders::_2));
}

void connection::handle_write(const boost::system::error_code& error, std::size_t bytes) {
    if (error) {
        close(error);
        return;
    }
    scoped_lock lock(lock_);
    if (outbound_->empty())
        return;

    // Step over what the socket took; write the rest of the same message first.
    if (!outbound_->skip_written(bytes)) {
        note_taken();
        update_deadline();
        write_rest();
        return;
    }

    if (!outbound_->front()->keep_alive()) {
        close();
        outbound_->clear();
        return;
    }
    written_front();
    if (!outbound_->empty())
        write_front();
    else if (outbound_->closing())
        close(outbound_->close_error());
}

// A reader taking bytes steadily is not stuck, even while the system's send queue, full, wakes
// no writer.
void connection::note_taken() {
    const std::uint64_t written = outbound_->written_total();
    const std::uint64_t waiting = detail::unsent_in_kernel(socket_);
    policy_->taken(written - std::min<std::uint64_t>(written, waiting), clock_type::now());
}

void connection::written_front() {
    const std::size_t counted = outbound_->pop_front();
    if (policy_->written(counted, clock_type::now()) && socket_.is_open())
        start();
    update_deadline();
}

} // namespace httprtsp
