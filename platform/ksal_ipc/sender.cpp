#include "platform/ksal_ipc/sender.hpp"

#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/ksal_ipc/fd_io.hpp"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace ksal_ipc {

namespace {

// The peer answers each request with exactly one reply and nothing after it,
// so reading ahead into a buffer never takes the next one's bytes; usually the
// whole reply arrives in one read.
bool read_reply(int fd, ReplyHeader& r, void* out, uint32_t out_size,
                clock_type::time_point deadline, bool& timed_out) {
    std::vector<char> buf(sizeof r + out_size);
    std::size_t got = 0;
    std::size_t want = sizeof r;
    while (got < want) {
        if (!wait_ready(fd, POLLIN, deadline)) {
            timed_out = clock_type::now() >= deadline;
            return false;
        }
        ssize_t n = ::recv(fd, buf.data() + got, buf.size() - got, MSG_DONTWAIT);
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
    for (const auto& idle : m_idle)
        ::close(idle.first);
}

int32_t sender::send(uint32_t msg_id, const void* in, uint32_t in_size, void* out,
                     uint32_t out_size, int32_t* msg_err) {
    int fd = take_connection();
    if (fd < 0)
        return fd;

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
    give_back(fd, rc == KSAL_IPC_OK || rc == KSAL_IPC_E_REJECTED);
    return rc;
}

void sender::stop() {
    std::lock_guard<std::mutex> lk(m_mutex);
    m_stopping = true;
    for (int fd : m_busy)
        ::shutdown(fd, SHUT_RDWR);
    for (const auto& idle : m_idle)
        ::close(idle.first);
    m_idle.clear();
}

int sender::take_connection() {
    for (;;) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> lk(m_mutex);
            if (m_stopping)
                return KSAL_IPC_E_BAD_HANDLE;
            if (m_idle.empty())
                break;
            fd = m_idle.back().first;
            const clock_type::time_point since = m_idle.back().second;
            m_idle.pop_back();
            // The peer drops a connection that stays idle for its frame
            // time-out; one idle for half of it is not worth the race.
            const auto age = clock_type::now() - since;
            if (age < std::chrono::milliseconds(g_frameTimeoutMs.load() / 2) && still_usable(fd)) {
                m_busy.insert(fd);
                return fd;
            }
        }
        ::close(fd);
    }
    int fd = connect_to(m_remotePath);
    if (fd < 0)
        return fd;
    std::lock_guard<std::mutex> lk(m_mutex);
    if (m_stopping) {
        ::close(fd);
        return KSAL_IPC_E_BAD_HANDLE;
    }
    m_busy.insert(fd);
    return fd;
}

void sender::give_back(int fd, bool reusable) {
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_busy.erase(fd);
        if (reusable && !m_stopping && m_idle.size() < kMaxIdleConnections) {
            m_idle.emplace_back(fd, clock_type::now());
            return;
        }
    }
    ::close(fd);
}

} // namespace ksal_ipc
