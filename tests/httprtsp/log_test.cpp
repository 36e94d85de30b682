// Log lines as written to standard output, and the colour decision per stream.
#include "httprtsp/src/io_service_helper.hpp"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace httprtsp;

struct colours_guard {
    bool saved = colours_enabled;
    explicit colours_guard(bool on) { colours_enabled = on; }
    ~colours_guard() { colours_enabled = saved; }
};

std::string prefix(int line) {
    return "In log_test, line " + std::to_string(line) + ": ";
}

TEST(LogLineTest, WithoutColours) {
    colours_guard g(false);
    testing::internal::CaptureStdout();
    const int l1 = __LINE__ + 1;
    HTTPRTSP_LOG_ERROR("Uncought exception: %s\n", "boom");
    const int l2 = __LINE__ + 1;
    HTTPRTSP_LOG_WARNING("%p start:: socket already closed\n", static_cast<void*>(nullptr));
    const int l3 = __LINE__ + 1;
    HTTPRTSP_LOG_NOTICE("n=%d", 42);
    // A null %p: glibc writes "(nil)", Windows sixteen zeros.
#if defined(_WIN32)
    const std::string null_pointer = "0000000000000000";
#else
    const std::string null_pointer = "(nil)";
#endif
    EXPECT_EQ(prefix(l1) + "Uncought exception: boom\n" + prefix(l2) + null_pointer +
                  " start:: socket already closed\n" + prefix(l3) + "n=42",
              testing::internal::GetCapturedStdout());
}

TEST(LogLineTest, WithColours) {
    colours_guard g(true);
    testing::internal::CaptureStdout();
    const int l1 = __LINE__ + 1;
    HTTPRTSP_LOG_ERROR("e\n");
    const int l2 = __LINE__ + 1;
    HTTPRTSP_LOG_WARNING("w\n");
    const int l3 = __LINE__ + 1;
    HTTPRTSP_LOG_NOTICE("n\n");
    EXPECT_EQ(prefix(l1) + "\033[31m\033[1me\n\033[0m" + prefix(l2) + "\033[33m\033[1mw\n\033[0m" +
                  prefix(l3) + "\033[32m\033[1mn\n\033[0m",
              testing::internal::GetCapturedStdout());
}

TEST(LogLineTest, AlwaysColouredLinesFollowTheSwitchToo) {
    for (bool on : {false, true}) {
        colours_guard g(on);
        testing::internal::CaptureStdout();
        const int l1 = __LINE__ + 1;
        HTTPRTSP_LOG_ERROR_ALWAYS("handle_read: received unexpected reply");
        const int l2 = __LINE__ + 1;
        HTTPRTSP_LOG_NOTICE_ALWAYS("received bad http/rtsp message: %s from %s:%d", "x",
                                   "127.0.0.1", 80);
        const std::string red = on ? "\033[31m\033[1m" : "";
        const std::string green = on ? "\033[32m\033[1m" : "";
        const std::string reset = on ? "\033[0m" : "";
        EXPECT_EQ(prefix(l1) + red + "handle_read: received unexpected reply" + reset + "\r\n" +
                      prefix(l2) + green + "received bad http/rtsp message: x from 127.0.0.1:80" +
                      reset + "\r\n",
                  testing::internal::GetCapturedStdout());
    }
}

// Pseudo-terminals are POSIX; the Windows console is decided by its own mode.
#if !defined(_WIN32)
// Everything the stream showed, read from the far end of a terminal or from a file.
std::string drain(int fd) {
    std::string out;
    char buffer[4096];
    pollfd ready = {fd, POLLIN, 0};
    while (::poll(&ready, 1, 2000) == 1) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

TEST(LogColourTest, DecidedByWhetherTheLogStreamIsATerminal) {
    std::FILE* const saved_stream = log_stream();
    const bool saved_colours = colours_enabled;
    // A terminal: a pseudo-terminal's far end reads what the line looked like.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_LE(0, master);
    ASSERT_EQ(0, ::grantpt(master));
    ASSERT_EQ(0, ::unlockpt(master));
    std::FILE* terminal = std::fopen(::ptsname(master), "w");
    ASSERT_TRUE(terminal);
    set_log_stream(terminal);
    EXPECT_TRUE(colours_enabled);
    HTTPRTSP_LOG_ERROR_ALWAYS("to a terminal");
    EXPECT_NE(std::string::npos, drain(master).find("\033[31m\033[1mto a terminal\033[0m"));

    // A file: no escape sequence on any line.
    std::FILE* file = std::tmpfile();
    ASSERT_TRUE(file);
    set_log_stream(file);
    EXPECT_FALSE(colours_enabled);
    HTTPRTSP_LOG_ERROR_ALWAYS("to a file");
    HTTPRTSP_LOG_WARNING("also to a file");
    std::rewind(file);
    const std::string written = drain(fileno(file));
    EXPECT_NE(std::string::npos, written.find("to a file\r\n")) << written;
    EXPECT_EQ(std::string::npos, written.find('\033')) << written;

    set_log_stream(saved_stream == stdout ? nullptr : saved_stream);
    colours_enabled = saved_colours;
    std::fclose(file);
    std::fclose(terminal);
    ::close(master);
}
#endif

TEST(LogLineTest, FileNameLosesDirectoriesAndExtension) {
    colours_guard g(false);
    struct row {
        const char* file;
        const char* shown;
    } rows[] = {
        {"/work/main/httprtsp/src/connection.cpp", "connection"},
        {"C:\\src\\httprtsp\\src\\message_format.cpp", "message_format"},
        {"io_service_helper.cpp", "io_service_helper"},
        {"dir.d/noext", "noext"},
        {"a/b.c.cpp", "b.c"},
    };
    for (const row& r : rows) {
        testing::internal::CaptureStdout();
        log_line(r.file, 7, log_level::error, false, "x");
        EXPECT_EQ(std::string("In ") + r.shown + ", line 7: x",
                  testing::internal::GetCapturedStdout());
    }
}

TEST(LogLineTest, LongMessagesAreNotCut) {
    colours_guard g(false);
    const std::string big(5000, 'q');
    testing::internal::CaptureStdout();
    log_line("f.cpp", 1, log_level::notice, false, "%s|", big.c_str());
    EXPECT_EQ("In f, line 1: " + big + "|", testing::internal::GetCapturedStdout());
}

TEST(LogLineTest, LinesFromSeveralThreadsStayWhole) {
    colours_guard g(true);
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                log_line("t.cpp", t, log_level::error, true, "thread %d message %d", t, i);
        });
    for (std::thread& th : threads)
        th.join();
    std::istringstream in(testing::internal::GetCapturedStdout());
    std::string line;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        ASSERT_EQ(0u, line.find("In t, line ")) << line;
        ASSERT_EQ("\033[0m\r", line.substr(line.size() - 5)) << line;
        seen.insert(line);
    }
    EXPECT_EQ(800u, seen.size());
}

} // namespace
