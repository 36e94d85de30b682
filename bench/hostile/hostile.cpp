// Attacks httprtsp_serve on loopback and prints, per attack, what it measured of the server:
// its peak RSS (VmHWM of /proc/PID/status, reset before each attack through
// /proc/PID/clear_refs), the most descriptors seen in /proc/PID/fd, and whether a well-behaved
// request was answered within 1 s during the attack and after it. A row that could not measure
// says so and fails (exit status 1).
//
//   bench_hostile --port P --pid N --upload-file F --max-upload BYTES --body-timeout S
//                 [--body-budget-mib M] [--row NAME]
//   bench_hostile --list
//
// Every row, or only the one named; --list names the rows. run.sh gives each row a fresh
// server, so that what one attack leaves behind does not count against the next. The server runs with its time-outs scaled down (run.sh says by how much); the slow attacks
// scale their pauses alike, so that a run shows in seconds what takes minutes at the defaults.
#include "bench/common/machine.hpp"
#include "tools/httprtsp_serve/sha256.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock clock_type;
typedef std::chrono::milliseconds ms;

unsigned short port;
int server_pid;
std::string upload_file;
std::uint64_t max_upload;
double body_timeout_s;
double body_budget_mib = 256;
// The server's default connection cap.
const int connection_cap = 4096;

// ---- sockets

// A loopback connection, connected within the deadline (the server may be at its cap with a
// full backlog), non-blocking; -1 when it could not be made.
int connect_by(clock_type::time_point deadline, int receive_buffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (receive_buffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        pollfd p{fd, POLLOUT, 0};
        const long left = std::chrono::duration_cast<ms>(deadline - clock_type::now()).count();
        int error = 0;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

// Sends what the socket takes before the deadline; returns the bytes sent.
std::size_t send_until(int fd, const char* data, std::size_t size,
                       clock_type::time_point deadline) {
    std::size_t at = 0;
    while (at < size && clock_type::now() < deadline) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::send(fd, data + at, size - at, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        at += static_cast<std::size_t>(n);
    }
    return at;
}

std::size_t send_until(int fd, const std::string& bytes, clock_type::time_point deadline) {
    return send_until(fd, bytes.data(), bytes.size(), deadline);
}

// Reads until the stream ends, the deadline passes or `enough` says so; `closed` tells
// whether the stream ended.
std::string read_until(int fd, clock_type::time_point deadline,
                       const std::function<bool(const std::string&)>& enough,
                       bool* closed = nullptr) {
    std::string out;
    char buffer[65536];
    if (closed)
        *closed = false;
    while (clock_type::now() < deadline && !enough(out)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            if (closed)
                *closed = true;
            break;
        }
    }
    return out;
}

bool never(const std::string&) {
    return false;
}

// True when the peer has closed (or reset) the connection.
bool closed_by_server(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Up to count connections, each sending `first` as soon as it is made.
std::vector<int> open_many(int count, clock_type::time_point deadline,
                           const std::string& first = std::string()) {
    std::vector<int> fds;
    for (int i = 0; i < count && clock_type::now() < deadline; ++i) {
        const int fd = connect_by(std::min(deadline, clock_type::now() + ms(1000)));
        if (fd < 0)
            break;
        if (!first.empty())
            ::send(fd, first.data(), first.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        fds.push_back(fd);
    }
    return fds;
}

void close_all(std::vector<int>& fds) {
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

// ---- replies

struct reply {
    int status = 0;
    std::string echo_uri; // X-Echo-Uri
    std::string body;
};

// The whole replies at the front of the stream; `rest` tells how many bytes are left over.
std::vector<reply> parse_replies(const std::string& s, std::size_t* rest = nullptr) {
    std::vector<reply> out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t head_end = s.find("\r\n\r\n", at);
        if (head_end == std::string::npos || s.compare(at, 5, "HTTP/") != 0)
            break;
        reply r;
        std::size_t length = 0;
        std::istringstream head(s.substr(at, head_end - at));
        std::string line;
        std::getline(head, line);
        r.status = std::atoi(line.c_str() + std::min<std::size_t>(9, line.size()));
        while (std::getline(head, line)) {
            std::string name = line.substr(0, line.find(':'));
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            std::string value = line.find(": ") == std::string::npos
                                    ? std::string()
                                    : line.substr(line.find(": ") + 2);
            if (!value.empty() && value.back() == '\r')
                value.pop_back();
            if (name == "content-length")
                length = std::strtoul(value.c_str(), nullptr, 10);
            else if (name == "x-echo-uri")
                r.echo_uri = value;
        }
        if (s.size() < head_end + 4 + length)
            break;
        r.body = s.substr(head_end + 4, length);
        out.push_back(r);
        at = head_end + 4 + length;
    }
    if (rest)
        *rest = s.size() - at;
    return out;
}

std::string describe(const std::vector<reply>& replies, bool closed) {
    std::string out = "[";
    for (const reply& r : replies)
        out += (out.size() > 1 ? ", " : "") + std::to_string(r.status) +
               (r.echo_uri.empty() ? "" : " " + r.echo_uri);
    return out + (closed ? "] closed" : "] open");
}

// A well-behaved request on a fresh connection, answered 200 within one second.
bool well_behaved() {
    const clock_type::time_point deadline = clock_type::now() + ms(1000);
    const int fd = connect_by(deadline);
    if (fd < 0)
        return false;
    send_until(fd, "GET /echo HTTP/1.1\r\nContent-Length: 0\r\n\r\n", deadline);
    const std::string got =
        read_until(fd, deadline, [](const std::string& s) { return !parse_replies(s).empty(); });
    ::close(fd);
    const std::vector<reply> replies = parse_replies(got);
    return !replies.empty() && replies[0].status == 200;
}

// ---- the server's figures

std::string proc(const char* what) {
    return "/proc/" + std::to_string(server_pid) + "/" + what;
}

// A "Vm...:" figure of /proc/PID/status in KiB; -1 when it cannot be read.
long status_kib(const char* key) {
    std::ifstream in(proc("status"));
    const std::size_t key_size = std::strlen(key);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key_size, key) == 0)
            return std::atol(line.c_str() + key_size);
    return -1;
}

// Resets VmHWM to the present RSS, so that each attack's peak is its own.
bool reset_peak() {
    std::ofstream out(proc("clear_refs"));
    out << "5" << std::flush;
    return static_cast<bool>(out);
}

int descriptors() {
    DIR* d = ::opendir(proc("fd").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n;
}

// ---- rows

struct verdict {
    std::string note;
    int goal = -1; // the attack's own goal: -1 none, 0 missed, 1 met
};

typedef std::function<verdict()> attack_type;

struct tally {
    int rows = 0, met = 0, missed = 0, unmeasured = 0;
} totals;

const char* met(bool ok) {
    return ok ? "met" : "MISSED";
}

// Runs the attack while sampling the server and asking a well-behaved request again and
// again; prints the row. rss_goal_mib: the RSS goal of this attack.
void run(const char* name, const attack_type& attack, double rss_goal_mib = 64,
         const std::string& rss_goal_text = "64") {
    ++totals.rows;
    auto unmeasured = [&](const std::string& why) {
        ++totals.unmeasured;
        std::printf("%-34s NOT MEASURED: %s | FAILED\n", name, why.c_str());
        std::fflush(stdout);
    };
    const int base_fds = descriptors();
    if (base_fds < 0 || !reset_peak() || status_kib("VmHWM:") < 0)
        return unmeasured("the server's /proc entries cannot be read or its peak reset");

    std::atomic<bool> done(false), lost(false);
    std::atomic<long> peak_kib(0);
    std::atomic<int> peak_fds(base_fds);
    std::thread sampler([&] {
        while (!done) {
            const long kib = status_kib("VmHWM:");
            const int fds = descriptors();
            if (kib < 0 || fds < 0)
                lost = true;
            peak_kib = std::max(peak_kib.load(), kib);
            peak_fds = std::max(peak_fds.load(), fds);
            std::this_thread::sleep_for(ms(20));
        }
    });
    std::atomic<int> probes(0), answered(0);
    std::atomic<bool> probing(false);
    std::thread prober([&] {
        while (!done) {
            probing = true;
            const bool ok = well_behaved();
            ++probes;
            answered += ok ? 1 : 0;
            std::this_thread::sleep_for(ms(100));
        }
    });
    while (!probing)
        std::this_thread::yield();
    const verdict v = attack();
    done = true;
    sampler.join();
    prober.join();
    std::this_thread::sleep_for(ms(200));
    const bool after = well_behaved();
    const long final_kib = status_kib("VmHWM:");
    if (lost || final_kib < 0)
        return unmeasured("the server went away during the attack (" + v.note + ")");
    if (probes == 0)
        return unmeasured("no well-behaved request was made during the attack");

    const double mib = static_cast<double>(std::max(peak_kib.load(), final_kib)) / 1024.0;
    const bool rss_ok = mib <= rss_goal_mib;
    const bool during = answered == probes;
    const bool all = rss_ok && during && after && v.goal != 0;
    ++(all ? totals.met : totals.missed);
    char answered_text[32];
    std::snprintf(answered_text, sizeof answered_text, "%s (%d/%d)", during ? "yes" : "no",
                  answered.load(), probes.load());
    std::printf("%-34s peak RSS %7.1f MiB (goal <= %s) %s | fds %5d | answered during %-11s "
                "after %-3s (goal yes) %s | %s%s\n",
                name, mib, rss_goal_text.c_str(), met(rss_ok), peak_fds.load(), answered_text,
                after ? "yes" : "no", met(during && after), v.note.c_str(),
                v.goal < 0 ? "" : (v.goal ? " met" : " MISSED"));
    std::fflush(stdout);
}

// ---- the attacks of the last round

verdict huge_headers() {
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(4);
    std::vector<int> fds = open_many(6, deadline);
    const std::string value = "GET /echo HTTP/1.1\r\nX-Big: " + std::string(64 << 20, 'a');
    std::vector<std::thread> senders;
    for (int fd : fds)
        senders.emplace_back([fd, &value, deadline] { send_until(fd, value, deadline); });
    for (auto& t : senders)
        t.join();
    close_all(fds);
    return verdict{"six 64 MiB header values"};
}

verdict pipelined_non_reader() {
    std::string many;
    const std::string one = "GET /echo HTTP/1.1\r\nA: b\r\n\r\n"; // 30 bytes
    for (int i = 0; i < 1000000; ++i)
        many += one;
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(4);
    const int fd = connect_by(deadline);
    const std::size_t sent = fd < 0 ? 0 : send_until(fd, many, deadline);
    ::close(fd);
    return verdict{"sent " + std::to_string(sent / one.size()) + " of 1000000 requests, read none"};
}

verdict idle_connections() {
    std::vector<int> fds = open_many(12000, clock_type::now() + std::chrono::seconds(10));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::size_t n = fds.size();
    close_all(fds);
    return verdict{std::to_string(n) + " idle connections opened"};
}

verdict announced_bodies() {
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(3);
    std::vector<int> fds = open_many(40, deadline);
    const std::string head = "POST /echo HTTP/1.1\r\nContent-Length: 2147483000\r\n\r\n";
    const std::string chunk(1024 * 1024, 'b');
    for (int fd : fds)
        send_until(fd, head, deadline);
    for (int round = 0; round < 4; ++round)
        for (int fd : fds)
            send_until(fd, chunk, std::min(deadline, clock_type::now() + ms(20)));
    const std::size_t n = fds.size();
    close_all(fds);
    return verdict{std::to_string(n) + " connections announcing 2 GiB bodies"};
}

verdict half_close() {
    const std::string body(4 * 1024 * 1024, 'e');
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(5);
    const int fd = connect_by(deadline);
    send_until(fd,
               "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body,
               deadline);
    ::shutdown(fd, SHUT_WR);
    const std::string got = read_until(fd, deadline, never);
    ::close(fd);
    const std::vector<reply> replies = parse_replies(got);
    const bool whole = replies.size() == 1 && replies[0].body == body;
    return verdict{std::string("4 MiB echo then half-close: reply ") + (whole ? "whole" : "CUT") +
                       " (goal whole)",
                   whole};
}

// ---- uploads

std::string sha256_of(const std::string& bytes) {
    httprtsp_serve::sha256 digest;
    digest.update(bytes.data(), bytes.size());
    return digest.hex_digest();
}

std::string stored_file() {
    std::ifstream in(upload_file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool stored_file_exists() {
    return ::access(upload_file.c_str(), F_OK) == 0;
}

std::string upload_request(const std::string& content, bool chunked, std::string* tail) {
    const std::string body =
        "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\n" + content +
        "\r\n--b--\r\n";
    std::string req = "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n";
    if (!chunked)
        return req + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", body.size());
    *tail = "0\r\n\r\n";
    return req + "Transfer-Encoding: chunked\r\n\r\n" + size + body + "\r\n";
}

struct upload_result {
    int status = 0;     // 0: no answer
    bool honest = true; // a 200 carries exactly the content's size and digest
};

// One upload on a fresh connection; split_last sends the last chunk in a later read, cut stops
// half-way and closes.
upload_result upload(const std::string& content, bool chunked = false, bool split_last = false,
                     bool cut = false) {
    std::string tail;
    std::string req = upload_request(content, chunked, &tail);
    if (cut)
        req.resize(req.size() / 2);
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(20);
    const int fd = connect_by(deadline);
    upload_result result;
    if (fd < 0)
        return result;
    send_until(fd, req, deadline);
    if (split_last)
        std::this_thread::sleep_for(ms(50));
    send_until(fd, tail, deadline);
    if (!cut) {
        const std::string got = read_until(
            fd, deadline, [](const std::string& s) { return !parse_replies(s).empty(); });
        const std::vector<reply> replies = parse_replies(got);
        if (!replies.empty()) {
            result.status = replies[0].status;
            result.honest =
                result.status != 200 ||
                replies[0].body == std::to_string(content.size()) + " " + sha256_of(content) + "\n";
        }
    }
    ::close(fd);
    return result;
}

// Uploads the server reported complete must match what was sent byte for byte, in the answer
// and in the file; past the limit the answer is 413 and no file is left.
verdict uploads() {
    int reported = 0, false_reports = 0;
    auto count = [&](const upload_result& r, const std::string* content) {
        if (r.status != 200)
            return;
        ++reported;
        if (!r.honest || (content && stored_file() != *content))
            ++false_reports;
    };
    const std::string u(100000, 'u'), c(50000, 'c'), at_cap(max_upload, 'm');
    count(upload(u), &u);
    count(upload(c, true, true), &c); // last chunk in a later read
    count(upload(std::string(70000, 'x'), false, false, true), nullptr); // cut off
    {
        // A POST that streamed nothing right after: never a report.
        const clock_type::time_point deadline = clock_type::now() + ms(1000);
        const int fd = connect_by(deadline);
        send_until(fd, "POST /upload HTTP/1.1\r\nContent-Length: 0\r\n\r\n", deadline);
        const std::vector<reply> replies = parse_replies(read_until(
            fd, deadline, [](const std::string& s) { return !parse_replies(s).empty(); }));
        ::close(fd);
        if (!replies.empty() && replies[0].status == 200) {
            ++reported;
            ++false_reports;
        }
    }
    // Two at once: whichever is reported must be honest, and the file one of them.
    const std::string one(3000000, '1'), two(3000000, '2');
    upload_result a, b;
    std::thread first([&] { a = upload(one); });
    std::thread second([&] { b = upload(two); });
    first.join();
    second.join();
    count(a, nullptr);
    count(b, nullptr);
    if ((a.status == 200 || b.status == 200) && stored_file() != one && stored_file() != two)
        ++false_reports;
    count(upload(at_cap), &at_cap);
    const upload_result past = upload(at_cap + "p");
    count(past, nullptr);
    const bool limit_ok = past.status == 413 && !stored_file_exists();
    return verdict{
        std::to_string(reported) + " uploads reported complete, " + std::to_string(false_reports) +
            " not byte-identical (goal 0); one byte past the limit: " +
            std::to_string(past.status) + (stored_file_exists() ? ", file left" : ", no file") +
            " (goal 413, no file)",
        false_reports == 0 && limit_ok};
}

// Upload B begins the moment A's whole request is sent, and again after every refusal, while
// the server may still be reading A's file back for its answer.
verdict upload_race() {
    const std::string a(max_upload, 'A'), b(1 << 20, 'B');
    upload_result first;
    std::atomic<bool> sent(false);
    std::thread ta([&] {
        std::string tail;
        const std::string req = upload_request(a, false, &tail);
        const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(30);
        const int fd = connect_by(deadline);
        send_until(fd, req, deadline);
        sent = true;
        const std::vector<reply> replies = parse_replies(read_until(
            fd, deadline, [](const std::string& s) { return !parse_replies(s).empty(); }));
        ::close(fd);
        if (!replies.empty()) {
            first.status = replies[0].status;
            first.honest = first.status != 200 ||
                           replies[0].body == std::to_string(a.size()) + " " + sha256_of(a) + "\n";
        }
    });
    while (!sent)
        std::this_thread::sleep_for(ms(1));
    upload_result second;
    int refusals = 0;
    const clock_type::time_point give_up = clock_type::now() + std::chrono::seconds(30);
    while (clock_type::now() < give_up) {
        second = upload(b);
        if (second.status != 503 && second.status != 0)
            break;
        ++refusals;
    }
    ta.join();
    const int false_reports =
        (first.status == 200 && !first.honest ? 1 : 0) +
        (second.status == 200 && (!second.honest || stored_file() != b) ? 1 : 0);
    return verdict{"A (" + std::to_string(a.size() >> 20) + " MiB, at the limit) answered " +
                       std::to_string(first.status) + (first.honest ? "" : " with other data") +
                       ", B " + std::to_string(second.status) +
                       (second.honest ? "" : " with other data") + " after " +
                       std::to_string(refusals) + " refusals: " + std::to_string(false_reports) +
                       " false uploads (goal 0)",
                   false_reports == 0 && first.status == 200 && second.status == 200};
}

// ---- slow peers

double scaled(double default_timeout_s, double pause_s) {
    return pause_s * body_timeout_s / default_timeout_s;
}

// Bodies of 64 MiB less 64 bytes, then a byte every 50 s (scaled): under the body time-out
// each time, so only a whole-request deadline or a memory budget stops them.
verdict slow_bodies() {
    const int connections = 6;
    const std::size_t announced = std::size_t(64) << 20;
    const std::string body(announced - 64, 's');
    const double pause = scaled(60, 50);
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(30);
    std::vector<int> fds = open_many(connections, deadline);
    std::vector<std::thread> senders;
    for (int fd : fds)
        senders.emplace_back([fd, &body, announced, deadline] {
            send_until(fd,
                       "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(announced) +
                           "\r\n\r\n",
                       deadline);
            send_until(fd, body, deadline);
        });
    for (auto& t : senders)
        t.join();
    for (int round = 0; round < 2; ++round) {
        std::this_thread::sleep_for(ms(static_cast<long>(pause * 1000)));
        for (int fd : fds)
            ::send(fd, "s", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    int open = 0;
    for (int fd : fds)
        open += closed_by_server(fd) ? 0 : 1;
    const std::size_t n = fds.size();
    close_all(fds);
    char note[200];
    std::snprintf(
        note, sizeof note,
        "%zu connections (of the issue's 40), 64 MiB less 64 bytes each, then a byte every "
        "%.1f s: %d still held after %.0f s",
        n, pause, open, pause * 2);
    return verdict{note};
}

// 5,000 connections announce a 100-byte body and send a byte every 30 s (scaled); the
// attacker replaces every connection the server closes, as one that wants to stay would.
verdict slow_content_length() {
    const int count = 5000;
    const double pause = scaled(60, 30);
    const std::string head = "POST /echo HTTP/1.1\r\nContent-Length: 100\r\n\r\n";
    std::vector<int> fds = open_many(count, clock_type::now() + std::chrono::seconds(15), head);
    int replaced = 0;
    for (int round = 0; round < 3; ++round) {
        std::this_thread::sleep_for(ms(static_cast<long>(pause * 1000)));
        for (int& fd : fds) {
            if (closed_by_server(fd)) {
                ::close(fd);
                const std::vector<int> fresh = open_many(1, clock_type::now() + ms(100), head);
                fd = fresh.empty() ? -1 : fresh[0];
                ++replaced;
            } else {
                ::send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
        fds.erase(std::remove(fds.begin(), fds.end(), -1), fds.end());
    }
    int open = 0;
    for (int fd : fds)
        open += closed_by_server(fd) ? 0 : 1;
    close_all(fds);
    char note[200];
    std::snprintf(note, sizeof note,
                  "%d connections with Content-Length: 100, a byte every %.1f s, %d closed by the "
                  "server and replaced: %d open at the end",
                  count, pause, replaced, open);
    return verdict{note};
}

// A burst of connections that each start a request at once: the server must not hold more
// than its cap.
verdict accept_at_cap() {
    // The connections of the row before must be gone from the count.
    const clock_type::time_point settled = clock_type::now() + std::chrono::seconds(5);
    while (descriptors() > 64 && clock_type::now() < settled)
        std::this_thread::sleep_for(ms(50));
    const int base = descriptors();
    const int burst = connection_cap + 200;
    std::vector<int> fds = open_many(burst, clock_type::now() + std::chrono::seconds(15),
                                     "GET /echo HTTP/1.1\r\nHost: x\r\n");
    int most = 0;
    const clock_type::time_point end =
        clock_type::now() + ms(static_cast<long>(scaled(60, 30) * 1000));
    while (clock_type::now() < end) {
        most = std::max(most, descriptors() - base);
        std::this_thread::sleep_for(ms(20));
    }
    const std::size_t n = fds.size();
    close_all(fds);
    return verdict{std::to_string(n) +
                       " connections opened in a burst, each starting a request: "
                       "the server held at most " +
                       std::to_string(most) + " (goal <= " + std::to_string(connection_cap) + ")",
                   most <= connection_cap};
}

// A client reading an /echo reply steadily at 128 KiB/s through a small receive window, for
// three body time-outs; then the rest at full speed.
verdict slow_reader() {
    const std::size_t size = std::size_t(8) << 20;
    const std::string body(size, 'r');
    const clock_type::time_point deadline = clock_type::now() + std::chrono::seconds(60);
    const int fd = connect_by(deadline, 16 * 1024);
    if (fd < 0)
        return verdict{"could not connect", 0};
    const std::string head =
        "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
    std::string got;
    std::thread sender([&] { send_until(fd, head + body, deadline); });
    const double slow_s = 3 * body_timeout_s;
    const clock_type::time_point slow_end =
        clock_type::now() + ms(static_cast<long>(slow_s * 1000));
    char buffer[16 * 1024];
    bool closed = false;
    while (clock_type::now() < slow_end && !closed) {
        std::this_thread::sleep_for(ms(125));
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            got.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            closed = true;
    }
    sender.join();
    if (!closed)
        got += read_until(fd, deadline,
                          [](const std::string& s) { return !parse_replies(s).empty(); });
    ::close(fd);
    const std::vector<reply> replies = parse_replies(got);
    const bool whole = replies.size() == 1 && replies[0].body == body;
    char note[200];
    std::snprintf(note, sizeof note,
                  "8 MiB /echo reply read at 128 KiB/s for %.0f s (3 body time-outs), then at full "
                  "speed: %zu of %zu bytes, %s (goal whole)",
                  slow_s, got.size(), size + head.size(), whole ? "whole" : "CUT");
    return verdict{note, whole};
}

// ---- framing

struct framing_case {
    const char* label;
    std::string bytes;
    // The URIs answered 200 in order; empty: the request is answered 400 and the connection
    // closed.
    std::vector<std::string> answered;
};

const char smuggled[] = "GET /echo/smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
const char after[] = "GET /echo/after HTTP/1.1\r\nHost: x\r\n\r\n";

// Each case on its own connection: the server must answer exactly as the case says, and never
// the smuggled request.
verdict framing(const std::vector<framing_case>& cases) {
    std::vector<std::thread> peers;
    std::vector<std::string> failures(cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i)
        peers.emplace_back([&, i] {
            const framing_case& c = cases[i];
            const clock_type::time_point deadline = clock_type::now() + ms(1500);
            const int fd = connect_by(deadline);
            send_until(fd, c.bytes, deadline);
            bool closed = false;
            const std::string got = read_until(
                fd, deadline,
                [&](const std::string& s) {
                    return !c.answered.empty() && parse_replies(s).size() >= c.answered.size();
                },
                &closed);
            ::close(fd);
            const std::vector<reply> replies = parse_replies(got);
            bool ok = false;
            if (c.answered.empty()) {
                ok = closed && replies.size() == 1 && replies[0].status == 400;
            } else {
                ok = replies.size() == c.answered.size();
                for (std::size_t k = 0; ok && k < replies.size(); ++k)
                    ok = replies[k].status == 200 && replies[k].echo_uri == c.answered[k];
            }
            if (!ok)
                failures[i] = std::string(c.label) + ": " + describe(replies, closed);
        });
    for (auto& t : peers)
        t.join();
    std::string failed;
    for (const std::string& f : failures)
        if (!f.empty())
            failed += (failed.empty() ? "" : "; ") + f;
    const std::size_t bad = static_cast<std::size_t>(std::count_if(
        failures.begin(), failures.end(), [](const std::string& f) { return !f.empty(); }));
    return verdict{std::to_string(cases.size() - bad) + " of " + std::to_string(cases.size()) +
                       " answered soundly" + (failed.empty() ? "" : " (" + failed + ")"),
                   bad == 0};
}

std::string length_of(const std::string& s) {
    return std::to_string(s.size());
}

verdict cl_and_te() {
    const std::string body = std::string("0\r\n\r\n") + smuggled;
    return framing({{"CL+TE",
                     "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: " + length_of(body) +
                         "\r\nTransfer-Encoding: chunked\r\n\r\n" + body,
                     {}},
                    {"TE+CL",
                     "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                     "Content-Length: " +
                         length_of(body) + "\r\n\r\n" + body,
                     {}}});
}

verdict differing_lengths() {
    const std::string body = std::string("hello") + smuggled;
    return framing({{"long then short",
                     "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: " + length_of(body) +
                         "\r\nContent-Length: 5\r\n\r\n" + body,
                     {}},
                    {"short then long",
                     "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
                     "Content-Length: " +
                         length_of(body) + "\r\n\r\n" + body,
                     {}}});
}

verdict non_final_codings() {
    const std::string chunked_body = std::string("0\r\n\r\n") + after;
    return framing(
        {{"gzip, chunked",
          std::string("POST /echo HTTP/1.1\r\nHost: x\r\n"
                      "Transfer-Encoding: gzip, chunked\r\n\r\n") +
              smuggled,
          {}},
         {"identity then chunked",
          std::string("POST /echo HTTP/1.1\r\nHost: x\r\n"
                      "Transfer-Encoding: identity\r\n"
                      "Transfer-Encoding: chunked\r\n\r\n") +
              smuggled,
          {}},
         {"chunked, gzip",
          std::string("POST /echo HTTP/1.1\r\nHost: x\r\n"
                      "Transfer-Encoding: chunked, gzip\r\n\r\n") +
              smuggled,
          {}},
         // White space around a value is no part of it: this one is chunked.
         {"'chunked '",
          "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked \r\n\r\n" + chunked_body,
          {"/echo", "/echo/after"}}});
}

verdict folded_te() {
    return framing({{"folded",
                     std::string("POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding:\r\n"
                                 " chunked\r\n\r\n0\r\n\r\n") +
                         smuggled,
                     {}},
                    {"folded other header",
                     std::string("GET /echo HTTP/1.1\r\nHost: x\r\nX-A: a\r\n"
                                 "\tb\r\n\r\n") +
                         smuggled,
                     {}}});
}

verdict lenient_chunks() {
    const std::string head = "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string tail = std::string("0\r\n\r\n") + smuggled;
    return framing({{"0x5", head + "0x5\r\nhello\r\n" + tail, {}},
                    {"+5", head + "+5\r\nhello\r\n" + tail, {}},
                    {"' 5 junk'", head + " 5 junk\r\nhello\r\n" + tail, {}},
                    {"data then junk", head + "5\r\nhelloXY\r\n" + tail, {}},
                    {"5;ext (allowed)",
                     head + "5;name=value\r\nhello\r\n0\r\n\r\n" + after,
                     {"/echo", "/echo/after"}}});
}

verdict trailer_then_pipelined() {
    return framing({{"trailer",
                     "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                     "5\r\nhello\r\n0\r\nX-Trailer: t\r\n\r\n" +
                         std::string(after),
                     {"/echo", "/echo/after"}}});
}

std::string only_row; // empty: every row

bool parse_options(int argc, char** argv) {
    std::string body_timeout;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--port")
            port = static_cast<unsigned short>(std::atoi(value.c_str()));
        else if (name == "--pid")
            server_pid = std::atoi(value.c_str());
        else if (name == "--upload-file")
            upload_file = value;
        else if (name == "--max-upload")
            max_upload = std::strtoull(value.c_str(), nullptr, 10);
        else if (name == "--body-timeout")
            body_timeout_s = std::atof(value.c_str());
        else if (name == "--body-budget-mib")
            body_budget_mib = std::atof(value.c_str());
        else if (name == "--row")
            only_row = value;
        else
            return false;
    }
    return argc % 2 == 1 && port && server_pid > 0 && !upload_file.empty() && max_upload > 0 &&
           max_upload <= (std::uint64_t(256) << 20) && body_timeout_s > 0;
}

} // namespace

int main(int argc, char** argv) {
    char budget[64];
    struct row {
        const char* name;
        attack_type attack;
        double rss_goal_mib;
        std::string rss_goal_text;
    };
    const std::vector<row> rows = {
        {"six 64 MiB headers", huge_headers, 64, "64"},
        {"1M pipelined requests, no reads", pipelined_non_reader, 64, "64"},
        {"12,000 idle connections", idle_connections, 64, "64"},
        {"40 x 2 GiB announced bodies", announced_bodies, 64, "64"},
        {"half-close after 4 MiB /echo", half_close, 64, "64"},
        {"uploads", uploads, 64, "64"},
        {"slow 64 MiB bodies (budget)", slow_bodies, -1, ""},
        {"5,000 slow Content-Length peers", slow_content_length, 64, "64"},
        {"accepting at the cap", accept_at_cap, 64, "64"},
        {"slow steady reader of /echo", slow_reader, 64, "64"},
        {"smuggling: CL and TE together", cl_and_te, 64, "64"},
        {"smuggling: differing CLs", differing_lengths, 64, "64"},
        {"smuggling: non-final codings", non_final_codings, 64, "64"},
        {"smuggling: folded TE", folded_te, 64, "64"},
        {"smuggling: lenient chunk sizes", lenient_chunks, 64, "64"},
        {"trailer then pipelined request", trailer_then_pipelined, 64, "64"},
        {"upload race: B as A is answered", upload_race, 64, "64"},
    };
    if (argc == 2 && std::string(argv[1]) == "--list") {
        for (const row& r : rows)
            std::printf("%s\n", r.name);
        return 0;
    }
    const bool parsed = parse_options(argc, argv);
    if (!parsed || (!only_row.empty() && std::none_of(rows.begin(), rows.end(), [](const row& r) {
            return only_row == r.name;
        }))) {
        std::fprintf(stderr, "usage: bench_hostile --port P --pid N --upload-file F --max-upload "
                             "BYTES --body-timeout S [--body-budget-mib M] [--row NAME]\n"
                             "       bench_hostile --list\n");
        return 2;
    }
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    if (only_row.empty())
        bench::print_machine();
    std::snprintf(budget, sizeof budget, "%.0f (budget %.0f + 16)", body_budget_mib + 16,
                  body_budget_mib);
    for (const row& r : rows)
        if (only_row.empty() || only_row == r.name)
            run(r.name, r.attack, r.rss_goal_mib < 0 ? body_budget_mib + 16 : r.rss_goal_mib,
                r.rss_goal_mib < 0 ? std::string(budget) : r.rss_goal_text);
    if (only_row.empty())
        std::printf("hostile: %d rows, %d met every goal, %d MISSED, %d not measured\n",
                    totals.rows, totals.met, totals.missed, totals.unmeasured);
    return totals.unmeasured == 0 ? 0 : 1;
}
