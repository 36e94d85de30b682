// Attacks httprtsp_serve on loopback and prints, per attack, the server's peak RSS and
// descriptor count and whether a well-behaved request is answered within 1 s during and after.
//
//   bench_hostile <port> <server pid>
#include "tools/httprtsp_serve/sha256.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock clock_type;
unsigned short port;
int server_pid;

int open_socket(bool blocking) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    if (!blocking)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Sends what the socket takes before the deadline; returns the bytes sent.
std::size_t send_until(int fd, const std::string& bytes, clock_type::time_point deadline) {
    std::size_t at = 0;
    while (at < bytes.size() && clock_type::now() < deadline) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        at += static_cast<std::size_t>(n);
    }
    return at;
}

// Reads until the stream ends, the deadline passes or `enough` says so.
std::string read_until(int fd, clock_type::time_point deadline,
                       const std::function<bool(const std::string&)>& enough) {
    std::string out;
    char buffer[65536];
    while (clock_type::now() < deadline && !enough(out)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0)
            break;
        if (n > 0)
            out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

bool has_reply(const std::string& s) {
    return s.find("\r\n\r\n") != std::string::npos;
}

// A well-behaved request on a fresh connection, answered 200 within one second.
bool well_behaved() {
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(1);
    const int fd = open_socket(false);
    if (fd < 0)
        return false;
    const std::string req = "GET /echo HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
    send_until(fd, req, deadline);
    const std::string reply = read_until(fd, deadline, has_reply);
    ::close(fd);
    return reply.compare(0, 15, "HTTP/1.1 200 OK") == 0 && has_reply(reply);
}

long rss_kib() {
    std::ifstream in("/proc/" + std::to_string(server_pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

int descriptors() {
    DIR* d = ::opendir(("/proc/" + std::to_string(server_pid) + "/fd").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (::readdir(d))
        ++n;
    ::closedir(d);
    return n - 2;
}

struct figures {
    long peak_rss_kib = 0;
    int peak_fds = 0;
    bool during = true;
};

// Runs the attack while sampling the server and asking a well-behaved request now and then.
void run(const char* name, const std::function<std::string()>& attack) {
    figures f;
    std::atomic<bool> done(false);
    std::thread sampler([&] {
        int probes = 0;
        while (!done) {
            f.peak_rss_kib = std::max(f.peak_rss_kib, rss_kib());
            f.peak_fds = std::max(f.peak_fds, descriptors());
            if (++probes % 10 == 0 && !well_behaved())
                f.during = false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const std::string note = attack();
    done = true;
    sampler.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const bool after = well_behaved();
    const double mib = static_cast<double>(f.peak_rss_kib) / 1024.0;
    std::printf("%-34s peak RSS %7.1f MiB (goal <= 64) %s | fds %5d | answered during %-3s after "
                "%-3s (goal yes) %s | %s\n",
                name, mib, mib <= 64 ? "met" : "MISSED", f.peak_fds, f.during ? "yes" : "no",
                after ? "yes" : "no", f.during && after ? "met" : "MISSED", note.c_str());
    std::fflush(stdout);
}

std::vector<int> open_many(int count, bool blocking) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = open_socket(blocking);
        if (fd < 0)
            break;
        fds.push_back(fd);
    }
    return fds;
}

void close_all(std::vector<int>& fds) {
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

std::string huge_headers() {
    std::vector<int> fds = open_many(6, false);
    const std::string value(64 * 1024 * 1024, 'a');
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(4);
    std::vector<std::thread> senders;
    for (int fd : fds)
        senders.emplace_back([fd, &value, deadline] {
            send_until(fd, "GET /echo HTTP/1.1\r\nX-Big: " + value, deadline);
        });
    for (auto& t : senders)
        t.join();
    close_all(fds);
    return "six 64 MiB header values";
}

std::string pipelined_non_reader() {
    std::string many;
    const std::string one = "GET /echo HTTP/1.1\r\nA: b\r\n\r\n"; // 30 bytes
    for (int i = 0; i < 1000000; ++i)
        many += one;
    const int fd = open_socket(false);
    const std::size_t sent = send_until(fd, many, clock_type::now() + std::chrono::seconds(4));
    ::close(fd);
    return "sent " + std::to_string(sent / one.size()) + " of 1000000 requests, read none";
}

std::string idle_connections() {
    std::vector<int> fds = open_many(12000, true);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::size_t n = fds.size();
    close_all(fds);
    return std::to_string(n) + " idle connections opened";
}

std::string announced_bodies() {
    std::vector<int> fds = open_many(40, false);
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(3);
    const std::string head = "POST /echo HTTP/1.1\r\nContent-Length: 2147483000\r\n\r\n";
    const std::string chunk(1024 * 1024, 'b');
    for (int fd : fds)
        send_until(fd, head, deadline);
    for (int round = 0; round < 4; ++round)
        for (int fd : fds)
            send_until(fd, chunk,
                       std::min(deadline, clock_type::now() + std::chrono::milliseconds(20)));
    close_all(fds);
    return "40 connections announcing 2 GiB bodies";
}

std::string half_close() {
    const std::string body(4 * 1024 * 1024, 'e');
    const int fd = open_socket(false);
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(5);
    send_until(fd,
               "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body,
               deadline);
    ::shutdown(fd, SHUT_WR);
    const std::string reply = read_until(fd, deadline, [](const std::string&) { return false; });
    ::close(fd);
    const bool whole = reply.size() > body.size() &&
                       reply.compare(reply.size() - body.size(), body.size(), body) == 0;
    return std::string("4 MiB echo then half-close: reply ") + (whole ? "whole" : "CUT") +
           " (goal whole)";
}

// Uploads the server reported complete: each must match what was sent byte for byte.
std::string uploads() {
    int reported = 0, lying = 0;
    auto upload = [&](const std::string& content, bool chunked, bool split_last, bool cut) {
        const std::string body = "--b\r\nContent-Disposition: form-data; name=\"f\"; "
                                 "filename=\"x\"\r\n\r\n" +
                                 content + "\r\n--b--\r\n";
        std::string req =
            "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n";
        std::string tail;
        if (chunked) {
            char size[16];
            std::snprintf(size, sizeof size, "%zx\r\n", body.size());
            req += "Transfer-Encoding: chunked\r\n\r\n" + std::string(size) + body + "\r\n";
            tail = "0\r\n\r\n";
        } else {
            req += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        }
        if (cut)
            req.resize(req.size() / 2);
        const int fd = open_socket(false);
        const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(2);
        send_until(fd, req, deadline);
        if (split_last)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        send_until(fd, tail, deadline);
        std::string reply;
        if (!cut)
            reply = read_until(fd, deadline, [](const std::string& s) {
                const std::size_t end = s.find("\r\n\r\n");
                return end != std::string::npos && s.find('\n', end + 4) != std::string::npos;
            });
        ::close(fd);
        if (reply.compare(0, 15, "HTTP/1.1 200 OK") != 0)
            return;
        ++reported;
        httprtsp_serve::sha256 digest;
        digest.update(content.data(), content.size());
        const std::string expected =
            std::to_string(content.size()) + " " + digest.hex_digest() + "\n";
        if (reply.compare(reply.size() - expected.size(), expected.size(), expected) != 0)
            ++lying;
    };
    upload(std::string(100000, 'u'), false, false, false);
    upload(std::string(50000, 'c'), true, true, false);  // last chunk in a later read
    upload(std::string(70000, 'x'), false, false, true); // cut off
    {
        // A POST that streamed nothing right after.
        const int fd = open_socket(false);
        const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(1);
        send_until(fd, "POST /upload HTTP/1.1\r\nContent-Length: 0\r\n\r\n", deadline);
        const std::string reply = read_until(fd, deadline, has_reply);
        ::close(fd);
        if (reply.compare(0, 15, "HTTP/1.1 200 OK") == 0) {
            ++reported;
            ++lying;
        }
    }
    // Two at once.
    std::thread a([&] { upload(std::string(3000000, '1'), false, false, false); });
    std::thread b([&] { upload(std::string(3000000, '2'), false, false, false); });
    a.join();
    b.join();
    return std::to_string(reported) + " uploads reported complete, " + std::to_string(lying) +
           " not byte-identical (goal 0) " + (lying == 0 ? "met" : "MISSED");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_hostile <port> <server pid>\n");
        return 2;
    }
    port = static_cast<unsigned short>(std::atoi(argv[1]));
    server_pid = std::atoi(argv[2]);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    run("six 64 MiB headers", huge_headers);
    run("1M pipelined requests, no reads", pipelined_non_reader);
    run("12,000 idle connections", idle_connections);
    run("40 x 2 GiB announced bodies", announced_bodies);
    run("half-close after 4 MiB /echo", half_close);
    run("uploads", uploads);
    return 0;
}
