#include "publish/src/options.hpp"

#include "velquin_version.h"

#include <json/reader.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace publish {

const char* const usage_example_address = "192.168.1.20";
const char* const usage_example_host_name = "velquin-stage.local";
const char* const bad_json_value_message = "Failed to parse json value";
// A saved configuration is kilobytes; the device would refuse far less than this.
const std::size_t max_value_file = std::size_t(16) << 20;

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

// An argument as it may be shown on a terminal: control bytes as '?', long ones cut.
std::string shown(const std::string& argument) {
    std::string text;
    for (const char c : argument.substr(0, 40))
        text += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return argument.size() > 40 ? text + "..." : text;
}

scan_result unusable(const std::string& problem) {
    scan_result result = ending(scan_outcome::usage);
    result.problem = problem;
    return result;
}

// Seconds as curl takes them ("10", "0.5"), at least a millisecond and at most a day.
bool parse_seconds(const std::string& text, std::chrono::milliseconds& duration) {
    const std::size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    const auto digits = [](const std::string& part) {
        return part.find_first_not_of("0123456789") == std::string::npos;
    };
    if (whole.empty() || whole.size() > 5 || !digits(whole) || !digits(fraction) ||
        (point != std::string::npos && fraction.empty()))
        return false;
    long long ms = std::stoll(whole) * 1000;
    const std::string thousandths = (fraction + "000").substr(0, 3);
    ms += std::stoll(thousandths);
    if (ms < 1 || ms > 86400 * 1000LL)
        return false;
    duration = std::chrono::milliseconds(ms);
    return true;
}

// A port given as digits must name one; anything else is a service name for the resolver.
bool port_usable(const std::string& port) {
    if (port.find_first_not_of("0123456789") != std::string::npos)
        return true;
    const std::size_t first = port.find_first_not_of('0');
    return first != std::string::npos && port.size() - first <= 5 &&
           std::stol(port.substr(first)) <= 65535;
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

// A list saved with CR LF line ends leaves a CR on its last word: that is never what the device
// or the resolver should see.
std::optional<scan_result> carriage_return(std::size_t index, const std::string& argument) {
    if (argument.empty() || argument.back() != '\r')
        return std::nullopt;
    return unusable("argument " + std::to_string(index + 1) + " (" + shown(argument) +
                    ") ends with a carriage return (a file with CR LF line ends?)");
}

// Stores next as the value of the value-taking option argument (target: where a text goes);
// the ending of the scan when it cannot be used.
std::optional<scan_result> take_value(const std::string& argument, const std::string& next,
                                      std::string* target, command_options& options,
                                      const value_file_reader& read_file) {
    if (target) {
        *target = next;
        return std::nullopt;
    }
    if (argument == "--connect-timeout" || argument == "--max-time") {
        std::chrono::milliseconds& duration =
            argument == "--max-time" ? options.max_time : options.connect_timeout;
        if (!parse_seconds(next, duration))
            return unusable(argument + " takes seconds, above 0 and up to 86400, not \"" +
                            shown(next) + "\"");
        return std::nullopt;
    }
    // No JSON text starts with "@": it names a file ("@-": standard input).
    std::string text = next;
    if (!next.empty() && next[0] == '@') {
        std::string why;
        if (!read_file(next.substr(1), text, why))
            return unusable("-jv " + shown(next) + ": " + why);
    }
    Json::Value parsed;
    if (!parse_json_value(text, parsed))
        return ending(scan_outcome::bad_json_value);
    options.json_value = parsed;
    return std::nullopt;
}

} // namespace

scan_result scan_command_line(const std::vector<std::string>& arguments,
                              const value_file_reader& read_file) {
    // "-P 8081 -c" is the shortest command line that can run.
    if (arguments.size() < 3)
        return ending(scan_outcome::usage);

    scan_result result;
    command_options& options = result.options;
    bool change_given = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (std::optional<scan_result> end = carriage_return(i, argument))
            return *end;
        std::string* target = text_target(options, argument);
        const bool is_json_value = argument == "-jv" || argument == "--jsonvalue";
        if (target || is_json_value || argument == "--connect-timeout" ||
            argument == "--max-time") {
            // A value-taking option with nothing after it cannot be honoured.
            if (i + 1 == arguments.size())
                return ending(scan_outcome::usage);
            const std::string& next = arguments[++i];
            if (std::optional<scan_result> end = carriage_return(i, next))
                return *end;
            change_given =
                change_given || target == &options.key || target == &options.value || is_json_value;
            if (std::optional<scan_result> end =
                    take_value(argument, next, target, options, read_file))
                return *end;
        } else if (argument == "-c" || argument == "--config") {
            options.print_config = true;
        } else if (argument == "-o" || argument == "--command") {
            options.send_command = true;
        } else if (!argument.empty() && argument[0] == '-') {
            return unusable("unrecognised option \"" + shown(argument) + "\"");
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
    if (!port_usable(options.port))
        return unusable("port " + shown(options.port) + " is not between 1 and 65535");

    result.outcome = scan_outcome::run;
    result.action = select_action(options);
    if (change_given && options.path.empty() && !options.send_command)
        result.warning = "warning: -k, -v or -jv without -p or -o: nothing is sent";
    return result;
}

bool read_value_file(const std::string& name, std::string& text, std::string& why) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (name != "-") {
        file.open(name, std::ios::binary);
        if (!file) {
            why = "cannot be opened";
            return false;
        }
        in = &file;
    }
    text.clear();
    char buffer[65536];
    while (in->read(buffer, sizeof buffer) || in->gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in->gcount()));
        if (text.size() > max_value_file) {
            why = "holds more than " + std::to_string(max_value_file >> 20) + " MiB";
            return false;
        }
    }
    if (in->bad()) {
        why = "cannot be read";
        return false;
    }
    return true;
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
