#include "httprtsp/src/server.hpp"

#include "httprtsp/src/detail/serve_policy.hpp"
#include "httprtsp/src/io_service_helper.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>

#include <algorithm>
#include <chrono>
#include <list>
#include <unordered_map>
#include <utility>

namespace httprtsp {

namespace {
// How long a request body may stay below the minimum rate before, at the cap, it gives way.
const std::chrono::seconds stalled_body_grace(2);
} // namespace

// Shared with every pending accept and every connection, so that the server object may go
// away first.
struct server::state : boost::enable_shared_from_this<server::state>, connection::server_hooks {
    state(boost::shared_ptr<boost::asio::io_service> io, boost::shared_ptr<request_handler_base> h)
        : io_service(io), handler(h), acceptor(*io), pause_timer(*io), stopped(false),
          accepting(false), full(false), accepted(0), max_connections(4096), pause_ms(0) {}

    // Open connections, the one idle longest first: a connection moves to the back whenever it
    // becomes idle, and leaves when it closes, so no accept walks them all.
    typedef std::list<boost::weak_ptr<connection>> lru_list;

    void accept_next() { // mutex held
        if (stopped || accepting)
            return;
        if (open.size() >= max_connections && !longest_idle(nullptr)) {
            full = true; // resumed when one closes
            return;
        }
        accepting = true;
        boost::shared_ptr<connection> conn = boost::make_shared<connection>(io_service, handler);
        boost::shared_ptr<state> self = shared_from_this();
        acceptor.async_accept(conn->socket(), [self, conn](const boost::system::error_code& error) {
            self->on_accept(conn, error);
        });
    }

    // The idle connection that has waited longest, other than except, or else one whose
    // request body has stalled (a peer dribbling bytes must not keep its place at the cap);
    // mutex held.
    connection* longest_idle(const connection* except) const {
        for (const auto& entry : open)
            if (entry.first != except && entry.first->is_idle())
                return entry.first;
        const auto now = std::chrono::steady_clock::now();
        for (const auto& entry : open)
            if (entry.first != except && entry.first->is_stalled_in_body(now, stalled_body_grace))
                return entry.first;
        return nullptr;
    }

    void on_accept(boost::shared_ptr<connection> conn, const boost::system::error_code& error) {
        boost::shared_ptr<connection> evicted;
        connection::server_limits connection_limits;
        {
            boost::lock_guard<boost::mutex> lock(mutex);
            accepting = false;
            if (stopped) {
                conn->close();
                return;
            }
            if (error == boost::asio::error::operation_aborted)
                return;
            if (error) {
                // Out of descriptors and the like: wait a little instead of spinning.
                pause_ms = pause_ms == 0 ? 100 : std::min(pause_ms * 2, 1000);
                HTTPRTSP_LOG_WARNING("accept failed: %s\n", error.message().c_str());
                boost::shared_ptr<state> self = shared_from_this();
                pause_timer.expires_after(std::chrono::milliseconds(pause_ms));
                pause_timer.async_wait([self](const boost::system::error_code& e) {
                    if (e == boost::asio::error::operation_aborted)
                        return;
                    boost::lock_guard<boost::mutex> relock(self->mutex);
                    self->accept_next();
                });
                return;
            }
            pause_ms = 0;
            ++accepted;
            order.push_back(conn);
            open.emplace_back(conn.get(), --order.end());
            where[conn.get()] = --open.end();
            if (open.size() > max_connections) {
                if (connection* idle = longest_idle(conn.get())) {
                    evicted = where_weak(idle).lock();
                } else {
                    // The one that made room when this accept began is busy now: the cap
                    // holds, so the newcomer goes.
                    order.pop_back();
                    open.pop_back();
                    where.erase(conn.get());
                    full = true;
                    conn->close();
                    return;
                }
            }
            connection_limits = limits;
        }
        conn->serve(connection_limits, shared_from_this());
        conn->start();
        if (evicted)
            evicted->close(); // its closed() frees the place
        boost::lock_guard<boost::mutex> lock(mutex);
        accept_next();
    }

    boost::weak_ptr<connection> where_weak(connection* conn) const {
        return *where.at(conn)->second;
    }

    void idle(connection& conn) override {
        boost::lock_guard<boost::mutex> lock(mutex);
        auto found = where.find(&conn);
        if (found != where.end())
            open.splice(open.end(), open, found->second);
    }

    void closed(connection& conn) override {
        boost::lock_guard<boost::mutex> lock(mutex);
        auto found = where.find(&conn);
        if (found == where.end())
            return;
        order.erase(found->second->second);
        open.erase(found->second);
        where.erase(found);
        if (full) {
            full = false;
            accept_next();
        }
    }

    boost::shared_ptr<boost::asio::io_service> io_service;
    boost::shared_ptr<request_handler_base> handler;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer pause_timer;
    mutable boost::mutex mutex;
    bool stopped;
    bool accepting;
    bool full; // at the cap with no idle connection: not accepting
    std::size_t accepted;
    std::size_t max_connections;
    int pause_ms;
    connection::server_limits limits;
    // Keeps the weak pointers; open holds each connection with its place in order.
    lru_list order;
    std::list<std::pair<connection*, lru_list::iterator>> open;
    std::unordered_map<const connection*,
                       std::list<std::pair<connection*, lru_list::iterator>>::iterator>
        where;
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

void server::set_connection_limits(const connection::server_limits& limits) {
    boost::lock_guard<boost::mutex> lock(state_->mutex);
    state_->limits = limits;
}

void server::set_max_connections(std::size_t count) {
    boost::lock_guard<boost::mutex> lock(state_->mutex);
    state_->max_connections = std::max<std::size_t>(count, 1);
}

std::size_t server::open_connections() const {
    boost::lock_guard<boost::mutex> lock(state_->mutex);
    return state_->open.size();
}

void server::set_body_budget(std::uint64_t bytes) {
    detail::body_budget::set_limit(bytes);
}

void server::stop() {
    state::lru_list open;
    {
        boost::lock_guard<boost::mutex> lock(state_->mutex);
        if (state_->stopped)
            return;
        state_->stopped = true;
        boost::system::error_code ignored;
        state_->acceptor.close(ignored);
        state_->pause_timer.cancel(ignored);
        open.swap(state_->order);
        state_->open.clear();
        state_->where.clear();
    }
    for (const boost::weak_ptr<connection>& w : open)
        if (boost::shared_ptr<connection> c = w.lock())
            c->close();
}

} // namespace httprtsp
