// Unix-domain socket transport for the IPC channel.
//
// Wire format on a connection (native byte order, both sides run on one host):
//   request: RequestHeader, then in_size payload bytes
//   reply:   ReplyHeader, then reply_size bytes (never more than the request's
//            out_capacity)
// A connection carries one exchange at a time; the sender keeps a few idle
// connections for reuse, and the receiver serves each connection on a thread
// of its own, so a callback that sends (even back to its sender) never waits
// for a thread that is busy with it.
#include "platform/ksal_ipc/KSAL_IPC.h"

#include "platform/common/platform_path.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const uint32_t kRequestMagic = 0x4b534931; // "KSI1"
const uint32_t kReplyMagic = 0x4b535231;   // "KSR1"
const std::size_t kMaxIdleConnections = 8;
const std::size_t kMaxServedConnections = 256;

using clock_type = std::chrono::steady_clock;

// How long a peer may take to send a whole request (after connecting or after
// its previous answer), and how long a send waits for its answer.
std::atomic<uint32_t> g_frameTimeoutMs{10000};
std::atomic<uint32_t> g_answerTimeoutMs{30000};

clock_type::time_point deadline_in(const std::atomic<uint32_t>& ms) {
    return clock_type::now() + std::chrono::milliseconds(ms.load());
}

// Waits until fd is ready for `events` or the deadline passes; false on
// time-out or error.
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

// Our connection (if any) whose request the calling thread is serving.
thread_local int t_servingFd = -1;

enum ReplyStatus : uint32_t {
    kDelivered = 0,
    kWrongNode = 1,
    kNoCallback = 2,
    kClosing = 3,
    kCallbackThrew = 4,
};

struct RequestHeader {
    uint32_t magic;
    uint32_t msg_id;
    uint32_t src_node;
    uint32_t dst_node;
    uint32_t in_size;
    uint32_t out_capacity;
};

struct ReplyHeader {
    uint32_t magic;
    uint32_t status;
    int32_t result;
    uint32_t reply_size;
};

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

// Writes everything unless the peer stops reading until the deadline.
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

// An idle connection that the peer has closed (or that has unexpected bytes
// waiting) must not be reused: the peer that held it is gone.
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

// Returns a connected socket, or a negative KSAL_IPC_E_* value.
int connect_to(const std::string& path) {
    sockaddr_un addr;
    if (!fill_address(path, addr))
        return KSAL_IPC_E_RESOURCE;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return KSAL_IPC_E_RESOURCE;
    int rc;
    do
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int err = errno;
        ::close(fd);
        return (err == ENOENT || err == ECONNREFUSED || err == ENOTSOCK) ? KSAL_IPC_E_NO_PEER
                                                                         : KSAL_IPC_E_IO;
    }
    return fd;
}

std::string socket_name(const std::string& channel, uint32_t node) {
    std::string name;
    for (char c : channel)
        name += (c == '/' || c == '\0') ? '_' : c;
    return name + "." + std::to_string(node);
}

class Channel : public std::enable_shared_from_this<Channel> {
public:
    Channel(uint32_t local, uint32_t remote, KSAL_IPC_Callback cb, void* cb_user)
        : m_local(local), m_remote(remote), m_cb(cb), m_cbUser(cb_user) {}

    ~Channel() {
        for (const auto& idle : m_idle)
            ::close(idle.first);
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        for (int fd : m_wake)
            if (fd >= 0)
                ::close(fd);
    }

    int32_t open(const std::string& dir, const std::string& channel) {
        if (!vq_platform::make_dirs(dir))
            return KSAL_IPC_E_RESOURCE;
        m_localPath = dir + "/" + socket_name(channel, m_local);
        m_remotePath = dir + "/" + socket_name(channel, m_remote);
        sockaddr_un addr;
        if (!fill_address(m_localPath, addr) || m_remotePath.size() >= sizeof addr.sun_path)
            return KSAL_IPC_E_RESOURCE;

        // A socket file whose owner still answers belongs to a live channel;
        // one that refuses is left over from a process that ended.
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
            m_acceptor = std::thread(&Channel::accept_loop, shared_from_this());
        } catch (...) {
            ::unlink(m_localPath.c_str());
            return KSAL_IPC_E_RESOURCE;
        }
        return KSAL_IPC_OK;
    }

    int32_t send(uint32_t msg_id, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                 int32_t* msg_err) {
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

    // The peer answers each request with exactly one reply and nothing
    // after it, so reading ahead into a buffer never takes the next one's
    // bytes; usually the whole reply arrives in one read.
    static bool read_reply(int fd, ReplyHeader& r, void* out, uint32_t out_size,
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

    void close_channel() {
        {
            std::lock_guard<std::mutex> lk(m_mutex);
            m_stopping = true;
            // A callback that closes its own channel still answers its sender.
            for (int fd : m_busy)
                if (fd != t_servingFd)
                    ::shutdown(fd, SHUT_RDWR);
            for (const auto& idle : m_idle)
                ::close(idle.first);
            m_idle.clear();
        }
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
                // destroy called from one of our own callbacks: that thread
                // finishes its message on its own after we return.
                if (t.get_id() == self)
                    t.detach();
                else
                    t.join();
            }
        }
    }

private:
    int take_connection() {
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
                if (age < std::chrono::milliseconds(g_frameTimeoutMs.load() / 2) &&
                    still_usable(fd)) {
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

    void give_back(int fd, bool reusable) {
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

    void reap_finished() {
        std::vector<std::thread> done;
        {
            std::lock_guard<std::mutex> lk(m_mutex);
            done.swap(m_finished);
        }
        for (auto& t : done)
            t.join();
    }

    void accept_loop() {
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
            if (!m_stopping && m_workers.size() >= kMaxServedConnections && !m_waiting.empty()) {
                // Full: the connection that has waited longest for a request
                // makes room, so idle peers never lock out one that sends.
                auto oldest = m_waiting.begin();
                for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it)
                    if (it->second < oldest->second)
                        oldest = it;
                ::shutdown(oldest->first, SHUT_RDWR);
                m_waiting.erase(oldest);
            } else if (m_stopping || m_workers.size() >= kMaxServedConnections) {
                ::close(fd);
                continue;
            }
            // A peer that stops reading its answer does not hold us forever.
            const timeval tv{static_cast<time_t>(g_frameTimeoutMs.load() / 1000),
                             static_cast<suseconds_t>((g_frameTimeoutMs.load() % 1000) * 1000)};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            try {
                std::thread t(&Channel::serve, shared_from_this(), fd);
                m_busy.insert(fd);
                m_workers.emplace(t.get_id(), std::move(t));
            } catch (...) {
                ::close(fd);
            }
        }
    }

    void serve(int fd) {
        {
            // The acceptor registers us under the lock; wait for it so that a
            // destroy racing with our start still sees this connection.
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
            if (!write_all(fd, reply.data(), sizeof r + r.reply_size,
                           deadline_in(g_frameTimeoutMs)))
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

    // The next whole, well-formed request within the frame time-out; false
    // when the connection is to go.
    bool read_request(int fd, RequestHeader& h, std::vector<unsigned char>& payload) {
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
    void answer(const RequestHeader& h, std::vector<unsigned char>& payload,
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
                r.result = m_cb(m_cbUser, h.msg_id, h.in_size > 0 ? payload.data() : nullptr,
                                h.in_size, reply.data() + sizeof(ReplyHeader), &reply_size);
                // The sender only has room for out_capacity bytes.
                r.reply_size = std::min(std::min(reply_size, capacity), h.out_capacity);
            } catch (...) {
                r.status = kCallbackThrew;
            }
        }
        std::memcpy(reply.data(), &r, sizeof r);
    }

    const uint32_t m_local;
    const uint32_t m_remote;
    const KSAL_IPC_Callback m_cb;
    void* const m_cbUser;
    std::string m_localPath;
    std::string m_remotePath;
    int m_listenFd = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_acceptor;

    std::mutex m_mutex; // guards everything below
    bool m_stopping = false;
    std::set<int> m_busy; // connections in an exchange; shut down on close
    // Our connections to the peer, ready for reuse, with the time they went idle.
    std::vector<std::pair<int, clock_type::time_point>> m_idle;
    // Served connections waiting for a request, with the time they began to.
    std::map<int, clock_type::time_point> m_waiting;
    std::map<std::thread::id, std::thread> m_workers;
    std::vector<std::thread> m_finished;
};

// Open channels by handle. Never destroyed: a process may end with channels
// still open, and their threads must not meet destructed globals.
struct Registry {
    std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<Channel>> channels;
    uintptr_t next = 1;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

std::shared_ptr<Channel> find_channel(uintptr_t handle) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lk(reg.mutex);
    auto it = reg.channels.find(handle);
    return it == reg.channels.end() ? nullptr : it->second;
}

} // namespace

extern "C" int32_t KSAL_IPC_init_ex(uint32_t ui32LocalNode, uint32_t ui32RemoteNode,
                                    KSAL_IPC_Callback cb, void* cb_user, const char* szChannelName,
                                    uintptr_t* pHandle) {
    if (pHandle == nullptr)
        return KSAL_IPC_E_BAD_ARGUMENT;
    *pHandle = 0;
    if (szChannelName == nullptr || *szChannelName == '\0' || std::strlen(szChannelName) > 64 ||
        ui32LocalNode == ui32RemoteNode)
        return KSAL_IPC_E_BAD_ARGUMENT;

    std::shared_ptr<Channel> ch;
    try {
        ch = std::make_shared<Channel>(ui32LocalNode, ui32RemoteNode, cb, cb_user);
    } catch (...) {
        return KSAL_IPC_E_RESOURCE;
    }
    int32_t rc = ch->open(vq_platform::map_path("/tmp/ksal_ipc"), szChannelName);
    if (rc != KSAL_IPC_OK)
        return rc;

    Registry& reg = registry();
    std::lock_guard<std::mutex> lk(reg.mutex);
    uintptr_t handle = reg.next++;
    reg.channels.emplace(handle, ch);
    *pHandle = handle;
    return KSAL_IPC_OK;
}

extern "C" int32_t KSAL_IPC_SendIOCTL(uintptr_t handle, uint32_t ui32MsgId, const void* pInBuffer,
                                      uint32_t ui32InBufferSize, void* pOutBuffer,
                                      uint32_t ui32OutBufferSize, int32_t* pi32MsgErr) {
    if (pi32MsgErr != nullptr)
        *pi32MsgErr = -1;
    std::shared_ptr<Channel> ch = find_channel(handle);
    if (!ch)
        return KSAL_IPC_E_BAD_HANDLE;
    if ((pInBuffer == nullptr && ui32InBufferSize != 0) ||
        (pOutBuffer == nullptr && ui32OutBufferSize != 0) ||
        ui32InBufferSize > KSAL_IPC_MAX_MESSAGE_SIZE ||
        ui32OutBufferSize > KSAL_IPC_MAX_MESSAGE_SIZE)
        return KSAL_IPC_E_BAD_ARGUMENT;
    return ch->send(ui32MsgId, pInBuffer, ui32InBufferSize, pOutBuffer, ui32OutBufferSize,
                    pi32MsgErr);
}

extern "C" void KSAL_IPC_set_timeouts(uint32_t ui32FrameTimeoutMs, uint32_t ui32AnswerTimeoutMs) {
    g_frameTimeoutMs = ui32FrameTimeoutMs != 0 ? ui32FrameTimeoutMs : 10000;
    g_answerTimeoutMs = ui32AnswerTimeoutMs != 0 ? ui32AnswerTimeoutMs : 30000;
}

extern "C" int32_t KSAL_IPC_destroy(uintptr_t handle) {
    std::shared_ptr<Channel> ch;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lk(reg.mutex);
        auto it = reg.channels.find(handle);
        if (it == reg.channels.end())
            return KSAL_IPC_E_BAD_HANDLE;
        ch = it->second;
        reg.channels.erase(it);
    }
    ch->close_channel();
    return KSAL_IPC_OK;
}
