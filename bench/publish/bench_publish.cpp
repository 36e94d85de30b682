// A complete `velquin_publish -c` run against the device simulator on loopback, against
// curl sending the same nine POST bodies to the same simulator over one keep-alive
// connection. Both are whole processes, start-up included; runs alternate so that drift
// of the machine affects both alike. Prints both medians, the ratio, and the peak RSS of
// both.
//
//   bench_publish VELQUIN_PUBLISH VELQUIN_DEVICE_SIM CURL [RUNS]
#include "bench/common/machine.hpp"
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct measured {
    double seconds = 0;
    long max_rss_kib = 0;
    int status = -1;
};

pid_t spawn(const std::vector<std::string>& argv, const std::string& out_file) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    return pid;
}

measured run(const std::vector<std::string>& argv, const std::string& out_file) {
    measured m;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = spawn(argv, out_file);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.max_rss_kib = usage.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

using bench::print_machine;

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: bench_publish VELQUIN_PUBLISH VELQUIN_DEVICE_SIM CURL [RUNS]\n";
        return 2;
    }
    const std::string publish = argv[1], sim = argv[2], curl = argv[3];
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 31;

    char dir_pattern[] = "/tmp/vq_bench_publish_XXXXXX";
    if (mkdtemp(dir_pattern) == nullptr)
        return 1;
    const std::string dir = dir_pattern;
    const std::string trace = dir + "/trace", sim_log = dir + "/sim.log", out = dir + "/out";

    // One client id for every session, so that the recorded bodies stay valid to replay.
    const pid_t sim_pid = spawn({sim, "--client-id", "bench-client", "--trace", trace}, sim_log);
    std::string port;
    for (int i = 0; i < 500 && port.empty(); ++i) {
        const std::string log = read_file(sim_log);
        if (log.find('\n') != std::string::npos)
            port = log.substr(0, log.find('\n'));
        if (port.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int exit_code = 0;
    try {
        if (port.empty())
            throw std::runtime_error("the simulator did not start");
        const std::vector<std::string> publish_argv{publish, "-H", "127.0.0.1", "-P", port, "-c"};

        // A first run records the nine messages; each goes out as a one-element array.
        const measured first = run(publish_argv, out);
        std::vector<std::string> lines;
        std::istringstream trace_in(read_file(trace));
        for (std::string line; std::getline(trace_in, line);)
            lines.push_back(line);
        if (first.status != 0 || lines.size() != 9)
            throw std::runtime_error("the recording run did not send nine messages");
        const std::size_t answer_bytes = read_file(out).size();

        const std::string url = "http://127.0.0.1:" + port + "/cometd";
        std::vector<std::string> curl_argv{curl};
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string body_file = dir + "/body" + std::to_string(i);
            std::ofstream(body_file, std::ios::binary) << "[" << lines[i] << "]\n";
            if (i > 0)
                curl_argv.push_back("--next");
            for (const char* a :
                 {"-s", "-o", "/dev/null", "-H", "Content-Type: application/json;charset=UTF8",
                  "-H", "Access-Control-Allow-Origin: *", "--data-binary"}) {
                curl_argv.push_back(a);
            }
            curl_argv.push_back("@" + body_file);
            curl_argv.push_back(url);
        }
        // curl's own output goes nowhere; velquin_publish's is the configuration.
        const measured curl_first = run(curl_argv, out);
        if (curl_first.status != 0)
            throw std::runtime_error("curl failed");

        std::vector<double> ours, theirs;
        long peak_rss = first.max_rss_kib, curl_peak_rss = curl_first.max_rss_kib;
        for (int i = 0; i < runs; ++i) {
            const measured a = run(publish_argv, out);
            const measured b = run(curl_argv, dir + "/curl.out");
            if (a.status != 0 || b.status != 0)
                throw std::runtime_error("a run failed");
            ours.push_back(a.seconds);
            theirs.push_back(b.seconds);
            peak_rss = std::max(peak_rss, a.max_rss_kib);
            curl_peak_rss = std::max(curl_peak_rss, b.max_rss_kib);
        }
        const double m_ours = median(ours), m_theirs = median(theirs);
        std::printf(
            "velquin_publish -c, 9 Bayeux exchanges on loopback (%zu bytes printed), %d runs each\n",
            answer_bytes, runs);
        print_machine();
        std::printf("  velquin_publish       median %8.2f ms\n", m_ours * 1e3);
        std::printf("  curl (same 9 bodies)  median %8.2f ms\n", m_theirs * 1e3);
        const double ratio = m_ours / m_theirs;
        std::printf("  ratio velquin_publish / curl: %.2f (goal <= 1.25) %s\n", ratio,
                    ratio <= 1.25 ? "met" : "MISSED");
        std::printf("  peak RSS: velquin_publish %ld KiB, curl %ld KiB\n", peak_rss, curl_peak_rss);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_publish: %s\n", e.what());
        exit_code = 1;
    }
    kill(sim_pid, SIGTERM);
    waitpid(sim_pid, nullptr, 0);
    for (const char* name : {"trace", "sim.log", "out", "curl.out"})
        std::remove((dir + "/" + name).c_str());
    for (int i = 0; i < 9; ++i)
        std::remove((dir + "/body" + std::to_string(i)).c_str());
    rmdir(dir.c_str());
    return exit_code;
}
