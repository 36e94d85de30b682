// A loopback port where every connection is refused for as long as the object lives.
//
// A socket bound to the port that never listens: the system answers a connect with a reset,
// and no other socket can take the port meanwhile (a port freed and found again later could
// have gone to another program running at the same time). `shareable` lets a server of the
// test itself listen on the port later (both sockets ask for SO_REUSEADDR; ports the system
// hands out are never shared that way).
#pragma once

#include <stdexcept>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vq_testing {

class refusing_port {
public:
    explicit refusing_port(bool shareable = false) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ < 0 ||
            (shareable && ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            if (fd_ >= 0)
                ::close(fd_);
            throw std::runtime_error("cannot bind a loopback port");
        }
        port_ = ntohs(address.sin_port);
    }
    ~refusing_port() { ::close(fd_); }
    refusing_port(const refusing_port&) = delete;
    refusing_port& operator=(const refusing_port&) = delete;

    unsigned short port() const { return port_; }
    std::string text() const { return std::to_string(port_); }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

} // namespace vq_testing
