#include "tests/support/raw_peer.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {

namespace {

int loopback_listener(unsigned short& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(fd);
        throw std::runtime_error("bind/listen on loopback");
    }
    port = ntohs(address.sin_port);
    return fd;
}

// The value of the first Content-Length header line, or 0.
std::size_t content_length(const std::string& head) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    const std::size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos)
        return 0;
    return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

void write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

raw_peer::raw_peer(std::function<std::string(std::size_t, const std::string&)> answer)
    : answer_(std::move(answer)) {
    listener_ = loopback_listener(port_);
    thread_ = std::thread([this] { serve(); });
}

raw_peer::~raw_peer() {
    stop_ = true;
    thread_.join();
    close(listener_);
}

std::vector<std::string> raw_peer::requests() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
}

void raw_peer::answer_complete(int fd, std::string& pending) {
    for (;;) {
        const std::size_t head_end = pending.find("\r\n\r\n");
        if (head_end == std::string::npos)
            return;
        const std::size_t total = head_end + 4 + content_length(pending.substr(0, head_end + 2));
        if (pending.size() < total)
            return;
        const std::string request = pending.substr(0, total);
        pending.erase(0, total);
        std::size_t number;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            number = requests_.size();
            requests_.push_back(request);
        }
        // Answer in the request's own protocol.
        const std::string protocol = request.substr(0, request.find("\r\n"))
                                         .substr(request.rfind(' ', request.find("\r\n")) + 1);
        const std::string body = answer_(number, request);
        write_all(fd, protocol + " 200 OK\r\ncontent-length: " + std::to_string(body.size()) +
                          "\r\n\r\n" + body);
    }
}

void raw_peer::serve() {
    struct client {
        int fd;
        std::string pending;
    };
    std::vector<client> clients;
    while (!stop_) {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        for (const client& c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 20) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                ++connections_;
                clients.push_back({fd, std::string()});
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            client& c = clients[i - 1];
            char buffer[8192];
            const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                c.pending.append(buffer, static_cast<std::size_t>(n));
                answer_complete(c.fd, c.pending);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(c.fd);
                c.fd = -1;
            }
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(),
                                     [](const client& c) { return c.fd < 0; }),
                      clients.end());
    }
    for (const client& c : clients)
        close(c.fd);
}

} // namespace e2e
