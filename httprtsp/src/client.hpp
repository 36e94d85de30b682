/// \file
/// Keeps one connection to a server open on demand and issues requests over it.
#ifndef HTTPRTSP_CLIENT_HPP
#define HTTPRTSP_CLIENT_HPP

#include "httprtsp/src/connection.hpp"
#include "httprtsp/src/message.hpp"
#include "httprtsp/src/request_handler_base.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include <chrono>
#include <optional>
#include <string>

namespace httprtsp {

/// One server's address and, on demand, one open connection to it.
///
/// Used by one caller thread at a time; the connection's I/O runs on the I/O service's
/// threads, which must be running (io_service_pool) for a request to complete.
class client : private boost::noncopyable {
public:
    /// Stores the address; connects only when a request needs it. \p handler serves the
    /// requests the server sends over this client's connections.
    client(const std::string& host, const std::string& port,
           boost::shared_ptr<request_handler_base> handler,
           boost::shared_ptr<boost::asio::io_service> io_service);
    /// close_connection().
    virtual ~client();

    /// Returns at once while the current connection is open; otherwise resolves, connects a
    /// fresh connection to the first endpoint that accepts and starts it. Blocks the calling
    /// thread meanwhile. Throws boost::system::system_error when that fails (timed_out when
    /// connecting took longer than the connect time-out).
    void ensure_connected();
    /// Connects on demand, sends and blocks until the reply (see connection::issue_request()),
    /// with \p reply_timeout at most that long after the request was sent (then the connection
    /// is closed). On a resolve, connect or time-out failure prints "BOOST SYSTEM ERROR :
    /// <text>" where the log lines go and returns an empty reply; an empty reply also means
    /// the connection closed before the reply came.
    boost::shared_ptr<reply>
    issue_request(boost::shared_ptr<request> req,
                  std::optional<std::chrono::milliseconds> reply_timeout = std::nullopt);
    /// How long connecting (every address of the host together) may take; none, the default:
    /// as long as the system allows. With a time-out the connect runs on the I/O service, which
    /// must be running (as it must for any reply).
    void set_connect_timeout(std::optional<std::chrono::milliseconds> timeout);
    /// What a reply may hold, given to every connection opened from now on (see
    /// connection::set_parser_limits()); without a call, a connection's own default applies.
    /// Past a limit the reply is malformed and its connection closes: the request gets an
    /// empty reply.
    void set_reply_limits(const parser_limits& limits);
    /// After one time-out the server counts as unresponsive: every later issue_request() fails
    /// at once with the same report, without connecting or waiting again.
    bool unresponsive() const { return static_cast<bool>(gave_up); }
    /// Closes the current connection without error (waiters get empty replies) and drops it.
    void close_connection();

protected:
    std::string host; ///< as given, a name or an address
    std::string port; ///< as given, a number or a service name
    /// Where the resolver and the connections run.
    boost::shared_ptr<boost::asio::io_service> io_service;
    /// The current connection; empty until the first ensure_connected().
    boost::shared_ptr<connection> conn;
    /// Given to every connection this client makes.
    boost::shared_ptr<request_handler_base> handler;

private:
    boost::system::error_code connect_socket(const boost::asio::ip::tcp::endpoint& endpoint,
                                             std::chrono::steady_clock::time_point deadline);

    std::optional<std::chrono::milliseconds> connect_timeout;
    std::optional<parser_limits> reply_limits;
    boost::system::error_code gave_up; // the time-out that made the server unresponsive
    bool connect_expired = false;      // the last connect ran out of its configured time
};

} // namespace httprtsp

#endif
