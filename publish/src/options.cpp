#include "publish/src/options.hpp"

#include "velquin_version.h"

#include <json/reader.h>

#include <exception>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace publish {

const char* const usage_example_address = "192.168.1.20";
const char* const usage_example_host_name = "velquin-stage.local";
const char* const bad_json_value_message = "Failed to parse json value";

int scan_result::exit_status() const {
    switch (outcome) {
    case scan_outcome::bad_json_value:
        return -1;
    case scan_outcome::usage:
        return 1;
    case scan_outcome::run:
        break;
    }
    return 0;
}

const std::string& usage_text() {
    static const std::string text = [] {
        const std::string address = usage_example_address;
        const std::string host = usage_example_host_name;
        const std::vector<std::string> lines = {
            "",
            "",
            "velquin_publish -H[--host] myhost -P[--port] myport [OPTIONS]",
            "",
            "",
            "OPTIONS:",
            "-c[--config]: print out the host configuration in Json styled form. Can be piped into a file",
            "-o[--command]: sends value to the commands channel.",
            "-p[--path]: the literal path into the config where key:value will be set",
            "-k[--key]: the key value",
            "-v[--value]: the value associated to the key",
            "-jv[--jsonvalue]: the json value associated to the key; Note: key may be omitted",
            "",
            "EXAMPLES:",
            "velquin_publish -H " + address + " -P 8081 -c > hostconfig.txt",
            "velquin_publish -H " + address + " -P 8081 -o -v reboot",
            "velquin_publish -H " + host +
                " -P 80 -o -v gpio_read_iic -k \"{\\\"device_addr\\\": 45, \\\"register_addr\\\": 30, "
                "\\\"value\\\": 5}\"",
            "velquin_publish -H " + host +
                " -P 80 -p $.actions.create_connections -jv \"[{\\\"out\\\": {\\\"module_id\\\": 2, "
                "\\\"channel_id\\\" : 0}, \\\"in\\\" : {\\\"module_id\\\": 1, \\\"channel_id\\\" : 0}}]\"",
            "velquin_publish -H localhost -P 8081 -p $.sessions.sources[?(@.id==1)][0] -k name -v mySource1",
            "If ordered, -p -k -v can be ommited",
            "velquin_publish -H localhost -P 8081 $.sessions.sources[?(@.id==1)][0] name mySource1",
            "velquin_publish -H localhost -P 8081 -p $._modules[?(@.id==254)][0] -k outputs_1to8 -v 110",
            "",
            "",
        };
        std::string all;
        for (const auto& line : lines)
            all += line + "\n";
        return all;
    }();
    return text;
}

namespace {

scan_result ending(scan_outcome outcome) {
    scan_result result;
    result.outcome = outcome;
    return result;
}

// The text field a value-taking option fills, or null for -jv and the flags.
std::string* text_target(command_options& options, const std::string& argument) {
    if (argument == "-H" || argument == "--host")
        return &options.host;
    if (argument == "-P" || argument == "--port")
        return &options.port;
    if (argument == "-p" || argument == "--path")
        return &options.path;
    if (argument == "-k" || argument == "--key")
        return &options.key;
    if (argument == "-v" || argument == "--value")
        return &options.value;
    return nullptr;
}

// The reader throws instead of failing on very deep nesting; that is a text
// it cannot parse like any other.
bool parse_json_value(const std::string& text, Json::Value& value) {
    try {
        Json::Reader reader;
        return reader.parse(text, value);
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

scan_result scan_command_line(const std::vector<std::string>& arguments) {
    // "-P 8081 -c" is the shortest command line that can run.
    if (arguments.size() < 3)
        return ending(scan_outcome::usage);

    scan_result result;
    command_options& options = result.options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string* target = text_target(options, argument);
        const bool is_json_value = argument == "-jv" || argument == "--jsonvalue";
        if (target || is_json_value) {
            // A value-taking option with nothing after it cannot be honoured.
            if (i + 1 == arguments.size())
                return ending(scan_outcome::usage);
            const std::string& next = arguments[++i];
            if (target) {
                *target = next;
            } else {
                Json::Value parsed;
                if (!parse_json_value(next, parsed))
                    return ending(scan_outcome::bad_json_value);
                options.json_value = parsed;
            }
        } else if (argument == "-c" || argument == "--config") {
            options.print_config = true;
        } else if (argument == "-o" || argument == "--command") {
            options.send_command = true;
        } else if (!argument.empty() && argument[0] == '-') {
            return ending(scan_outcome::usage);
        } else if (options.path.empty()) {
            options.path = argument;
        } else if (options.key.empty()) {
            options.key = argument;
        } else if (options.value.empty()) {
            options.value = argument;
        } else {
            return ending(scan_outcome::usage);
        }
    }
    if (options.host.empty() || options.port.empty())
        return ending(scan_outcome::usage);

    result.outcome = scan_outcome::run;
    result.action = select_action(options);
    return result;
}

selected_action select_action(const command_options& options) {
    if (options.print_config)
        return selected_action::print_configuration;
    if (options.send_command && !options.value.empty())
        return selected_action::command;
    if (!options.path.empty())
        return selected_action::settings_update;
    return selected_action::none;
}

info_request find_info_request(const std::vector<std::string>& arguments) {
    command_options scratch;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help")
            return info_request::help;
        if (argument == "--version")
            return info_request::version;
        // "-v --help" sets a value; it asks for nothing.
        if (text_target(scratch, argument) || argument == "-jv" || argument == "--jsonvalue")
            ++i;
    }
    return info_request::none;
}

std::string version_text() {
    return std::string("velquin_publish ") + VELQUIN_VERSION + "\n";
}

} // namespace publish

#pragma GCC diagnostic pop
