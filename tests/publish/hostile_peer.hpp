// A scripted device on a loopback port that writes whatever bytes the test chooses in
// answer to each request: whole replies, several replies, or a reply that never ends.
// Plain sockets, so that nothing of ours shapes what the client receives.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

class hostile_peer {
public:
    struct answer {
        answer(std::string now = "", std::string repeated = "", bool hang_up = false)
            : bytes(std::move(now)), endless(std::move(repeated)), close(hang_up) {}
        std::string bytes;   // written at once
        std::string endless; // then written over and over until the client hangs up
        bool close = false;  // hang up once `bytes` is written
        std::string later;   // written on this connection before the answer to the next request
        bool reset = false;  // hang up with a reset (RST) rather than an orderly close
    };
    // Gets the request's number (from 0), its bytes and the id of its first message.
    typedef std::function<answer(std::size_t, const std::string&, const std::string&)> script;

    // `greeting` goes to every connection as soon as it is accepted, before any request.
    explicit hostile_peer(script replies, std::string greeting = "");
    ~hostile_peer();
    hostile_peer(const hostile_peer&) = delete;
    hostile_peer& operator=(const hostile_peer&) = delete;

    std::string port() const { return std::to_string(port_); }
    std::vector<std::string> requests() const;

    // A reply with this status line and body, kept alive.
    static std::string reply(const std::string& status, const std::string& body,
                             const std::string& type = "application/json");

private:
    struct client {
        int fd;
        std::string pending;
        std::string outbox;
        std::string endless;
        bool close_when_sent;
        bool reset;
        std::string owed; // the previous answer's `later`
    };
    void serve();
    void take_requests(client& c);

    script answer_;
    std::string greeting_;
    int listener_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

} // namespace e2e
