/// \file
/// Routes requests by the longest matching path prefix to sub-handlers.
#ifndef HTTPRTSP_REQUEST_HANDLER_HPP
#define HTTPRTSP_REQUEST_HANDLER_HPP

#include "httprtsp/src/request_handler_base.hpp"

#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include <map>
#include <string>

namespace httprtsp {

/// Routes each request to the sub-handler with the longest path prefix; 404 without a match.
/// Routes may be added while requests are being served.
class request_handler : public request_handler_base {
public:
    /// Shorter keys first; keys of equal length bytewise. Walking from the end therefore
    /// meets the longest prefixes first.
    struct route_order {
        /// True when \p a sorts before \p b.
        bool operator()(const std::string& a, const std::string& b) const {
            if (a.size() != b.size())
                return a.size() < b.size();
            return a < b;
        }
    };
    /// Path prefix to sub-handler.
    typedef std::map<std::string, boost::shared_ptr<request_handler_base>, route_order> route_map;

    /// No routes: every request is answered 404.
    request_handler();
    ~request_handler() override;

    /// A request goes to the route with the longest key that prefixes its percent-decoded path;
    /// with none it is answered 404. An empty request (the connection closed with an error) is
    /// passed to every route, longest key first. Sub-handlers run without this object's lock.
    void handle_request(boost::shared_ptr<connection> conn,
                        boost::shared_ptr<request> req) override;

    /// Adds or replaces the route for a path prefix (compared bytewise, no segment boundary:
    /// "/api" also matches "/apix"); "" matches every path.
    void add_route(const std::string& prefix, boost::shared_ptr<request_handler_base> handler);

private:
    boost::mutex routes_mutex;
    route_map routes;
};

} // namespace httprtsp

#endif
