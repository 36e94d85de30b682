// The write side of a connection: the queued messages, how far the front one is written, and
// whether the connection closes once they are all out. No I/O: the connection writes.
#ifndef HTTPRTSP_DETAIL_OUTBOUND_QUEUE_HPP
#define HTTPRTSP_DETAIL_OUTBOUND_QUEUE_HPP

#include "httprtsp/src/message.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

namespace httprtsp {
namespace detail {

// Bytes a queued message will take on the wire, near enough for back-pressure.
std::size_t queued_size(const message& msg);

class outbound_queue {
public:
    // Appends; true when the message is now the front (its write is to start). counted is what
    // it adds to the unsent bytes, handed back by pop_front().
    bool push(boost::shared_ptr<message> msg, std::size_t counted);
    bool empty() const { return queue_.empty(); }
    std::size_t size() const { return queue_.size(); }
    const boost::shared_ptr<message>& front() const { return queue_.front().msg; }
    // Takes the front off; returns what it counted.
    std::size_t pop_front();
    // Keeps only the front, whose aborted write is still to complete and refers to it.
    void drop_behind_front();
    void clear() { queue_.clear(); }

    // The wire image of the front message, about to be written from its start.
    void load_front(std::vector<boost::asio::const_buffer> buffers);
    // Steps over what the socket took; true when the front message is all out.
    bool skip_written(std::size_t bytes);
    // What is left of the front message.
    std::vector<boost::asio::const_buffer> rest() const;
    // Bytes the socket took over the connection's life.
    std::uint64_t written_total() const { return written_total_; }

    // Close once everything queued has gone out (with the error given to the last call that
    // gave one; none: a plain close).
    void close_when_written() { close_when_written_ = true; }
    void close_when_written(const boost::system::error_code& error);
    bool closing() const { return close_when_written_; }
    const boost::system::error_code& close_error() const { return close_error_; }

private:
    struct entry {
        boost::shared_ptr<message> msg;
        std::size_t counted;
    };
    std::list<entry> queue_;
    // Views of the front message still to be written; the write is issued in pieces so that
    // every socket call happens under the connection's lock.
    std::vector<boost::asio::const_buffer> buffers_;
    std::size_t index_ = 0;
    std::uint64_t written_total_ = 0;
    bool close_when_written_ = false;
    boost::system::error_code close_error_;
};

} // namespace detail
} // namespace httprtsp

#endif
