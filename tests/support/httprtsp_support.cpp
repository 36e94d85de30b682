#include "tests/support/httprtsp_support.hpp"

#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace conn_test {

namespace {

// A new name under the system's temporary folder (Wine's is not /tmp).
std::string fresh_temp_name(const std::string& stem) {
    static std::mt19937_64 random{std::random_device{}()};
    return (std::filesystem::temp_directory_path() /
            (stem + std::to_string(random() % 1000000000000ull)))
        .string();
}

} // namespace

stdout_capture::stdout_capture() {
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        path = fresh_temp_name("conn_test_stdout_");
#if defined(_WIN32)
        // Binary, like the standard output it stands in for.
        fd = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, 0600);
#else
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
#endif
    }
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    std::fflush(stdout);
    saved_fd = dup(1);
    dup2(fd, 1);
    ::close(fd);
}

stdout_capture::~stdout_capture() {
    std::fflush(stdout);
    dup2(saved_fd, 1);
    ::close(saved_fd);
    std::remove(path.c_str());
}

std::string stdout_capture::text() {
    std::fflush(stdout);
    return read_file(path);
}

std::vector<std::string> stdout_capture::lines() {
    std::vector<std::string> out;
    std::istringstream in(text());
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

#if defined(_WIN32)
// The peers started this way (python3, node, shell commands) are Linux programs; a Windows
// build skips the tests that need them.
child_process::child_process(const std::vector<std::string>& argv, const std::string&,
                             const std::string&)
    : pid_(-1) {
    throw std::runtime_error("cannot start " + argv.at(0) + " from a Windows test");
}

child_process::~child_process() = default;

void child_process::stop() {}

std::string run_command(const std::string&, int* status) {
    if (status)
        *status = -1;
    return std::string();
}
#else
child_process::child_process(const std::vector<std::string>& argv, const std::string& stdout_path,
                             const std::string& working_dir) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::string program = argv.at(0);
    std::vector<std::string> wrapped;
    if (!working_dir.empty()) {
        // posix_spawn has no portable chdir; go through the shell.
        std::string cmd = "cd '" + working_dir + "' && exec";
        for (const std::string& a : argv)
            cmd += " '" + a + "'";
        wrapped = {"/bin/sh", "-c", cmd};
        args.clear();
        for (const std::string& a : wrapped)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        program = "/bin/sh";
    }
    const int rc = posix_spawnp(&pid_, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv.at(0));
}

child_process::~child_process() {
    stop();
}

void child_process::stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string run_command(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = pclose(p);
    if (status)
        *status = rc;
    return out;
}
#endif

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

temp_dir::temp_dir() {
    for (int attempt = 0; path_.empty() && attempt < 100; ++attempt) {
        const std::string name = fresh_temp_name("conn_test_dir_");
        if (std::filesystem::create_directory(name))
            path_ = name;
    }
    if (path_.empty())
        throw std::runtime_error("cannot create a temporary folder");
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_http_message(boost::asio::ip::tcp::socket& socket, std::string& pending) {
    boost::system::error_code error;
    std::size_t head_end;
    while ((head_end = pending.find("\r\n\r\n")) == std::string::npos) {
        char buf[4096];
        const std::size_t n = socket.read_some(boost::asio::buffer(buf), error);
        if (error)
            return std::string();
        pending.append(buf, n);
    }
    head_end += 4;
    std::size_t length = 0;
    std::string head = pending.substr(0, head_end);
    for (auto& c : head)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t cl = head.find("content-length: ");
    if (cl != std::string::npos)
        length = std::strtoul(head.c_str() + cl + 16, nullptr, 10);
    while (pending.size() < head_end + length) {
        char buf[4096];
        const std::size_t n = socket.read_some(boost::asio::buffer(buf), error);
        if (error)
            return std::string();
        pending.append(buf, n);
    }
    std::string message = pending.substr(0, head_end + length);
    pending.erase(0, head_end + length);
    return message;
}

std::string tricky_bytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out;
    out.reserve(size);
    static const char* const pieces[] = {"\r\n", "--", "\r\n--", "\r\n\r\n", "-", "\r"};
    while (out.size() < size) {
        const unsigned r = rng() % 8;
        if (r < 3) {
            out += pieces[rng() % 6];
        } else {
            out += static_cast<char>(rng() & 0xFF);
        }
    }
    out.resize(size);
    return out;
}

bool is_log_line(const std::string& line, const std::string& file, const std::string& rest) {
    const std::string head = "In " + file + ", line ";
    if (line.compare(0, head.size(), head) != 0)
        return false;
    std::size_t p = head.size();
    const std::size_t digits = p;
    while (p < line.size() && std::isdigit(static_cast<unsigned char>(line[p])))
        ++p;
    if (p == digits || line.compare(p, 2, ": ") != 0)
        return false;
    return line.substr(p + 2) == rest;
}

std::string normalise_lines(const std::string& text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 5, "line ") == 0 && i + 5 < text.size() &&
            std::isdigit(static_cast<unsigned char>(text[i + 5]))) {
            std::size_t j = i + 5;
            while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])))
                ++j;
            if (text.compare(j, 1, ":") == 0) {
                out += "line #";
                i = j;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

} // namespace conn_test
