// Command lines from fuzzer bytes: arguments are the NUL-separated pieces of
// the input. Each runnable line goes on through the typing of its value, the
// settings value and the command data, as a run would before publishing.
#include "publish/src/options.hpp"
#include "publish/src/typing.hpp"

#include <json/writer.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back(current);

    // "-jv @NAME" reads no file here: the fuzzer must not block on standard input.
    const publish::scan_result result = publish::scan_command_line(
        arguments, [](const std::string&, std::string&, std::string& why) {
            why = "not read";
            return false;
        });
    const int status = result.exit_status();
    if (result.outcome != publish::scan_outcome::run) {
        if (status != 1 && status != -1)
            std::abort();
        return 0;
    }
    if (result.options.host.empty() || result.options.port.empty())
        std::abort();
    if (result.action != publish::select_action(result.options))
        std::abort();

    const Json::Value typed = publish::type_value(result.options.value);
    if (!(typed.isNull() || typed.isBool() || typed.isInt() || typed.isString() || typed.isArray()))
        std::abort();

    Json::FastWriter writer;
    std::ostringstream out;
    switch (result.action) {
    case publish::selected_action::settings_update: {
        Json::Value setting(Json::objectValue);
        setting["path"] = result.options.path;
        setting["value"] = publish::settings_value(result.options);
        writer.write(setting);
        publish::print_answer(out, setting);
        break;
    }
    case publish::selected_action::command:
        writer.write(publish::command_data(result.options));
        break;
    case publish::selected_action::print_configuration:
    case publish::selected_action::none:
        break;
    }
    return 0;
}
