#include "tests/publish/hostile_peer.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <regex>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {

namespace {

std::size_t content_length(const std::string& head) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t at = lower.find("\r\ncontent-length:");
    return at == std::string::npos ? 0 : std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

} // namespace

hostile_peer::hostile_peer(script replies, std::string greeting)
    : answer_(std::move(replies)), greeting_(std::move(greeting)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("loopback listener");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

hostile_peer::~hostile_peer() {
    stop_ = true;
    thread_.join();
    close(listener_);
}

std::vector<std::string> hostile_peer::requests() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
}

std::string hostile_peer::reply(const std::string& status, const std::string& body,
                                const std::string& type) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void hostile_peer::take_requests(client& c) {
    static const std::regex id("\"id\":\"([^\"]*)\"");
    for (;;) {
        const std::size_t head_end = c.pending.find("\r\n\r\n");
        if (head_end == std::string::npos)
            return;
        const std::size_t total = head_end + 4 + content_length(c.pending.substr(0, head_end + 2));
        if (c.pending.size() < total)
            return;
        const std::string request = c.pending.substr(0, total);
        c.pending.erase(0, total);
        std::size_t number;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            number = requests_.size();
            requests_.push_back(request);
        }
        std::smatch m;
        const std::string message_id = std::regex_search(request, m, id) ? m[1].str() : "";
        const answer a = answer_(number, request, message_id);
        c.outbox += c.owed + a.bytes;
        c.owed = a.later;
        c.endless = a.endless;
        c.close_when_sent = a.close || a.reset;
        c.reset = a.reset;
    }
}

void hostile_peer::serve() {
    std::vector<client> clients;
    while (!stop_) {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        for (const client& c : clients)
            fds.push_back(
                {c.fd,
                 static_cast<short>(POLLIN | (c.outbox.empty() && c.endless.empty() ? 0 : POLLOUT)),
                 0});
        if (poll(fds.data(), fds.size(), 20) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0)
                clients.push_back(
                    {fd, std::string(), greeting_, std::string(), false, false, std::string()});
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            client& c = clients[i - 1];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[8192];
                const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    c.pending.append(buffer, static_cast<std::size_t>(n));
                    take_requests(c);
                } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    close(c.fd);
                    c.fd = -1;
                    continue;
                }
            }
            if (c.outbox.empty() && !c.endless.empty())
                c.outbox = c.endless;

            if (!c.outbox.empty()) {
                const ssize_t n = send(c.fd, c.outbox.data(), c.outbox.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    c.outbox.erase(0, static_cast<std::size_t>(n));
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    close(c.fd);
                    c.fd = -1;
                    continue;
                }
            }
            if (c.outbox.empty() && c.endless.empty() && c.close_when_sent) {
                if (c.reset) {
                    const linger abort{1, 0};
                    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                }
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
