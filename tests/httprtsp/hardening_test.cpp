// A served connection against peers that stall, flood, half-close or cut off: time-outs, the
// connection cap, back-pressure, "100 Continue", the parser's limits and uploads that never lie.
#include "httprtsp/src/client.hpp"
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/request_handler.hpp"
#include "httprtsp/src/server.hpp"
#include "tools/httprtsp_serve/handlers.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace {

// A blocking loopback socket whose reads give up after ten seconds, so no test can hang.
class peer {
public:
    // receive_buffer: SO_RCVBUF set before connecting, so that the window stays that small.
    explicit peer(unsigned short port, int receive_buffer = 0)
        : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        timeval limit{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (receive_buffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    // The accepted end of a connection to a client of ours.
    static peer accepted_from(int listener) {
        peer p(::accept(listener, nullptr, nullptr), true);
        timeval limit{10, 0};
        ::setsockopt(p.fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        p.connected_ = p.fd_ >= 0;
        return p;
    }
    peer(peer&& other) : fd_(other.fd_), connected_(other.connected_) { other.fd_ = -1; }
    ~peer() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void send(const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            at += static_cast<std::size_t>(n);
        }
    }
    void half_close() { ::shutdown(fd_, SHUT_WR); }
    // Writes copies of unit without reading, until the other side takes nothing for two seconds
    // (it stopped reading) or limit copies went out (it never did). Returns the copies begun;
    // rest is what is left of the last one.
    std::size_t flood(const std::string& unit, std::size_t limit, std::string& rest) {
        const int small = 64 * 1024;
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        for (std::size_t begun = 1; begun <= limit; ++begun) {
            for (std::size_t at = 0; at < unit.size();) {
                const ssize_t n =
                    ::send(fd_, unit.data() + at, unit.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) {
                    at += static_cast<std::size_t>(n);
                    continue;
                }
                pollfd writable{fd_, POLLOUT, 0};
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                    return 0;
                if (::poll(&writable, 1, 2000) == 0) {
                    rest = unit.substr(at);
                    return begun;
                }
            }
        }
        rest.clear();
        return limit;
    }
    // Reads until marker has been seen n times; how many times it was (fewer when the stream
    // ended or nothing came for ten seconds).
    std::size_t count(const std::string& marker, std::size_t n) {
        std::size_t seen = 0;
        std::string window;
        char buffer[65536];
        while (seen < n) {
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            window.append(buffer, static_cast<std::size_t>(got));
            std::size_t at = 0;
            for (; (at = window.find(marker, at)) != std::string::npos; at += marker.size())
                ++seen;
            window.erase(0, window.size() - std::min(window.size(), marker.size() - 1));
        }
        return seen;
    }
    // Everything until the server closes (or the read time-out).
    std::string read_all() {
        std::string out;
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            out.append(buffer, static_cast<std::size_t>(n));
        return out;
    }
    // Whether the other side closes (after anything still to come) within the read time-out; a
    // close that found bytes of ours unread arrives as a reset.
    bool ends() {
        char buffer[65536];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
        }
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }
    // Whether the other side has closed, without waiting.
    bool closed_now() {
        char c;
        return ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }
    // n bytes taken piece by piece, pausing between pieces, through a small receive buffer.
    std::string read_steadily(std::size_t n, std::size_t piece, std::chrono::milliseconds pause) {
        std::string out;
        while (out.size() < n) {
            const std::string got = read(std::min(piece, n - out.size()));
            if (got.empty())
                break;
            out += got;
            std::this_thread::sleep_for(pause);
        }
        return out;
    }
    // Up to the end of a reply's header block.
    std::string read_head() {
        std::string out;
        char c;
        while (out.find("\r\n\r\n") == std::string::npos && ::recv(fd_, &c, 1, 0) == 1)
            out += c;
        return out;
    }
    // At least n bytes (fewer only when the stream ends first).
    std::string read(std::size_t n) {
        std::string out;
        char buffer[65536];
        while (out.size() < n) {
            const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }

private:
    explicit peer(int fd, bool) : fd_(fd) {}
    int fd_;
    bool connected_ = false;
};

// A loopback listening socket for clients of ours to connect to.
class listener {
public:
    listener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(fd_, 8);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~listener() { ::close(fd_); }
    listener(const listener&) = delete;
    listener& operator=(const listener&) = delete;
    int fd() const { return fd_; }
    std::string port() const { return std::to_string(port_); }

private:
    int fd_;
    unsigned short port_ = 0;
};

const std::string echo_request = "GET /echo HTTP/1.1\r\nContent-Length: 0\r\n\r\n";

std::string multipart(const std::string& content) {
    return "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\n" + content +
           "\r\n--b--\r\n";
}

std::string upload_head(const std::string& extra) {
    return "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n" + extra +
           "\r\n";
}

class HardeningTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = (boost::filesystem::temp_directory_path() /
                boost::filesystem::unique_path("hardening-%%%%%%%%"))
                   .string();
        uploads = boost::make_shared<httprtsp_serve::file_upload_handler>("/upload", path, nullptr);
        router->add_route("/upload", uploads);
        router->add_route("/echo", boost::make_shared<httprtsp_serve::echo_handler>());
        server.reset(new httprtsp::server(
            pool.get_io_service(),
            boost::make_shared<httprtsp_serve::upload_front>(router, uploads)));
        limits.header_timeout = std::chrono::milliseconds(300);
        limits.body_timeout = std::chrono::milliseconds(300);
        limits.idle_timeout = std::chrono::milliseconds(300);
        server->set_connection_limits(limits);
    }
    void TearDown() override {
        server.reset();
        boost::system::error_code ignored;
        boost::filesystem::remove(path, ignored);
    }
    bool answered(peer& p) {
        p.send(echo_request);
        return p.read_head().compare(0, 17, "HTTP/1.1 200 OK\r\n") == 0;
    }

    io_service_pool pool{2};
    boost::shared_ptr<httprtsp::request_handler> router =
        boost::make_shared<httprtsp::request_handler>();
    boost::shared_ptr<httprtsp_serve::file_upload_handler> uploads;
    std::unique_ptr<httprtsp::server> server;
    httprtsp::connection::server_limits limits;
    std::string path;
};

TEST_F(HardeningTest, StalledPeersAreClosedWithoutAReply) {
    const char* const stalls[] = {"", "GET /echo HTT",
                                  "POST /echo HTTP/1.1\r\nContent-Length: 9\r\n\r\nab"};
    for (const char* stall : stalls) {
        peer p(server->port());
        p.send(stall);
        EXPECT_EQ("", p.read_all()) << stall;
    }
    peer kept(server->port()); // idle after an answer: closed once the keep-alive wait ends
    ASSERT_TRUE(answered(kept));
    EXPECT_EQ("", kept.read_all());
}

TEST_F(HardeningTest, HeaderAndIdleTimeOutsEachBoundOnlyTheirOwnWait) {
    const std::chrono::milliseconds short_wait(300), long_wait(60000);
    for (const bool short_header : {true, false}) {
        SCOPED_TRACE(short_header ? "short header time-out" : "short idle time-out");
        limits.header_timeout = short_header ? short_wait : long_wait;
        limits.idle_timeout = short_header ? long_wait : short_wait;
        server->set_connection_limits(limits);
        peer stalled(server->port());
        stalled.send("GET /echo HTT");
        peer kept(server->port());
        ASSERT_TRUE(answered(kept));
        std::this_thread::sleep_for(short_wait * 3); // past the short one only
        if (short_header) {
            EXPECT_TRUE(stalled.ends()) << "waited for the stalled request's close";
            EXPECT_TRUE(answered(kept)) << "waited for an answer on the idle connection";
        } else {
            EXPECT_TRUE(kept.ends()) << "waited for the idle connection's close";
            stalled.send("P/1.1\r\nContent-Length: 0\r\n\r\n");
            EXPECT_EQ("HTTP/1.1 200 OK\r\n", stalled.read(17)) << "waited for the answer";
        }
    }
}

TEST_F(HardeningTest, SlowBodiesAreClosedAndSteadyReadersServedAtTheMinimumRate) {
    // The body time-out is 300 ms and the minimum rate 1 KiB/s. A body trickling in at 100 B/s
    // is closed while it still trickles.
    peer trickle(server->port());
    trickle.send("POST /echo HTTP/1.1\r\nContent-Length: 100000\r\n\r\n");
    bool closed = false;
    for (int i = 0; i < 30 && !closed; ++i) {
        trickle.send(std::string(10, 't'));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        closed = trickle.closed_now();
    }
    EXPECT_TRUE(closed) << "waited 3 s for the close of a body sent at 100 B/s";

    // A 6 MiB reply taken steadily at 1.25 MiB/s, through a small window, over a body time-out
    // of 1 s: never cut off. The system wakes a writer only when much of a send queue of up to
    // 4 MiB has drained, seconds apart at this rate; the bytes the peer took meanwhile count.
    limits.body_timeout = std::chrono::milliseconds(1000);
    server->set_connection_limits(limits);
    const std::size_t size = 6 << 20;
    peer steady(server->port(), 64 * 1024);
    std::thread sender([&] {
        steady.send("POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
                    std::string(size, 's'));
    });
    const std::string head = steady.read_head();
    const std::string body = steady.read_steadily(size, 64 * 1024, std::chrono::milliseconds(50));
    sender.join();
    EXPECT_EQ(0u, head.find("HTTP/1.1 200 OK\r\n")) << head;
    EXPECT_EQ(size, body.size()) << "waited for the whole reply";
}

TEST_F(HardeningTest, AtTheCapTheLongestIdleMakesRoomAndBusyOnesAreKept) {
    limits.idle_timeout = limits.header_timeout = std::chrono::milliseconds(60000);
    server->set_connection_limits(limits);
    server->set_max_connections(3);
    peer oldest(server->port());
    ASSERT_TRUE(answered(oldest));
    peer younger(server->port());
    ASSERT_TRUE(answered(younger));
    peer busy(server->port());
    busy.send("GET /echo HTTP/1.1\r\n"); // a request in progress is never dropped
    while (server->open_connections() < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    peer newcomer(server->port());
    EXPECT_TRUE(answered(newcomer));
    EXPECT_TRUE(oldest.ends()) << "the one idle longest was closed";
    EXPECT_FALSE(younger.closed_now());
    busy.send("Content-Length: 0\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", busy.read(17));
}

// Past a short grace, a request that stalls (its body below the minimum rate, or its header
// block not whole) gives way at the cap, the longest stalled first.
TEST_F(HardeningTest, AtTheCapTheLongestStalledRequestMakesRoom) {
    limits.idle_timeout = limits.header_timeout = limits.body_timeout =
        std::chrono::milliseconds(60000); // only the cap may close them
    server->set_connection_limits(limits);
    server->set_max_connections(2);
    // The dribbler is accepted first but stalls later: the longest stall, not the oldest
    // connection, goes first.
    peer dribbler(server->port());
    while (server->open_connections() < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    peer headers(server->port());
    headers.send("GET /echo HTTP/1.1\r\n");
    while (server->open_connections() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    dribbler.send("POST /echo HTTP/1.1\r\nContent-Length: 100\r\n\r\nx");
    std::this_thread::sleep_for(std::chrono::milliseconds(700)); // past the grace (500 ms)
    peer first(server->port());
    first.send("GET /echo HTTP/1.1\r\n"); // stays in its headers
    EXPECT_TRUE(headers.ends()) << "the older stall, in headers, was closed unanswered";
    EXPECT_FALSE(dribbler.closed_now());

    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    dribbler.send("y"); // a byte now and then is no progress
    peer second(server->port());
    EXPECT_TRUE(answered(second));
    EXPECT_TRUE(dribbler.ends()) << "the stalled body was closed unanswered";
    first.send("Content-Length: 0\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", first.read(17)) << "the younger stall was kept";
}

// A newcomer that finds the cap held by a request still within its grace waits for the
// grace to pass, not for a close or the request's own time-out.
TEST_F(HardeningTest, AtTheCapANewcomerIsTakenWhenAStallPassesItsGraceOrAReplyIsDone) {
    limits.idle_timeout = limits.header_timeout = limits.body_timeout =
        std::chrono::milliseconds(60000);
    server->set_connection_limits(limits);
    server->set_max_connections(1);
    peer headers(server->port());
    headers.send("GET /echo HTTP/1.1\r\n");
    while (server->open_connections() < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    peer newcomer(server->port());
    EXPECT_TRUE(answered(newcomer));
    EXPECT_TRUE(headers.ends());

    // Nothing stalls while a reply waits for its reader: the newcomer is taken once that
    // connection turns idle.
    newcomer.half_close();
    ASSERT_TRUE(newcomer.ends());
    while (server->open_connections() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::size_t size = 8 << 20;
    peer reader(server->port(), 64 * 1024);
    std::thread sender([&] {
        reader.send("POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
                    std::string(size, 'r'));
    });
    const std::string head = reader.read_head();
    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // no stall left to wait for
    peer late(server->port());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(size, reader.read(size).size());
    sender.join();
    EXPECT_TRUE(answered(late));
}

TEST_F(HardeningTest, RepliesQueuedAtTheEndOfStreamAreFinishedWhole) {
    const std::string body(4 * 1024 * 1024, 'x');
    peer p(server->port());
    p.send("POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body);
    p.half_close();
    const std::string reply = p.read_all();
    ASSERT_GT(reply.size(), body.size());
    EXPECT_EQ(body, reply.substr(reply.size() - body.size()));
}

TEST_F(HardeningTest, PipelinedRequestsOfAPeerThatReadsLateAreAllAnswered) {
    // The server stops reading while a megabyte of replies waits and resumes as they drain.
    peer p(server->port());
    std::string many;
    for (int i = 0; i < 20000; ++i)
        many += echo_request;
    std::thread sender([&] {
        p.send(many);
        p.half_close();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string replies = p.read_all();
    sender.join();
    std::size_t count = 0;
    for (std::size_t at = 0; (at = replies.find("HTTP/1.1 200 OK", at)) != std::string::npos; ++at)
        ++count;
    EXPECT_EQ(20000u, count);
}

TEST_F(HardeningTest, BackPressurePausesReadingUntilRepliesDrainOnEitherKindOfConnection) {
    // A peer sends requests and reads none of the replies: reading stops (the peer's writes stop
    // moving), then restarts as the peer reads, until every request is answered. The peer of a
    // client connection is held to this as much as a served one.
    limits.header_timeout = limits.body_timeout = limits.idle_timeout =
        std::chrono::milliseconds(60000);
    server->set_connection_limits(limits);
    listener clients;
    for (const bool client_side : {false, true}) {
        SCOPED_TRACE(client_side ? "client connection" : "served connection");
        std::unique_ptr<httprtsp::client> client;
        std::unique_ptr<peer> p;
        if (client_side) {
            client.reset(new httprtsp::client("127.0.0.1", clients.port(),
                                              boost::make_shared<httprtsp::request_handler>(),
                                              pool.get_io_service()));
            client->ensure_connected();
            p.reset(new peer(peer::accepted_from(clients.fd())));
        } else {
            p.reset(new peer(server->port()));
        }
        const std::string unit = client_side ? "GET /x HTTP/1.1\r\n\r\n" : echo_request;
        const std::string marker = client_side ? "HTTP/1.1 404 " : "HTTP/1.1 200 OK\r\n";
        // Far more than the socket buffers and a megabyte of replies hold.
        const std::size_t limit = (std::size_t(16) << 20) / unit.size();
        std::string rest;
        const std::size_t sent = p->flood(unit, limit, rest);
        ASSERT_GT(sent, 0u);
        ASSERT_LT(sent, limit) << "read on while its replies were not taken";
        std::thread finisher([&] { p->send(rest); });
        const std::size_t answered = p->count(marker, sent);
        finisher.join();
        EXPECT_EQ(sent, answered) << "waited for an answer to every request after the pause";
    }
}

TEST_F(HardeningTest, RequestsToAClientConnectionAreHeldToSmallLimitsAndRefusedWithAClose) {
    // The client serves no routes: its peer's requests get the header limits and a 64 KiB body.
    // (400: the stock pages have no 413.)
    listener clients;
    const struct {
        std::string request;
        const char* answer;
        bool stays_open;
    } rows[] = {
        {"POST /x HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + std::string(65536, 'b'),
         "HTTP/1.1 404 ", true},
        {"POST /x HTTP/1.1\r\nContent-Length: 65537\r\n\r\n", "HTTP/1.1 400 ", false},
        {"POST /x HTTP/1.1\r\nContent-Length: 2147483648\r\n\r\n", "HTTP/1.1 400 ", false},
        {"POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n10001\r\n" +
             std::string(65537, 'c'),
         "HTTP/1.1 400 ", false},
        {"GET /x HTTP/1.1\r\nX-Long: " + std::string(9 * 1024, 'h') + "\r\n\r\n", "HTTP/1.1 400 ",
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.request.substr(0, 50));
        httprtsp::client client("127.0.0.1", clients.port(),
                                boost::make_shared<httprtsp::request_handler>(),
                                pool.get_io_service());
        client.ensure_connected();
        peer p = peer::accepted_from(clients.fd());
        p.send(row.request);
        const std::string head = p.read_head();
        EXPECT_EQ(0u, head.find(row.answer)) << "waited for the answer, got: " << head;
        if (row.stays_open) {
            p.send("GET /y HTTP/1.1\r\n\r\n");
            EXPECT_EQ(1u, p.count("HTTP/1.1 404 ", 1)) << "waited for the next answer";
        } else {
            EXPECT_TRUE(p.ends()) << "waited for the close";
        }
    }
}

TEST_F(HardeningTest, ExpectContinueIsAnsweredBeforeTheBodyAndTooLargeRequestsRefused) {
    peer p(server->port());
    p.send("POST /echo HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", p.read(25));
    p.send("abc");
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", p.read(17));
    // An HTTP/1.0 or RTSP client would take an interim reply for the answer: none for them.
    for (const std::string protocol : {"HTTP/1.0", "RTSP/1.0"}) {
        peer old(server->port());
        old.send("POST /echo " + protocol +
                 "\r\nExpect: 100-continue\r\nContent-Length: 3\r\nCSeq: 1\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the headers alone first
        old.send("abc");
        EXPECT_EQ(protocol + " 200 OK\r\n", old.read(protocol.size() + 9)) << protocol;
    }

    limits.parser.body = 1000;
    server->set_connection_limits(limits);
    peer big(server->port());
    big.send("POST /echo HTTP/1.1\r\nContent-Length: 1001\r\n\r\n");
    EXPECT_EQ(0u, big.read_all().find("HTTP/1.1 400 Bad Request\r\n"));
    peer header(server->port()); // one long header value
    header.send("GET /echo HTTP/1.1\r\nX-Long: " + std::string(70 * 1024, 'h'));
    EXPECT_EQ(0u, header.read_all().find("HTTP/1.1 400 Bad Request\r\n"));
    peer chunked(server->port());
    chunked.send("POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n800\r\n" +
                 std::string(2048, 'y') + "\r\n");
    EXPECT_EQ(0u, chunked.read_all().find("HTTP/1.1 400 Bad Request\r\n"));
}

TEST_F(HardeningTest, BodiesPastTheProcessWideBudgetAreAnswered503BeforeTheyAreRead) {
    limits.header_timeout = limits.body_timeout = limits.idle_timeout =
        std::chrono::milliseconds(60000);
    server->set_connection_limits(limits);
    httprtsp::server::set_body_budget(100000);
    struct restore {
        ~restore() { httprtsp::server::set_body_budget(std::uint64_t(256) << 20); }
    } restored;
    peer holder(server->port()); // announces 80,000 bytes and sends them later
    holder.send("POST /echo HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 80000\r\n\r\n");
    ASSERT_EQ("HTTP/1.1 100 Continue\r\n\r\n", holder.read(25))
        << "waited for the first request's headers to be taken";
    const auto post = [](std::size_t size) {
        return "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
               std::string(size, 'p');
    };
    peer at_budget(server->port());
    at_budget.send(post(20000));
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", at_budget.read(17)) << "waited for the answer at the budget";
    peer past(server->port());
    past.send(post(20001).substr(0, 60));
    EXPECT_EQ(0u, past.read_all().find("HTTP/1.1 503 ")) << "waited for the refusal past it";
    holder.send(std::string(80000, 'h'));
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", holder.read(17)) << "waited for the holder's answer";
    peer after(server->port()); // the holder's share is back
    after.send(post(90000));
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", after.read(17)) << "waited for the answer after it";
}

TEST_F(HardeningTest, RequestsPastTheParserLimitsAreAnswered400AndClosed) {
    // Header text past the default limits; a request before it on the same connection is
    // still answered.
    std::string many_lines = "GET /echo HTTP/1.1\r\n";
    for (int i = 0; i < 101; ++i)
        many_lines += "X-" + std::to_string(i) + ": v\r\n";
    const std::string bad[] = {many_lines + "\r\n",
                               "GET /" + std::string(9 * 1024, 'u') + " HTTP/1.1\r\n\r\n",
                               "GET /echo HTTP/1.1\r\nX-Line: " + std::string(9 * 1024, 'l')};
    for (const std::string& request : bad) {
        peer p(server->port());
        p.send(echo_request + request);
        const std::string replies = p.read_all();
        EXPECT_EQ(0u, replies.find("HTTP/1.1 200 OK\r\n")) << request.substr(0, 40);
        EXPECT_NE(std::string::npos, replies.find(" 400 Bad Request\r\n")) << request.substr(0, 40);
    }

    // Settable per server; an upload streams to its file whatever the body limit.
    limits.parser.header_lines = 2;
    limits.parser.body = 100;
    server->set_connection_limits(limits);
    peer three(server->port());
    three.send("GET /echo HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n");
    EXPECT_EQ(0u, three.read_all().find("HTTP/1.1 400 Bad Request\r\n"));
    const std::string body = multipart(std::string(1000, 'z'));
    peer upload(server->port());
    upload.send(upload_head("Content-Length: " + std::to_string(body.size()) + "\r\n") + body);
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", upload.read(17));
}

TEST_F(HardeningTest, AClientConnectionReadsRepliesOfAnySizeUnlessLimited) {
    const std::string body(100 * 1024, 'r');
    for (const bool limited : {false, true}) {
        boost::shared_ptr<httprtsp::connection> conn = boost::make_shared<httprtsp::connection>(
            pool.get_io_service(), boost::shared_ptr<httprtsp::request_handler_base>());
        conn->socket().connect(server->local_endpoint());
        if (limited) {
            httprtsp::parser_limits small;
            small.body = body.size() - 1;
            conn->set_parser_limits(small);
        }
        conn->start();
        boost::shared_ptr<httprtsp::request> req =
            boost::make_shared<httprtsp::request>("POST", "/echo", "HTTP/1.1");
        req->set_body(body);
        boost::shared_ptr<httprtsp::reply> rep = conn->issue_request(req);
        EXPECT_EQ(!limited, rep && rep->body() && rep->body()->size() == body.size()) << limited;
        conn->close();
    }
}

TEST_F(HardeningTest, ChunkedUploadCompletesWhereverItsLastChunkArrives) {
    const std::string content = "firmware bytes";
    const std::string body = multipart(content);
    std::string chunked = upload_head("Transfer-Encoding: chunked\r\n");
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", body.size());
    chunked += size + body + "\r\n0\r\n\r\n";
    for (std::size_t cut = chunked.size() - 12; cut < chunked.size(); ++cut) {
        peer p(server->port());
        p.send(chunked.substr(0, cut));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        p.send(chunked.substr(cut));
        const std::string reply = p.read(17);
        EXPECT_EQ("HTTP/1.1 200 OK\r\n", reply) << cut;
        p.read(200);
        std::string stored;
        std::FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_TRUE(f) << cut;
        char buffer[256];
        stored.append(buffer, std::fread(buffer, 1, sizeof buffer, f));
        std::fclose(f);
        EXPECT_EQ(content, stored) << cut;
    }
}

TEST_F(HardeningTest, UploadsNeverReportWhatTheyDidNotStore) {
    const std::string body = multipart(std::string(1000, 'z'));
    const std::string whole =
        upload_head("Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
    peer first(server->port());
    ASSERT_TRUE(first.connected());
    first.send(whole);
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", first.read(17));

    // A POST that streamed nothing never reports the file of an earlier upload.
    peer empty(server->port());
    empty.send(upload_head("Content-Length: 0\r\n"));
    EXPECT_EQ("HTTP/1.1 400 Bad Request\r\n", empty.read(26));

    // While one upload runs a second is refused at once and writes nothing.
    peer running(server->port());
    running.send(whole.substr(0, whole.size() - 400));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer second(server->port());
    second.send(whole);
    EXPECT_EQ(0u, second.read_all().find("HTTP/1.1 503 Service Unavailable\r\n"));

    // Cut off half-way: no file is left that a later request could report.
    limits.body_timeout = std::chrono::milliseconds(60000);
    running.half_close();
    EXPECT_EQ("", running.read_all());
    EXPECT_FALSE(boost::filesystem::exists(path));
    peer later(server->port());
    later.send(upload_head("Content-Length: 0\r\n"));
    EXPECT_EQ("HTTP/1.1 400 Bad Request\r\n", later.read(26));
}

} // namespace
