// velquin_publish as a real process, for the runs that need no device: the
// scan's own endings and a device that cannot be reached.
#include "publish/src/options.hpp"
#include "tests/support/process.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string program = e2e::publish_program(VQ_PUBLISH_EXE);

struct outcome {
    std::string out;
    int status;
};

outcome run_program(const std::vector<std::string>& arguments) {
    const e2e::run_result r = e2e::run(program, arguments);
    EXPECT_FALSE(r.timed_out) << program;
    return {r.out, r.status};
}

// A loopback port nothing listens on (it was free a moment ago).
std::string closed_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return std::to_string(ntohs(address.sin_port));
}

TEST(program, scan_endings_print_usage_or_json_message_with_their_status) {
    struct ending_case {
        std::vector<std::string> arguments;
        std::string out;
        int status;
    };
    const std::string usage = publish::usage_text();
    const std::vector<ending_case> cases = {
        {{}, usage, 1},
        {{"-c", "-o"}, usage, 1},
        {{"-H", "localhost", "-c"}, usage, 1},
        {{"-P", "8081", "--Host", "x"}, usage, 1},
        {{"-P", "8081", "a", "b", "c", "d"}, usage, 1},
        {{"-P", "8081", "-c", "-k"}, usage, 1},
        {{"-P", "8081", "-jv", "{x", "-zz"}, "Failed to parse json value\n", 255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.size());
        const outcome result = run_program(c.arguments);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.status);
    }
}

TEST(program, unreachable_device_prints_null_and_ends_with_two) {
    // Only the result goes to standard output; the error reports go to standard error.
    const std::string port = closed_port();
    struct unreachable_case {
        std::vector<std::string> arguments;
        std::string out;
    };
    const std::vector<unreachable_case> cases = {
        {{"-H", "127.0.0.1", "-P", port, "-c"}, "null\n\n"},
        {{"-H", "127.0.0.1", "-P", port, "-o", "-v", "reboot"}, "null\n\n"},
        {{"-H", "127.0.0.1", "-P", port, "$.a", "k", "1"}, "null\n\n"},
        {{"-H", "127.0.0.1", "-P", port, "-o"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        const outcome result = run_program(c.arguments);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, 2);
    }
}

} // namespace
