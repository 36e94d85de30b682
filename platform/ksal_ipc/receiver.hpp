// The receiving side of a channel: listens on this node's socket, serves each
// connection on a thread of its own (so a callback that sends, even back to
// its sender, never waits for a thread that is busy with it), makes room when
// too many connections wait, and reaps the threads that finished.
#pragma once

#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/ksal_ipc/ipc_wire.hpp"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ksal_ipc {

class receiver : public std::enable_shared_from_this<receiver> {
public:
    receiver(const std::string& channel, uint32_t local, uint32_t remote, KSAL_IPC_Callback cb,
             void* cb_user)
        : m_channel(channel), m_local(local), m_remote(remote), m_cb(cb), m_cbUser(cb_user) {}
    ~receiver();
    receiver(const receiver&) = delete;
    receiver& operator=(const receiver&) = delete;

    // Listens on `path`; a KSAL_IPC_* result.
    int32_t listen_on(const std::string& path);

    // No callback starts after it returns (but the one calling it, which
    // still answers its sender); the delivery threads are joined, except
    // those still inside a callback after kStopGrace, which are left to end
    // on their own.
    void stop();

private:
    void accept_loop();
    bool make_room_for_one();
    bool admit(std::unique_lock<std::mutex>& lk);
    void join_finished(std::unique_lock<std::mutex>& lk);
    bool read_payload(int fd, uint32_t size, clock_type::time_point deadline,
                      std::vector<unsigned char>& payload);
    void serve(int fd);
    bool read_request(int fd, RequestHeader& h, std::vector<unsigned char>& payload,
                      std::vector<unsigned char>& ahead);
    void answer(const RequestHeader& h, std::vector<unsigned char>& payload,
                std::vector<unsigned char>& reply);
    void reap_finished();

    const std::string m_channel;
    const uint32_t m_local;
    const uint32_t m_remote;
    const KSAL_IPC_Callback m_cb;
    void* const m_cbUser;
    std::string m_localPath;
    int m_listenFd = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_acceptor;

    std::mutex m_mutex; // guards everything below
    std::condition_variable m_threadEnded;
    bool m_stopping = false;
    std::size_t m_inFlight = 0; // callbacks running
    std::set<int> m_busy;       // served connections; shut down on stop
    // Served connections waiting for a request, with the time they began to.
    std::map<int, clock_type::time_point> m_waiting;
    std::map<std::thread::id, std::thread> m_workers;
    std::vector<std::thread> m_finished;
};

} // namespace ksal_ipc
