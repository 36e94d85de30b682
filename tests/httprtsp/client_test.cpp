// The client against our own server and against real peers: python3's http.server
// (HTTP/1.0 replies, then it closes) and a Node.js server replying in chunks.
#include "httprtsp/src/client.hpp"
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/server.hpp"
#include "tests/support/child_process.h"
#include "tests/support/httprtsp_support.hpp"
#include "tests/support/refusing_port.hpp"

#include <boost/asio/error.hpp>
#include <boost/make_shared.hpp>

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Gives tests a look at the current connection.
class exposed_client : public httprtsp::client {
public:
    using httprtsp::client::client;
    boost::shared_ptr<httprtsp::connection> current() const { return conn; }
};

// Answers "ok"; on "/bye" asks the client to close after the reply.
class answering_handler : public httprtsp::request_handler_base {
public:
    void handle_request(boost::shared_ptr<httprtsp::connection> conn,
                        boost::shared_ptr<httprtsp::request> req) override {
        if (!req)
            return;
        boost::shared_ptr<httprtsp::reply> rep = boost::make_shared<httprtsp::reply>(*req);
        rep->set_status(200, false);
        rep->set_body("ok " + req->uri());
        if (req->uri() == "/bye") {
            rep->remove_header("Connection");
            rep->add_header("Connection", "close");
        }
        conn->send(rep);
    }
};

boost::shared_ptr<httprtsp::request> get(const std::string& uri) {
    return boost::make_shared<httprtsp::request>("GET", uri, "HTTP/1.1");
}

std::string body_of(const boost::shared_ptr<httprtsp::reply>& rep) {
    if (!rep)
        return "<no reply>";
    return rep->body() ? std::string(rep->body()->begin(), rep->body()->end()) : std::string();
}

#if !defined(_WIN32)
// A loopback listener whose accept queue is full, so that a connect neither completes nor
// fails; drain() then accepts what is queued, so that the next connect completes and counts.
class full_listener {
public:
    full_listener() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 0) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        for (int i = 0; i < 16 && !full_; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            fds_.push_back(filler);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), length);
            pollfd done{filler, POLLOUT, 0};
            full_ = ::poll(&done, 1, 200) == 0; // this attempt hangs: the queue is full
        }
        hanging_ = full_ ? fds_.back() : -1;
    }
    ~full_listener() {
        for (int fd : fds_)
            ::close(fd);
        ::close(listener_);
    }
    full_listener(const full_listener&) = delete;
    full_listener& operator=(const full_listener&) = delete;

    bool full() const { return full_; }
    std::string port() const { return std::to_string(port_); }
    // Accepts every connection queued now; how many.
    std::size_t drain() {
        if (hanging_ >= 0) { // its retried connect must not be counted later
            fds_.pop_back();
            ::close(hanging_);
            hanging_ = -1;
        }
        std::size_t n = 0;
        for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0; ++n)
            fds_.push_back(fd);
        return n;
    }

private:
    int listener_ = -1;
    unsigned short port_ = 0;
    bool full_ = false;
    int hanging_ = -1;
    std::vector<int> fds_;
};
#else
// Winsock gives no dependable way to fill an accept queue: the case that needs it skips.
class full_listener {
public:
    bool full() const { return false; }
    std::string port() const { return "0"; }
    std::size_t drain() { return 0; }
};
#endif

class ClientTest : public ::testing::Test {
protected:
    io_service_pool pool{3};
    boost::shared_ptr<httprtsp::request_handler_base> own_handler =
        boost::make_shared<answering_handler>();
};

TEST_F(ClientTest, FirstRequestConnectsAndLaterOnesReuseTheConnection) {
    httprtsp::server server(pool.get_io_service(), boost::make_shared<answering_handler>());
    exposed_client client("127.0.0.1", std::to_string(server.port()), own_handler,
                          pool.get_io_service());
    EXPECT_FALSE(client.current());
    EXPECT_EQ("ok /1", body_of(client.issue_request(get("/1"))));
    const boost::shared_ptr<httprtsp::connection> first = client.current();
    EXPECT_EQ("ok /2", body_of(client.issue_request(get("/2"))));
    EXPECT_EQ(first, client.current());
    EXPECT_EQ(1u, server.accepted());
}

TEST_F(ClientTest, ReconnectsWithAFreshConnectionAfterTheServerClosed) {
    httprtsp::server server(pool.get_io_service(), boost::make_shared<answering_handler>());
    exposed_client client("localhost", std::to_string(server.port()), own_handler,
                          pool.get_io_service());
    EXPECT_EQ("ok /bye", body_of(client.issue_request(get("/bye"))));
    const boost::shared_ptr<httprtsp::connection> first = client.current();
    ASSERT_TRUE(conn_test::wait_for([&] { return first->is_closed(); }));
    EXPECT_EQ("ok /again", body_of(client.issue_request(get("/again"))));
    EXPECT_NE(first, client.current());
    EXPECT_EQ(2u, server.accepted());

    client.close_connection();
    EXPECT_FALSE(client.current());
    EXPECT_TRUE(first->is_closed());
}

TEST_F(ClientTest, FailuresToResolveOrConnectPrintTheSystemErrorAndGiveNoReply) {
    const vq_testing::refusing_port refusing;
    const std::string refused_port = refusing.text();
    const struct {
        std::string host, port, line; // line empty: any system text
    } cases[] = {
        {"127.0.0.1", refused_port,
         "BOOST SYSTEM ERROR : " +
             boost::system::error_code(boost::asio::error::connection_refused).message() + "\n"},
        {"host.invalid", "80", ""},
        {"127.0.0.1", "no-such-service-name", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host + ":" + c.port);
        exposed_client client(c.host, c.port, own_handler, pool.get_io_service());
        conn_test::stdout_capture out;
        EXPECT_FALSE(client.issue_request(get("/")));
        const std::string text = out.text();
        if (!c.line.empty()) {
            EXPECT_EQ(c.line, text);
        } else {
            EXPECT_EQ(0u, text.find("BOOST SYSTEM ERROR : ")) << text;
            EXPECT_GT(text.size(), std::string("BOOST SYSTEM ERROR : \n").size());
            EXPECT_EQ(text.size() - 1, text.find('\n')); // one line
        }
    }
}

TEST_F(ClientTest, AfterARefusedConnectTheNextRequestConnectsAgain) {
    // The port stays ours throughout: refused first, then our own server listens on it.
    const vq_testing::refusing_port refusing(true);
    const std::uint16_t port = refusing.port();
    exposed_client client("127.0.0.1", refusing.text(), own_handler, pool.get_io_service());
    {
        conn_test::stdout_capture quiet;
        EXPECT_FALSE(client.issue_request(get("/")));
    }
    // The failed attempt must not leave a socket that looks usable.
    httprtsp::server server(pool.get_io_service(), boost::make_shared<answering_handler>(),
                            "127.0.0.1", port);
    EXPECT_EQ("ok /now", body_of(client.issue_request(get("/now"))));
    EXPECT_EQ(1u, server.accepted());
}

TEST_F(ClientTest, ConnectTimeOutMakesTheServerUnresponsiveAndLaterRequestsNeverReachIt) {
    full_listener listener;
    if (!listener.full())
        GTEST_SKIP() << "this kernel completes connections beyond the accept queue";
    exposed_client client("127.0.0.1", listener.port(), own_handler, pool.get_io_service());
    client.set_connect_timeout(std::chrono::milliseconds(300));
    const std::string timed_out =
        "BOOST SYSTEM ERROR : " +
        boost::system::error_code(boost::asio::error::timed_out).message() + "\n";
    {
        conn_test::stdout_capture out;
        EXPECT_FALSE(client.issue_request(get("/")));
        EXPECT_EQ(timed_out, out.text());
    }
    EXPECT_TRUE(client.unresponsive());
    // Room in the queue now: a later connect would complete and be counted here.
    listener.drain();
    for (int i = 0; i < 2; ++i) {
        conn_test::stdout_capture out;
        EXPECT_FALSE(client.issue_request(get("/again"), std::chrono::milliseconds(300)));
        EXPECT_EQ(timed_out, out.text());
    }
    EXPECT_EQ(0u, listener.drain()) << "connects after the time-out";
}

TEST_F(ClientTest, TalksToPythonHttpServerWhichClosesAfterEachReply) {
    VQ_REQUIRE_PEER("python3");
    conn_test::temp_dir dir;
    conn_test::write_file(dir.file("hello.txt"), "hello from python\n");
    vq_testing::child_process python(
        {"python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1"}, {dir.path()});
    std::string line;
    ASSERT_TRUE(python.wait_for(" port ", line));
    const std::size_t at = line.find(" port ") + 6;
    const std::string port = line.substr(at, line.find(' ', at) - at);

    exposed_client client("127.0.0.1", port, own_handler, pool.get_io_service());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        boost::shared_ptr<httprtsp::reply> rep = client.issue_request(get("/hello.txt"));
        ASSERT_TRUE(rep);
        EXPECT_EQ(200u, rep->status());
        EXPECT_EQ("HTTP/1.0", rep->protocol());
        EXPECT_EQ("hello from python\n", body_of(rep));
        EXPECT_FALSE(rep->keep_alive());
        // The server ends the connection after its reply; the next request reconnects.
        ASSERT_TRUE(conn_test::wait_for([&] { return client.current()->is_closed(); }));
    }
    boost::shared_ptr<httprtsp::reply> missing = client.issue_request(get("/missing"));
    ASSERT_TRUE(missing);
    EXPECT_EQ(404u, missing->status());
}

TEST_F(ClientTest, TalksToANodeServerReplyingChunked) {
    VQ_REQUIRE_PEER("node");
    vq_testing::child_process node({"node", std::string(CONN_TEST_DIR) + "/chunked_server.js"});
    std::string port;
    ASSERT_TRUE(node.read_line(port));
    ASSERT_FALSE(port.empty());

    exposed_client client("127.0.0.1", port, own_handler, pool.get_io_service());
    const std::string bodies[] = {"abc", std::string(100000, 'x') + "\r\n0\r\n\r\n"};
    boost::shared_ptr<httprtsp::connection> first;
    for (const std::string& body : bodies) {
        boost::shared_ptr<httprtsp::request> req =
            boost::make_shared<httprtsp::request>("POST", "/echo", "HTTP/1.1");
        req->add_header("Host", "127.0.0.1:" + port); // Node refuses HTTP/1.1 requests without one
        req->set_body(body);
        boost::shared_ptr<httprtsp::reply> rep = client.issue_request(req);
        ASSERT_TRUE(rep);
        EXPECT_EQ(200u, rep->status());
        ASSERT_NE(rep->headers().end(), rep->find_header("transfer-encoding"));
        EXPECT_EQ("chunked", rep->find_header("transfer-encoding")->second);
        EXPECT_EQ("hello " + body + " world", body_of(rep));
        if (!first)
            first = client.current();
        EXPECT_EQ(first, client.current()); // kept alive
    }
}

} // namespace
