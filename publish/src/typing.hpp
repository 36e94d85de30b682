#pragma once
// Turning command-line texts into the JSON data of settings updates and
// commands, and printing the device's answers.
#include "publish/src/options.hpp"

#include <json/value.h>

#include <ostream>
#include <string>

namespace publish {

// Types a -v text: "true"/"false" give a boolean, any text holding "[" an
// array of whole numbers, a plain 32-bit whole number that number, anything
// else the text with its outer double quotes stripped.
Json::Value type_value(const std::string& text);

// One array token read the way the C library reads a leading decimal integer,
// clamped to the 32-bit range; a token without leading digits gives 0.
int leading_whole_number(const std::string& token);

// A -jv value counts as given unless it is null, an empty array or an empty object.
bool json_value_usable(const Json::Value& value);

// The "value" member of a settings update.
Json::Value settings_value(const command_options& options);

// The data of a command: {"command": value, "data": key parsed as JSON}.
Json::Value command_data(const command_options& options);

// Styled JSON followed by one more line end, flushed.
void print_answer(std::ostream& out, const Json::Value& answer);

} // namespace publish
