#include "httprtsp/src/request_handler.hpp"

#include "httprtsp/src/connection.hpp"
#include "httprtsp/src/uri.hpp"

#include <boost/make_shared.hpp>

#include <vector>

namespace httprtsp {

request_handler::request_handler() {}

request_handler::~request_handler() {}

void request_handler::add_route(const std::string& prefix,
                                boost::shared_ptr<request_handler_base> handler) {
    boost::lock_guard<boost::mutex> lock(routes_mutex);
    routes[prefix] = handler;
}

void request_handler::handle_request(boost::shared_ptr<connection> conn,
                                     boost::shared_ptr<request> req) {
    if (!req) {
        // Sub-handlers are called outside our own lock: they may take theirs.
        std::vector<boost::shared_ptr<request_handler_base>> all;
        {
            boost::lock_guard<boost::mutex> lock(routes_mutex);
            for (route_map::reverse_iterator it = routes.rbegin(); it != routes.rend(); ++it)
                all.push_back(it->second);
        }
        for (const boost::shared_ptr<request_handler_base>& h : all)
            if (h)
                h->handle_request(conn, req);
        return;
    }

    const std::string path = parse_uri(url_decode(req->uri())).path;
    boost::shared_ptr<request_handler_base> target;
    bool matched = false;
    {
        boost::lock_guard<boost::mutex> lock(routes_mutex);
        for (route_map::reverse_iterator it = routes.rbegin(); it != routes.rend(); ++it) {
            if (path.compare(0, it->first.size(), it->first) == 0) {
                target = it->second;
                matched = true;
                break;
            }
        }
    }
    if (matched && target) {
        target->handle_request(conn, req);
        return;
    }
    boost::shared_ptr<reply> not_found = boost::make_shared<reply>(*req);
    not_found->set_status(404, true);
    conn->send(not_found);
}

} // namespace httprtsp
