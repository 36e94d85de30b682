#include "platform/ksal_ipc/receiver.hpp"

#include "platform/ksal_ipc/fd_io.hpp"

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

    const std::thread::id self = std::this_thread::get_id();
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lk(m_mutex);
            for (auto& w : m_workers)
                threads.push_back(std::move(w.second));
            m_workers.clear();
            for (auto& t : m_finished)
                threads.push_back(std::move(t));
            m_finished.clear();
        }
        if (threads.empty())
            break;
        for (auto& t : threads) {
            // Stopped from one of our own callbacks: that thread finishes its
            // message on its own after we return.
            if (t.get_id() == self)
                t.detach();
            else
                t.join();
        }
    }
}

void receiver::reap_finished() {
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        done.swap(m_finished);
    }
    for (auto& t : done)
        t.join();
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
    std::vector<unsigned char> reply;
    t_servingFd = fd;
    RequestHeader h;
    while (read_request(fd, h, payload)) {
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
}

// The next whole, well-formed request within the frame time-out; false when
// the connection is to go.
bool receiver::read_request(int fd, RequestHeader& h, std::vector<unsigned char>& payload) {
    const clock_type::time_point deadline = deadline_in(g_frameTimeoutMs);
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        if (m_stopping)
            return false;
        m_waiting[fd] = clock_type::now();
    }
    if (!read_all(fd, &h, sizeof h, deadline) || h.magic != kRequestMagic ||
        h.in_size > KSAL_IPC_MAX_MESSAGE_SIZE || h.out_capacity > KSAL_IPC_MAX_MESSAGE_SIZE)
        return false;
    payload.resize(h.in_size);
    if (h.in_size > 0 && !read_all(fd, payload.data(), h.in_size, deadline))
        return false;
    // Made room for a newer connection meanwhile: it has been shut down.
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_waiting.erase(fd) != 0;
}

// Runs the callback for one request. The reply header and the callback's
// buffer share one allocation, so the answer leaves in a single write.
void receiver::answer(const RequestHeader& h, std::vector<unsigned char>& payload,
                      std::vector<unsigned char>& reply) {
    const uint32_t capacity = std::max(h.out_capacity, KSAL_IPC_MIN_REPLY_CAPACITY);
    reply.assign(sizeof(ReplyHeader) + capacity, 0);
    ReplyHeader r{kReplyMagic, kDelivered, -1, 0};
    bool stopping;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        stopping = m_stopping;
    }
    if (h.dst_node != m_local || h.src_node != m_remote)
        r.status = kWrongNode;
    else if (m_cb == nullptr)
        r.status = kNoCallback;
    else if (stopping)
        r.status = kClosing;
    else {
        uint32_t reply_size = capacity;
        try {
            r.result = m_cb(m_cbUser, h.msg_id, h.in_size > 0 ? payload.data() : nullptr, h.in_size,
                            reply.data() + sizeof(ReplyHeader), &reply_size);
            // The sender only has room for out_capacity bytes.
            r.reply_size = std::min(std::min(reply_size, capacity), h.out_capacity);
        } catch (...) {
            r.status = kCallbackThrew;
        }
    }
    std::memcpy(reply.data(), &r, sizeof r);
}

} // namespace ksal_ipc
