// The walk over a host's resolved addresses when connecting.
#ifndef HTTPRTSP_DETAIL_CONNECT_ORDER_HPP
#define HTTPRTSP_DETAIL_CONNECT_ORDER_HPP

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>

namespace httprtsp {
namespace detail {

struct connect_outcome {
    boost::system::error_code error; // none: connected
    bool deadline_passed = false;    // the configured time-out ended the walk
};

// Tries each endpoint in order until one connects: attempt(endpoint) returns its error. A
// failure of any kind, the system's own time-out included, moves on to the next address; only
// deadline_passed() (the configured time-out) ends the walk early.
template <typename Endpoints, typename Attempt, typename DeadlinePassed>
connect_outcome connect_in_order(const Endpoints& endpoints, Attempt attempt,
                                 DeadlinePassed deadline_passed) {
    connect_outcome out;
    out.error = boost::asio::error::host_not_found;
    for (auto it = endpoints.begin(); out.error && it != endpoints.end(); ++it) {
        out.error = attempt(*it);
        if (out.error && deadline_passed()) {
            out.deadline_passed = true;
            break;
        }
    }
    return out;
}

} // namespace detail
} // namespace httprtsp

#endif
