/// \file
/// One TCP connection carrying HTTP/RTSP requests and replies in both directions.
#ifndef HTTPRTSP_CONNECTION_HPP
#define HTTPRTSP_CONNECTION_HPP

#include "httprtsp/src/message.hpp"
#include "httprtsp/src/message_format.hpp"
#include "httprtsp/src/request_handler_base.hpp"

#include <boost/array.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/logic/tribool.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/future.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace httprtsp {

class upload_stream;
enum class upload_outcome;

namespace detail {
class outbound_queue;
class reply_wait;
class serve_policy;
} // namespace detail

/// One TCP connection carrying requests and replies both ways.
///
/// Requests issued by the owner are matched to arriving replies strictly first in, first out;
/// requests from the peer go to the request handler, whose replies share the write queue.
/// Always owned through a shared pointer: every pending operation holds one. All operations
/// are safe from any thread; socket completions run on the I/O service's threads.
/// Malformed input is answered 400 and the connection closed. A closed connection is never
/// reopened: client makes a new one.
class connection : public boost::enable_shared_from_this<connection>, private boost::noncopyable {
public:
    /// Where a waiting issue_request() receives its reply.
    struct reply_placeholder {
        /// Fulfilled with the reply, with an empty reply, or failed with the closing error.
        boost::promise<boost::shared_ptr<reply>> promise;
    };
    /// Shared between the waiting thread and the connection.
    typedef boost::shared_ptr<reply_placeholder> reply_placeholder_ptr;

    /// Body bytes collected without finding the first delimiter and the end of the part's
    /// header lines before an upload is refused.
    static const std::size_t upload_header_limit = 16 * 1024;

    /// What a server holds a connection it accepted to, so that no peer can hold it hostage.
    struct server_limits {
        /// From the first byte of a request to the end of its header block.
        std::chrono::milliseconds header_timeout{60000};
        /// Longest wait between two reads of a request body, or for a queued reply to move.
        std::chrono::milliseconds body_timeout{60000};
        /// Longest keep-alive wait for the next request.
        std::chrono::milliseconds idle_timeout{75000};
        /// Reading stops while queued replies exceed this many bytes.
        std::size_t max_unsent = 1024 * 1024;
        /// Bytes per second a request body or a reply must average for its reads or writes to
        /// count as progress against body_timeout (a peer sending or taking a byte now and then
        /// is closed once body_timeout has passed since the last counted progress).
        std::size_t min_rate = 1024;
        /// What a request may hold (start line, header lines, body held in memory; uploads
        /// stream to their file and are exempt); past it the request is answered 400.
        parser_limits parser = parser_limits::for_server_requests();
    };
    /// What the accepting server hears from a connection it serves. Called under the
    /// connection's lock: do not call back into the connection from there.
    struct server_hooks {
        virtual ~server_hooks() {}
        /// A request has been answered and no other is in progress: the connection is idle.
        virtual void idle(connection& conn) = 0;
        /// The connection has closed; it will not call again.
        virtual void closed(connection& conn) = 0;
    };

    /// An unopened socket on \p io_service; requests from the peer will go to \p handler
    /// (which, if it is an upload_temp_file_request_handler, also receives its uploads).
    connection(boost::shared_ptr<boost::asio::io_service> io_service,
               boost::shared_ptr<request_handler_base> handler);
    /// Closes without error (waiting requests get empty replies); never waits.
    virtual ~connection();

    /// Queues a message for writing and returns; a small message may be written on the calling
    /// thread. The message must not change until written. After a message whose keep_alive()
    /// is false has been written, the connection closes. Throws boost::system::system_error
    /// (connection_reset) when the socket is closed.
    virtual void send(boost::shared_ptr<message> msg);

    /// Makes this a connection accepted by a server: time-outs, back-pressure, finishing
    /// queued replies after the peer's end of stream, "100 Continue". Call before start().
    void serve(const server_limits& limits, boost::shared_ptr<server_hooks> hooks);
    /// Limits of the messages read from now on (a server connection takes them from serve());
    /// a client connection's default reads replies of any body size. Call before start().
    void set_parser_limits(const parser_limits& limits);
    /// The limits in force.
    parser_limits get_parser_limits() const;
    /// No request in progress or unanswered and nothing queued (for a served connection).
    bool is_idle() const { return idle_.load(); }
    /// Since when the served request in progress has been stalled: its body kept below the
    /// minimum rate, or its header block has not come whole; max when none is in progress. At
    /// the connection cap the longest stalled gives way, after the idle ones.
    std::chrono::steady_clock::time_point stalled_since() const {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(stalled_since_.load()));
    }

    /// Starts reading; the socket must be open and connected. On a closed socket it only logs
    /// a warning.
    void start();
    /// Sends the request and blocks the calling thread until its reply arrives. Empty when
    /// the connection closed before that (an error is logged when it closed with an error).
    /// Throws like send() when the connection is closed already, and passes on
    /// boost::thread_interrupted after withdrawing the request. With \p reply_timeout, a reply
    /// not come that long after the request was sent closes the connection with the
    /// timed_out error, and boost::system::system_error(timed_out) is thrown (nothing is
    /// logged); without one there is no time-out. Never call it from an I/O thread the reply
    /// depends on.
    boost::shared_ptr<reply>
    issue_request(boost::shared_ptr<request> req,
                  std::optional<std::chrono::milliseconds> reply_timeout = std::nullopt);
    /// Withdraws the placeholder of a waiter that gave up and settles it with an empty reply;
    /// false for an empty pointer.
    bool clean_canceled_request(reply_placeholder_ptr placeholder);
    /// Closes the socket and settles every waiter: with an error code, waiters receive it
    /// and the handler hears of the close (an empty request, under this connection's lock);
    /// without one, waiters get empty replies. Does nothing when already closed.
    void close(const boost::system::error_code& error = boost::system::error_code());
    /// True once the socket is closed.
    bool is_closed();

    /// Handles bytes as if they had been read from the socket, in reads of at most the
    /// receive buffer's size. For connections that are not reading (start() never called):
    /// tests and tools that bring their own byte stream.
    void receive(const char* data, std::size_t size);

    /// The socket to open and connect (or to accept into) before start().
    boost::asio::ip::tcp::socket& socket() { return socket_; }
    /// The handler given at construction.
    boost::shared_ptr<request_handler_base> handler() const { return handler_; }

private:
    typedef boost::recursive_mutex lock_type;
    typedef boost::unique_lock<lock_type> scoped_lock;

    // What one parse call gave: its result, where it stopped, the message.
    struct parse_step {
        boost::tribool result = boost::indeterminate;
        const char* stop = nullptr;
        boost::shared_ptr<message> msg;
        bool parser_threw = false; // no position is known then
    };

    // Reading (connection.cpp).
    void handle_read(const boost::system::error_code& error, std::size_t bytes);
    // handle_read from a given point: the bytes (and step) still to handle, then the read's
    // error.
    void continue_read(parse_step* first, const char* pos, const char* end,
                       boost::system::error_code error);
    // Bytes already waiting in the socket, read without blocking into read_space().
    std::size_t read_waiting(boost::system::error_code& error);
    // Lock held; picks the buffer of the next read.
    boost::asio::mutable_buffer read_space();
    // Parses and dispatches received bytes (after \p first, a step already parsed, when given);
    // false when the input was rejected and the connection closed, so that no further read may
    // start.
    bool process_received(const char* begin, const char* end, parse_step* first = nullptr);
    parse_step parse_next(const char* pos, const char* end);
    // The steps of process_received; each false when the connection stops reading.
    bool settle_upload(parse_step& step);
    bool answer_malformed(parse_step& step, const char* end); // logs, answers 400
    bool refuse_peer_request(parse_step& step);    // true when refused (client connections)
    bool over_budget(parse_step& step);            // true when refused (served connections)
    bool dispatch(boost::shared_ptr<message> msg); // to the handler or the waiter
    void dispatch_request(boost::shared_ptr<request> req);
    // False when the reply did not keep the connection alive and closed it.
    static bool is_interim(const reply& rep);
    bool dispatch_reply(boost::shared_ptr<reply> rep);
    // Answers input that cannot be served and closes once everything queued has gone out.
    void reject(boost::shared_ptr<message> msg, int status);
    // Streams the body of a multipart upload into the handler's temporary file; failed makes
    // the input count as malformed.
    upload_outcome handle_read_upload(boost::tribool result, boost::shared_ptr<message> msg);

    // Served connections: time-outs and back-pressure (detail::serve_policy decides).
    void update_deadline(); // lock held
    void handle_timer(const boost::system::error_code& error);
    // Lock held; after a parsed read of that many bytes.
    void note_activity(bool in_progress, bool completed, std::size_t bytes);

    // Client connections: the caller reading its own reply (detail::reply_wait decides who).
    // A client connection waits for readable bytes instead of reading them in the reactor, so
    // that a thread waiting for its reply can read it itself (see issue_request).
    void handle_readable(const boost::system::error_code& error);
    // Lock held: whether the calling thread may read its own reply now, and taking the read side
    // for it.
    bool take_read_side();
    // The calling thread reads until its reply has come, or gives the read side back to the I/O
    // threads; false when the time ran out first.
    bool read_own_reply(std::optional<std::chrono::steady_clock::time_point> deadline);
    // One read by the calling thread of its own reply: nothing when it must go on waiting.
    std::optional<bool> caller_step(int fd,
                                    std::optional<std::chrono::steady_clock::time_point> deadline);
    // Lock held; the reading caller found the connection closed (see reply_wait::closed).
    void report_caller_abort();
    // The calling thread parses what it read; true when it is done reading.
    bool caller_parse(const char* pos, const char* end);
    // Hands what the calling thread read but did not handle to an I/O thread.
    void hand_over(const parse_step* step, const char* pos, const char* end,
                   const boost::system::error_code& error);

    // Writing (detail::outbound_queue keeps the queue); lock held for all of these.
    // own_request: issued by the owner (a client connection counts only what answers its peer
    // against the unsent limit).
    void queue_message(boost::shared_ptr<message> msg, bool own_request);
    void handle_write(const boost::system::error_code& error, std::size_t bytes);
    void written_front();   // the front message is all out
    void note_taken();      // tells the policy what the peer has taken of the replies
    void answer_continue(); // "100 Continue" for a waiting body
    void write_front();
    void write_rest(); // asynchronous write of what is left

    // Reads taken directly after one completion before the next read goes back to the service,
    // so that one busy connection cannot hold an I/O thread for ever.
    static const unsigned direct_read_limit = 64;
    // While an upload streams, reads go into a larger block that exists only until it ends:
    // fewer system calls and wake-ups per byte, and an idle connection keeps its small cost.
    static const std::size_t upload_read_size = 256 * 1024;

    boost::shared_ptr<boost::asio::io_service> io_service_;
    boost::asio::ip::tcp::socket socket_;
    boost::shared_ptr<request_handler_base> handler_;
    boost::array<char, 8192> read_buffer_;
    boost::shared_ptr<httprtsp_message_format> format_;
    std::unique_ptr<char[]> upload_buffer_;
    char* read_into_; // where the read in progress puts its bytes
    std::list<reply_placeholder_ptr> pending_replies_;
    mutable lock_type lock_;
    std::unique_ptr<detail::outbound_queue> outbound_;
    // Only for a handler that takes uploads.
    std::unique_ptr<upload_stream> upload_;
    // Set by serve().
    std::unique_ptr<detail::serve_policy> policy_;
    boost::shared_ptr<server_hooks> hooks_;
    boost::asio::steady_timer timer_;
    std::atomic<bool> idle_;
    // serve_policy's stalled_since(), readable without the lock (steady clock ticks).
    std::atomic<std::chrono::steady_clock::rep> stalled_since_{
        std::chrono::steady_clock::duration::max().count()};
    // The peer's address, kept from the first start() so that it can still be logged
    // after the socket has closed.
    boost::asio::ip::tcp::endpoint peer_endpoint_;
    bool peer_known_;
    // Closed by issue_request because a reply was late: the aborted read is expected.
    std::atomic<bool> abandoned_{false};
    // Client connections: who reads. An idle client connection has a wait for readable bytes
    // outstanding; a thread that issues the only request reads the reply itself, sparing the
    // hand-off from the I/O thread to the waiter. Whatever else arrives goes to the I/O threads
    // as before.
    std::unique_ptr<detail::reply_wait> reply_wait_;
};

} // namespace httprtsp

#endif
