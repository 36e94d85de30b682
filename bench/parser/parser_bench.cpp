// Our incremental parser against Boost.Beast's http parser on the same in-memory corpora.
#include "bench/common/machine.hpp"
#include "httprtsp/src/message_format.hpp"

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace http = boost::beast::http;

namespace {

struct tally {
    std::size_t messages = 0;
    std::size_t body_bytes = 0;
};

std::string json_body(std::size_t i, std::size_t size) {
    std::string b = "{\"channel\":\"/service/velquin/commands\",\"id\":\"" + std::to_string(i) +
                    "\",\"successful\":true,\"data\":{\"path\":\"$.inputs[0].gain\",\"value\":";
    while (b.size() + 3 < size)
        b += "7";
    return b + "}}\n";
}

// C1: replies with five headers and a JSON body of about 250 bytes.
std::string corpus_c1() {
    std::string out;
    for (std::size_t i = 0; i < 10000; ++i) {
        const std::string body = json_body(i, 240 + i % 20);
        out +=
            "HTTP/1.1 200 OK\r\nContent-Type: application/json;charset=UTF-8\r\nContent-Length: " +
            std::to_string(body.size()) +
            "\r\nConnection: keep-alive\r\nServer: Jetty(9.4.z-SNAPSHOT)\r\nDate: Mon, 07 Dec 2026 05:44:24 GMT\r\n\r\n" +
            body;
    }
    return out;
}

// C2: replies with 1 MiB bodies by Content-Length.
std::string corpus_c2() {
    std::string body(1 << 20, 'x');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>('a' + (i * 131) % 26);
    std::string out;
    out.reserve(200 * (body.size() + 128));
    for (int i = 0; i < 200; ++i)
        out += "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    return out;
}

// C3: Bayeux POSTs over RTSP/1.1 with twelve browser-like headers and a 60-byte body.
std::string corpus_c3(const std::string& protocol) {
    std::string out;
    for (std::size_t i = 0; i < 10000; ++i) {
        std::string body =
            "[{\"channel\":\"/meta/connect\",\"clientId\":\"" + std::to_string(100000 + i) + "\"}]";
        body.resize(60, ' ');
        out +=
            "POST /cometd " + protocol +
            "\r\nHost: 192.168.1.20:8080\r\n"
            "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
            "Chrome/120.0.0.0 Safari/537.36\r\n"
            "Accept: application/json, text/javascript, */*; q=0.01\r\n"
            "Accept-Language: en-US,en;q=0.9,de;q=0.8\r\n"
            "Accept-Encoding: gzip, deflate\r\n"
            "Content-Type: application/json;charset=UTF-8\r\n"
            "Origin: http://192.168.1.20:8080\r\n"
            "Referer: http://192.168.1.20:8080/index.html\r\n"
            "Connection: keep-alive\r\n"
            "Cookie: BAYEUX_BROWSER=4f1a-abc123def456; session=xyz\r\n"
            "X-Requested-With: XMLHttpRequest\r\n"
            "Content-Length: 60\r\n\r\n" +
            body;
    }
    return out;
}

tally ours(const std::string& data) {
    tally t;
    httprtsp::httprtsp_message_format format;
    const char* p = data.data();
    const char* end = data.data() + data.size();
    while (p != end) {
        boost::tuple<boost::tribool, const char*, boost::shared_ptr<httprtsp::message>> r =
            format.parse(p, end);
        if (!r.get<0>()) {
            std::fprintf(stderr, "our parser rejected the corpus\n");
            std::exit(1);
        }
        ++t.messages;
        if (r.get<2>()->body())
            t.body_bytes += r.get<2>()->body()->size();
        p = r.get<1>();
    }
    return t;
}

template <bool IsRequest>
tally beast(const std::string& data) {
    tally t;
    const char* p = data.data();
    const char* end = data.data() + data.size();
    while (p != end) {
        http::parser<IsRequest, http::string_body> parser;
        parser.eager(true);
        parser.body_limit(std::uint64_t(1) << 30);
        boost::beast::error_code ec;
        while (!parser.is_done()) {
            const std::size_t used =
                parser.put(boost::asio::const_buffer(p, static_cast<std::size_t>(end - p)), ec);
            if (ec) {
                std::fprintf(stderr, "beast rejected the corpus: %s\n", ec.message().c_str());
                std::exit(1);
            }
            p += used;
        }
        ++t.messages;
        t.body_bytes += parser.get().body().size();
    }
    return t;
}

// CPU seconds of this thread for one run (less disturbed by other work on a shared machine).
double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double seconds_of(const std::string& data, const std::function<tally(const std::string&)>& run,
                  tally& result) {
    const double start = thread_seconds();
    result = run(data);
    return thread_seconds() - start;
}

bool compare(const char* name, const std::string& our_data, const std::string& beast_data,
             const std::function<tally(const std::string&)>& beast_run, double goal, int rounds) {
    // The two parsers take turns, so a busy machine slows both alike; best of the rounds each.
    tally a, b;
    double ours_best = 1e30, beast_best = 1e30;
    for (int round = 0; round < rounds; ++round) {
        ours_best = std::min(ours_best, seconds_of(our_data, ours, a));
        beast_best = std::min(beast_best, seconds_of(beast_data, beast_run, b));
    }
    const double ours_mbs = static_cast<double>(our_data.size()) / ours_best / 1e6;
    const double beast_mbs = static_cast<double>(beast_data.size()) / beast_best / 1e6;
    if (a.messages != b.messages || a.body_bytes != b.body_bytes) {
        std::fprintf(stderr, "%s: parsers disagree (%zu/%zu messages, %zu/%zu body bytes)\n", name,
                     a.messages, b.messages, a.body_bytes, b.body_bytes);
        return false;
    }
    const double ratio = ours_mbs / beast_mbs;
    std::printf(
        "%-3s %6zu messages %8.1f MB  httprtsp %8.1f MB/s  beast %8.1f MB/s  ratio %.2f (goal >= %.1f) %s\n",
        name, a.messages, static_cast<double>(our_data.size()) / 1e6, ours_mbs, beast_mbs, ratio,
        goal, ratio >= goal ? "met" : "MISSED");
    return true;
}

using bench::print_machine;

} // namespace

int main(int argc, char** argv) {
    // Optional arguments pick corpora (C1, C2, C3); default all.
    auto wanted = [&](const char* name) {
        if (argc < 2)
            return true;
        for (int i = 1; i < argc; ++i)
            if (std::string(argv[i]) == name)
                return true;
        return false;
    };
    std::printf(
        "Parser throughput, whole corpus in memory, thread CPU time, best of alternating rounds (peer: Boost.Beast http::parser, string_body)\n");
    print_machine();
    bool ok = true;
    if (wanted("C1")) {
        const std::string c1 = corpus_c1();
        ok &= compare("C1", c1, c1, beast<false>, 0.8, 25);
    }
    if (wanted("C2")) {
        const std::string c2 = corpus_c2();
        ok &= compare("C2", c2, c2, beast<false>, 1.0, 5);
    }
    if (wanted("C3")) {
        const std::string c3 = corpus_c3("RTSP/1.1");
        const std::string c3_beast = corpus_c3("HTTP/1.1");
        ok &= compare("C3", c3, c3_beast, beast<true>, 0.8, 25);
    }
    std::printf(
        "C3: Beast does not accept \"RTSP/1.1\" request lines, so it parses the same bytes with \"HTTP/1.1\".\n");
    return ok ? 0 : 1;
}
