// velquin_publish as a real process, for the runs that need no device: the
// scan's own endings and a device that cannot be reached.
#include "publish/src/options.hpp"
#include "tests/publish/expected_usage.hpp"
#include "tests/support/child_process.h"
#include "tests/support/refusing_port.hpp"
#include "velquin_version.h"
#include "tests/support/temp_files.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string program = vq_testing::publish_program(VQ_PUBLISH_EXE);

struct outcome {
    std::string out;
    int status;
};

outcome run_program(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const vq_testing::run_result r = vq_testing::run(argv);
    EXPECT_FALSE(r.timed_out) << program;
    return {r.out, r.status};
}

TEST(ProgramTest, scan_endings_print_usage_or_json_message_with_their_status) {
    struct ending_case {
        std::vector<std::string> arguments;
        std::string out;
        int status;
    };
    const std::string usage =
        expected_usage(publish::usage_example_address, publish::usage_example_host_name);
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

TEST(ProgramTest, unreachable_device_prints_null_and_ends_with_two) {
    // Only the result goes to standard output; the error reports go to standard error.
    const vq_testing::refusing_port refusing;
    const std::string port = refusing.text();
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

// --help and --version answer on standard output with status 0 wherever an option may
// stand; as the value of another option they are that value.
TEST(ProgramTest, help_and_version_answer_with_zero_unless_they_are_a_value) {
    struct info_case {
        std::vector<std::string> arguments;
        std::string out;
        int status;
    };
    const std::string usage =
        expected_usage(publish::usage_example_address, publish::usage_example_host_name);
    const std::string version = std::string("velquin_publish ") + VELQUIN_VERSION + "\n";
    const std::vector<info_case> cases = {
        {{"--help"}, usage, 0},
        {{"--version"}, version, 0},
        {{"-H", "x", "-c", "--help"}, usage, 0},
        {{"-x", "--version", "--help"}, version, 0},
        {{"-v", "--help"}, usage, 1},
        {{"-P", "8081", "-jv", "--version", "-zz"}, usage, 1},
        {{"-P", "8081", "-k", "--help", "-zz"}, usage, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        const vq_testing::run_result result = vq_testing::run([&] {
            std::vector<std::string> argv{program};
            argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
            return argv;
        }());
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(result.err, "");
        }
    }
}

TEST(ProgramTest, unusable_arguments_are_named_on_standard_error_before_the_usage_text) {
    const std::string usage =
        expected_usage(publish::usage_example_address, publish::usage_example_host_name);
    struct named_case {
        std::vector<std::string> arguments;
        std::string err;
    };
    std::vector<named_case> cases = {
        {{"-P", "99999", "-c"}, "port 99999 is not between 1 and 65535"},
        {{"-P", "8081", "--conifg"}, "unrecognised option \"--conifg\""},
        {{"-P", "8081", "-x"}, "unrecognised option \"-x\""},
        {{"-H", "127.0.0.1", "-P", "8081\r", "-c"},
         "argument 4 (8081?) ends with a carriage return (a file with CR LF line ends?)"},
        {{"-P", "8081", "-c", "--max-time", "soon"},
         "--max-time takes seconds, above 0 and up to 86400, not \"soon\""},
        {{"-P", "8081", "-p", "$.a", "-jv", "@/nonexistent/dir/config.json"},
         "-jv @/nonexistent/dir/config.json: cannot be opened"},
    };
    vq_testing::temp_dir dir;
    std::ofstream(dir.file("big.json")) << std::string((16 << 20) + 1, ' ');
    const std::string big = "@" + dir.file("big.json");
    cases.push_back({{"-P", "8081", "-p", "$.a", "-jv", big},
                     "-jv " + (big.size() > 40 ? big.substr(0, 40) + "..." : big) +
                         ": holds more than 16 MiB"});
    for (const named_case& c : cases) {
        SCOPED_TRACE(c.err);
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const vq_testing::run_result r = vq_testing::run(argv);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "velquin_publish: " + c.err + "\n");
    }
}

TEST(ProgramTest, the_summary_line_puts_an_ipv6_address_in_brackets) {
    // Port 9 (discard) is closed on a test machine; without IPv6 the connect fails otherwise,
    // and the line names the device all the same.
    const vq_testing::run_result r = vq_testing::run({program, "-H", "::1", "-P", "9", "-o"});
    EXPECT_EQ(r.status, 2);
    const std::string lead = "\nvelquin_publish: [::1]:9: ";
    EXPECT_NE(("\n" + r.err).find(lead), std::string::npos) << r.err;
}

} // namespace
