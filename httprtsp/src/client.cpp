#include "httprtsp/src/client.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include <cstdio>

namespace httprtsp {

client::client(const std::string& host_, const std::string& port_,
               boost::shared_ptr<request_handler_base> handler_,
               boost::shared_ptr<boost::asio::io_service> io_service_)
    : host(host_), port(port_), io_service(io_service_), handler(handler_) {}

client::~client() {
    close_connection();
}

void client::ensure_connected() {
    if (conn && !conn->is_closed())
        return;

    boost::asio::ip::tcp::resolver resolver(*io_service);
    boost::asio::ip::tcp::resolver::results_type endpoints =
        resolver.resolve(host, port, boost::asio::ip::tcp::resolver::address_configured);

    conn = boost::make_shared<connection>(io_service, handler);
    boost::asio::ip::tcp::socket& socket = conn->socket();
    boost::system::error_code error = boost::asio::error::host_not_found;
    for (auto it = endpoints.begin(); error && it != endpoints.end(); ++it) {
        boost::system::error_code ignored;
        socket.close(ignored);
        socket.open(it->endpoint().protocol(), error);
        if (!error)
            socket.connect(it->endpoint(), error);
    }
    if (error) {
        // A socket left open but unconnected would pass the check above next time, and the
        // next request would be written into it: close it so that every exchange connects anew.
        boost::system::error_code ignored;
        socket.close(ignored);
        throw boost::system::system_error(error);
    }
    conn->start();
}

boost::shared_ptr<reply> client::issue_request(boost::shared_ptr<request> req) {
    try {
        ensure_connected();
    } catch (boost::system::system_error& e) {
        std::printf("BOOST SYSTEM ERROR : %s\n", e.code().message().c_str());
        std::fflush(stdout);
        return boost::shared_ptr<reply>();
    }
    boost::shared_ptr<connection> current = conn;
    return current->issue_request(req);
}

void client::close_connection() {
    if (!conn)
        return;
    conn->close();
    conn.reset();
}

} // namespace httprtsp
