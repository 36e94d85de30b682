// The device channel client and the program's actions, against a scripted
// peer: channel joins and leaves, the configuration pick-out, and what each
// action publishes and prints.
#include "publish/src/actions.hpp"
#include "tests/support/scripted_peer.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using test_support::compact;
using test_support::parse_json;
using test_support::scripted_peer;
using test_support::test_client;

const std::vector<std::string> joins = {"/meta/subscribe /velquin/settings",
                                        "/meta/subscribe /velquin/query",
                                        "/meta/subscribe /velquin/commands"};
const std::vector<std::string> leaves = {"/meta/unsubscribe /velquin/settings",
                                         "/meta/unsubscribe /velquin/query",
                                         "/meta/unsubscribe /velquin/commands", "/meta/disconnect"};

std::vector<std::string> tail_from(const std::vector<std::string>& all, std::size_t first) {
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
}

TEST(DeviceClientTest, joins_the_three_channels_on_creation_even_after_a_failed_handshake) {
    for (int refused = 0; refused < 2; ++refused) {
        SCOPED_TRACE(refused ? "handshake refused" : "handshake granted");
        scripted_peer peer;
        if (refused)
            peer.then_body("[{\"successful\":false}]");
        test_client client(peer);
        std::vector<std::string> expected = {"/meta/handshake"};
        expected.insert(expected.end(), joins.begin(), joins.end());
        EXPECT_EQ(peer.channels_sent(), expected);
        const Json::Value id = Json::Value(refused ? "" : "granted-1");
        for (std::size_t i = 1; i < 4; ++i)
            EXPECT_EQ(peer.message_of(i)["clientId"], id);
        EXPECT_TRUE(client.configuration.isNull());
    }
}

TEST(DeviceClientTest, disconnect_always_makes_four_exchanges_and_reports_whether_all_succeeded) {
    struct leave_case {
        const char* name;
        int failing; // index of the exchange that fails, or -1
        bool result;
    };
    const std::vector<leave_case> cases = {
        {"all succeed", -1, true},          {"first unsubscription fails", 0, false},
        {"second fails", 1, false},         {"third fails", 2, false},
        {"the disconnect fails", 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_peer peer;
        test_client client(peer);
        const std::size_t first = peer.requests.size();
        for (int i = 0; i < 4; ++i) {
            if (i == c.failing)
                peer.then_no_reply();
            else
                peer.then_body("[{\"successful\":true}]");
        }
        EXPECT_EQ(client.disconnect(), c.result);
        EXPECT_EQ(tail_from(peer.channels_sent(), first), leaves);
        // A disconnect keeps the id: later messages still carry it.
        Json::Value answer;
        client.request_update(answer);
        EXPECT_EQ(peer.message_of(peer.requests.size() - 1)["clientId"], Json::Value("granted-1"));
    }
}

TEST(DeviceClientTest, renewed_handshake_answer_holds_the_last_subscription_answer) {
    scripted_peer peer;
    test_client client(peer);
    peer.then_body("[{\"successful\":true,\"clientId\":\"second\"}]");
    peer.then_body("[{\"successful\":false}]");
    peer.then_body("[{\"successful\":false}]");
    peer.then_body("[{\"successful\":false,\"last\":true}]");
    Json::Value answer;
    EXPECT_TRUE(client.handshake(answer));
    EXPECT_EQ(answer, parse_json("[{\"successful\":false,\"last\":true}]"));
    EXPECT_EQ(client.client_id, "second");
    EXPECT_EQ(peer.message_of(peer.requests.size() - 1)["clientId"], Json::Value("second"));
}

TEST(DeviceClientTest, request_update_publishes_the_update_command) {
    scripted_peer peer;
    test_client client(peer);
    Json::Value answer;
    client.request_update(answer);
    const Json::Value message = peer.message_of(peer.requests.size() - 1);
    EXPECT_EQ(message["channel"], Json::Value("/service/velquin/commands"));
    EXPECT_EQ(compact(message["data"]), "{\"command\":\"update\"}\n");
}

TEST(DeviceClientTest, configuration_is_picked_out_of_the_answer_or_the_answer_is_kept) {
    const std::string config = "{\"ios\":[1],\"sessions\":{\"sources\":[]},\"extra\":true}";
    struct pick_case {
        const char* name;
        std::string answer;   // body the device answers the update with
        std::string expected; // configuration afterwards (JSON text)
    };
    const std::vector<pick_case> cases = {
        {"second element carries it, whatever its channel",
         "[{\"successful\":true},{\"channel\":\"/elsewhere\",\"data\":{\"path\":\"$\",\"value\":" +
             config + "}}]",
         config},
        {"first element carries it",
         "[{\"successful\":true,\"data\":{\"path\":\"$\",\"value\":" + config + "}}]", config},
        {"a value without sessions is passed over for a later one",
         "[{\"data\":{\"path\":\"$\",\"value\":{\"ios\":1}}},{\"data\":{\"path\":\"$\",\"value\":{\"ios\":2,"
         "\"sessions\":3}}},{\"successful\":true}]",
         "{\"ios\":2,\"sessions\":3}"},
        {"the first match wins",
         "[{\"data\":{\"path\":\"$\",\"value\":{\"ios\":1,\"sessions\":1}}},{\"data\":{\"path\":\"$\",\"value\":{\"ios\":2,"
         "\"sessions\":2}}}]",
         "{\"ios\":1,\"sessions\":1}"},
        {"a path that is not text never matches",
         "[{\"successful\":true},{\"data\":{\"path\":0,\"value\":" + config + "}}]",
         "[{\"successful\":true},{\"data\":{\"path\":0,\"value\":" + config + "}}]"},
        {"another path",
         "[{\"successful\":true},{\"data\":{\"path\":\"$.ios\",\"value\":" + config + "}}]",
         "[{\"successful\":true},{\"data\":{\"path\":\"$.ios\",\"value\":" + config + "}}]"},
        {"a value that is not an object",
         "[{\"successful\":true,\"data\":{\"path\":\"$\",\"value\":[1]}}]",
         "[{\"successful\":true,\"data\":{\"path\":\"$\",\"value\":[1]}}]"},
        {"elements without data or path stay untouched",
         "[{\"successful\":true},{\"channel\":\"/x\"},{\"data\":{}},{\"data\":null},{\"data\":5}]",
         "[{\"successful\":true},{\"channel\":\"/x\"},{\"data\":{}},{\"data\":null},{\"data\":5}]"},
        {"elements that are not objects are passed over",
         "[1,\"two\",null,[{\"data\":{\"path\":\"$\",\"value\":" + config +
             "}}],{\"data\":{\"path\":\"$\",\"value\":" + config + "}}]",
         config},
        {"an empty answer", "[]", "[]"},
        {"an answer that is not an array is none",
         "{\"data\":{\"path\":\"$\",\"value\":" + config + "}}", "null"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_peer peer;
        test_client client(peer);
        peer.then_body(c.answer);
        client.read_configuration();
        EXPECT_EQ(client.configuration, parse_json(c.expected));
    }

    scripted_peer unreachable;
    test_client client(unreachable);
    unreachable.then_no_reply();
    client.read_configuration();
    EXPECT_TRUE(client.configuration.isNull());
}

struct action_case {
    const char* name;
    std::vector<std::string> arguments;
    std::string channel;       // channel of the one publish, empty for none
    std::string data;          // JSON text of the published data
    const char* device_answer; // what the device answers the publish with
    std::string printed;       // standard output of the action
};

TEST(ProgramActionTest, publishes_the_selected_action_and_prints_the_answer) {
    const std::string config_answer =
        "[{\"successful\":true},{\"channel\":\"/velquin/settings\",\"data\":{\"path\":\"$\",\"value\":"
        "{\"ios\":[],\"sessions\":{}}}}]";
    const std::vector<action_case> cases = {
        {"print configuration",
         {"-P", "1", "-c", "-o", "-v", "reboot"},
         "/service/velquin/commands",
         "{\"command\":\"update\"}",
         config_answer.c_str(),
         "{\n   \"ios\" : [],\n   \"sessions\" : {}\n}\n\n"},
        {"command with data",
         {"-P", "1", "-o", "-v", "gpio_read_iic", "-k", "{\"device_addr\": 45}"},
         "/service/velquin/commands",
         "{\"command\":\"gpio_read_iic\",\"data\":{\"device_addr\":45}}",
         "[{\"successful\":true}]",
         "[\n   {\n      \"successful\" : true\n   }\n]\n\n"},
        {"command wins over a path",
         {"-P", "1", "-o", "-p", "$.a", "-k", "k", "-v", "reboot"},
         "/service/velquin/commands",
         "{\"command\":\"reboot\",\"data\":null}",
         "[{\"successful\":false}]",
         "[\n   {\n      \"successful\" : false\n   }\n]\n\n"},
        {"settings update",
         {"-P", "1", "-p", "$.sessions.sources[?(@.id==1)][0]", "-k", "name", "-v", "mySource1"},
         "/service/velquin/settings",
         "{\"path\":\"$.sessions.sources[?(@.id==1)][0]\",\"value\":{\"name\":\"mySource1\"}}",
         "[]",
         "[]\n\n"},
        {"settings update with a json value",
         {"-P", "1", "-p", "$.actions", "-jv", "[1]", "-v", "ignored"},
         "/service/velquin/settings",
         "{\"path\":\"$.actions\",\"value\":[1]}",
         nullptr,
         "null\n\n"},
        {"nothing to do", {"-H", "localhost", "-P", "8081", "-o"}, "", "", nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto scanned = publish::scan_command_line(c.arguments);
        ASSERT_EQ(scanned.outcome, publish::scan_outcome::run);
        scripted_peer peer;
        test_client client(peer);
        const std::size_t first = peer.requests.size();
        if (c.device_answer)
            peer.then_body(c.device_answer);
        else
            peer.then_no_reply();
        std::ostringstream out;
        const bool answered = publish::perform_action(client, scanned.options, scanned.action, out);
        EXPECT_EQ(out.str(), c.printed);
        // An unsuccessful answer is an answer; only a missing reply is not. With nothing to
        // do, the handshake's reply counts.
        EXPECT_EQ(answered, c.device_answer != nullptr || c.channel.empty());
        if (c.channel.empty()) {
            EXPECT_EQ(peer.requests.size(), first);
            continue;
        }
        ASSERT_EQ(peer.requests.size(), first + 1);
        const Json::Value message = peer.message_of(first);
        EXPECT_EQ(message["channel"], Json::Value(c.channel));
        EXPECT_EQ(message["data"], parse_json(c.data));
    }
}

TEST(ProgramActionTest, a_missing_reply_counts_for_the_exchange_whose_answer_is_printed) {
    const auto config = publish::scan_command_line({"-P", "1", "-c"});
    const auto none = publish::scan_command_line({"-P", "1", "-o"});
    std::ostringstream out;
    {
        // The configuration request unanswered, the first publish of it refused with advice:
        // the repeat is what counts.
        scripted_peer peer;
        test_client client(peer);
        peer.then_body("[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\"}}]");
        peer.then_body("[{\"successful\":true}]");
        peer.then_no_reply();
        EXPECT_FALSE(publish::perform_action(client, config.options, config.action, out));
    }
    {
        // With nothing to do, an unanswered handshake counts even when the channels answered.
        scripted_peer peer;
        peer.then_no_reply();
        test_client client(peer);
        EXPECT_FALSE(client.first_handshake_answered());
        EXPECT_TRUE(client.last_exchange_answered());
        EXPECT_FALSE(publish::perform_action(client, none.options, none.action, out));
    }
}

} // namespace
