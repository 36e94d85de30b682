#include "platform/ksal_ipc/fd_io.hpp"

#include "platform/ksal_ipc/KSAL_IPC.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace ksal_ipc {

std::atomic<uint32_t> g_frameTimeoutMs{10000};
std::atomic<uint32_t> g_answerTimeoutMs{30000};

std::string socket_name(const std::string& channel, uint32_t node) {
    std::string name;
    for (char c : channel)
        name += (c == '/' || c == '\0') ? '_' : c;
    return name + "." + std::to_string(node);
}

bool wait_ready(int fd, short events, clock_type::time_point deadline) {
    for (;;) {
        // Rounded up: a time-out is reported only once the deadline has passed.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_type::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

bool read_all(int fd, void* buf, std::size_t size, clock_type::time_point deadline) {
    char* p = static_cast<char*>(buf);
    while (size > 0) {
        if (!wait_ready(fd, POLLIN, deadline))
            return false;
        ssize_t n = ::recv(fd, p, size, MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        else
            return false;
    }
    return true;
}

std::size_t read_at_least(int fd, void* buf, std::size_t least, std::size_t most,
                          clock_type::time_point deadline) {
    char* p = static_cast<char*>(buf);
    std::size_t got = 0;
    bool first = true;
    while (got < least) {
        if (!first && !wait_ready(fd, POLLIN, deadline))
            return 0;
        const ssize_t n = ::recv(fd, p + got, most - got, first ? 0 : MSG_DONTWAIT);
        if (n < 0 && first && errno != EINTR)
            return 0; // the receive time-out, or an error
        first = false;
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        else
            return 0;
    }
    return got;
}

bool write_all(int fd, const void* buf, std::size_t size, clock_type::time_point deadline) {
    const char* p = static_cast<const char*>(buf);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && errno == EAGAIN) {
            if (!wait_ready(fd, POLLOUT, deadline))
                return false;
        } else
            return false;
    }
    return true;
}

bool still_usable(int fd) {
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, 0);
    return n == 0;
}

bool fill_address(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int connect_to(const std::string& path) {
    sockaddr_un addr;
    if (!fill_address(path, addr))
        return KSAL_IPC_E_RESOURCE;
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return KSAL_IPC_E_RESOURCE;
    int rc;
    do
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        const int err = errno;
        return (err == ENOENT || err == ECONNREFUSED || err == ENOTSOCK) ? KSAL_IPC_E_NO_PEER
                                                                         : KSAL_IPC_E_IO;
    }
    return fd.release();
}

} // namespace ksal_ipc
