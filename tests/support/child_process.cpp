#include "tests/support/child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#ifndef VQ_CHILD_EMULATOR
#define VQ_CHILD_EMULATOR ""
#endif

namespace vq_testing {

namespace {
int decode_status(int st) {
    return WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : 255;
}
} // namespace

std::vector<std::string> emulator_prefix() {
    std::vector<std::string> words;
    std::istringstream emulator(VQ_CHILD_EMULATOR);
    for (std::string word; emulator >> word;)
        words.push_back(word);
    return words;
}

child_process::child_process(const std::vector<std::string>& argv) {
    // A child that ends early must not take the test down with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args = emulator_prefix();
    args.insert(args.end(), argv.begin(), argv.end());
    if (args.empty())
        return;
    std::vector<char*> cargs;
    for (auto& a : args)
        cargs.push_back(&a[0]);
    cargs.push_back(nullptr);

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, cargs[0], &fa, nullptr, cargs.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        return;
    }
    m_pid = pid;
    m_in = in[1];
    m_out = out[0];
}

child_process::~child_process() {
    close_stdin();
    if (m_pid > 0 && m_status < 0) {
        for (int i = 0; i < 500; ++i) {
            int st;
            if (::waitpid(m_pid, &st, WNOHANG) == m_pid) {
                m_status = decode_status(st);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (m_status < 0)
            kill_now();
    }
    if (m_out >= 0)
        ::close(m_out);
}

bool child_process::write_line(const std::string& line) {
    if (m_in < 0)
        return false;
    std::string text = line + "\n";
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(m_in, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void child_process::close_stdin() {
    if (m_in >= 0) {
        ::close(m_in);
        m_in = -1;
    }
}

bool child_process::read_line(std::string& line, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::size_t nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            m_lines.push_back(line);
            return true;
        }
        if (m_out < 0)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{m_out, POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        char buf[4096];
        ssize_t got = ::read(m_out, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::close(m_out);
            m_out = -1;
            continue;
        }
        m_buffer.append(buf, static_cast<std::size_t>(got));
    }
}

bool child_process::wait_for(const std::string& needle, std::string& line, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !read_line(line, static_cast<int>(left.count())))
            return false;
        if (line.find(needle) != std::string::npos)
            return true;
    }
}

int child_process::wait() {
    if (m_pid <= 0)
        return -1;
    if (m_status >= 0)
        return m_status;
    int st = 0;
    while (::waitpid(m_pid, &st, 0) < 0 && errno == EINTR) {
    }
    m_status = decode_status(st);
    return m_status;
}

void child_process::kill_now() {
    if (m_pid > 0 && m_status < 0) {
        ::kill(m_pid, SIGKILL);
        wait();
    }
}

} // namespace vq_testing
