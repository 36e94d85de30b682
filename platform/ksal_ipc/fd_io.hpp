// Descriptor helpers of the IPC stand-in: ownership, waits with a deadline,
// whole reads and writes, connecting to a peer's socket.
#pragma once

#include "platform/ksal_ipc/ipc_wire.hpp"

#include <cstddef>
#include <string>

#include <sys/un.h>
#include <unistd.h>

namespace ksal_ipc {

// Owns one descriptor; closes it when it goes.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : m_fd(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : m_fd(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// Waits until fd is ready for `events` or the deadline passes; false on
// time-out or error.
bool wait_ready(int fd, short events, clock_type::time_point deadline);

// Reads exactly `size` bytes before the deadline.
bool read_all(int fd, void* buf, std::size_t size, clock_type::time_point deadline);

// Reads at least `least` and at most `most` bytes before the deadline; how
// many it read, or 0 on time-out, error or end of stream first. The first
// read blocks under the socket's own receive time-out (set to the same span
// when the connection was made) instead of polling first: one system call
// less for a request that is waited for.
std::size_t read_at_least(int fd, void* buf, std::size_t least, std::size_t most,
                          clock_type::time_point deadline);

// Writes everything unless the peer stops reading until the deadline.
bool write_all(int fd, const void* buf, std::size_t size, clock_type::time_point deadline);

// An idle connection that the peer has closed (or that has unexpected bytes
// waiting) must not be reused: the peer that held it is gone.
bool still_usable(int fd);

bool fill_address(const std::string& path, sockaddr_un& addr);

// Returns a connected socket, or a negative KSAL_IPC_E_* value.
int connect_to(const std::string& path);

} // namespace ksal_ipc
