// A loopback port where every connection is refused for as long as the object lives.
//
// A socket bound to the port that never listens: the system answers a connect with a reset,
// and no other socket can take the port meanwhile (a port freed and found again later could
// have gone to another program running at the same time). `shareable` lets a server of the
// test itself listen on the port later (both sockets ask for SO_REUSEADDR; ports the system
// hands out are never shared that way).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <string>

namespace vq_testing {

class refusing_port {
public:
    explicit refusing_port(bool shareable = false) : socket_(io_) {
        socket_.open(boost::asio::ip::tcp::v4());
        if (shareable)
            socket_.set_option(boost::asio::socket_base::reuse_address(true));
        socket_.bind({boost::asio::ip::address_v4::loopback(), 0});
        port_ = socket_.local_endpoint().port();
    }
    refusing_port(const refusing_port&) = delete;
    refusing_port& operator=(const refusing_port&) = delete;

    std::uint16_t port() const { return port_; }
    std::string text() const { return std::to_string(port_); }

private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    std::uint16_t port_ = 0;
};

} // namespace vq_testing
