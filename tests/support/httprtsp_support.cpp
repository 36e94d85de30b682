#include "tests/support/httprtsp_support.hpp"

#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
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
