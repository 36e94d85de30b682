// Routes requests by the longest matching path prefix to sub-handlers.
#ifndef HTTPRTSP_REQUEST_HANDLER_HPP
#define HTTPRTSP_REQUEST_HANDLER_HPP

#include "httprtsp/src/request_handler_base.hpp"

#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include <map>
#include <string>

namespace httprtsp {

class request_handler : public request_handler_base {
public:
    // Shorter keys first; keys of equal length bytewise. Walking from the end therefore
    // meets the longest prefixes first.
    struct route_order {
        bool operator()(const std::string& a, const std::string& b) const {
            if (a.size() != b.size())
                return a.size() < b.size();
            return a < b;
        }
    };
    typedef std::map<std::string, boost::shared_ptr<request_handler_base>, route_order> route_map;

    request_handler();
    ~request_handler() override;

    // A request goes to the route with the longest key that prefixes its decoded path; with
    // none it is answered 404. An empty request (the connection closed with an error) is
    // passed to every route, longest key first.
    void handle_request(boost::shared_ptr<connection> conn,
                        boost::shared_ptr<request> req) override;

    // Adds or replaces the route for a path prefix; "" matches every path.
    void add_route(const std::string& prefix, boost::shared_ptr<request_handler_base> handler);

private:
    boost::mutex routes_mutex;
    route_map routes;
};

} // namespace httprtsp

#endif
