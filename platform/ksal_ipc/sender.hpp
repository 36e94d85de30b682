// The sending side of a channel: connections to the peer's socket, a few kept
// idle for reuse, one exchange at a time on each.
#pragma once

#include "platform/ksal_ipc/ipc_wire.hpp"

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ksal_ipc {

class sender {
public:
    sender(uint32_t local, uint32_t remote) : m_local(local), m_remote(remote) {}
    ~sender();
    sender(const sender&) = delete;
    sender& operator=(const sender&) = delete;

    void set_remote_path(const std::string& path) { m_remotePath = path; }

    // One request and its answer; a KSAL_IPC_* result.
    int32_t send(uint32_t msg_id, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                 int32_t* msg_err);

    // Pending sends fail, idle connections close, later sends are refused.
    void stop();

private:
    // A connection to the peer and the receive time-out set on it (0: none yet).
    struct connection {
        int fd;
        uint32_t timeout_ms;
        clock_type::time_point idle_since;
    };
    int take_connection(connection& c);
    void give_back(const connection& c, bool reusable);

    const uint32_t m_local;
    const uint32_t m_remote;
    std::string m_remotePath;

    std::mutex m_mutex; // guards everything below
    bool m_stopping = false;
    std::set<int> m_busy;           // connections in an exchange; shut down on stop
    std::vector<connection> m_idle; // ready for reuse
};

} // namespace ksal_ipc
