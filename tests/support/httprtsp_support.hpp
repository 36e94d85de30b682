// Helpers shared by the connection tests: captured standard output, raw loopback peers and
// waiting with a bound.
#ifndef TESTS_HTTPRTSP_CONN_SUPPORT_HPP
#define TESTS_HTTPRTSP_CONN_SUPPORT_HPP

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "tests/support/temp_files.hpp"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace conn_test {

// Redirects the process's standard output (file descriptor 1) into a file while alive.
class stdout_capture {
public:
    stdout_capture();
    ~stdout_capture();
    // Everything written so far.
    std::string text();
    // Lines written so far, without their "\n".
    std::vector<std::string> lines();

private:
    int saved_fd;
    std::string path;
};

// Waits until pred() holds or the time runs out; returns pred().
bool wait_for(const std::function<bool()>& pred,
              std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

// Temporary folders and whole files, shared with the other tests.
using vq_testing::read_file;
using vq_testing::temp_dir;
using vq_testing::write_file;

// Reads one HTTP message (head and Content-Length body) from a blocking socket; empty on
// end of stream before any byte.
std::string read_http_message(boost::asio::ip::tcp::socket& socket, std::string& pending);

// Bytes of the given size and seed, rich in "\r\n" and "--" sequences.
std::string tricky_bytes(std::size_t size, unsigned seed);

// The log line prefix check: "In <file>, line <n>: " followed by rest.
bool is_log_line(const std::string& line, const std::string& file, const std::string& rest);

// The text with every "line <digits>:" of the log prefix replaced by "line #:", so that
// whole log output can be compared byte for byte.
std::string normalise_lines(const std::string& text);

} // namespace conn_test

#endif
