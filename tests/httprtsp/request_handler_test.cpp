// Routing by the longest matching prefix of the decoded path, the 404 answer, and the close
// notice reaching every route.
#include "httprtsp/src/client.hpp"
#include "httprtsp/src/connection.hpp"
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/request_handler.hpp"
#include "httprtsp/src/server.hpp"
#include "tests/support/httprtsp_support.hpp"

#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using boost::asio::ip::tcp;

namespace {

// Answers with its own name, and counts close notices.
class named_handler : public httprtsp::request_handler_base {
public:
    explicit named_handler(const std::string& name) : name_(name) {}
    void handle_request(boost::shared_ptr<httprtsp::connection> conn,
                        boost::shared_ptr<httprtsp::request> req) override {
        if (!req) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                closed_ = conn;
            }
            ++close_notices;
            return;
        }
        boost::shared_ptr<httprtsp::reply> rep = boost::make_shared<httprtsp::reply>(*req);
        rep->set_status(200, false);
        rep->set_body(name_);
        conn->send(rep);
    }
    std::atomic<int> close_notices{0};
    // The connection of the last close notice has gone: none of its handlers is pending.
    bool closed_connection_gone() {
        std::lock_guard<std::mutex> lock(mutex_);
        return close_notices > 0 && closed_.expired();
    }

private:
    std::string name_;
    std::mutex mutex_;
    boost::weak_ptr<httprtsp::connection> closed_;
};

std::string body_of(const boost::shared_ptr<httprtsp::reply>& rep) {
    if (!rep)
        return "<no reply>";
    if (rep->status() != 200)
        return std::to_string(rep->status());
    return rep->body() ? std::string(rep->body()->begin(), rep->body()->end()) : std::string();
}

class RequestHandlerTest : public ::testing::Test {
protected:
    std::string route(const std::string& uri) {
        return body_of(
            client->issue_request(boost::make_shared<httprtsp::request>("GET", uri, "HTTP/1.1")));
    }
    void serve(boost::shared_ptr<httprtsp::request_handler> router) {
        server.reset(new httprtsp::server(pool.get_io_service(), router));
        client.reset(new httprtsp::client("127.0.0.1", std::to_string(server->port()),
                                          boost::make_shared<named_handler>("client"),
                                          pool.get_io_service()));
    }
    io_service_pool pool{2};
    std::unique_ptr<httprtsp::server> server;
    std::unique_ptr<httprtsp::client> client;
};

TEST_F(RequestHandlerTest, LongestMatchingPrefixOfTheDecodedPathWins) {
    boost::shared_ptr<httprtsp::request_handler> router =
        boost::make_shared<httprtsp::request_handler>();
    router->add_route("/", boost::make_shared<named_handler>("root"));
    router->add_route("/cometd", boost::make_shared<named_handler>("cometd"));
    router->add_route("/cometd/x", boost::make_shared<named_handler>("cometd-x"));
    router->add_route("/b", boost::make_shared<named_handler>("b"));
    router->add_route("/a", boost::make_shared<named_handler>("a"));
    serve(router);
    const struct {
        const char* uri;
        const char* handler;
    } cases[] = {
        {"/cometd", "cometd"},
        {"/cometd/", "cometd"},
        {"/cometd/x/y", "cometd-x"},
        {"/cometdx", "cometd"}, // bytewise prefix, not a path segment
        {"/comet", "root"},
        {"/", "root"},
        {"/a", "a"},
        {"/b/c", "b"},
        {"/c", "root"},
        {"/cometd?x=1#f", "cometd"}, // query and fragment are not part of the path
        {"/%63ometd/x", "cometd-x"}, // decoded before matching
        {"/x%2Fcometd", "root"},
        {"http://h:1/cometd/x", "cometd-x"}, // absolute form: only the path counts
        {"%zz", "404"},                      // undecodable: an empty path matches nothing here
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.handler, route(c.uri)) << c.uri;
}

TEST_F(RequestHandlerTest, WithoutRoutesEveryRequestIs404WithTheStockPage) {
    serve(boost::make_shared<httprtsp::request_handler>());
    boost::asio::io_service io;
    tcp::socket peer(io);
    peer.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), server->port()));
    const struct {
        std::string request;
        std::string answer;
    } cases[] = {
        {"GET /anything HTTP/1.1\r\n\r\n",
         "HTTP/1.1 404 Not Found\r\nconnection: Keep-Alive\r\ncontent-length: 85\r\ncontent-type: text/html\r\n\r\n"
         "<html><head><title>Not Found</title></head><body><h1>404 Not Found</h1></body></html>"},
        {"DESCRIBE rtsp://h/x RTSP/1.0\r\nCSeq: 2\r\n\r\n", "RTSP/1.0 404 Not Found\r\n\r\n"},
    };
    std::string pending;
    for (const auto& c : cases) {
        boost::asio::write(peer, boost::asio::buffer(c.request));
        EXPECT_EQ(c.answer, conn_test::read_http_message(peer, pending));
    }
}

TEST_F(RequestHandlerTest, EmptyKeyMatchesEveryPath) {
    boost::shared_ptr<httprtsp::request_handler> router =
        boost::make_shared<httprtsp::request_handler>();
    router->add_route("", boost::make_shared<named_handler>("any"));
    router->add_route("/z", boost::make_shared<named_handler>("z"));
    serve(router);
    EXPECT_EQ("any", route("/"));
    EXPECT_EQ("any", route("x"));
    EXPECT_EQ("z", route("/z"));
}

TEST_F(RequestHandlerTest, ConnectionClosingWithAnErrorReachesEveryRouteOnce) {
    boost::shared_ptr<httprtsp::request_handler> router =
        boost::make_shared<httprtsp::request_handler>();
    boost::shared_ptr<named_handler> root = boost::make_shared<named_handler>("root");
    boost::shared_ptr<named_handler> longer = boost::make_shared<named_handler>("longer");
    router->add_route("/", root);
    router->add_route("/longer", longer);
    serve(router);
    EXPECT_EQ("longer", route("/longer"));
    client->close_connection(); // the server's side sees the end of the stream: an error
    ASSERT_TRUE(conn_test::wait_for(
        [&] { return root->close_notices == 1 && longer->close_notices == 1; }));
    // A second notice could only come from a handler the server's connection still holds.
    ASSERT_TRUE(conn_test::wait_for([&] { return root->closed_connection_gone(); }));
    EXPECT_EQ(1, root->close_notices.load());
    EXPECT_EQ(1, longer->close_notices.load());
}

} // namespace
