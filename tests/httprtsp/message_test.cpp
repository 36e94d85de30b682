// Message model: wire images, header table, body and keep-alive rules, stock texts.
#include "httprtsp/src/message.hpp"
#include "httprtsp/src/message_format.hpp"

#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using namespace httprtsp;

std::string wire(const message& m) {
    std::string out;
    for (const boost::asio::const_buffer& b : m.to_buffers())
        out.append(static_cast<const char*>(b.data()), b.size());
    return out;
}

const std::string page_404 =
    "<html><head><title>Not Found</title></head><body><h1>404 Not Found</h1></body></html>";
const std::string page_500 =
    "<html><head><title>Internal Server Error</title></head><body><h1>500 Internal Server Error</h1></body></html>";

TEST(MessageWireTest, NotFoundReplyToHttp11Request) {
    request req("GET", "/x", "HTTP/1.1");
    reply rep(req);
    rep.set_status(404, true);
    EXPECT_EQ(
        "HTTP/1.1 404 Not Found\r\nconnection: Keep-Alive\r\ncontent-length: 85\r\ncontent-type: text/html\r\n\r\n" +
            page_404,
        wire(rep));
}

TEST(MessageWireTest, BodyAbsentEmptyAndPresent) {
    request none("POST", "/cometd", "HTTP/1.0");
    EXPECT_EQ("POST /cometd HTTP/1.0\r\n\r\n", wire(none));
    EXPECT_EQ(7u, none.to_buffers().size()) << "no body view without a body";

    request empty("POST", "/cometd", "HTTP/1.0");
    empty.set_body(std::string());
    EXPECT_EQ("POST /cometd HTTP/1.0\r\ncontent-length: 0\r\n\r\n", wire(empty));
    std::vector<boost::asio::const_buffer> views = empty.to_buffers();
    ASSERT_EQ(6u + 4u + 1u + 1u, views.size());
    EXPECT_EQ(0u, views.back().size()) << "an empty body is one zero-length view";

    request full("POST", "/cometd", "RTSP/1.1");
    full.add_header("Content-Type", "application/json");
    full.set_body("[{}]");
    EXPECT_EQ("POST /cometd RTSP/1.1\r\nconnection: Keep-Alive\r\ncontent-length: 4\r\n"
              "content-type: application/json\r\n\r\n[{}]",
              wire(full));
}

TEST(MessageWireTest, ViewsPointIntoTheMessageNotCopies) {
    boost::shared_ptr<std::vector<char>> bytes = boost::make_shared<std::vector<char>>(3, 'x');
    request req("PUT", "/a", "HTTP/1.1");
    req.set_body(bytes);
    std::vector<boost::asio::const_buffer> views = req.to_buffers();
    EXPECT_EQ(static_cast<const void*>(req.method().data()), views[0].data());
    EXPECT_EQ(static_cast<const void*>(req.uri().data()), views[2].data());
    EXPECT_EQ(static_cast<const void*>(bytes->data()), views.back().data());
    // The body is shared: later changes to the caller's vector show in the message.
    (*bytes)[0] = 'y';
    EXPECT_EQ("yxx", wire(req).substr(wire(req).size() - 3));
}

TEST(MessageWireTest, DuplicateHeadersInInsertionOrderAndByteOrderOfNames) {
    request req("GET", "/", "HTTP/1.0");
    req.add_header("X-B", "2");
    req.add_header("Accept", "first");
    req.add_header("x-b", "1");
    req.add_header("ACCEPT", "second");
    EXPECT_EQ("GET / HTTP/1.0\r\naccept: first\r\naccept: second\r\nx-b: 2\r\nx-b: 1\r\n\r\n",
              wire(req));
    req.remove_header("Accept");
    EXPECT_EQ("GET / HTTP/1.0\r\nx-b: 2\r\nx-b: 1\r\n\r\n", wire(req));
    req.remove_header("absent");
    EXPECT_EQ(2u, req.headers().size());
}

TEST(MessageHeadersTest, FindIsCaseInsensitiveAndValuesKeepTheirCase) {
    reply rep;
    rep.add_header("Content-Type", "a");
    message::header_map::iterator it = rep.find_header("CONTENT-TYPE");
    ASSERT_NE(rep.headers().end(), it);
    EXPECT_EQ("content-type", it->first);
    EXPECT_EQ("a", it->second);
    EXPECT_EQ(rep.headers().end(), rep.find_header("content"));
    EXPECT_EQ(rep.headers().end(), rep.find_header("content-typex"));
    rep.add_header("Mixed", "VaLuE");
    EXPECT_EQ("VaLuE", rep.find_header("mixed")->second);
}

TEST(MessageBodyTest, SetBodyKeepsExactlyOneContentLength) {
    request req("POST", "/", "HTTP/1.0");
    req.add_header("Content-Length", "999");
    req.add_header("Content-Length", "998");
    req.set_body("12345");
    req.set_body("abc");
    EXPECT_EQ(1u, req.headers().count("content-length"));
    EXPECT_EQ(3, req.content_length());
    EXPECT_EQ("abc", std::string(req.body()->begin(), req.body()->end()));
}

TEST(MessageBodyTest, ContentLengthConversion) {
    struct row {
        const char* value;
        bool throws;
        int expected;
    } rows[] = {
        {"0", false, 0},         {"-5", false, -5},
        {"+7", false, 7},        {"2147483647", false, 2147483647},
        {"12abc", true, 0},      {" 12", true, 0},
        {"", true, 0},           {"12 ", true, 0},
        {"2147483648", true, 0}, {"0x10", true, 0},
        {"--1", true, 0},
    };
    for (const row& r : rows) {
        reply rep;
        rep.add_header("Content-Length", r.value);
        if (r.throws) {
            EXPECT_THROW(rep.content_length(), boost::bad_lexical_cast) << r.value;
        } else {
            EXPECT_EQ(r.expected, rep.content_length()) << r.value;
        }
    }
    EXPECT_EQ(0, reply().content_length());
}

TEST(MessageConstructionTest, AutomaticConnectionHeader) {
    struct row {
        const char* protocol;
        bool request_gets_it;
        bool reply_gets_it;
    } rows[] = {
        {"HTTP/1.1", true, true},  {"HTTP/1.0", false, false}, {"RTSP/1.1", true, false},
        {"RTSP/1.0", true, false}, {"HTTP/1.10", false, true}, {"http/1.1", false, false},
        {"", false, false},
    };
    for (const row& r : rows) {
        request req("GET", "/", r.protocol);
        EXPECT_EQ(r.request_gets_it ? 1u : 0u, req.headers().size()) << r.protocol;
        if (r.request_gets_it) {
            EXPECT_EQ("Keep-Alive", req.find_header("Connection")->second);
        }
        EXPECT_TRUE(req.keep_alive()) << "a request always keeps the connection";
        EXPECT_FALSE(req.body());
        EXPECT_EQ(boost::asio::ip::tcp::endpoint(), req.local_endpoint());
        EXPECT_EQ(boost::asio::ip::tcp::endpoint(), req.remote_endpoint());
        reply rep(req);
        EXPECT_EQ(std::string(r.protocol), rep.protocol());
        EXPECT_EQ(r.reply_gets_it ? 1u : 0u, rep.headers().size()) << r.protocol;
    }
    reply plain;
    EXPECT_TRUE(plain.protocol().empty());
    EXPECT_TRUE(plain.headers().empty());
}

TEST(MessageKeepAliveTest, ReplyRules) {
    struct row {
        const char* protocol;
        std::vector<const char*> connection_values;
        bool expected;
    } rows[] = {
        {"HTTP/1.1", {}, true},
        {"HTTP/1.1", {"Close"}, false},
        {"HTTP/1.1", {"close"}, false},
        {"HTTP/1.1", {"closed"}, true},
        {"HTTP/1.0", {}, false},
        {"HTTP/1.0", {"keep-alive"}, true},
        {"HTTP/1.0", {"KEEP-ALIVE"}, true},
        {"HTTP/1.0", {"upgrade", "close", "keep-alive"}, false},
        {"HTTP/1.0", {"keep-alive", "close"}, true},
        {"RTSP/1.0", {"close"}, true},
        {"RTSP/1.1", {}, true},
        {"FOO/1.1", {"keep-alive"}, false},
        {"", {}, false},
    };
    for (const row& r : rows) {
        reply rep;
        rep.protocol() = r.protocol;
        for (const char* v : r.connection_values)
            rep.add_header("Connection", v);
        EXPECT_EQ(r.expected, rep.keep_alive())
            << r.protocol << " with " << r.connection_values.size();
    }
    request rtsp("SETUP", "rtsp://h/s", "RTSP/1.1");
    reply from_rtsp(rtsp);
    EXPECT_TRUE(from_rtsp.headers().empty());
    EXPECT_TRUE(from_rtsp.keep_alive());
}

TEST(MessageStatusTest, SetStatusOnlyAddsPageOverHttp) {
    request rtsp("PLAY", "/", "RTSP/1.1");
    reply r1(rtsp);
    r1.set_status(404, true);
    EXPECT_EQ(404u, r1.status());
    EXPECT_TRUE(r1.headers().empty());
    EXPECT_FALSE(r1.body());

    reply r2;
    r2.protocol() = "HTTP/1.0";
    r2.set_status(500, true);
    r2.set_status(400, true);
    EXPECT_EQ(2u, r2.headers().count("content-type")) << "each call adds another Content-Type";
    EXPECT_EQ(1u, r2.headers().count("content-length"));
    EXPECT_EQ(stock_body(400), std::string(r2.body()->begin(), r2.body()->end()));

    reply r3;
    r3.protocol() = "HTTP/1.1";
    r3.set_status(200, false);
    EXPECT_TRUE(r3.headers().empty());
    EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", wire(r3));
}

TEST(MessageStatusTest, StatusLinesAndStockPages) {
    EXPECT_EQ("500 Internal Server Error", status_line(999));
    EXPECT_EQ("500 Internal Server Error", status_line(-1));
    EXPECT_EQ("307 Temporay Redirect", status_line(307));
    EXPECT_EQ("455 Method Not Valid In This State", status_line(455));
    EXPECT_EQ("", stock_body(200));
    EXPECT_EQ("", stock_body(101));
    EXPECT_EQ(page_500, stock_body(455));
    EXPECT_EQ(page_500, stock_body(0));
    EXPECT_EQ(
        "<html><head><title>Temporary Redirect</title></head><body><h1>307 Temporary Redirect</h1></body></html>",
        stock_body(307));
    EXPECT_EQ(
        "<html><head><title>No Content</title></head><body><h1>204 Content</h1></body></html>",
        stock_body(204));
    EXPECT_EQ(
        "<html><head><title>See other</title></head><body><h1>303 See Other</h1></body></html>",
        stock_body(303));
    // Every code in the table starts its status line with its own number.
    for (int code : {101, 200, 201, 202, 204, 300, 301, 302, 303, 304,
                     307, 400, 401, 403, 404, 455, 500, 501, 502, 503})
        EXPECT_EQ(std::to_string(code) + " ", status_line(code).substr(0, 4));
    EXPECT_EQ(&status_line(404), &status_line(404)) << "process-wide constants, not copies";
}

TEST(MessageDumpTest, RequestAndReply) {
    request req("GET", "/a", "HTTP/1.1");
    EXPECT_EQ(
        "httprtsp::request[method: GET, uri: /a, protocol: HTTP/1.1, header: [[connection, Keep-Alive]], body: ]",
        req.to_string());
    req.set_body(std::string());
    EXPECT_EQ(
        "httprtsp::request[method: GET, uri: /a, protocol: HTTP/1.1, header: [[connection, Keep-Alive]"
        "[content-length, 0]], body: ]",
        req.to_string());
    reply rep;
    rep.protocol() = "RTSP/1.0";
    rep.status() = 200;
    rep.add_header("CSeq", "3");
    rep.set_body("ok");
    EXPECT_EQ(
        "httprtsp::reply[status: 200, protocol: RTSP/1.0, header: [[content-length, 2][cseq, 3]], body: ok]",
        rep.to_string());
}

TEST(MessageConstantsTest, Vocabulary) {
    // On the wire as peers spell them: header names in lower case, methods and values as
    // they are.
    request del(method_names::delete_, "/x", "HTTP/1.0");
    del.add_header(header_names::cseq, "3");
    del.add_header(header_names::unicast_client_port, "5000");
    del.add_header(header_names::sec_websocket_origin, "o");
    del.add_header(header_names::connection, header_names::close);
    del.add_header(header_names::content_type, text_html);
    EXPECT_EQ("DELETE /x HTTP/1.0\r\nconnection: close\r\ncontent-type: text/html\r\ncseq: 3\r\n"
              "sec-websocket-origin: o\r\nunicast_client_port: 5000\r\n\r\n",
              wire(del));
    request get(method_names::get_parameter, "*", "HTTP/1.0");
    get.add_header(header_names::connection, header_names::keep_alive);
    get.set_body("ab");
    EXPECT_EQ("GET_PARAMETER * HTTP/1.0\r\nconnection: Keep-Alive\r\ncontent-length: 2\r\n\r\nab",
              wire(get));
}

// Header storage of destroyed messages is reused by the next parsed ones: nothing of an earlier
// message may show through, whatever was destroyed where.
boost::shared_ptr<message> parse_one(httprtsp_message_format& format, const std::string& text) {
    auto result = format.parse(text.data(), text.data() + text.size());
    EXPECT_TRUE(static_cast<bool>(result.get<0>())) << text;
    EXPECT_EQ(text.data() + text.size(), result.get<1>()) << text;
    return result.get<2>();
}

TEST(MessageStorageReuseTest, ParsedMessagesShowNothingOfEarlierOnes) {
    httprtsp_message_format format;
    const std::string long_value(300, 'v');
    const std::string first = "HTTP/1.1 200 OK\r\nX-Long: " + long_value +
                              "\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\nServer: " + long_value +
                              "\r\nContent-Length: 2\r\n\r\nok";
    const std::string second =
        "POST /x RTSP/1.0\r\nSet-Cookie: z\r\nCSeq: 7\r\nSet-Cookie: y\r\n\r\n";
    request expected("POST", "/x", "");
    expected.protocol() = "RTSP/1.0";
    expected.add_header("Set-Cookie", "z");
    expected.add_header("CSeq", "7");
    expected.add_header("Set-Cookie", "y");

    parse_one(format, first).reset(); // its entries are left for the next message
    boost::shared_ptr<message> kept = parse_one(format, second);
    EXPECT_EQ(expected.headers(), kept->headers());
    EXPECT_EQ(wire(expected), wire(*kept));

    // A third message parsed while the second lives, then the first again: each exactly its own.
    boost::shared_ptr<message> third = parse_one(format, "HTTP/1.0 204 No Content\r\nA: 1\r\n\r\n");
    ASSERT_EQ(1u, third->headers().size());
    EXPECT_EQ("1", third->find_header("a")->second);
    third.reset();
    boost::shared_ptr<message> again = parse_one(format, first);
    EXPECT_EQ(5u, again->headers().size());
    EXPECT_EQ(long_value, again->find_header("server")->second);
    EXPECT_EQ(2u, again->headers().count("set-cookie"));
    EXPECT_EQ("a=1", again->find_header("set-cookie")->second);
    EXPECT_EQ(expected.headers(), kept->headers());

    // Messages built by hand, destroyed on a thread that ends (its kept entries go with it), or
    // with more entries than are worth keeping.
    boost::shared_ptr<request> built = boost::make_shared<request>("GET", "/", "HTTP/1.1");
    built->add_header("Host", "h");
    std::thread([&built] { built.reset(); }).join();
    {
        request many("GET", "/", "HTTP/1.1");
        for (int i = 0; i < 500; ++i)
            many.add_header("X-" + std::to_string(i), std::string(100, 'x'));
    }
    boost::shared_ptr<message> last = parse_one(format, second);
    EXPECT_EQ(expected.headers(), last->headers());
}

} // namespace
