#include "publish/src/typing.hpp"

#include "publish/src/styled.hpp"

#include <json/reader.h>
#include <json/writer.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace publish {
namespace {

const char* const array_delimiters = "[ ,]";

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// An optional sign and one or more digits, nothing else, within 32 bits.
bool plain_whole_number(const std::string& text, int& number) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return false;
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (!is_digit(text[i]))
            return false;
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > std::int64_t(INT32_MAX) + 1)
            return false;
    }
    const std::int64_t signed_value = negative ? -magnitude : magnitude;
    if (signed_value > INT32_MAX || signed_value < INT32_MIN)
        return false;
    number = static_cast<int>(signed_value);
    return true;
}

Json::Value whole_number_array(const std::string& text) {
    Json::Value numbers; // stays null when no token is found
    std::size_t start = text.find_first_not_of(array_delimiters);
    while (start != std::string::npos) {
        const std::size_t end = text.find_first_of(array_delimiters, start);
        const std::string token =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        numbers.append(leading_whole_number(token));
        start = end == std::string::npos ? end : text.find_first_not_of(array_delimiters, end);
    }
    return numbers;
}

std::string strip_outer_quotes(const std::string& text) {
    const std::size_t first = text.find_first_not_of('"');
    if (first == std::string::npos)
        return std::string();
    const std::size_t last = text.find_last_not_of('"');
    return text.substr(first, last - first + 1);
}

} // namespace

int leading_whole_number(const std::string& token) {
    // strtol saturates at the limits of long; the result is then clamped to
    // 32 bits rather than cut, so a huge token gives the nearest number.
    errno = 0;
    const long number = std::strtol(token.c_str(), nullptr, 10);
    if (number > INT32_MAX)
        return INT32_MAX;
    if (number < INT32_MIN)
        return INT32_MIN;
    return static_cast<int>(number);
}

Json::Value type_value(const std::string& text) {
    if (text == "true")
        return Json::Value(true);
    if (text == "false")
        return Json::Value(false);
    if (text.find('[') != std::string::npos)
        return whole_number_array(text);
    int number = 0;
    if (plain_whole_number(text, number))
        return Json::Value(number);
    return Json::Value(strip_outer_quotes(text));
}

bool json_value_usable(const Json::Value& value) {
    if (value.isNull())
        return false;
    if ((value.isArray() || value.isObject()) && value.size() == 0)
        return false;
    return true;
}

Json::Value settings_value(const command_options& options) {
    if (json_value_usable(options.json_value)) {
        if (options.key.empty())
            return options.json_value; // "key may be omitted"
        Json::Value wrapped(Json::objectValue);
        wrapped[options.key] = options.json_value;
        return wrapped;
    }
    if (options.key.empty() && options.value.empty())
        return Json::Value();
    Json::Value wrapped(Json::objectValue);
    wrapped[options.key] = type_value(options.value);
    return wrapped;
}

Json::Value command_data(const command_options& options) {
    Json::Value data(Json::objectValue);
    data["command"] = options.value;
    // A key that is not JSON is sent anyway, with whatever the parser built.
    try {
        Json::Reader reader;
        reader.parse(options.key, data["data"], false);
    } catch (const std::exception&) {
        // Nesting too deep for the reader: sent like any other unparsable key.
    }
    return data;
}

void print_answer(std::ostream& out, const Json::Value& answer) {
    write_styled(out, answer);
    out << std::endl;
}

} // namespace publish

#pragma GCC diagnostic pop
