#include "httprtsp/src/client.hpp"

#include "httprtsp/src/detail/connect_order.hpp"
#include "httprtsp/src/io_service_helper.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include <cstdio>
#include <future>
#include <memory>
#include <string>

namespace httprtsp {

namespace {

// Goes where the log lines go, in one write.
void report(const boost::system::error_code& error) {
    const std::string line = "BOOST SYSTEM ERROR : " + error.message() + "\n";
    std::FILE* const out = log_stream();
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

} // namespace

client::client(const std::string& host_, const std::string& port_,
               boost::shared_ptr<request_handler_base> handler_,
               boost::shared_ptr<boost::asio::io_service> io_service_)
    : host(host_), port(port_), io_service(io_service_), handler(handler_) {}

client::~client() {
    close_connection();
}

void client::set_connect_timeout(std::optional<std::chrono::milliseconds> timeout) {
    connect_timeout = timeout;
}

void client::set_reply_limits(const parser_limits& limits) {
    reply_limits = limits;
}

void client::ensure_connected() {
    if (conn && !conn->is_closed())
        return;

    boost::asio::ip::tcp::resolver resolver(*io_service);
    boost::asio::ip::tcp::resolver::results_type endpoints =
        resolver.resolve(host, port, boost::asio::ip::tcp::resolver::address_configured);

    conn = boost::make_shared<connection>(io_service, handler);
    if (reply_limits)
        conn->set_parser_limits(*reply_limits);
    boost::asio::ip::tcp::socket& socket = conn->socket();
    // One time-out for every address of the host together.
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() +
        connect_timeout.value_or(std::chrono::milliseconds::zero());
    const detail::connect_outcome outcome = detail::connect_in_order(
        endpoints,
        [this, &socket,
         deadline](const boost::asio::ip::tcp::resolver::results_type::value_type& entry) {
            boost::system::error_code error;
            boost::system::error_code ignored;
            socket.close(ignored);
            socket.open(entry.endpoint().protocol(), error);
            return error ? error : connect_socket(entry.endpoint(), deadline);
        },
        [this, deadline] {
            return connect_timeout && std::chrono::steady_clock::now() >= deadline;
        });
    connect_expired = outcome.deadline_passed;
    const boost::system::error_code error = outcome.error;
    if (error) {
        // A socket left open but unconnected would pass the check above next time, and the
        // next request would be written into it: close it so that every exchange connects anew.
        boost::system::error_code ignored;
        socket.close(ignored);
        throw boost::system::system_error(error);
    }
    conn->start();
}

boost::system::error_code client::connect_socket(const boost::asio::ip::tcp::endpoint& endpoint,
                                                 std::chrono::steady_clock::time_point deadline) {
    boost::asio::ip::tcp::socket& socket = conn->socket();
    boost::system::error_code error;
    if (!connect_timeout) {
        socket.connect(endpoint, error);
        return error;
    }
    // A blocking connect cannot be bounded portably: connect on the service and wait here.
    const auto done = std::make_shared<std::promise<boost::system::error_code>>();
    std::future<boost::system::error_code> result = done->get_future();
    socket.async_connect(endpoint,
                         [done](const boost::system::error_code& e) { done->set_value(e); });
    if (result.wait_until(deadline) == std::future_status::ready)
        return result.get();
    // The socket is not ours to touch while its connect is pending on another thread: close it
    // on the service, and wait for that close and for the connect's end (aborted) before the
    // socket is used again.
    const boost::shared_ptr<connection> pending = conn;
    const auto closed = std::make_shared<std::promise<void>>();
    std::future<void> close_done = closed->get_future();
    boost::asio::post(*io_service, [pending, closed] {
        boost::system::error_code ignored;
        pending->socket().close(ignored);
        closed->set_value();
    });
    close_done.wait();
    result.wait();
    return boost::asio::error::timed_out;
}

boost::shared_ptr<reply>
client::issue_request(boost::shared_ptr<request> req,
                      std::optional<std::chrono::milliseconds> reply_timeout) {
    if (gave_up) {
        report(gave_up);
        return boost::shared_ptr<reply>();
    }
    try {
        ensure_connected();
    } catch (boost::system::system_error& e) {
        // Only the configured time-out makes the server unresponsive; the system's own
        // time-out is one more failed connect.
        if (e.code() == boost::asio::error::timed_out && connect_expired)
            gave_up = e.code();
        report(e.code());
        return boost::shared_ptr<reply>();
    }
    boost::shared_ptr<connection> current = conn;
    try {
        return current->issue_request(req, reply_timeout);
    } catch (boost::system::system_error& e) {
        // Only the reply's time-out is ours to report; a connection found closed passes on.
        if (e.code() != boost::asio::error::timed_out)
            throw;
        gave_up = e.code();
        report(e.code());
        return boost::shared_ptr<reply>();
    }
}

void client::close_connection() {
    if (!conn)
        return;
    conn->close();
    conn.reset();
}

} // namespace httprtsp
