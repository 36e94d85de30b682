// A scripted peer on a loopback port: it keeps the exact bytes of every request it
// receives and answers each with a body the test chooses. Plain sockets, no parser of
// ours, so that it sees what went over the wire.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class raw_peer {
public:
    // `answer` gets the request's number (from 0) and its bytes, and gives the reply body.
    explicit raw_peer(std::function<std::string(std::size_t, const std::string&)> answer);
    ~raw_peer();
    raw_peer(const raw_peer&) = delete;
    raw_peer& operator=(const raw_peer&) = delete;

    unsigned short port() const { return port_; }
    std::vector<std::string> requests() const;
    std::size_t connections() const { return connections_; }

private:
    void serve();
    // Takes every complete request off the front of `pending`, answering on `fd`.
    void answer_complete(int fd, std::string& pending);

    std::function<std::string(std::size_t, const std::string&)> answer_;
    int listener_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

} // namespace e2e
