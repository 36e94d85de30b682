// How much of what a socket took still waits in the system's send queue, not yet taken by
// the peer. A reply far larger than that queue wakes its writer only when much of the queue
// has drained, which can be rarer than a time-out; the bytes the peer took meanwhile are what
// tells a steady reader from a stuck one.
#ifndef HTTPRTSP_DETAIL_KERNEL_QUEUE_HPP
#define HTTPRTSP_DETAIL_KERNEL_QUEUE_HPP

#include <boost/asio/ip/tcp.hpp>

#include <cstddef>

namespace httprtsp {
namespace detail {

// Bytes in the socket's send queue; 0 where the system does not say (every byte the socket
// took then counts as taken by the peer).
std::size_t unsent_in_kernel(boost::asio::ip::tcp::socket& socket);

} // namespace detail
} // namespace httprtsp

#endif
