// Connections against raw loopback peers: reply matching, pipelining, malformed input,
// closing, keep-alive, unexpected replies and throwing handlers.
#include "httprtsp/src/connection.hpp"
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/server.hpp"
#include "tests/support/httprtsp_support.hpp"

#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/mutex.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

using boost::asio::ip::tcp;
using conn_test::normalise_lines;
using conn_test::read_http_message;
using conn_test::stdout_capture;
using conn_test::wait_for;

namespace {

const char red[] = "\033[31m\033[1m";
const char green[] = "\033[32m\033[1m";
const char yellow[] = "\033[33m\033[1m";
const char reset[] = "\033[0m";

class recording_handler : public httprtsp::request_handler_base {
public:
    typedef std::function<void(boost::shared_ptr<httprtsp::connection>,
                               boost::shared_ptr<httprtsp::request>)>
        action;

    explicit recording_handler(action on_request = action()) : on_request_(on_request) {}

    void handle_request(boost::shared_ptr<httprtsp::connection> conn,
                        boost::shared_ptr<httprtsp::request> req) override {
        if (!req) {
            ++close_notices;
            return;
        }
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            requests_.push_back(req);
        }
        if (on_request_)
            on_request_(conn, req);
    }

    std::vector<boost::shared_ptr<httprtsp::request>> requests() {
        boost::lock_guard<boost::mutex> lock(mutex_);
        return requests_;
    }

    std::atomic<int> close_notices{0};

private:
    action on_request_;
    boost::mutex mutex_;
    std::vector<boost::shared_ptr<httprtsp::request>> requests_;
};

boost::shared_ptr<httprtsp::reply> ok_reply(const httprtsp::request& req, const std::string& body) {
    boost::shared_ptr<httprtsp::reply> rep = boost::make_shared<httprtsp::reply>(req);
    rep->set_status(200, false);
    rep->set_body(body);
    return rep;
}

std::string status_line_of(const std::string& message) {
    return message.substr(0, message.find("\r\n"));
}

// Connections of an earlier case that a server closes as it goes log their aborted read on
// an I/O thread, possibly into the next case's capture: leave those two lines out.
std::string without_close_noise(const std::string& text) {
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(at, end - at);
        if (line.find("operation_aborted: ignored") == std::string::npos &&
            line.find(" start:: socket already closed") == std::string::npos)
            out += line;
        at = end;
    }
    return out;
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_colours = httprtsp::colours_enabled;
        httprtsp::colours_enabled = false;
    }
    void TearDown() override {
        pool.stop(); // no I/O thread logs any more
        httprtsp::colours_enabled = saved_colours;
    }

    // Our connection as the client side of a loopback pair; peer is the raw far end.
    boost::shared_ptr<httprtsp::connection>
    connect_to_peer(boost::shared_ptr<httprtsp::request_handler_base> handler) {
        tcp::acceptor acceptor(peer_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        boost::shared_ptr<httprtsp::connection> conn =
            boost::make_shared<httprtsp::connection>(pool.get_io_service(), handler);
        conn->socket().connect(acceptor.local_endpoint());
        acceptor.accept(peer);
        conn->start();
        return conn;
    }

    // A raw client of a server that runs our connections.
    void connect_peer_to(const httprtsp::server& server) {
        peer.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), server.port()));
    }

    void peer_write(const std::string& bytes) {
        boost::asio::write(peer, boost::asio::buffer(bytes));
    }

    // True when the peer sees the end of the stream (nothing more was sent).
    bool peer_sees_end() {
        char c;
        boost::system::error_code error;
        peer.read_some(boost::asio::buffer(&c, 1), error);
        return error == boost::asio::error::eof || error == boost::asio::error::connection_reset;
    }

    bool saved_colours;
    io_service_pool pool{3};
    boost::asio::io_service peer_io;
    tcp::socket peer{peer_io};
    std::string pending;
};

TEST_F(ConnectionTest, RepliesGoToRequestsInTheOrderTheyWereQueued) {
    boost::shared_ptr<httprtsp::connection> conn =
        connect_to_peer(boost::make_shared<recording_handler>());
    auto issue = [conn](const std::string& uri) {
        boost::shared_ptr<httprtsp::reply> rep =
            conn->issue_request(boost::make_shared<httprtsp::request>("GET", uri, "HTTP/1.1"));
        return rep ? std::string(rep->body()->begin(), rep->body()->end()) : std::string("<none>");
    };
    std::future<std::string> a = std::async(std::launch::async, issue, "/one");
    std::future<std::string> b = std::async(std::launch::async, issue, "/two");

    // Whatever order the two requests hit the wire in, the n-th reply answers the n-th
    // request; the peer numbers them the other way round to show that no header matters.
    std::vector<std::string> uris;
    for (int i = 0; i < 2; ++i) {
        const std::string req = read_http_message(peer, pending);
        ASSERT_FALSE(req.empty());
        uris.push_back(req.substr(4, req.find(' ', 4) - 4));
    }
    std::string replies;
    for (std::size_t i = 0; i < 2; ++i)
        replies += "HTTP/1.1 200 OK\r\nCSeq: " + std::to_string(2 - i) +
                   "\r\nContent-Length: " + std::to_string(uris[i].size()) + "\r\n\r\n" + uris[i];
    peer_write(replies);
    EXPECT_EQ("/one", a.get());
    EXPECT_EQ("/two", b.get());
}

// Interim replies announce the final one of the same request, both where the waiting
// thread reads its own reply (one request) and where the I/O threads read (two).
TEST_F(ConnectionTest, InterimRepliesAreSkippedAndTheFinalOneAnswers) {
    boost::shared_ptr<httprtsp::connection> conn =
        connect_to_peer(boost::make_shared<recording_handler>());
    auto issue = [conn](const std::string& uri) {
        boost::shared_ptr<httprtsp::reply> rep =
            conn->issue_request(boost::make_shared<httprtsp::request>("GET", uri, "HTTP/1.1"));
        return rep ? std::to_string(rep->status()) + " " +
                         std::string(rep->body()->begin(), rep->body()->end())
                   : std::string("<none>");
    };
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n";
    const std::string final_reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

    std::future<std::string> alone = std::async(std::launch::async, issue, "/alone");
    ASSERT_FALSE(read_http_message(peer, pending).empty());
    peer_write(interim);
    peer_write(final_reply);
    EXPECT_EQ("200 ok", alone.get());

    std::future<std::string> a = std::async(std::launch::async, issue, "/a");
    std::future<std::string> b = std::async(std::launch::async, issue, "/b");
    for (int i = 0; i < 2; ++i)
        ASSERT_FALSE(read_http_message(peer, pending).empty());
    peer_write(interim + final_reply + interim + final_reply);
    EXPECT_EQ("200 ok", a.get());
    EXPECT_EQ("200 ok", b.get());
}

TEST_F(ConnectionTest, ReplyFramedByNeitherLengthNorChunksEndsWithTheConnection) {
    boost::shared_ptr<httprtsp::connection> conn =
        connect_to_peer(boost::make_shared<recording_handler>());
    std::future<boost::shared_ptr<httprtsp::reply>> answer = std::async(std::launch::async, [conn] {
        return conn->issue_request(boost::make_shared<httprtsp::request>("GET", "/", "HTTP/1.1"));
    });
    ASSERT_FALSE(read_http_message(peer, pending).empty());
    // The body holds what looks like a second reply: it is body all the same.
    peer_write("HTTP/1.1 200 OK\r\n\r\nHTTP/1.1 200 OK\r\n\r\nrest");
    peer.shutdown(tcp::socket::shutdown_send);
    ASSERT_EQ(std::future_status::ready, answer.wait_for(std::chrono::seconds(10)))
        << "waited for the reply that ends with the connection";
    boost::shared_ptr<httprtsp::reply> rep = answer.get();
    ASSERT_TRUE(rep && rep->body());
    EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\nrest", std::string(rep->body()->begin(), rep->body()->end()));
}

TEST_F(ConnectionTest, OneReadWithTwoMessagesAndAThirdStartedDispatchesTwoAndKeepsTheThird) {
    boost::shared_ptr<recording_handler> handler = boost::make_shared<recording_handler>();
    httprtsp::server server(pool.get_io_service(), handler);
    connect_peer_to(server);
    peer_write(
        "GET /a HTTP/1.1\r\n\r\nPOST /b HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyzGET /c HTTP/1.1\r\nHo");
    ASSERT_TRUE(wait_for([&] { return handler->requests().size() >= 2; }));
    EXPECT_EQ("/a", handler->requests()[0]->uri());
    EXPECT_EQ("/b", handler->requests()[1]->uri());
    ASSERT_TRUE(handler->requests()[1]->body());
    EXPECT_EQ("xyz", std::string(handler->requests()[1]->body()->begin(),
                                 handler->requests()[1]->body()->end()));

    // Requests are dispatched in the order they arrive: once a fourth is in, a third taken
    // before its end would show as one request too many.
    peer_write("st: x\r\n\r\nGET /d HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(wait_for([&] { return handler->requests().size() >= 4; }));
    ASSERT_EQ(4u, handler->requests().size());
    const boost::shared_ptr<httprtsp::request> third = handler->requests()[2];
    EXPECT_EQ("/c", third->uri());
    ASSERT_NE(third->headers().end(), third->find_header("host"));
    EXPECT_EQ("x", third->find_header("host")->second);
    EXPECT_EQ("/d", handler->requests()[3]->uri());
    // The peer's address is filled in on received requests.
    EXPECT_EQ(peer.local_endpoint(), third->remote_endpoint());
    EXPECT_EQ(peer.remote_endpoint(), third->local_endpoint());
}

struct malformed_case {
    const char* name;
    std::string bytes;
    std::string status_line; // of the 400 reply
    std::string shown;       // the rejected bytes as the log line shows them
    bool stock_page;
};

TEST_F(ConnectionTest, MalformedInputIsLoggedAnsweredWith400AndClosed) {
    const malformed_case cases[] = {
        {"bad byte before any message", std::string("\x01\x02", 2), "HTTP/1.0 400 Bad Request",
         "\\x02", true},
        {"space in a header name", "GET / HTTP/1.1\r\nbad header: 1\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "header: 1\\r\\n\\r\\n", true},
        {"terminal control sequence", "GET /\x1b]0;owned\x07 HTTP/1.1\r\n\r\n",
         "HTTP/1.0 400 Bad Request", "]0;owned\\x07 HTTP/1.1\\r\\n\\r\\n", true},
        {"high bytes in the start line", "GET /\xff\xfe HTTP/1.1\r\n\r\n",
         "HTTP/1.0 400 Bad Request", "\\xFE HTTP/1.1\\r\\n\\r\\n", true},
        {"RTSP request, no stock page", "OPTIONS * RTSP/1.0\r\nCSeq 1\r\n\r\n",
         "RTSP/1.0 400 Bad Request", "1\\r\\n\\r\\n", false},
        // The parser throws on a Content-Length it cannot convert: handled like any other
        // malformed message, and all of the read is shown.
        {"Content-Length not a number", "POST /x HTTP/1.1\r\nContent-Length: 12ab\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "POST /x HTTP/1.1\\r\\nContent-Length: 12ab\\r\\n\\r\\n",
         true},
    };
    for (const malformed_case& c : cases) {
        SCOPED_TRACE(c.name);
        boost::shared_ptr<recording_handler> handler = boost::make_shared<recording_handler>();
        httprtsp::server server(pool.get_io_service(), handler);
        tcp::socket client(peer_io);
        client.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), server.port()));
        const std::string expected =
            "In connection, line #: error while parsing the request\n"
            "In connection, line #: received bad http/rtsp message: " +
            c.shown + " from 127.0.0.1:" + std::to_string(client.local_endpoint().port()) + "\r\n";
        std::string answer, log;
        boost::system::error_code error;
        {
            stdout_capture out;
            boost::asio::write(client, boost::asio::buffer(c.bytes));
            std::string rest;
            answer = read_http_message(client, rest);
            char byte;
            client.read_some(boost::asio::buffer(&byte, 1), error);
            wait_for([&] { return without_close_noise(out.text()).size() >= expected.size(); });
            log = without_close_noise(out.text());
        }
        EXPECT_EQ(c.status_line, status_line_of(answer));
        EXPECT_EQ(c.stock_page, answer.find("<h1>400 Bad Request</h1>") != std::string::npos);
        EXPECT_EQ(boost::asio::error::eof, error) << "connection left open";
        EXPECT_TRUE(handler->requests().empty());
        EXPECT_EQ(0, handler->close_notices.load());
        EXPECT_EQ(expected, normalise_lines(log));
    }
}

TEST_F(ConnectionTest, ReplyWithUnreadableStatusCodeReleasesTheWaitingRequest) {
    boost::shared_ptr<httprtsp::connection> conn =
        connect_to_peer(boost::make_shared<recording_handler>());
    std::future<boost::shared_ptr<httprtsp::reply>> waiting;
    std::string answer;
    {
        stdout_capture out;
        waiting = std::async(std::launch::async, [conn] {
            return conn->issue_request(
                boost::make_shared<httprtsp::request>("GET", "/", "HTTP/1.1"));
        });
        ASSERT_FALSE(read_http_message(peer, pending).empty());
        peer_write("HTTP/1.1 abc OK\r\n\r\n");
        waiting.wait_for(std::chrono::seconds(10));
        answer = read_http_message(peer, pending);
    }
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(0)));
    EXPECT_FALSE(waiting.get());
    EXPECT_TRUE(conn->is_closed());
    EXPECT_EQ("HTTP/1.0 400 Bad Request", status_line_of(answer));
}

TEST_F(ConnectionTest, PeerClosingWhileARequestWaitsGivesAnEmptyReplyAndOneCloseNotice) {
    boost::shared_ptr<recording_handler> handler = boost::make_shared<recording_handler>();
    boost::shared_ptr<httprtsp::connection> conn = connect_to_peer(handler);
    stdout_capture out;
    std::future<boost::shared_ptr<httprtsp::reply>> waiting =
        std::async(std::launch::async, [conn] {
            return conn->issue_request(
                boost::make_shared<httprtsp::request>("GET", "/", "HTTP/1.1"));
        });
    ASSERT_FALSE(read_http_message(peer, pending).empty());
    peer.close();
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(10)));
    EXPECT_FALSE(waiting.get());
    EXPECT_EQ(1, handler->close_notices.load());
    EXPECT_TRUE(conn->is_closed());

    const std::vector<std::string> lines = out.lines();
    ASSERT_EQ(3u, lines.size()) << out.text();
    const std::string eof_text = boost::system::system_error(boost::asio::error::eof).what();
    EXPECT_TRUE(
        conn_test::is_log_line(lines[0], "connection", "connection::issue_request: " + eof_text))
        << lines[0];
    EXPECT_TRUE(conn_test::is_log_line(lines[1], "connection", "clean_canceled_request"))
        << lines[1];
    EXPECT_EQ(0u, normalise_lines(lines[2]).find(
                      "In connection, line #: runtime error while handling 'promise' request: "))
        << lines[2];
}

TEST_F(ConnectionTest, ReplyTimeOutClosesWithTimedOutForEveryWaiterAndTellsTheHandler) {
    boost::shared_ptr<recording_handler> handler = boost::make_shared<recording_handler>();
    boost::shared_ptr<httprtsp::connection> conn = connect_to_peer(handler);
    stdout_capture out;
    std::future<boost::shared_ptr<httprtsp::reply>> first = std::async(std::launch::async, [conn] {
        return conn->issue_request(
            boost::make_shared<httprtsp::request>("GET", "/first", "HTTP/1.1"));
    });
    ASSERT_FALSE(read_http_message(peer, pending).empty()) << "waited for the first request";
    std::future<bool> late = std::async(std::launch::async, [conn] {
        try {
            conn->issue_request(boost::make_shared<httprtsp::request>("GET", "/late", "HTTP/1.1"),
                                std::chrono::milliseconds(100));
        } catch (const boost::system::system_error& e) {
            return e.code() == boost::asio::error::timed_out;
        }
        return false;
    });
    ASSERT_EQ(std::future_status::ready, late.wait_for(std::chrono::seconds(10)))
        << "waited for the late request to give up";
    EXPECT_TRUE(late.get());
    ASSERT_EQ(std::future_status::ready, first.wait_for(std::chrono::seconds(10)))
        << "waited for the other request to be settled";
    EXPECT_FALSE(first.get());
    EXPECT_EQ(1, handler->close_notices.load()) << "the handler hears of the close";
    const std::string timed_out =
        boost::system::error_code(boost::asio::error::timed_out).message();
    EXPECT_NE(std::string::npos, out.text().find("connection::issue_request: " + timed_out))
        << "the other waiter got the time-out: " << out.text();
}

TEST_F(ConnectionTest, CloseWithoutErrorGivesEmptyRepliesAndNoNotice) {
    boost::shared_ptr<recording_handler> handler = boost::make_shared<recording_handler>();
    boost::shared_ptr<httprtsp::connection> conn = connect_to_peer(handler);
    stdout_capture out;
    std::future<boost::shared_ptr<httprtsp::reply>> waiting =
        std::async(std::launch::async, [conn] {
            return conn->issue_request(
                boost::make_shared<httprtsp::request>("GET", "/", "HTTP/1.1"));
        });
    ASSERT_FALSE(read_http_message(peer, pending).empty());
    conn->close();
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(10)));
    EXPECT_FALSE(waiting.get());
    EXPECT_TRUE(conn->is_closed());
    EXPECT_TRUE(peer_sees_end());
    EXPECT_EQ(0, handler->close_notices.load());
    // Settled without an error: the waiter has nothing to report.
    EXPECT_EQ(std::string::npos, out.text().find("issue_request")) << out.text();

    // A closed connection refuses to send, and does not read again.
    try {
        conn->send(boost::make_shared<httprtsp::request>("GET", "/", "HTTP/1.1"));
        ADD_FAILURE() << "send on a closed connection did not throw";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(boost::asio::error::connection_reset, e.code());
#if defined(_WIN32)
        EXPECT_EQ(10054, e.code().value()); // WSAECONNRESET, the code callers see on Windows
#endif
    }
    conn->start();
    // The address is printf's %p: "0x..." with glibc, 16 hex digits without "0x" on Windows.
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(conn.get()));
    EXPECT_NE(std::string::npos, normalise_lines(out.text())
                                     .find("In connection, line #: " + std::string(address) +
                                           " start:: socket already closed\n"))
        << out.text();
}

TEST_F(ConnectionTest, ReplyThatEndsTheConnectionDropsWhatIsQueuedBehindIt) {
    // One I/O thread: both replies are queued before the first write completes.
    io_service_pool single(1);
    boost::shared_ptr<recording_handler> handler = boost::make_shared<recording_handler>(
        [](boost::shared_ptr<httprtsp::connection> conn, boost::shared_ptr<httprtsp::request> req) {
            conn->send(ok_reply(*req, "first")); // HTTP/1.0 without keep-alive: closes
            conn->send(ok_reply(*req, "second"));
        });
    httprtsp::server server(single.get_io_service(), handler);
    connect_peer_to(server);
    peer_write("GET / HTTP/1.0\r\n\r\n");
    const std::string first = read_http_message(peer, pending);
    EXPECT_EQ("HTTP/1.0 200 OK", status_line_of(first));
    EXPECT_EQ("first", first.substr(first.size() - 5));
    EXPECT_TRUE(peer_sees_end());
    EXPECT_TRUE(pending.empty()) << pending;
}

TEST_F(ConnectionTest, ReplyNobodyWaitsForIsLoggedAndDropped) {
    boost::shared_ptr<httprtsp::connection> conn =
        connect_to_peer(boost::make_shared<recording_handler>());
    stdout_capture out;
    peer_write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    const std::string expected =
        "In connection, line #: handle_read: received unexpected reply\r\n";
    ASSERT_TRUE(wait_for([&] { return out.text().size() >= expected.size(); }));
    EXPECT_EQ(expected, normalise_lines(out.text()));

    // Still open and matching.
    std::future<boost::shared_ptr<httprtsp::reply>> waiting =
        std::async(std::launch::async, [conn] {
            return conn->issue_request(
                boost::make_shared<httprtsp::request>("GET", "/", "HTTP/1.1"));
        });
    ASSERT_FALSE(read_http_message(peer, pending).empty());
    peer_write("HTTP/1.1 204 No Content\r\n\r\n");
    boost::shared_ptr<httprtsp::reply> rep = waiting.get();
    ASSERT_TRUE(rep);
    EXPECT_EQ(204u, rep->status());
}

TEST_F(ConnectionTest, ThrowingHandlerGives500AndTheConnectionStaysOpen) {
    struct throwing_case {
        const char* uri;
        std::function<void()> raise;
        std::string line;
    };
    const throwing_case cases[] = {
        {"/std", [] { throw std::runtime_error("boom"); },
         "exception while handling request: boom"},
        {"/other", [] { throw 42; }, "non-standard exception while handling a request"},
    };
    for (const throwing_case& c : cases) {
        SCOPED_TRACE(c.uri);
        boost::shared_ptr<recording_handler> handler =
            boost::make_shared<recording_handler>([&c](boost::shared_ptr<httprtsp::connection> conn,
                                                       boost::shared_ptr<httprtsp::request> req) {
                if (req->uri() != "/ok")
                    c.raise();
                conn->send(ok_reply(*req, "fine"));
            });
        httprtsp::server server(pool.get_io_service(), handler);
        tcp::socket client(peer_io);
        client.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), server.port()));
        std::string rest, failed, ok, log;
        {
            stdout_capture out;
            boost::asio::write(
                client, boost::asio::buffer("GET " + std::string(c.uri) + " HTTP/1.1\r\n\r\n"));
            failed = read_http_message(client, rest);
            boost::asio::write(client,
                               boost::asio::buffer(std::string("GET /ok HTTP/1.1\r\n\r\n")));
            ok = read_http_message(client, rest);
            log = without_close_noise(out.text());
        }
        EXPECT_EQ("HTTP/1.1 500 Internal Server Error", status_line_of(failed));
        EXPECT_NE(std::string::npos, failed.find("<h1>500 Internal Server Error</h1>"));
        EXPECT_EQ("HTTP/1.1 200 OK", status_line_of(ok));
        EXPECT_EQ("In connection, line #: " + c.line + "\r\n", normalise_lines(log));
    }
}

TEST_F(ConnectionTest, LogColoursFollowTheSwitchExceptOnTheAlwaysColouredLines) {
    boost::shared_ptr<httprtsp::connection> conn = boost::make_shared<httprtsp::connection>(
        pool.get_io_service(), boost::make_shared<recording_handler>());
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(conn.get()));
    struct colour_case {
        bool enabled;
        std::string expected;
    };
    const colour_case cases[] = {
        {false, "In connection, line #: clean_canceled_request\n"
                "In connection, line #: " +
                    std::string(address) + " start:: socket already closed\n"},
        {true, "In connection, line #: " + std::string(red) + "clean_canceled_request\n" + reset +
                   "In connection, line #: " + yellow + address +
                   " start:: socket already closed\n" + reset},
    };
    for (const colour_case& c : cases) {
        httprtsp::colours_enabled = c.enabled;
        stdout_capture out;
        EXPECT_FALSE(conn->clean_canceled_request(httprtsp::connection::reply_placeholder_ptr()));
        conn->start();
        EXPECT_EQ(c.expected, normalise_lines(out.text()));
    }
}

TEST_F(ConnectionTest, WithdrawnPlaceholderIsSkippedByTheNextReply) {
    boost::shared_ptr<httprtsp::connection> conn =
        connect_to_peer(boost::make_shared<recording_handler>());
    stdout_capture out;
    // A waiter that gave up: its placeholder is withdrawn and settled empty.
    httprtsp::connection::reply_placeholder_ptr gone =
        boost::make_shared<httprtsp::connection::reply_placeholder>();
    auto gone_future = gone->promise.get_future();
    EXPECT_TRUE(conn->clean_canceled_request(gone));
    EXPECT_FALSE(gone_future.get());

    // An interrupted waiter withdraws its placeholder; the reply then goes to the next one.
    boost::thread interrupted([conn] {
        try {
            conn->issue_request(boost::make_shared<httprtsp::request>("GET", "/first", "HTTP/1.1"));
        } catch (boost::thread_interrupted&) {
        }
    });
    ASSERT_FALSE(read_http_message(peer, pending).empty());
    interrupted.interrupt();
    interrupted.join();
    std::future<boost::shared_ptr<httprtsp::reply>> second = std::async(std::launch::async, [conn] {
        return conn->issue_request(
            boost::make_shared<httprtsp::request>("GET", "/second", "HTTP/1.1"));
    });
    ASSERT_FALSE(read_http_message(peer, pending).empty());
    peer_write("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecond");
    boost::shared_ptr<httprtsp::reply> rep = second.get();
    ASSERT_TRUE(rep);
    EXPECT_EQ("second", std::string(rep->body()->begin(), rep->body()->end()));
}

// A waiter may read its own reply; whatever else arrives (before, with or after it, or while
// nobody waits) still reaches the handler on an I/O thread, and a late reply still times out.
TEST_F(ConnectionTest, WaiterReadingItsReplyLeavesTheRestToTheIOThreads) {
    boost::mutex ids_mutex;
    std::vector<std::thread::id> handler_threads;
    boost::shared_ptr<recording_handler> handler =
        boost::make_shared<recording_handler>([&](boost::shared_ptr<httprtsp::connection> conn,
                                                  boost::shared_ptr<httprtsp::request> req) {
            {
                boost::lock_guard<boost::mutex> lock(ids_mutex);
                handler_threads.push_back(std::this_thread::get_id());
            }
            conn->send(ok_reply(*req, "pong"));
        });
    boost::shared_ptr<httprtsp::connection> conn = connect_to_peer(handler);
    std::vector<std::thread::id> callers;
    auto issue = [conn, &callers](const std::string& uri) {
        callers.push_back(std::this_thread::get_id()); // one caller at a time
        boost::shared_ptr<httprtsp::reply> rep =
            conn->issue_request(boost::make_shared<httprtsp::request>("GET", uri, "HTTP/1.1"));
        return rep ? std::string(rep->body()->begin(), rep->body()->end()) : std::string("<none>");
    };
    auto answered = [&](const std::string& what) {
        const std::string answer = read_http_message(peer, pending);
        EXPECT_EQ("HTTP/1.1 200 OK", status_line_of(answer)) << what;
        EXPECT_EQ("pong", answer.substr(answer.size() < 4 ? 0 : answer.size() - 4)) << what;
    };
    struct exchange {
        const char* name;
        std::vector<std::string> pieces; // written one after the other
        int peer_requests;               // among them
        std::string reply_body;
    };
    const std::string reply_a = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nA";
    const exchange exchanges[] = {
        {"reply in three pieces",
         {"HTTP/1.1 200 OK\r\nCont", "ent-Length: 1\r\n\r", "\nA"},
         0,
         "A"},
        {"peer request behind the reply", {reply_a + "GET /behind HTTP/1.1\r\n\r\n"}, 1, "A"},
        {"peer request before the reply", {"GET /before HTTP/1.1\r\n\r\n" + reply_a}, 1, "A"},
        {"peer request half before", {"GET /half HTTP/1.1\r\nX: 1", "\r\n\r\n" + reply_a}, 1, "A"},
    };
    for (const exchange& e : exchanges) {
        SCOPED_TRACE(e.name);
        std::future<std::string> waiting = std::async(std::launch::async, issue, "/x");
        ASSERT_FALSE(read_http_message(peer, pending).empty());
        for (const std::string& piece : e.pieces) {
            peer_write(piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(e.reply_body, waiting.get());
        for (int i = 0; i < e.peer_requests; ++i)
            answered(e.name);
        // Nobody waits now: a request from the peer is still read and answered.
        peer_write("GET /idle HTTP/1.1\r\n\r\n");
        answered("while idle");
    }
    {
        boost::lock_guard<boost::mutex> lock(ids_mutex);
        EXPECT_EQ(7u, handler_threads.size());
        for (const std::thread::id& id : handler_threads)
            EXPECT_EQ(callers.end(), std::find(callers.begin(), callers.end(), id));
    }

    // No reply in time: the connection closes, the waiter hears of it, nothing is logged.
    stdout_capture out;
    std::future<bool> late = std::async(std::launch::async, [conn] {
        try {
            conn->issue_request(boost::make_shared<httprtsp::request>("GET", "/late", "HTTP/1.1"),
                                std::chrono::milliseconds(100));
        } catch (const boost::system::system_error& e) {
            return e.code() == boost::asio::error::timed_out;
        }
        return false;
    });
    EXPECT_TRUE(late.get());
    EXPECT_TRUE(conn->is_closed());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ("", out.text());
}

} // namespace
