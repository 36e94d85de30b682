#include "platform/ksal_ipc/sender.hpp"

#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/ksal_ipc/fd_io.hpp"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>

namespace ksal_ipc {

namespace {

// The peer answers each request with exactly one reply and nothing after it,
// so reading ahead into a buffer never takes the next one's bytes; usually the
// whole reply arrives in one read. That first read blocks under the
// connection's receive time-out (the answer time-out) rather than polling
// first: one system call less per round trip. The rest, if any, is read
// against the deadline.
bool read_reply(int fd, ReplyHeader& r, void* out, uint32_t out_size,
                clock_type::time_point deadline, bool& timed_out) {
    std::vector<char> buf(sizeof r + out_size);
    std::size_t got = 0;
    std::size_t want = sizeof r;
    bool first = true;
    while (got < want) {
        if (!first && !wait_ready(fd, POLLIN, deadline)) {
            timed_out = clock_type::now() >= deadline;
            return false;
        }
        ssize_t n = ::recv(fd, buf.data() + got, buf.size() - got, first ? 0 : MSG_DONTWAIT);
        if (n < 0 && first && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            timed_out = true;
            return false;
        }
        first = false;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
        if (want == sizeof r && got >= sizeof r) {
            std::memcpy(&r, buf.data(), sizeof r);
            if (r.magic != kReplyMagic || r.reply_size > out_size)
                return false;
            want = sizeof r + r.reply_size;
        }
    }
    if (got != want)
        return false;
    if (r.reply_size > 0)
        std::memcpy(out, buf.data() + sizeof r, r.reply_size);
    return true;
}

} // namespace

sender::~sender() {
    for (const connection& idle : m_idle)
        ::close(idle.fd);
}

int32_t sender::send(uint32_t msg_id, const void* in, uint32_t in_size, void* out,
                     uint32_t out_size, int32_t* msg_err) {
    connection c{-1, 0, {}};
    const int fd = take_connection(c);
    if (fd < 0)
        return fd;
    const uint32_t timeout_ms = g_answerTimeoutMs.load();
    if (c.timeout_ms != timeout_ms) {
        const timeval tv{static_cast<time_t>(timeout_ms / 1000),
                         static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        c.timeout_ms = timeout_ms;
    }

    std::vector<char> frame(sizeof(RequestHeader) + in_size);
    RequestHeader h{kRequestMagic, msg_id, m_local, m_remote, in_size, out_size};
    std::memcpy(frame.data(), &h, sizeof h);
    if (in_size > 0)
        std::memcpy(frame.data() + sizeof h, in, in_size);

    // A peer that neither takes the request nor answers it is given up on.
    const clock_type::time_point deadline = deadline_in(g_answerTimeoutMs);
    int32_t rc = KSAL_IPC_E_IO;
    ReplyHeader r;
    bool timed_out = false;
    if (write_all(fd, frame.data(), frame.size(), deadline) &&
        read_reply(fd, r, out, out_size, deadline, timed_out)) {
        if (r.status == kDelivered) {
            if (msg_err != nullptr)
                *msg_err = r.result;
            rc = KSAL_IPC_OK;
        } else
            rc = KSAL_IPC_E_REJECTED;
    } else if (timed_out || clock_type::now() >= deadline)
        rc = KSAL_IPC_E_TIMEOUT;
    give_back(c, rc == KSAL_IPC_OK || rc == KSAL_IPC_E_REJECTED);
    return rc;
}

void sender::stop() {
    std::lock_guard<std::mutex> lk(m_mutex);
    m_stopping = true;
    for (int fd : m_busy)
        ::shutdown(fd, SHUT_RDWR);
    for (const connection& idle : m_idle)
        ::close(idle.fd);
    m_idle.clear();
}

int sender::take_connection(connection& c) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(m_mutex);
            if (m_stopping)
                return KSAL_IPC_E_BAD_HANDLE;
            if (m_idle.empty())
                break;
            c = m_idle.back();
            m_idle.pop_back();
            // The peer drops a connection that stays idle for its frame
            // time-out; one idle for half of it is not worth the race.
            const auto age = clock_type::now() - c.idle_since;
            if (age < std::chrono::milliseconds(g_frameTimeoutMs.load() / 2) &&
                still_usable(c.fd)) {
                m_busy.insert(c.fd);
                return c.fd;
            }
        }
        ::close(c.fd);
    }
    c.timeout_ms = 0;
    int fd = connect_to(m_remotePath);
    if (fd < 0)
        return fd;
    std::lock_guard<std::mutex> lk(m_mutex);
    if (m_stopping) {
        ::close(fd);
        return KSAL_IPC_E_BAD_HANDLE;
    }
    m_busy.insert(fd);
    c.fd = fd;
    return fd;
}

void sender::give_back(const connection& c, bool reusable) {
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_busy.erase(c.fd);
        if (reusable && !m_stopping && m_idle.size() < kMaxIdleConnections) {
            m_idle.push_back(connection{c.fd, c.timeout_ms, clock_type::now()});
            return;
        }
    }
    ::close(c.fd);
}

} // namespace ksal_ipc
