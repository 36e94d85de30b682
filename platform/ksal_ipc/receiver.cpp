#include "platform/ksal_ipc/receiver.hpp"

#include "platform/device_log/vq_log.h"
#include "platform/ksal_ipc/fd_io.hpp"
#include "platform/ksal_ipc/message_limits.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace ksal_ipc {

namespace {

// Our connection (if any) whose request the calling thread is serving.
thread_local int t_servingFd = -1;

} // namespace

receiver::~receiver() {
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    for (int fd : m_wake)
        if (fd >= 0)
            ::close(fd);
}

int32_t receiver::listen_on(const std::string& path) {
    m_localPath = path;
    sockaddr_un addr;
    if (!fill_address(m_localPath, addr))
        return KSAL_IPC_E_RESOURCE;
    // A socket file whose owner still answers belongs to a live channel; one
    // that refuses is left over from a process that ended.
    int probe = connect_to(m_localPath);
    if (probe >= 0) {
        ::close(probe);
        return KSAL_IPC_E_IN_USE;
    }
    ::unlink(m_localPath.c_str());

    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        return KSAL_IPC_E_RESOURCE;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
        return errno == EADDRINUSE ? KSAL_IPC_E_IN_USE : KSAL_IPC_E_RESOURCE;
    if (::listen(m_listenFd, 128) < 0 || ::pipe2(m_wake, O_CLOEXEC) < 0) {
        ::unlink(m_localPath.c_str());
        return KSAL_IPC_E_RESOURCE;
    }
    try {
        m_acceptor = std::thread(&receiver::accept_loop, shared_from_this());
    } catch (...) {
        ::unlink(m_localPath.c_str());
        return KSAL_IPC_E_RESOURCE;
    }
    return KSAL_IPC_OK;
}

void receiver::stop() {
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_stopping = true;
        // A callback that closes its own channel still answers its sender.
        for (int fd : m_busy)
            if (fd != t_servingFd)
                ::shutdown(fd, SHUT_RDWR);
    }
    if (m_listenFd < 0)
        return;
    // Gone from the file system first, so new senders fail at once.
    ::unlink(m_localPath.c_str());
    char wake = 'x';
    while (::write(m_wake[1], &wake, 1) < 0 && errno == EINTR) {
    }
    if (m_acceptor.joinable())
        m_acceptor.join();

    // Threads still inside a callback get a grace period; one that hangs
    // past it must not hang the close as well.
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lk(m_mutex);
    const bool from_callback = m_workers.count(self) != 0;
    m_threadEnded.wait_for(lk, kStopGrace,
                           [&] { return m_workers.size() == (from_callback ? 1u : 0u); });
    join_finished(lk);
    std::size_t left = 0;
    for (auto& w : m_workers) {
        // Stopped from one of our own callbacks: that thread finishes its
        // message on its own after we return.
        left += w.first != self;
        w.second.detach();
    }
    m_workers.clear();
    if (left != 0)
        vq_log__(3, "receiver.cpp", __LINE__,
                 "KSAL IPC %s: %zu deliveries still running after %lld ms, left to end alone\n",
                 m_channel.c_str(), left, static_cast<long long>(kStopGrace.count()));
}

// Joins the threads that have ended; called and returns with `lk` held.
void receiver::join_finished(std::unique_lock<std::mutex>& lk) {
    std::vector<std::thread> done;
    done.swap(m_finished);
    lk.unlock();
    for (auto& t : done)
        t.join();
    lk.lock();
}

void receiver::reap_finished() {
    std::unique_lock<std::mutex> lk(m_mutex);
    join_finished(lk);
}

// Called full, under the lock: the connection that has waited longest for a
// request makes room, so idle peers never lock out one that sends. False when
// none waits.
bool receiver::make_room_for_one() {
    if (m_waiting.empty())
        return false;
    auto oldest = m_waiting.begin();
    for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it)
        if (it->second < oldest->second)
            oldest = it;
    ::shutdown(oldest->first, SHUT_RDWR);
    m_waiting.erase(oldest);
    return true;
}

// Whether a new connection may be served, under `lk`: threads not yet joined
// count against the cap; when full, the longest waiter is evicted and its
// thread's end awaited (briefly), so the cap holds for threads, not only for
// connections.
bool receiver::admit(std::unique_lock<std::mutex>& lk) {
    join_finished(lk);
    if (m_stopping)
        return false;
    if (m_workers.size() < kMaxServedConnections)
        return true;
    if (!make_room_for_one())
        return false;
    m_threadEnded.wait_for(lk, kAdmitWait,
                           [&] { return m_stopping || m_workers.size() < kMaxServedConnections; });
    join_finished(lk);
    return !m_stopping && m_workers.size() < kMaxServedConnections;
}

void receiver::accept_loop() {
    for (;;) {
        pollfd p[2] = {{m_listenFd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        int n = ::poll(p, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || p[1].revents != 0)
            break;
        reap_finished();
        if ((p[0].revents & POLLIN) == 0)
            continue;
        int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lk(m_mutex);
        if (m_stopping || (m_workers.size() >= kMaxServedConnections && !make_room_for_one())) {
            ::close(fd);
            continue;
        }
        // A peer that stops reading its answer does not hold us forever.
        const timeval tv{static_cast<time_t>(g_frameTimeoutMs.load() / 1000),
                         static_cast<suseconds_t>((g_frameTimeoutMs.load() % 1000) * 1000)};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        // Nor one that connects and sends nothing (see read_at_least).
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        try {
            std::thread t(&receiver::serve, shared_from_this(), fd);
            m_busy.insert(fd);
            m_workers.emplace(t.get_id(), std::move(t));
        } catch (...) {
            ::close(fd);
        }
    }
}

void receiver::serve(int fd) {
    {
        // The acceptor registers us under the lock; wait for it so that a
        // stop racing with our start still sees this connection.
        std::lock_guard<std::mutex> lk(m_mutex);
    }
    std::vector<unsigned char> payload;
    std::vector<unsigned char> ahead;
    std::vector<unsigned char> reply;
    t_servingFd = fd;
    RequestHeader h;
    while (read_request(fd, h, payload, ahead)) {
        answer(h, payload, reply);
        ReplyHeader r;
        std::memcpy(&r, reply.data(), sizeof r);
        if (!write_all(fd, reply.data(), sizeof r + r.reply_size, deadline_in(g_frameTimeoutMs)))
            break;
    }
    t_servingFd = -1;

    std::lock_guard<std::mutex> lk(m_mutex);
    m_waiting.erase(fd);
    m_busy.erase(fd);
    ::close(fd);
    auto it = m_workers.find(std::this_thread::get_id());
    if (it != m_workers.end()) {
        m_finished.push_back(std::move(it->second));
        m_workers.erase(it);
    }
    m_threadEnded.notify_all();
}

// The next whole, well-formed request within the frame time-out; false when
// the connection is to go.
bool receiver::read_request(int fd, RequestHeader& h, std::vector<unsigned char>& payload,
                            std::vector<unsigned char>& ahead) {
    const clock_type::time_point deadline = deadline_in(g_frameTimeoutMs);
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        if (m_stopping)
            return false;
        m_waiting[fd] = clock_type::now();
    }
    // Header and payload come in one write of the sender: usually one read
    // takes both. Bytes read past this request (a peer that does not wait
    // for our answer) are kept for the next one.
    if (ahead.size() < sizeof h) {
        unsigned char chunk[sizeof(RequestHeader) + 4096];
        const std::size_t got =
            read_at_least(fd, chunk, sizeof h - ahead.size(), sizeof chunk, deadline);
        if (got == 0)
            return false;
        ahead.insert(ahead.end(), chunk, chunk + got);
    }
    std::memcpy(&h, ahead.data(), sizeof h);
    if (h.magic != kRequestMagic)
        return false;
    const message_limit limit = limit_for(m_channel, h.msg_id);
    if (h.in_size > limit.max_in || h.out_capacity > limit.max_out) {
        vq_log__(3, "receiver.cpp", __LINE__,
                 "KSAL IPC %s: message %u claims %u payload and %u reply bytes, past its %u and "
                 "%u: dropped\n",
                 m_channel.c_str(), h.msg_id, h.in_size, h.out_capacity, limit.max_in,
                 limit.max_out);
        return false;
    }
    const std::size_t have = std::min<std::size_t>(ahead.size() - sizeof h, h.in_size);
    const auto end = ahead.begin() + static_cast<std::ptrdiff_t>(sizeof h + have);
    payload.assign(ahead.begin() + static_cast<std::ptrdiff_t>(sizeof h), end);
    ahead.erase(ahead.begin(), end);
    if (!read_payload(fd, h.in_size, deadline, payload))
        return false;
    // Made room for a newer connection meanwhile: it has been shut down.
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_waiting.erase(fd) != 0;
}

// The rest of the payload, grown only as its bytes arrive: a claimed size
// costs nothing until the peer sends that much.
bool receiver::read_payload(int fd, uint32_t size, clock_type::time_point deadline,
                            std::vector<unsigned char>& payload) {
    unsigned char chunk[4096];
    while (payload.size() < size) {
        const std::size_t n = std::min(sizeof chunk, size - payload.size());
        if (!read_all(fd, chunk, n, deadline))
            return false;
        payload.insert(payload.end(), chunk, chunk + n);
    }
    return true;
}

// Runs the callback for one request. The reply header and the callback's
// buffer share one allocation, so the answer leaves in a single write.
void receiver::answer(const RequestHeader& h, std::vector<unsigned char>& payload,
                      std::vector<unsigned char>& reply) {
    const uint32_t capacity = std::max(h.out_capacity, KSAL_IPC_MIN_REPLY_CAPACITY);
    reply.assign(sizeof(ReplyHeader) + capacity, 0);
    ReplyHeader r{kReplyMagic, kDelivered, -1, 0};
    const bool addressed = h.dst_node == m_local && h.src_node == m_remote;
    bool stopping;
    bool busy;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        stopping = m_stopping;
        busy = m_inFlight >= kMaxDeliveriesInFlight;
        if (addressed && m_cb != nullptr && !stopping && !busy)
            ++m_inFlight;
    }
    if (!addressed)
        r.status = kWrongNode;
    else if (m_cb == nullptr)
        r.status = kNoCallback;
    else if (stopping)
        r.status = kClosing;
    else if (busy) {
        r.status = kBusy;
        vq_log__(3, "receiver.cpp", __LINE__,
                 "KSAL IPC %s: message %u refused, %zu deliveries already running\n",
                 m_channel.c_str(), h.msg_id, kMaxDeliveriesInFlight);
    } else {
        uint32_t reply_size = capacity;
        try {
            r.result = m_cb(m_cbUser, h.msg_id, h.in_size > 0 ? payload.data() : nullptr, h.in_size,
                            reply.data() + sizeof(ReplyHeader), &reply_size);
            // The sender only has room for out_capacity bytes.
            r.reply_size = std::min(std::min(reply_size, capacity), h.out_capacity);
        } catch (...) {
            r.status = kCallbackThrew;
        }
        std::lock_guard<std::mutex> lk(m_mutex);
        --m_inFlight;
    }
    std::memcpy(reply.data(), &r, sizeof r);
}

} // namespace ksal_ipc
