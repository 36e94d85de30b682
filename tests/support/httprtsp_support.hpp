// Helpers shared by the connection tests: captured standard output, child processes, raw
// loopback peers and waiting with a bound.
#ifndef TESTS_HTTPRTSP_CONN_SUPPORT_HPP
#define TESTS_HTTPRTSP_CONN_SUPPORT_HPP

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

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

// A child process whose standard output goes to a file.
class child_process {
public:
    child_process(const std::vector<std::string>& argv, const std::string& stdout_path,
                  const std::string& working_dir = std::string());
    ~child_process(); // SIGTERM, then waits
    void stop();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

// Runs a command through /bin/sh and returns its standard output.
std::string run_command(const std::string& command, int* status = nullptr);

// Reads the file; empty when absent.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);

// A fresh temporary directory, removed with the object.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

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
