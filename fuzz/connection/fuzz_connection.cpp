// A connection with an upload handler fed fuzzer bytes in fuzzer-chosen read sizes.
//
// Input: byte 0 gives the number n (0..31) of read sizes that follow in its low five bits, and
// in its high three bits k: 0 reads like a client connection (no body limit), 1..7 serves the
// stream like an accepted connection with small parser limits scaled by k. Sizes cycle over
// the rest of the input, which is the byte stream (a size byte of 0 means 8192).
#include "httprtsp/src/connection.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/make_shared.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

class fuzz_upload_handler : public httprtsp::upload_temp_file_request_handler {
public:
    explicit fuzz_upload_handler(const std::string& path) : path_(path) {}
    void handle_request(boost::shared_ptr<httprtsp::connection> conn,
                        boost::shared_ptr<httprtsp::request> req) override {
        if (!req)
            return;
        if (req->uri() == "/throw")
            throw std::runtime_error("handler failed");
        boost::shared_ptr<httprtsp::reply> rep = boost::make_shared<httprtsp::reply>(*req);
        rep->set_status(200, false);
        if (req->body())
            rep->set_body(req->body());
        conn->send(rep);
    }
    std::string upload_uri() override { return "/upload"; }
    std::string temp_file_path() override { return path_; }
    void upload_progress(int percent, const std::string&) override {
        if (percent < 0 || percent > 100)
            __builtin_trap();
    }
    void upload_failed(int code) override {
        if (code < 1 || code > 4)
            __builtin_trap();
    }

private:
    std::string path_;
};

// Small enough that fuzzer inputs reach every limit.
httprtsp::connection::server_limits served_limits(unsigned k) {
    httprtsp::connection::server_limits limits;
    limits.parser.start_line = 8 * k;
    limits.parser.header_line = 16 * k;
    limits.parser.header_block = 48 * k;
    limits.parser.header_lines = k;
    limits.parser.body = 32 * k;
    limits.max_unsent = 256 * k;
    return limits;
}

std::string temp_path() {
    return "/tmp/fuzz_connection_" + std::to_string(getpid()) + ".bin";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The connection logs every rejected input; keep the fuzzer's output readable.
    if (!std::freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t count = std::min<std::size_t>(data[0] & 31, size - 1);
    std::vector<std::size_t> reads;
    for (std::size_t i = 0; i < count; ++i)
        reads.push_back(data[1 + i] ? data[1 + i] : 8192);
    if (reads.empty())
        reads.push_back(8192);
    const char* stream = reinterpret_cast<const char*>(data) + 1 + count;
    std::size_t left = size - 1 - count;

    static const std::string path = temp_path();
    boost::shared_ptr<boost::asio::io_service> io = boost::make_shared<boost::asio::io_service>();
    {
        boost::shared_ptr<httprtsp::connection> conn = boost::make_shared<httprtsp::connection>(
            io, boost::make_shared<fuzz_upload_handler>(path));
        conn->socket().open(boost::asio::ip::tcp::v4()); // open, so requests are dispatched
        if (const unsigned k = data[0] >> 5)
            conn->serve(served_limits(k), nullptr);
        for (std::size_t i = 0; left != 0; ++i) {
            const std::size_t piece = std::min(left, reads[i % reads.size()]);
            conn->receive(stream, piece);
            stream += piece;
            left -= piece;
        }
        conn->close(); // a served connection's timer would keep it alive
    }
    // Replies went to an unconnected socket: run their completions so that nothing keeps
    // the connection alive.
    io->restart();
    io->poll();
    return 0;
}
