// Replies captured once from real servers on loopback (tests/data/capture_replies.py).
#include "httprtsp/src/message_format.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace httprtsp;

std::string read_vector(const std::string& name) {
    const char* root = std::getenv("VQ_SOURCE_DIR");
    std::ifstream in(std::string(root ? root : ".") + "/tests/data/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

boost::shared_ptr<reply> parse_whole(const std::string& data, std::size_t piece) {
    httprtsp_message_format format;
    const char* p = data.data();
    const char* end = data.data() + data.size();
    while (p != end) {
        const char* e = std::min(end, p + piece);
        boost::tuple<boost::tribool, const char*, boost::shared_ptr<message>> r =
            format.parse(p, e);
        if (!boost::indeterminate(r.get<0>())) {
            EXPECT_TRUE(bool(r.get<0>()));
            EXPECT_EQ(end, r.get<1>()) << "the reply ends where the server closed";
            return boost::dynamic_pointer_cast<reply>(r.get<2>());
        }
        p = r.get<1>();
    }
    ADD_FAILURE() << "reply incomplete";
    return boost::shared_ptr<reply>();
}

std::string body_of(const boost::shared_ptr<reply>& r) {
    return std::string(r->body()->begin(), r->body()->end());
}

TEST(CapturedRepliesTest, PythonHttpServerFile) {
    const std::string data = read_vector("python_http_server_file.bin");
    for (std::size_t piece : {data.size(), std::size_t(1), std::size_t(7), std::size_t(64)}) {
        boost::shared_ptr<reply> r = parse_whole(data, piece);
        ASSERT_TRUE(r);
        EXPECT_EQ(200u, r->status());
        EXPECT_EQ("HTTP/1.0", r->protocol());
        EXPECT_EQ("application/json", r->find_header("Content-Type")->second);
        EXPECT_EQ("{\"inputs\": [{\"name\": \"in1\", \"gain\": -3.5}], \"outputs\": []}\n",
                  body_of(r));
        EXPECT_FALSE(r->keep_alive()) << "HTTP/1.0 without keep-alive closes";
    }
}

TEST(CapturedRepliesTest, PythonHttpServerNotFound) {
    const std::string data = read_vector("python_http_server_404.bin");
    boost::shared_ptr<reply> r = parse_whole(data, 100);
    ASSERT_TRUE(r);
    EXPECT_EQ(404u, r->status());
    EXPECT_EQ(static_cast<int>(r->body()->size()), r->content_length());
    EXPECT_NE(std::string::npos, body_of(r).find("Error code: 404"));
    EXPECT_EQ("close", r->find_header("connection")->second);
}

TEST(CapturedRepliesTest, NodeChunkedReply) {
    const std::string data = read_vector("node_chunked_reply.bin");
    for (std::size_t piece : {data.size(), std::size_t(1), std::size_t(5)}) {
        boost::shared_ptr<reply> r = parse_whole(data, piece);
        ASSERT_TRUE(r);
        EXPECT_EQ(200u, r->status());
        EXPECT_EQ("[{\"channel\":\"/meta/handshake\",\"successful\":true,\"clientId\":\"abc123\"}]",
                  body_of(r));
        EXPECT_EQ(r->headers().end(), r->find_header("content-length"))
            << "chunked bodies get no Content-Length";
        EXPECT_FALSE(r->keep_alive()) << "Connection: close";
    }
}

} // namespace
