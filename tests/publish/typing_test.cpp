// Typing of -v texts, the settings value and command data, and the printed
// form of answers.
#include "publish/src/typing.hpp"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

Json::Value json(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value)) << text;
    return value;
}

struct typing_case {
    std::string text;
    const char* expected; // JSON text of the expected value
};

TEST(ValueTypingTest, booleans_numbers_arrays_and_texts) {
    const std::vector<typing_case> cases = {
        {"true", "true"},
        {"false", "false"},
        {"True", "\"True\""},
        {"FALSE", "\"FALSE\""},
        {"110", "110"},
        {"+7", "7"},
        {"-0", "0"},
        {"007", "7"},
        {"-2147483648", "-2147483648"},
        {"2147483647", "2147483647"},
        {"2147483648", "\"2147483648\""},
        {"-2147483649", "\"-2147483649\""},
        {"99999999999999999999999", "\"99999999999999999999999\""},
        {"1.5", "\"1.5\""},
        {"1e3", "\"1e3\""},
        {"0x10", "\"0x10\""},
        {" 5", "\" 5\""},
        {"5 ", "\"5 \""},
        {"1,000", "\"1,000\""},
        {"+", "\"+\""},
        {"-", "\"-\""},
        {"", "\"\""},
        {"mySource1", "\"mySource1\""},
        {"\"quoted\"", "\"quoted\""},
        {"\"\"\"many\"\"", "\"many\""},
        {"\"in\"side\"", "\"in\\\"side\""},
        {"\"", "\"\""},
        {"\"\"", "\"\""},
        {"a\"b", "\"a\\\"b\""},
        {"\"12\"", "\"12\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text: [" + c.text + "]");
        const Json::Value typed = publish::type_value(c.text);
        const Json::Value expected = json(c.expected);
        EXPECT_EQ(typed, expected);
        EXPECT_EQ(typed.type(), expected.type());
    }
}

TEST(ValueTypingTest, anything_holding_a_bracket_is_an_array_of_whole_numbers) {
    const std::vector<typing_case> cases = {
        {"[1, 2,3]", "[1,2,3]"},
        {"[-1,x]", "[-1,0]"},
        {"[]", "null"},
        {"[ , ]", "null"},
        {"[", "null"},
        {"abc[1", "[0,1]"},
        {"[true]", "[0]"},
        {"[12abc, +4, -x]", "[12,4,0]"},
        {"[1.9]", "[1]"},
        {"[0x1F]", "[0]"},
        {"[\t7]", "[7]"},
        {"[007,-0]", "[7,0]"},
        {"]]5[[6", "[5,6]"},
        {"[2147483647, -2147483648]", "[2147483647,-2147483648]"},
        // Beyond 32 bits the nearest whole number is taken.
        {"[2147483648, -2147483649]", "[2147483647,-2147483648]"},
        {"[99999999999999999999999999]", "[2147483647]"},
        {"[-99999999999999999999999999]", "[-2147483648]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text: [" + c.text + "]");
        EXPECT_EQ(publish::type_value(c.text), json(c.expected));
    }
}

TEST(ValueTypingTest, leading_whole_number_follows_the_c_conversion_and_clamps) {
    struct number_case {
        std::string token;
        int expected;
    };
    const std::vector<number_case> cases = {
        {"42", 42},
        {"-42", -42},
        {"+42", 42},
        {" \t\n42", 42},
        {"42abc", 42},
        {"abc", 0},
        {"", 0},
        {"+", 0},
        {"- 1", 0},
        {"--1", 0},
        {"4294967296", INT_MAX},
        {"-4294967296", INT_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.token);
        EXPECT_EQ(publish::leading_whole_number(c.token), c.expected);
    }
}

struct settings_case {
    const char* name;
    std::string key, value;
    const char* json_value; // JSON text given with -jv, or null for none
    const char* expected;
};

TEST(SettingsValueTest, key_value_and_json_value_combine_as_the_device_expects) {
    const std::vector<settings_case> cases = {
        {"key and text", "name", "mySource1", nullptr, "{\"name\": \"mySource1\"}"},
        {"key and number", "outputs_1to8", "110", nullptr, "{\"outputs_1to8\": 110}"},
        {"key without value", "name", "", nullptr, "{\"name\": \"\"}"},
        {"value without key", "", "5", nullptr, "{\"\": 5}"},
        {"neither", "", "", nullptr, "null"},
        {"json value without key is the value", "", "", "{\"a\": 1}", "{\"a\": 1}"},
        {"json value under the key", "b", "", "{\"a\": 1}", "{\"b\": {\"a\": 1}}"},
        {"json value wins over the text", "b", "7", "[1,2]", "{\"b\": [1,2]}"},
        {"json null counts as not given", "b", "7", "null", "{\"b\": 7}"},
        {"empty json array counts as not given", "b", "true", "[]", "{\"b\": true}"},
        {"empty json object counts as not given", "", "", "{}", "null"},
        {"json zero is usable", "", "9", "0", "0"},
        {"json false is usable", "k", "9", "false", "{\"k\": false}"},
        {"json empty text is usable", "k", "9", "\"\"", "{\"k\": \"\"}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        publish::command_options options;
        options.key = c.key;
        options.value = c.value;
        if (c.json_value)
            options.json_value = json(c.json_value);
        EXPECT_EQ(publish::settings_value(options), json(c.expected));
    }
}

TEST(CommandDataTest, key_is_parsed_as_json_and_sent_even_when_it_is_not) {
    struct command_case {
        std::string value, key;
        const char* expected;
    };
    const std::vector<command_case> cases = {
        {"reboot", "", "{\"command\": \"reboot\", \"data\": null}"},
        {"gpio_read_iic", "{\"device_addr\": 45, \"register_addr\": 30, \"value\": 5}",
         "{\"command\": \"gpio_read_iic\", \"data\": {\"device_addr\": 45, \"register_addr\": 30, \"value\": 5}}"},
        {"x", "[1, 2]", "{\"command\": \"x\", \"data\": [1, 2]}"},
        {"x", "not json", "{\"command\": \"x\", \"data\": null}"},
        {"42", "7", "{\"command\": \"42\", \"data\": 7}"},
        {"deep", std::string(5000, '[') + std::string(5000, ']'), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value + " / " + c.key);
        publish::command_options options;
        options.value = c.value;
        options.key = c.key;
        const Json::Value data = publish::command_data(options);
        if (c.expected) {
            EXPECT_EQ(data, json(c.expected));
        }
        EXPECT_EQ(data["command"], Json::Value(c.value));
        EXPECT_TRUE(data["command"].isString());
    }
}

TEST(PrintedAnswerTest, is_styled_json_followed_by_a_blank_line) {
    struct print_case {
        const char* answer;
        const char* printed;
    };
    const std::vector<print_case> cases = {
        {"null", "null\n\n"},
        {"[]", "[]\n\n"},
        {"{\"b\": 1, \"a\": \"x\"}", "{\n   \"a\" : \"x\",\n   \"b\" : 1\n}\n\n"},
        {"[{\"successful\": true}]", "[\n   {\n      \"successful\" : true\n   }\n]\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        std::ostringstream out;
        publish::print_answer(out, json(c.answer));
        EXPECT_EQ(out.str(), c.printed);
    }
}

} // namespace
