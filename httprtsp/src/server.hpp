/// \file
/// Accepts TCP connections and runs each as an httprtsp::connection with one request handler.
#ifndef HTTPRTSP_SERVER_HPP
#define HTTPRTSP_SERVER_HPP

#include "httprtsp/src/connection.hpp"
#include "httprtsp/src/request_handler_base.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>

namespace httprtsp {

/// A listening socket whose connections all share one request handler.
class server : private boost::noncopyable {
public:
    /// Binds and listens at once (port 0: any free port), then accepts on the I/O service's
    /// threads. Throws boost::system::system_error when the address cannot be bound.
    server(boost::shared_ptr<boost::asio::io_service> io_service,
           boost::shared_ptr<request_handler_base> handler,
           const std::string& address = "127.0.0.1", std::uint16_t port = 0);
    /// Stops accepting and closes the connections still open.
    ~server();

    /// The port actually bound.
    std::uint16_t port() const;
    /// The address and port actually bound.
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    /// Number of connections accepted so far.
    std::size_t accepted() const;
    /// Stops accepting and closes every connection still open (without error, so the handler
    /// hears no close notice). Idempotent.
    void stop();
    /// Time-outs and limits of the connections accepted from now on.
    void set_connection_limits(const connection::server_limits& limits);
    /// At most this many open connections (4096 by default), never more even for a moment. At
    /// the cap a pending connection is admitted by closing the one idle longest, or else the
    /// request stalled longest for over half a second (its body below the minimum rate, its
    /// header block not yet whole); accepting waits while none qualifies.
    void set_max_connections(std::size_t count);
    /// Connections open now.
    std::size_t open_connections() const;
    /// Bytes of request bodies that all served connections of the process may hold in memory
    /// together (256 MiB by default; uploads stream to their files and are not counted). A
    /// request whose announced or received body would pass it is answered 503 before its body
    /// is read, and its connection closes.
    static void set_body_budget(std::uint64_t bytes);

private:
    struct state;
    boost::shared_ptr<state> state_;
};

} // namespace httprtsp

#endif
