#include "tests/support/process.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace e2e {

namespace {

std::vector<char*> make_argv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

std::vector<std::string> split_words(const char* text) {
    std::vector<std::string> words;
    std::istringstream in(text ? text : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

int exit_status(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

} // namespace

std::string publish_program(const std::string& built) {
    const char* named = std::getenv("VQ_PUBLISH_EXE");
    return named && *named ? named : built;
}

bool is_windows_program(const std::string& program) {
    return program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}

run_result run(const std::string& target, const std::vector<std::string>& target_args,
               std::chrono::milliseconds limit) {
    std::string program = target;
    std::vector<std::string> args = target_args;
    if (is_windows_program(target)) {
        std::vector<std::string> launcher = split_words(std::getenv("VQ_EXE_LAUNCHER"));
        if (!launcher.empty()) {
            program = launcher.front();
            args.assign(launcher.begin() + 1, launcher.end());
            args.push_back(target);
            args.insert(args.end(), target_args.begin(), target_args.end());
        }
    }
    run_result result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    std::vector<char*> argv = make_argv(program, args);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawn_error =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawn_error != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        result.err = std::string("cannot start ") + program + ": " + std::strerror(spawn_error);
        return result;
    }

    const auto deadline = start + limit;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    char buffer[65536];
    while (open_count > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0)
            close(p.fd);
    }
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.status = result.timed_out ? -1 : exit_status(wait_status);
    return result;
}

background::background(const std::string& program, const std::vector<std::string>& args,
                       const std::string& log_file)
    : log_file_(log_file) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv = make_argv(program, args);
    const int spawn_error =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawn_error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawn_error));
    }
}

background::~background() {
    stop();
}

std::string background::first_line(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::string text = read_file(log_file_);
        const std::size_t end = text.find('\n');
        if (end != std::string::npos)
            return text.substr(0, end);
        if (std::chrono::steady_clock::now() > deadline)
            return std::string();
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1; // it ended before saying anything
            return std::string();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int background::stop() {
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    int wait_status = 0;
    // A simulator that ignores SIGTERM for 20 s is killed.
    for (int i = 0; i < 2000; ++i) {
        const pid_t done = waitpid(pid_, &wait_status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return exit_status(wait_status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &wait_status, 0);
    pid_ = -1;
    return -1;
}

temp_dir::temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vq_e2e_XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        throw std::runtime_error("mkdtemp");
    dir_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace e2e
