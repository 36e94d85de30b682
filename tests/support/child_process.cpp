#include "tests/support/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>

#if defined(_WIN32)
// Tests built for Windows start no processes (see peers_required); the programs they
// would start are Linux programs, run by the Linux build of the same tests.
namespace vq_testing {

std::vector<std::string> emulator_prefix() {
    return {};
}
bool on_path(const std::string&) {
    return false;
}
bool peers_required() {
    return false;
}
std::string publish_program(const std::string& built) {
    return built;
}
bool is_windows_program(const std::string&) {
    return false;
}
child_process::child_process(const std::vector<std::string>&, const process_options&) {}
child_process::~child_process() = default;
bool child_process::write_line(const std::string&) {
    return false;
}
void child_process::close_stdin() {}
bool child_process::read_line(std::string&, int) {
    return false;
}
bool child_process::wait_for(const std::string&, std::string&, int) {
    return false;
}
std::string child_process::output() const {
    return std::string();
}
std::string child_process::error() const {
    return std::string();
}
int child_process::wait(std::chrono::milliseconds) {
    return -1;
}
int child_process::stop() {
    return -1;
}
void child_process::kill_now() {}
run_result run(const std::vector<std::string>& argv, std::chrono::milliseconds,
               const std::string&) {
    run_result result;
    result.err = "cannot start " + (argv.empty() ? std::string("nothing") : argv[0]);
    return result;
}

} // namespace vq_testing
#else

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

std::vector<std::string> words_of(const char* text) {
    std::vector<std::string> words;
    std::istringstream in(text ? text : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

int decode_status(int st) {
    return WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : 255;
}

void close_fd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

std::vector<std::string> emulator_prefix() {
    return words_of(VQ_CHILD_EMULATOR);
}

std::string publish_program(const std::string& built) {
    const char* named = std::getenv("VQ_PUBLISH_EXE");
    return named && *named ? named : built;
}

bool is_windows_program(const std::string& program) {
    return program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}

bool on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

bool peers_required() {
    for (const char* name : {"CI", "VQ_REQUIRE_PEERS"}) {
        const char* value = std::getenv(name);
        if (value && *value && std::string(value) != "0" && std::string(value) != "false")
            return true;
    }
    return false;
}

child_process::child_process(const std::vector<std::string>& argv, const process_options& options) {
    // A child that ends early must not take the test down with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (argv.empty())
        return;

    std::vector<std::string> args;
    if (is_windows_program(argv[0]))
        args = words_of(std::getenv("VQ_EXE_LAUNCHER"));
    else if (argv[0].find('/') != std::string::npos)
        args = emulator_prefix();
    args.insert(args.end(), argv.begin(), argv.end());
    std::vector<char*> cargs;
    for (auto& a : args)
        cargs.push_back(&a[0]);
    cargs.push_back(nullptr);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    const bool separate = options.error == error_output::separate;
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        (separate && ::pipe2(err, O_CLOEXEC) != 0)) {
        for (int* p : {in, out, err}) {
            close_fd(p[0]);
            close_fd(p[1]);
        }
        return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (options.input)
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (options.error == error_output::merged)
        posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    else if (separate)
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    if (!options.working_dir.empty())
        posix_spawn_file_actions_addchdir_np(&fa, options.working_dir.c_str());
    pid_t pid = -1;
    // The child starts with SIGPIPE as programs expect it, not ignored as it is here.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    const int rc = ::posix_spawnp(&pid, cargs[0], &fa, &attr, cargs.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    close_fd(in[0]);
    close_fd(out[1]);
    close_fd(err[1]);
    if (rc != 0) {
        close_fd(in[1]);
        close_fd(out[0]);
        close_fd(err[0]);
        return;
    }
    m_pid = pid;
    m_in = in[1];
    m_reader = std::thread(&child_process::drain, this, out[0], err[0]);
}

child_process::~child_process() {
    close_stdin();
    stop();
    if (m_reader.joinable())
        m_reader.join();
}

void child_process::drain(int out, int err) {
    // Runs until both pipes end. A grandchild that keeps them open would hold the reader
    // forever, so once the child itself is gone, a quiet pipe counts as ended.
    char buffer[65536];
    while (out >= 0 || err >= 0) {
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        const int n = ::poll(fds, 2, 100);
        if (n < 0 && errno != EINTR)
            break;
        if (n == 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_status >= 0 || m_timed_out)
                break;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (got <= 0)
                close_fd(i == 0 ? out : err);
            else
                (i == 0 ? m_out : m_err).append(buffer, static_cast<std::size_t>(got));
            m_changed.notify_all();
        }
    }
    close_fd(out);
    close_fd(err);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_eof = true;
    m_changed.notify_all();
}

bool child_process::write_line(const std::string& line) {
    if (m_in < 0)
        return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(m_in, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void child_process::close_stdin() {
    close_fd(m_in);
}

bool child_process::read_line(std::string& line, int timeout_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::size_t nl = std::string::npos;
    m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        nl = m_out.find('\n', m_read);
        return nl != std::string::npos || m_eof;
    });
    if (nl == std::string::npos)
        return false;
    line = m_out.substr(m_read, nl - m_read);
    m_read = nl + 1;
    m_lines.push_back(line);
    return true;
}

bool child_process::wait_for(const std::string& needle, std::string& line, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !read_line(line, static_cast<int>(left.count())))
            return false;
        if (line.find(needle) != std::string::npos)
            return true;
    }
}

std::string child_process::output() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_out;
}

std::string child_process::error() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_err;
}

int child_process::reap(bool block) {
    if (m_pid <= 0)
        return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_status >= 0 || m_timed_out)
        return m_timed_out ? -1 : m_status;
    int st = 0;
    pid_t done;
    while ((done = ::waitpid(m_pid, &st, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (done == m_pid)
        m_status = decode_status(st);
    return m_status;
}

int child_process::wait(std::chrono::milliseconds limit) {
    if (m_pid <= 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (reap(false) < 0 && !m_timed_out) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(m_pid, SIGKILL);
            reap(true);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The output of a process that has ended is complete once the pipe ends.
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_eof; });
    return m_timed_out ? -1 : m_status;
}

int child_process::stop() {
    if (m_pid <= 0)
        return -1;
    if (reap(false) < 0 && !m_timed_out)
        ::kill(m_pid, SIGTERM);
    return wait(std::chrono::seconds(20));
}

void child_process::kill_now() {
    if (m_pid > 0 && reap(false) < 0 && !m_timed_out) {
        ::kill(m_pid, SIGKILL);
        wait();
    }
}

run_result run(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
               const std::string& working_dir) {
    run_result result;
    const auto start = std::chrono::steady_clock::now();
    // Standard input is /dev/null, as for a program run from a script with nothing to read.
    child_process child(argv, {working_dir, error_output::separate, false});
    if (!child.started()) {
        result.err = "cannot start " + (argv.empty() ? std::string("nothing") : argv[0]);
        return result;
    }
    child.close_stdin();
    result.status = child.wait(limit);
    result.timed_out = child.timed_out();
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.out = child.output();
    result.err = child.error();
    return result;
}

} // namespace vq_testing

#endif
