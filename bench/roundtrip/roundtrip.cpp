// Sequential requests on one keep-alive connection to a loopback peer: our client (pool of
// 3 I/O threads, issue_request) against a Boost.Beast synchronous client, same peer, same run.
//
//   bench_roundtrip <port> [requests] [I/O threads, default 3 as velquin_publish uses]
//                   [rounds, default 3]
#include "bench/common/machine.hpp"
#include "httprtsp/src/client.hpp"
#include "httprtsp/src/io_service_helper.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

class no_requests : public httprtsp::request_handler_base {
public:
    void handle_request(boost::shared_ptr<httprtsp::connection>,
                        boost::shared_ptr<httprtsp::request>) override {}
};

const char body_text[] =
    "{\"channel\":\"/meta/connect\",\"clientId\":\"abc\",\"connectionType\":\"long-polling\"}";

double ours(const std::string& port, int count, std::size_t threads) {
    io_service_pool pool(threads);
    httprtsp::client client("127.0.0.1", port, boost::make_shared<no_requests>(),
                            pool.get_io_service());
    auto make = [&] {
        boost::shared_ptr<httprtsp::request> req =
            boost::make_shared<httprtsp::request>("POST", "/echo", "HTTP/1.1");
        req->add_header("Host", "127.0.0.1");
        req->set_body(body_text);
        return req;
    };
    if (!client.issue_request(make()))
        return 0; // connect outside the timing
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        boost::shared_ptr<httprtsp::reply> rep = client.issue_request(make());
        if (!rep || rep->status() != 200) {
            std::fprintf(stderr, "our client: request %d failed\n", i);
            return 0;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    client.close_connection();
    pool.stop();
    return count / seconds;
}

double beast(const std::string& port, int count) {
    namespace http = boost::beast::http;
    boost::asio::io_context io;
    boost::asio::ip::tcp::resolver resolver(io);
    boost::asio::ip::tcp::socket socket(io);
    boost::asio::connect(socket, resolver.resolve("127.0.0.1", port));
    boost::beast::flat_buffer buffer;
    auto once = [&] {
        http::request<http::string_body> req(http::verb::post, "/echo", 11);
        req.set(http::field::host, "127.0.0.1");
        req.keep_alive(true);
        req.body() = body_text;
        req.prepare_payload();
        http::write(socket, req);
        http::response<http::string_body> res;
        http::read(socket, buffer, res);
        return res.result_int() == 200;
    };
    if (!once())
        return 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
        if (!once()) {
            std::fprintf(stderr, "beast: request %d failed\n", i);
            return 0;
        }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    boost::system::error_code ignored;
    socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    return count / seconds;
}

using bench::print_machine;

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_roundtrip <port> [requests] [I/O threads] [rounds]\n");
        return 1;
    }
    const std::string port = argv[1];
    const int count = argc > 2 ? std::atoi(argv[2]) : 20000;
    const std::size_t threads = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 3;
    const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    // Alternate and keep the best round of each, so that neither side gets the quieter
    // moment of a shared machine.
    double a = 0, b = 0;
    for (int round = 0; round < rounds; ++round) {
        a = std::max(a, ours(port, count, threads));
        b = std::max(b, beast(port, count));
    }
    std::printf("round trips: %d sequential POSTs on one keep-alive connection, loopback peer, "
                "best of %d alternating rounds\n",
                count, rounds);
    print_machine();
    std::printf("  httprtsp::client : %9.0f requests/s  (%zu I/O threads)\n", a, threads);
    std::printf("  Beast sync client: %9.0f requests/s\n", b);
    const double ratio = b > 0 ? a / b : 0.0;
    std::printf("  ratio ours/Beast : %.2f  (goal >= 0.80) %s\n", ratio,
                ratio >= 0.8 ? "met" : "MISSED");
    return a > 0 && b > 0 ? 0 : 1;
}
