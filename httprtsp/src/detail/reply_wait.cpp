#include "httprtsp/src/detail/reply_wait.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#if defined(__linux__)
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

namespace httprtsp {
namespace detail {

reply_wait::~reply_wait() {
#if defined(__linux__)
    if (wake_ >= 0)
        ::close(wake_);
#endif
}

bool reply_wait::supported() {
#if defined(__linux__)
    return true;
#else
    return false;
#endif
}

bool reply_wait::to_reactor() {
    side_ = side::reactor;
    // A wait withdrawn for a caller that has not completed yet re-arms from its completion.
    if (waiting_)
        return false;
    waiting_ = true;
    return true;
}

reply_wait::readable_action reply_wait::readable(bool failed, bool aborted) {
    waiting_ = false;
    if (!failed && side_ != side::reactor)
        return readable_action::left_to_caller;
    if (aborted && quiet_abort_)
        return readable_action::quiet;
    if (failed)
        return readable_action::report_error;
    side_ = side::io_thread;
    return readable_action::read;
}

bool reply_wait::take() {
#if defined(__linux__)
    if (wake_ < 0) {
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0)
            return false;
    }
    side_ = side::caller;
    caller_has_read_ = false;
    return true;
#else
    return false;
#endif
}

std::optional<int>
reply_wait::timeout_until(std::optional<std::chrono::steady_clock::time_point> deadline,
                          std::chrono::steady_clock::time_point now) {
    if (!deadline)
        return -1;
    const auto left = *deadline - now;
    if (left <= std::chrono::steady_clock::duration::zero())
        return std::nullopt;
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(
        std::chrono::ceil<std::chrono::milliseconds>(left).count(), 1 << 30));
}

reply_wait::poll_result reply_wait::poll(int fd, int timeout_ms) const {
#if defined(__linux__)
    // The socket's number is only waited on here; it is read under the lock once known open.
    pollfd waits[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int ready = ::poll(waits, 2, timeout_ms);
    if (ready < 0 && errno != EINTR)
        return poll_result::failed;
    return ready > 0 ? poll_result::ready : poll_result::again;
#else
    (void)fd;
    (void)timeout_ms;
    return poll_result::failed;
#endif
}

void reply_wait::closed() {
    // A closed socket ends an outstanding read as aborted, which is logged; a read being handled
    // meanwhile is not. Here the wait or the reading caller stands for that read: a caller that
    // has not read anything yet is as good as waiting.
    const bool read_outstanding =
        side_ == side::reactor || (side_ == side::caller && (caller_polling_ || !caller_has_read_));
    quiet_abort_ = !read_outstanding;
#if defined(__linux__)
    if (side_ == side::caller && wake_ >= 0) {
        caller_owes_abort_ = read_outstanding && !waiting_;
        const std::uint64_t one = 1;
        if (::write(wake_, &one, sizeof one) < 0) {
            // Cannot fail while the counter is far from full.
        }
    }
#endif
}

} // namespace detail
} // namespace httprtsp
