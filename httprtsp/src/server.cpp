#include "httprtsp/src/server.hpp"

#include "httprtsp/src/io_service_helper.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>

#include <vector>

namespace httprtsp {

// Shared with every pending accept, so that the server object may go away first.
struct server::state : boost::enable_shared_from_this<server::state> {
    state(boost::shared_ptr<boost::asio::io_service> io, boost::shared_ptr<request_handler_base> h)
        : io_service(io), handler(h), acceptor(*io), stopped(false), accepted(0) {}

    void accept_next() { // mutex held
        if (stopped)
            return;
        boost::shared_ptr<connection> conn = boost::make_shared<connection>(io_service, handler);
        boost::shared_ptr<state> self = shared_from_this();
        acceptor.async_accept(conn->socket(), [self, conn](const boost::system::error_code& error) {
            self->on_accept(conn, error);
        });
    }

    void on_accept(boost::shared_ptr<connection> conn, const boost::system::error_code& error) {
        boost::lock_guard<boost::mutex> lock(mutex);
        if (stopped) {
            conn->close();
            return;
        }
        if (!error) {
            ++accepted;
            // Forget connections that have ended, then keep this one for stop().
            std::vector<boost::weak_ptr<connection>> alive;
            for (const boost::weak_ptr<connection>& w : open) {
                boost::shared_ptr<connection> c = w.lock();
                if (c && !c->is_closed())
                    alive.push_back(w);
            }
            alive.push_back(conn);
            open.swap(alive);
            conn->start();
        } else if (error == boost::asio::error::operation_aborted) {
            return;
        } else {
            HTTPRTSP_LOG_WARNING("accept failed: %s\n", error.message().c_str());
        }
        accept_next();
    }

    boost::shared_ptr<boost::asio::io_service> io_service;
    boost::shared_ptr<request_handler_base> handler;
    boost::asio::ip::tcp::acceptor acceptor;
    mutable boost::mutex mutex;
    bool stopped;
    std::size_t accepted;
    std::vector<boost::weak_ptr<connection>> open;
    boost::asio::ip::tcp::endpoint bound;
};

server::server(boost::shared_ptr<boost::asio::io_service> io_service,
               boost::shared_ptr<request_handler_base> handler, const std::string& address,
               std::uint16_t port)
    : state_(boost::make_shared<state>(io_service, handler)) {
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address(address), port);
    boost::lock_guard<boost::mutex> lock(state_->mutex);
    state_->acceptor.open(endpoint.protocol());
    state_->acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
    state_->acceptor.bind(endpoint);
    state_->acceptor.listen();
    state_->bound = state_->acceptor.local_endpoint();
    state_->accept_next();
}

server::~server() {
    stop();
}

std::uint16_t server::port() const {
    return local_endpoint().port();
}

boost::asio::ip::tcp::endpoint server::local_endpoint() const {
    return state_->bound;
}

std::size_t server::accepted() const {
    boost::lock_guard<boost::mutex> lock(state_->mutex);
    return state_->accepted;
}

void server::stop() {
    std::vector<boost::weak_ptr<connection>> open;
    {
        boost::lock_guard<boost::mutex> lock(state_->mutex);
        if (state_->stopped)
            return;
        state_->stopped = true;
        boost::system::error_code ignored;
        state_->acceptor.close(ignored);
        open.swap(state_->open);
    }
    for (const boost::weak_ptr<connection>& w : open)
        if (boost::shared_ptr<connection> c = w.lock())
            c->close();
}

} // namespace httprtsp
