// Who reads a client connection's bytes: the I/O threads, or the one thread waiting for its
// reply, which then polls the socket itself (Linux; elsewhere the I/O threads always read).
// States and moves: docs/internals/connection.md. No locking of its own: the connection's lock
// is held for every call except poll().
#ifndef HTTPRTSP_DETAIL_REPLY_WAIT_HPP
#define HTTPRTSP_DETAIL_REPLY_WAIT_HPP

#include <boost/noncopyable.hpp>

#include <chrono>
#include <optional>

namespace httprtsp {
namespace detail {

class reply_wait : private boost::noncopyable {
public:
    enum class side {
        reactor,  // the wait for readable bytes is (about to be) outstanding
        caller,   // a thread in issue_request reads
        io_thread // an I/O thread handles a read
    };
    // What a completed wait for readable bytes leaves to do.
    enum class readable_action {
        left_to_caller, // a caller reads now; it waits again when done
        quiet,          // closed while bytes were being handled: nothing to report
        report_error,   // the error ends the read as an aborted or failed read would
        read            // an I/O thread reads the bytes
    };
    enum class poll_result { ready, again, failed };

    reply_wait() = default;
    ~reply_wait();

    // False where a caller never reads its own reply: client connections then read as served
    // ones do.
    static bool supported();

    side current() const { return side_; }
    // Back to waiting for readable bytes; true when a wait must be started (none outstanding).
    bool to_reactor();
    // An I/O thread takes the bytes.
    void to_io_thread() { side_ = side::io_thread; }
    readable_action readable(bool failed, bool aborted);

    // Whether a wait is outstanding that a caller could take over.
    bool can_take() const { return side_ == side::reactor && waiting_; }
    // The caller takes the read side; false when its wake-up cannot be made.
    bool take();
    // The caller starts (true) or ends (false) waiting for bytes.
    void polling(bool on) { caller_polling_ = on; }
    // The caller has read bytes and is handling them.
    void caller_read() { caller_has_read_ = true; }
    bool caller_has_read() const { return caller_has_read_; }
    // Milliseconds poll() may wait before deadline (-1: none); nothing when it has passed.
    static std::optional<int>
    timeout_until(std::optional<std::chrono::steady_clock::time_point> deadline,
                  std::chrono::steady_clock::time_point now);
    // Waits, without the lock, until fd is readable, the connection closes or timeout_ms pass.
    poll_result poll(int fd, int timeout_ms) const;

    // The socket closed: a read outstanding (the wait, or a caller that has not handled bytes)
    // is to be reported as aborted; wakes a polling caller.
    void closed();
    // Closed while a caller read with no wait left to report it: the caller reports it.
    bool caller_owes_abort() const { return caller_owes_abort_; }

private:
    side side_ = side::reactor;
    bool waiting_ = false;           // a wait whose completion has not run yet
    bool caller_polling_ = false;    // the reading caller waits for bytes
    bool caller_has_read_ = false;   // it has read bytes since it took the read side
    bool caller_owes_abort_ = false; // closed while it waited with no wait outstanding
    bool quiet_abort_ = false;       // closed while bytes were being handled
    int wake_ = -1;                  // wakes the reading caller when the connection closes
};

} // namespace detail
} // namespace httprtsp

#endif
