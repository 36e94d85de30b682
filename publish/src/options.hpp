#pragma once
// Command line of velquin_publish: the option scan, the usage text and the
// choice of the one action a run performs. Nothing here touches the network
// or ends the process, so the scan can be driven by tests and fuzzers.
#include <json/value.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace publish {

struct command_options {
    std::string host = "localhost";
    std::string port;
    std::string path;
    std::string key;
    std::string value;
    Json::Value json_value; // null until -jv gives one
    bool print_config = false;
    bool send_command = false;
    // --connect-timeout and --max-time, as curl has them: connecting to the device, and the
    // whole run, may take this long.
    std::chrono::milliseconds connect_timeout = std::chrono::seconds(10);
    std::chrono::milliseconds max_time = std::chrono::seconds(120);
};

enum class selected_action { none, print_configuration, command, settings_update };

// How a scan ended: a runnable command line, the usage text, or a -jv text
// that is not JSON.
enum class scan_outcome { run, usage, bad_json_value };

struct scan_result {
    scan_outcome outcome = scan_outcome::usage;
    command_options options;
    selected_action action = selected_action::none;
    // Why the command line is unusable, one line for standard error; empty when the usage
    // text says enough (too few arguments, no port).
    std::string problem;
    // Said on standard error before a run that goes ahead: what the command line asks for
    // and the run will not do.
    std::string warning;

    // Process exit status for the scan's own endings (1 for the usage text,
    // -1 for the JSON message); meaningless when outcome is run.
    int exit_status() const;
};

// Example addresses shown in the usage text.
extern const char* const usage_example_address;
extern const char* const usage_example_host_name;

// The whole usage text, every line ended by "\n".
const std::string& usage_text();

// The message printed for a -jv text that is not JSON (no line end).
extern const char* const bad_json_value_message;

// Reads the text of "-jv @NAME" ("-": standard input) into `text`; false, with `why`, when
// it cannot.
typedef std::function<bool(const std::string& name, std::string& text, std::string& why)>
    value_file_reader;

// The reader of the program: the file, or standard input, up to max_value_file bytes.
bool read_value_file(const std::string& name, std::string& text, std::string& why);
extern const std::size_t max_value_file;

// Scans the arguments that follow the program name.
scan_result scan_command_line(const std::vector<std::string>& arguments,
                              const value_file_reader& read_file = read_value_file);

// The first applicable action: -c, then -o with a value, then a path.
selected_action select_action(const command_options& options);

// --help and --version, answered before the scan: standing where an option may stand (not
// as another option's value), the first of them decides; none: scan as usual.
enum class info_request { none, help, version };
info_request find_info_request(const std::vector<std::string>& arguments);

// "velquin_publish VERSION", ended by "\n".
std::string version_text();

} // namespace publish
