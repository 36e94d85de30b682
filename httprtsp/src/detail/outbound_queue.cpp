#include "httprtsp/src/detail/outbound_queue.hpp"

#include <utility>

namespace httprtsp {
namespace detail {

std::size_t queued_size(const message& msg) {
    std::size_t n = 64;
    for (const auto& h : msg.headers())
        n += h.first.size() + h.second.size() + 4;
    if (message::body_ptr body = msg.body())
        n += body->size();
    return n;
}

bool outbound_queue::push(boost::shared_ptr<message> msg, std::size_t counted) {
    queue_.push_back({std::move(msg), counted});
    return queue_.size() == 1;
}

std::size_t outbound_queue::pop_front() {
    const std::size_t counted = queue_.front().counted;
    queue_.pop_front();
    return counted;
}

void outbound_queue::drop_behind_front() {
    if (queue_.size() >= 2)
        queue_.erase(++queue_.begin(), queue_.end());
}

void outbound_queue::load_front(std::vector<boost::asio::const_buffer> buffers) {
    buffers_ = std::move(buffers);
    index_ = 0;
}

bool outbound_queue::skip_written(std::size_t bytes) {
    written_total_ += bytes;
    while (index_ < buffers_.size()) {
        const std::size_t size = buffers_[index_].size();
        if (bytes < size) {
            buffers_[index_] += bytes;
            break;
        }
        bytes -= size;
        ++index_;
    }
    while (index_ < buffers_.size() && buffers_[index_].size() == 0)
        ++index_;
    return index_ == buffers_.size();
}

std::vector<boost::asio::const_buffer> outbound_queue::rest() const {
    return std::vector<boost::asio::const_buffer>(
        buffers_.begin() + static_cast<std::ptrdiff_t>(index_), buffers_.end());
}

void outbound_queue::close_when_written(const boost::system::error_code& error) {
    close_when_written_ = true;
    close_error_ = error;
}

} // namespace detail
} // namespace httprtsp
