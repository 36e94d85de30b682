// The streamed styled form against jsoncpp's own StyledWriter, byte for byte.
#include "publish/src/styled.hpp"

#include <gtest/gtest.h>

#include <json/reader.h>
#include <json/writer.h>

#include <sstream>
#include <string>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

std::string reference(const Json::Value& value) {
    Json::StyledWriter writer;
    return writer.write(value);
}

std::string streamed(const Json::Value& value) {
    std::ostringstream out;
    publish::write_styled(out, value);
    return out.str();
}

TEST(StyledOutputTest, MatchesTheStyledWriterForEveryShape) {
    const char* const texts[] = {
        "null",
        "7",
        "-7",
        "18446744073709551615",
        "1.5",
        "-2e300",
        "true",
        R"("x")",
        R"("esc \u001b bel \u0007 nul \u0000 end")",
        R"("\u00e9\u20ac")",
        "[]",
        "{}",
        "[1,2,3]",
        "[[],{}]",
        "[[1],[2]]",
        "[[[]]]",
        R"([{}])",
        R"({"a":[1,2,{"b":[]}],"c":{"d":null,"e":"f"}})",
        // 24 elements stay on one line, 25 do not.
        "[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24]",
        "[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25]",
        // Short arrays whose line passes the margin.
        R"(["aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"])",
        R"(["aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"])", // 74 wide
        R"(["aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"])",  // 73 wide
        R"({"k":["aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",{}]})",
        R"([{"successful":true,"advice":{"reconnect":"retry","interval":0}},[1,[2]],[]])",
        R"({"":{"":[null,{"x\u001by":1}]}})",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        Json::Value value;
        Json::Reader reader;
        ASSERT_TRUE(reader.parse(text, value, false));
        EXPECT_EQ(streamed(value), reference(value));
    }
    // A configuration's shape: modules, sessions with sources and sinks, actions.
    const char* const config =
        R"({"_modules": [{"channels": 4, "id": 1, "name": "input_bank", "gains": [0, -3.5, 6]},
                         {"id": 254, "outputs_1to8": 110}],
            "actions": {"create_connections": [{"in": {"channel_id": 0, "module_id": 1},
                                                "out": {"channel_id": 0, "module_id": 2}}]},
            "ios": {"inputs": [{"id": 1, "muted": false, "name": "Mic \"Left\""}], "outputs": []},
            "sessions": {"sinks": [], "sources": [{"format": "L24", "id": 1, "name": "mySource1",
                                                   "channels": [1, 2, 3, 4, 5, 6, 7, 8]}]}})";
    Json::Value value;
    Json::Reader reader;
    ASSERT_TRUE(reader.parse(config, value, false));
    EXPECT_EQ(streamed(value), reference(value));
}

TEST(StyledOutputTest, NoControlByteReachesTheOutput) {
    std::string every;
    for (int c = 1; c < 0x20; ++c)
        every += static_cast<char>(c);
    Json::Value value(Json::arrayValue);
    value.append(every);
    value[1][every] = every;
    const std::string out = streamed(value);
    for (const char c : out)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << static_cast<int>(c);
}

} // namespace
