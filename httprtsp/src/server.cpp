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
#include <vector>

namespace httprtsp {

namespace {
// How long a request in progress may stall (its body below the minimum rate, its headers not
// yet whole) before, at the cap, it gives way: long enough for a sound peer's hiccup, short
// enough that a newcomer is not kept waiting by peers that hold their places.
const std::chrono::milliseconds stall_grace(500);
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

    // Below the cap a connection is accepted as it comes. At the cap the server first waits
    // for one to be pending, then makes room (the idle connection that has waited longest, or
    // the request stalled longest) and only then accepts it, so that it never holds more than
    // the cap, not even for a moment. Mutex held.
    void accept_next() {
        if (stopped || accepting)
            return;
        accepting = true;
        boost::shared_ptr<state> self = shared_from_this();
        if (open.size() >= max_connections) {
            acceptor.async_wait(
                boost::asio::ip::tcp::acceptor::wait_read,
                [self](const boost::system::error_code& error) { self->on_pending(error); });
            return;
        }
        boost::shared_ptr<connection> conn = boost::make_shared<connection>(io_service, handler);
        acceptor.async_accept(conn->socket(), [self, conn](const boost::system::error_code& error) {
            self->on_accept(conn, error);
        });
    }

    // The connection to close for a newcomer at the cap: the one idle longest, or else the one
    // whose request has stalled longest, past the grace (a peer dribbling bytes must not keep
    // its place). One walk over the open connections ranks them all, and each is checked again
    // when its turn comes: a burst at the cap does not walk thousands of connections per
    // accept. Mutex held.
    connection* room_maker() {
        const auto now = std::chrono::steady_clock::now();
        if (connection* next = next_room_maker(now))
            return next;
        rank_room_makers(now);
        return next_room_maker(now);
    }

    bool gives_way(const connection& conn, std::chrono::steady_clock::time_point now) const {
        return conn.is_idle() || conn.stalled_since() <= now - stall_grace;
    }

    connection* next_room_maker(std::chrono::steady_clock::time_point now) {
        while (!room_makers.empty()) {
            connection* next = room_makers.back();
            room_makers.pop_back();
            if (where.count(next) && gives_way(*next, now))
                return next;
        }
        return nullptr;
    }

    // Best last: the stalled from the shortest stall to the longest, then the idle from the
    // one idle shortest to the one idle longest (open is in the order they turned idle).
    void rank_room_makers(std::chrono::steady_clock::time_point now) {
        std::vector<std::pair<std::chrono::steady_clock::time_point, connection*>> stalled;
        std::vector<connection*> idle;
        for (const auto& entry : open) {
            if (entry.first->is_idle())
                idle.push_back(entry.first);
            else if (gives_way(*entry.first, now))
                stalled.emplace_back(entry.first->stalled_since(), entry.first);
        }
        std::sort(stalled.begin(), stalled.end(),
                  [](const auto& a, const auto& b) { return a.first > b.first; });
        room_makers.clear();
        for (const auto& s : stalled)
            room_makers.push_back(s.second);
        room_makers.insert(room_makers.end(), idle.rbegin(), idle.rend());
    }

    // At the cap with a connection pending.
    void on_pending(const boost::system::error_code& error) {
        boost::shared_ptr<connection> room;
        {
            boost::lock_guard<boost::mutex> lock(mutex);
            accepting = false;
            if (stopped || error == boost::asio::error::operation_aborted)
                return;
            if (error)
                return retry_after_error(error);
            if (open.size() >= max_connections) {
                connection* victim = room_maker();
                if (!victim)
                    return wait_for_room();
                room = where_weak(victim).lock();
            }
        }
        if (room)
            room->close(); // its closed() frees the place
        boost::lock_guard<boost::mutex> lock(mutex);
        accept_next();
    }

    // Nothing can give way now: accepting resumes when a connection closes or turns idle, or
    // when the earliest stalled request has stalled past the grace, or a grace from now (a
    // request that begins after this walk may stall too). Mutex held.
    void wait_for_room() {
        full = true;
        auto first_stall = std::chrono::steady_clock::now();
        for (const auto& entry : open)
            first_stall = std::min(first_stall, entry.first->stalled_since());
        resume_at(first_stall + stall_grace + std::chrono::milliseconds(1));
    }

    // Out of descriptors and the like: wait a little instead of spinning. Mutex held.
    void retry_after_error(const boost::system::error_code& error) {
        pause_ms = pause_ms == 0 ? 100 : std::min(pause_ms * 2, 1000);
        HTTPRTSP_LOG_WARNING("accept failed: %s\n", error.message().c_str());
        resume_at(std::chrono::steady_clock::now() + std::chrono::milliseconds(pause_ms));
    }

    void resume_at(std::chrono::steady_clock::time_point when) { // mutex held
        boost::shared_ptr<state> self = shared_from_this();
        pause_timer.expires_at(when);
        pause_timer.async_wait([self](const boost::system::error_code& e) {
            if (e == boost::asio::error::operation_aborted)
                return;
            boost::lock_guard<boost::mutex> relock(self->mutex);
            self->full = false;
            self->accept_next();
        });
    }

    void on_accept(boost::shared_ptr<connection> conn, const boost::system::error_code& error) {
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
            if (error)
                return retry_after_error(error);
            pause_ms = 0;
            if (open.size() >= max_connections) { // the cap was lowered meanwhile
                conn->close();
                return accept_next();
            }
            ++accepted;
            order.push_back(conn);
            open.emplace_back(conn.get(), --order.end());
            where[conn.get()] = --open.end();
            connection_limits = limits;
        }
        conn->serve(connection_limits, shared_from_this());
        conn->start();
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
        resume();
    }

    void closed(connection& conn) override {
        boost::lock_guard<boost::mutex> lock(mutex);
        auto found = where.find(&conn);
        if (found == where.end())
            return;
        order.erase(found->second->second);
        open.erase(found->second);
        where.erase(found);
        resume();
    }

    void resume() { // mutex held
        if (!full)
            return;
        full = false;
        accept_next();
    }

    boost::shared_ptr<boost::asio::io_service> io_service;
    boost::shared_ptr<request_handler_base> handler;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer pause_timer;
    mutable boost::mutex mutex;
    bool stopped;
    bool accepting;
    bool full; // at the cap with nothing to give way: not accepting
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
    std::vector<connection*> room_makers; // see room_maker()
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
