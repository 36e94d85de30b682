// Command-line scan of velquin_publish: which argument lists run, which end in
// the usage text or the JSON message, what they fill in and which action wins.
#include "publish/src/options.hpp"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <algorithm>

#include <string>
#include <vector>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

using publish::scan_command_line;
using publish::scan_outcome;
using publish::selected_action;

struct scan_case {
    const char* name;
    std::vector<std::string> arguments;
    scan_outcome outcome;
    int status;
};

TEST(OptionScanTest, unusable_command_lines_end_with_usage_or_json_message) {
    const std::vector<scan_case> cases = {
        {"no arguments", {}, scan_outcome::usage, 1},
        {"two arguments are too few even when complete", {"-c", "-o"}, scan_outcome::usage, 1},
        {"two arguments with host and port", {"-P", "8081"}, scan_outcome::usage, 1},
        {"no port", {"-H", "localhost", "-c"}, scan_outcome::usage, 1},
        {"empty host", {"-H", "", "-P", "8081", "-c"}, scan_outcome::usage, 1},
        {"empty port", {"-P", "", "-c", "-o"}, scan_outcome::usage, 1},
        {"short option in the wrong case",
         {"-h", "localhost", "-P", "8081"},
         scan_outcome::usage,
         1},
        {"long option in the wrong case",
         {"--Host", "localhost", "-P", "8081"},
         scan_outcome::usage,
         1},
        {"name=value form", {"--port=8081", "-c", "-o"}, scan_outcome::usage, 1},
        {"bundled short options", {"-P", "8081", "-co"}, scan_outcome::usage, 1},
        {"positional negative number", {"-P", "8081", "-5"}, scan_outcome::usage, 1},
        {"lone dash", {"-P", "8081", "-"}, scan_outcome::usage, 1},
        {"fourth positional", {"-P", "8081", "a", "b", "c", "d"}, scan_outcome::usage, 1},
        {"value option last", {"-P", "8081", "-v"}, scan_outcome::usage, 1},
        {"json option last", {"-P", "8081", "-jv"}, scan_outcome::usage, 1},
        {"port option last", {"-c", "-o", "--port"}, scan_outcome::usage, 1},
        {"bad json", {"-P", "8081", "-jv", "{nope"}, scan_outcome::bad_json_value, -1},
        {"bad json before an unknown option",
         {"-P", "8081", "-jv", "{", "-x"},
         scan_outcome::bad_json_value,
         -1},
        {"bad json even without a port", {"-c", "-jv", "[1,"}, scan_outcome::bad_json_value, -1},
        {"unknown option before bad json",
         {"-P", "8081", "-x", "-jv", "{"},
         scan_outcome::usage,
         1},
        {"empty json text", {"-P", "8081", "--jsonvalue", ""}, scan_outcome::bad_json_value, -1},
        {"json nested deeper than the reader goes",
         {"-P", "8081", "-jv", std::string(5000, '[') + std::string(5000, ']')},
         scan_outcome::bad_json_value,
         -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = scan_command_line(c.arguments);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.exit_status(), c.status);
    }
}

struct fill_case {
    const char* name;
    std::vector<std::string> arguments;
    std::string host, port, path, key, value;
    bool print_config, send_command;
    selected_action action;
};

TEST(OptionScanTest, runnable_command_lines_fill_fields_and_select_one_action) {
    const auto none = selected_action::none;
    const auto config = selected_action::print_configuration;
    const auto command = selected_action::command;
    const auto update = selected_action::settings_update;
    const std::vector<fill_case> cases = {
        {"shortest runnable line",
         {"-P", "8081", "-c"},
         "localhost",
         "8081",
         "",
         "",
         "",
         true,
         false,
         config},
        {"long spellings",
         {"--host", "h", "--port", "p", "--path", "$.a", "--key", "k", "--value", "v", "--config",
          "--command"},
         "h",
         "p",
         "$.a",
         "k",
         "v",
         true,
         true,
         config},
        {"short spellings",
         {"-H", "h", "-P", "p", "-p", "$.a", "-k", "k", "-v", "v"},
         "h",
         "p",
         "$.a",
         "k",
         "v",
         false,
         false,
         update},
        {"value that looks like an option",
         {"-P", "8081", "-v", "-5"},
         "localhost",
         "8081",
         "",
         "",
         "-5",
         false,
         false,
         none},
        {"value that is an option name",
         {"-P", "8081", "-k", "-c"},
         "localhost",
         "8081",
         "",
         "-c",
         "",
         false,
         false,
         none},
        {"later occurrence wins",
         {"-P", "1", "-P", "2", "-H", "a", "-H", "b"},
         "b",
         "2",
         "",
         "",
         "",
         false,
         false,
         none},
        {"three positionals in order",
         {"-P", "8081", "$.s[0]", "name", "mySource1"},
         "localhost",
         "8081",
         "$.s[0]",
         "name",
         "mySource1",
         false,
         false,
         update},
        {"positional after -p goes to key",
         {"-P", "8081", "-p", "$.x", "name", "v1"},
         "localhost",
         "8081",
         "$.x",
         "name",
         "v1",
         false,
         false,
         update},
        {"positional before options",
         {"$.x", "-P", "8081", "k"},
         "localhost",
         "8081",
         "$.x",
         "k",
         "",
         false,
         false,
         update},
        {"empty positional leaves path empty",
         {"-P", "8081", "", "$.y"},
         "localhost",
         "8081",
         "$.y",
         "",
         "",
         false,
         false,
         update},
        {"-c wins over a command",
         {"-P", "8081", "-c", "-o", "-v", "reboot"},
         "localhost",
         "8081",
         "",
         "",
         "reboot",
         true,
         true,
         config},
        {"-o with a value wins over a path",
         {"-P", "8081", "-o", "-p", "$.a", "-k", "k", "-v", "reboot"},
         "localhost",
         "8081",
         "$.a",
         "k",
         "reboot",
         false,
         true,
         command},
        {"-o without a value falls to the update",
         {"-P", "8081", "-o", "-p", "$.a", "-k", "k"},
         "localhost",
         "8081",
         "$.a",
         "k",
         "",
         false,
         true,
         update},
        {"-o alone selects nothing",
         {"-H", "localhost", "-P", "8081", "-o"},
         "localhost",
         "8081",
         "",
         "",
         "",
         false,
         true,
         none},
        {"positional value after -o",
         {"-P", "8081", "-o", "x", "y", "reboot"},
         "localhost",
         "8081",
         "x",
         "y",
         "reboot",
         false,
         true,
         command},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = scan_command_line(c.arguments);
        ASSERT_EQ(result.outcome, scan_outcome::run);
        EXPECT_EQ(result.exit_status(), 0);
        EXPECT_EQ(result.options.host, c.host);
        EXPECT_EQ(result.options.port, c.port);
        EXPECT_EQ(result.options.path, c.path);
        EXPECT_EQ(result.options.key, c.key);
        EXPECT_EQ(result.options.value, c.value);
        EXPECT_EQ(result.options.print_config, c.print_config);
        EXPECT_EQ(result.options.send_command, c.send_command);
        EXPECT_EQ(result.action, c.action);
        EXPECT_TRUE(result.options.json_value.isNull());
    }
}

TEST(OptionScanTest, json_value_accepts_any_json_with_comments) {
    struct json_case {
        const char* text;
        Json::Value expected;
    };
    Json::Value object(Json::objectValue);
    object["a"] = 1;
    Json::Value array(Json::arrayValue);
    array.append(1);
    array.append("x");
    const std::vector<json_case> cases = {
        {"{\"a\": 1}", object},
        {"[1, \"x\"]", array},
        {"42", Json::Value(42)},
        {"\"text\"", Json::Value("text")},
        {"false", Json::Value(false)},
        {"null", Json::Value()},
        {"// a comment\n{\"a\": 1}", object},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto result = scan_command_line({"-P", "8081", "-jv", c.text});
        ASSERT_EQ(result.outcome, scan_outcome::run);
        EXPECT_EQ(result.options.json_value, c.expected);
    }
    // A later -jv replaces the earlier one.
    const auto twice = scan_command_line({"-P", "8081", "-jv", "1", "--jsonvalue", "2"});
    EXPECT_EQ(twice.options.json_value, Json::Value(2));
}

TEST(UsageTextTest, is_printed_byte_for_byte) {
    const std::string address = publish::usage_example_address;
    const std::string host = publish::usage_example_host_name;
    const std::string expected =
        "\n"
        "\n"
        "velquin_publish -H[--host] myhost -P[--port] myport [OPTIONS]\n"
        "\n"
        "\n"
        "OPTIONS:\n"
        "-c[--config]: print out the host configuration in Json styled form. Can be piped into a file\n"
        "-o[--command]: sends value to the commands channel.\n"
        "-p[--path]: the literal path into the config where key:value will be set\n"
        "-k[--key]: the key value\n"
        "-v[--value]: the value associated to the key\n"
        "-jv[--jsonvalue]: the json value associated to the key; Note: key may be omitted\n"
        "\n"
        "EXAMPLES:\n"
        "velquin_publish -H " +
        address +
        " -P 8081 -c > hostconfig.txt\n"
        "velquin_publish -H " +
        address +
        " -P 8081 -o -v reboot\n"
        "velquin_publish -H " +
        host +
        R"( -P 80 -o -v gpio_read_iic -k "{\"device_addr\": 45, \"register_addr\": 30, \"value\": 5}")"
        "\n"
        "velquin_publish -H " +
        host +
        R"( -P 80 -p $.actions.create_connections -jv "[{\"out\": {\"module_id\": 2, \"channel_id\" : 0}, \"in\" : {\"module_id\": 1, \"channel_id\" : 0}}]")"
        "\n"
        "velquin_publish -H localhost -P 8081 -p $.sessions.sources[?(@.id==1)][0] -k name -v mySource1\n"
        "If ordered, -p -k -v can be ommited\n"
        "velquin_publish -H localhost -P 8081 $.sessions.sources[?(@.id==1)][0] name mySource1\n"
        "velquin_publish -H localhost -P 8081 -p $._modules[?(@.id==254)][0] -k outputs_1to8 -v 110\n"
        "\n"
        "\n";
    EXPECT_EQ(publish::usage_text(), expected);
    // The examples must be usable as shown: an IPv4 address and a local host name.
    EXPECT_EQ(std::count(address.begin(), address.end(), '.'), 3);
    EXPECT_EQ(address.find_first_not_of("0123456789."), std::string::npos);
    EXPECT_NE(host.find(".local"), std::string::npos);
}

TEST(UsageTextTest, examples_scan_to_the_actions_they_show) {
    // The usage examples, as a shell would split them.
    struct example {
        std::vector<std::string> arguments;
        selected_action action;
    };
    const std::vector<example> examples = {
        {{"-H", publish::usage_example_address, "-P", "8081", "-c"},
         selected_action::print_configuration},
        {{"-H", publish::usage_example_address, "-P", "8081", "-o", "-v", "reboot"},
         selected_action::command},
        {{"-H", publish::usage_example_host_name, "-P", "80", "-o", "-v", "gpio_read_iic", "-k",
          "{\"device_addr\": 45, \"register_addr\": 30, \"value\": 5}"},
         selected_action::command},
        {{"-H", publish::usage_example_host_name, "-P", "80", "-p", "$.actions.create_connections",
          "-jv",
          "[{\"out\": {\"module_id\": 2, \"channel_id\" : 0}, \"in\" : {\"module_id\": 1, \"channel_id\" : 0}}]"},
         selected_action::settings_update},
        {{"-H", "localhost", "-P", "8081", "$.sessions.sources[?(@.id==1)][0]", "name",
          "mySource1"},
         selected_action::settings_update},
    };
    for (const auto& e : examples) {
        const auto result = scan_command_line(e.arguments);
        ASSERT_EQ(result.outcome, scan_outcome::run);
        EXPECT_EQ(result.action, e.action);
    }
}

} // namespace

namespace {

// Reads "-jv @NAME" from a table of names instead of files.
bool fake_file(const std::string& name, std::string& text, std::string& why) {
    if (name == "config.json") {
        text = R"({"ios": {}})";
        return true;
    }
    if (name == "-") {
        text = "[1, 2]";
        return true;
    }
    if (name == "notes.txt") {
        text = "not json";
        return true;
    }
    why = "cannot be opened";
    return false;
}

TEST(OptionCheckTest, ports_carriage_returns_unknown_options_and_durations_are_named) {
    struct check_case {
        std::vector<std::string> arguments;
        scan_outcome outcome;
        std::string problem; // the line for standard error; empty: none
    };
    const std::vector<check_case> cases = {
        {{"-P", "99999", "-c"}, scan_outcome::usage, "port 99999 is not between 1 and 65535"},
        {{"-P", "65536", "-c"}, scan_outcome::usage, "port 65536 is not between 1 and 65535"},
        {{"-P", "0", "-c"}, scan_outcome::usage, "port 0 is not between 1 and 65535"},
        {{"-P", "000", "-c"}, scan_outcome::usage, "port 000 is not between 1 and 65535"},
        {{"-P", "100000000000000000000", "-c"},
         scan_outcome::usage,
         "port 100000000000000000000 is not between 1 and 65535"},
        {{"-P", "65535", "-c"}, scan_outcome::run, ""},
        {{"-P", "1", "-c"}, scan_outcome::run, ""},
        {{"-P", "0008081", "-c"}, scan_outcome::run, ""},
        {{"-P", "http", "-c"}, scan_outcome::run, ""}, // a service name
        {{"-P", "8081\r", "-c"},
         scan_outcome::usage,
         "argument 2 (8081?) ends with a carriage return (a file with CR LF line ends?)"},
        {{"-P", "8081", "-c", "$.a\r"},
         scan_outcome::usage,
         "argument 4 ($.a?) ends with a carriage return (a file with CR LF line ends?)"},
        {{"-P", "8081", "-c\r"},
         scan_outcome::usage,
         "argument 3 (-c?) ends with a carriage return (a file with CR LF line ends?)"},
        {{"-P", "8081", "--conifg"}, scan_outcome::usage, "unrecognised option \"--conifg\""},
        {{"-P", "8081", "-c", "--host=1.2.3.4"},
         scan_outcome::usage,
         "unrecognised option \"--host=1.2.3.4\""},
        {{"-P", "8081", "-x\x1b[31m"}, scan_outcome::usage, "unrecognised option \"-x?[31m\""},
        {{"-P", "8081", "--" + std::string(60, 'y')},
         scan_outcome::usage,
         "unrecognised option \"--" + std::string(38, 'y') + "...\""},
        {{"-P", "8081", "-c", "--max-time", "0"},
         scan_outcome::usage,
         "--max-time takes seconds, above 0 and up to 86400, not \"0\""},
        {{"-P", "8081", "-c", "--max-time", "86401"},
         scan_outcome::usage,
         "--max-time takes seconds, above 0 and up to 86400, not \"86401\""},
        {{"-P", "8081", "-c", "--connect-timeout", "-1"},
         scan_outcome::usage,
         "--connect-timeout takes seconds, above 0 and up to 86400, not \"-1\""},
        {{"-P", "8081", "-c", "--connect-timeout", "1e3"},
         scan_outcome::usage,
         "--connect-timeout takes seconds, above 0 and up to 86400, not \"1e3\""},
        {{"-P", "8081", "-c", "--connect-timeout", "1."},
         scan_outcome::usage,
         "--connect-timeout takes seconds, above 0 and up to 86400, not \"1.\""},
        {{"-P", "8081", "-c", "--connect-timeout", "0.0001"},
         scan_outcome::usage,
         "--connect-timeout takes seconds, above 0 and up to 86400, not \"0.0001\""},
        {{"-P", "8081", "-c", "-jv", "@missing.json"},
         scan_outcome::usage,
         "-jv @missing.json: cannot be opened"},
        {{"-P", "8081", "-c", "-jv", "@notes.txt"}, scan_outcome::bad_json_value, ""},
    };
    for (const check_case& c : cases) {
        std::string shown;
        for (const std::string& a : c.arguments)
            shown += a + " ";
        SCOPED_TRACE(shown);
        const publish::scan_result result = scan_command_line(c.arguments, fake_file);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.problem, c.problem);
    }
}

TEST(OptionCheckTest, durations_files_and_warnings_fill_the_options) {
    struct option_fill {
        std::vector<std::string> arguments;
        long long connect_ms;
        long long max_ms;
        const char* json; // the -jv value, compact; nullptr: none
        bool warned;
    };
    const std::vector<option_fill> cases = {
        {{"-P", "8081", "-c"}, 10000, 120000, nullptr, false},
        {{"-P", "8081", "-c", "--connect-timeout", "0.5", "--max-time", "30"},
         500,
         30000,
         nullptr,
         false},
        {{"-P", "8081", "--max-time", "86400", "-c", "--max-time", "2.25"},
         10000,
         2250,
         nullptr,
         false},
        {{"-P", "8081", "-p", "$.x", "-jv", "@config.json"}, 10000, 120000, R"({"ios":{}})", false},
        {{"-P", "8081", "-p", "$.x", "-jv", "@-"}, 10000, 120000, "[1,2]", false},
        // A change with nowhere to go is run all the same, with a warning.
        {{"-P", "8081", "-k", "name", "-v", "x"}, 10000, 120000, nullptr, true},
        {{"-P", "8081", "-jv", "@config.json", "-c"}, 10000, 120000, R"({"ios":{}})", true},
        {{"-P", "8081", "-o", "-v", "reboot"}, 10000, 120000, nullptr, false},
        {{"-P", "8081", "$.x", "name", "x"}, 10000, 120000, nullptr, false},
        {{"-P", "8081", "-o"}, 10000, 120000, nullptr, false},
    };
    for (const option_fill& c : cases) {
        std::string shown;
        for (const std::string& a : c.arguments)
            shown += a + " ";
        SCOPED_TRACE(shown);
        const publish::scan_result result = scan_command_line(c.arguments, fake_file);
        ASSERT_EQ(result.outcome, scan_outcome::run) << result.problem;
        EXPECT_EQ(result.options.connect_timeout.count(), c.connect_ms);
        EXPECT_EQ(result.options.max_time.count(), c.max_ms);
        if (c.json) {
            Json::Value expected;
            Json::Reader reader;
            ASSERT_TRUE(reader.parse(c.json, expected));
            EXPECT_EQ(result.options.json_value, expected);
        }
        EXPECT_EQ(!result.warning.empty(), c.warned) << result.warning;
    }
}

} // namespace
