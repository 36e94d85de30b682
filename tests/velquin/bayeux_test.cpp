// The Bayeux exchange of the device client, against a scripted peer: the exact
// requests it sends, how it judges answers, keeps its client id and follows
// reconnect advice.
#include "tests/support/scripted_peer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using test_support::compact;
using test_support::parse_json;
using test_support::scripted_peer;
using test_support::test_client;
using test_support::test_client_base;

std::pair<std::string, long long> split_id(const std::string& id) {
    const auto dash = id.rfind('-');
    EXPECT_NE(dash, std::string::npos) << id;
    EXPECT_GT(dash, 0u) << id;
    return {id.substr(0, dash), std::stoll(id.substr(dash + 1))};
}

std::string expected_tag(const cometd::base& object) {
    const auto low = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&object));
    return std::to_string(static_cast<std::int32_t>(low));
}

TEST(BayeuxRequestTest, handshake_goes_out_as_one_post_with_three_headers_and_sorted_keys) {
    scripted_peer peer;
    test_client_base client(peer);
    ASSERT_EQ(peer.requests.size(), 1u);
    const auto& request = *peer.requests[0];
    EXPECT_EQ(request.method(), "POST");
    EXPECT_EQ(request.uri(), "/cometd");
    EXPECT_EQ(request.protocol(), "RTSP/1.1");

    const std::string id = peer.message_of(0)["id"].asString();
    const std::string body =
        "[{\"channel\":\"/meta/handshake\",\"id\":\"" + id +
        "\",\"minimumVersion\":\"0.9\",\"supportedConnectionTypes\":[\"long-polling\","
        "\"callback-polling\"],\"version\":\"1.0\"}]\n";
    EXPECT_EQ(peer.body_of(0), body);

    const std::vector<std::pair<std::string, std::string>> headers(request.headers().begin(),
                                                                   request.headers().end());
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"access-control-allow-origin", "*"},
        {"connection", "Keep-Alive"},
        {"connection", "Keep-Alive"},
        {"content-length", std::to_string(body.size())},
        {"content-type", "application/json;charset=UTF8"},
    };
    EXPECT_EQ(headers, expected);
}

TEST(BayeuxRequestTest, every_message_carries_exactly_its_fields) {
    scripted_peer peer;
    test_client_base client(peer);
    ASSERT_EQ(client.client_id, "granted-1");
    Json::Value answer;
    Json::Value data(Json::objectValue);
    data["z"] = 1;
    data["a"] = "x";

    struct message_case {
        const char* name;
        std::function<void()> send;
        std::string before_id; // text of the body up to the id
        std::string after_id;  // text of the body after the id
    };
    const std::string cid = "\"clientId\":\"granted-1\"";
    const std::vector<message_case> cases = {
        {"connect", [&] { client.connect(answer); },
         "[{\"channel\":\"/meta/connect\"," + cid +
             ",\"connectionType\":\"callback-polling\",\"id\":\"",
         "\"}]\n"},
        {"disconnect", [&] { client.disconnect(answer); },
         "[{\"channel\":\"/meta/disconnect\"," + cid +
             ",\"connectionType\":\"callback-polling\",\"id\":\"",
         "\"}]\n"},
        {"disconnect without answer", [&] { client.disconnect(); },
         "[{\"channel\":\"/meta/disconnect\"," + cid +
             ",\"connectionType\":\"callback-polling\",\"id\":\"",
         "\"}]\n"},
        {"subscribe", [&] { client.subscribe("/velquin/settings", answer); },
         "[{\"channel\":\"/meta/subscribe\"," + cid + ",\"id\":\"",
         "\",\"subscription\":\"/velquin/settings\"}]\n"},
        {"unsubscribe", [&] { client.unsubscribe("/velquin/query", answer); },
         "[{\"channel\":\"/meta/unsubscribe\"," + cid + ",\"id\":\"",
         "\",\"subscription\":\"/velquin/query\"}]\n"},
        {"publish", [&] { client.publish("/service/velquin/commands", data, answer); },
         "[{\"channel\":\"/service/velquin/commands\"," + cid +
             ",\"data\":{\"a\":\"x\",\"z\":1},\"id\":\"",
         "\"}]\n"},
        {"publish of null data", [&] { client.publish("/x", Json::Value(), answer); },
         "[{\"channel\":\"/x\"," + cid + ",\"data\":null,\"id\":\"", "\"}]\n"},
        {"publish_setting",
         [&] { client.publish_setting("/service/velquin/settings", "$.a[0]", data, answer); },
         "[{\"channel\":\"/service/velquin/settings\"," + cid +
             ",\"data\":{\"path\":\"$.a[0]\",\"value\":{\"a\":\"x\","
             "\"z\":1}},\"id\":\"",
         "\"}]\n"},
        {"publish_setting of null",
         [&] { client.publish_setting("/s", "$", Json::Value(), answer); },
         "[{\"channel\":\"/s\"," + cid + ",\"data\":{\"path\":\"$\",\"value\":null},\"id\":\"",
         "\"}]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = peer.requests.size();
        c.send();
        ASSERT_EQ(peer.requests.size(), before + 1);
        const std::string id = peer.message_of(before)["id"].asString();
        EXPECT_EQ(peer.body_of(before), c.before_id + id + c.after_id);
        EXPECT_EQ(peer.requests[before]->method(), "POST");
    }
}

TEST(BayeuxRequestTest, ids_share_one_process_wide_sequence_and_carry_the_object_tag) {
    scripted_peer peer;
    test_client_base first(peer);
    test_client_base second(peer);
    Json::Value answer;
    first.connect(answer);
    second.connect(answer);
    first.publish("/c", Json::Value(1), answer);

    const auto instance_first = split_id(first.instance_id);
    const auto instance_second = split_id(second.instance_id);
    EXPECT_EQ(instance_first.first, expected_tag(first));
    EXPECT_EQ(instance_second.first, expected_tag(second));
    EXPECT_NE(instance_first.first, instance_second.first);

    // Order of ids taken: first's instance, first's handshake, second's instance,
    // second's handshake, then the three messages.
    const std::vector<std::pair<std::string, long long>> sent = {
        split_id(peer.message_of(0)["id"].asString()),
        split_id(peer.message_of(1)["id"].asString()),
        split_id(peer.message_of(2)["id"].asString()),
        split_id(peer.message_of(3)["id"].asString()),
        split_id(peer.message_of(4)["id"].asString())};
    const long long base = instance_first.second;
    EXPECT_EQ(sent[0], std::make_pair(instance_first.first, base + 1));
    EXPECT_EQ(instance_second.second, base + 2);
    EXPECT_EQ(sent[1], std::make_pair(instance_second.first, base + 3));
    EXPECT_EQ(sent[2], std::make_pair(instance_first.first, base + 4));
    EXPECT_EQ(sent[3], std::make_pair(instance_second.first, base + 5));
    EXPECT_EQ(sent[4], std::make_pair(instance_first.first, base + 6));
}

TEST(BayeuxAnswerTest, success_is_the_truth_of_the_last_elements_successful) {
    struct judge_case {
        const char* body; // nullptr: no reply at all
        bool success;
        const char* answer; // expected parsed answer; nullptr when it is not JSON
    };
    const std::vector<judge_case> cases = {
        {"[{\"successful\":true}]", true, "[{\"successful\":true}]"},
        {"[{\"successful\":false}]", false, "[{\"successful\":false}]"},
        {"[{\"successful\":\"false\"}]", true, "[{\"successful\":\"false\"}]"},
        {"[{\"successful\":\"\"}]", false, "[{\"successful\":\"\"}]"},
        {"[{\"successful\":1}]", true, "[{\"successful\":1}]"},
        {"[{\"successful\":-1}]", true, "[{\"successful\":-1}]"},
        {"[{\"successful\":0}]", false, "[{\"successful\":0}]"},
        {"[{\"successful\":0.0}]", false, "[{\"successful\":0.0}]"},
        {"[{\"successful\":0.25}]", true, "[{\"successful\":0.25}]"},
        {"[{\"successful\":18446744073709551615}]", true,
         "[{\"successful\":18446744073709551615}]"},
        {"[{\"successful\":[]}]", false, "[{\"successful\":[]}]"},
        {"[{\"successful\":[0]}]", true, "[{\"successful\":[0]}]"},
        {"[{\"successful\":{}}]", false, "[{\"successful\":{}}]"},
        {"[{\"successful\":{\"a\":1}}]", true, "[{\"successful\":{\"a\":1}}]"},
        {"[{\"successful\":null}]", false, "[{\"successful\":null}]"},
        {"[{\"channel\":\"/meta/connect\"}]", false, "[{\"channel\":\"/meta/connect\"}]"},
        {"[{\"successful\":false},{\"successful\":true}]", true,
         "[{\"successful\":false},{\"successful\":true}]"},
        {"[{\"successful\":true},{\"successful\":false}]", false,
         "[{\"successful\":true},{\"successful\":false}]"},
        {"[{\"successful\":true},7]", false, "[{\"successful\":true},7]"},
        {"[]", false, "[]"},
        // Only an array of messages is an answer; comments are not JSON.
        {"{\"successful\":true}", false, "null"},
        {"true", false, "null"},
        {"\"successful\"", false, "null"},
        {"// the device's note\n[{\"successful\":true}]", false, "null"},
        {"[{\"successful\":true}] // the device's note", true, "[{\"successful\":true}]"},
        {"not json", false, nullptr},
        {"", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        scripted_peer peer;
        test_client_base client(peer);
        peer.then_body(c.body);
        Json::Value answer("stale");
        EXPECT_EQ(client.connect(answer), c.success);
        if (c.answer) {
            EXPECT_EQ(answer, parse_json(c.answer));
        }
    }
    // A body nested deeper than the reader goes is as unparsable as any other.
    {
        scripted_peer peer;
        test_client_base client(peer);
        peer.then_body(std::string(5000, '[') + std::string(5000, ']'));
        Json::Value answer;
        EXPECT_FALSE(client.connect(answer));
    }
    // Without a reply, or a reply without a body: unsuccessful, answer null.
    for (int without_body = 0; without_body < 2; ++without_body) {
        scripted_peer peer;
        test_client_base client(peer);
        if (without_body)
            peer.then_no_body();
        else
            peer.then_no_reply();
        Json::Value answer("stale");
        EXPECT_FALSE(client.connect(answer));
        EXPECT_TRUE(answer.isNull());
    }
}

TEST(BayeuxAnswerTest, handshake_keeps_the_granted_client_id_until_another_is_granted) {
    struct id_case {
        const char* name;
        const char* handshake_answer;
        bool success;
        const char* client_id; // after a first successful handshake granted "old"
    };
    const std::vector<id_case> cases = {
        {"granted", "[{\"successful\":true,\"clientId\":\"new\"}]", true, "new"},
        {"id in the first element, success in the last",
         "[{\"clientId\":\"new\"},{\"successful\":true,\"clientId\":\"other\"}]", true, "new"},
        {"successful without id", "[{\"successful\":true}]", true, ""},
        {"null id", "[{\"successful\":true,\"clientId\":null}]", true, ""},
        {"refused", "[{\"successful\":false,\"clientId\":\"new\"}]", false, "old"},
        {"first element not an object", "[3,{\"successful\":true,\"clientId\":\"new\"}]", false,
         "old"},
        {"not an array", "{\"successful\":true,\"clientId\":\"new\"}", false, "old"},
        {"empty array", "[]", false, "old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_peer peer;
        peer.granted_client_id = "old";
        test_client_base client(peer);
        ASSERT_EQ(client.client_id, "old");
        peer.then_body(c.handshake_answer);
        Json::Value answer;
        EXPECT_EQ(client.handshake(answer), c.success);
        EXPECT_EQ(client.client_id, c.client_id);
        // Later messages carry whatever id the client holds.
        client.connect(answer);
        EXPECT_EQ(peer.message_of(peer.requests.size() - 1)["clientId"], Json::Value(c.client_id));
    }
}

TEST(BayeuxAnswerTest, failed_first_handshake_leaves_an_empty_id_and_disconnect_never_clears_it) {
    scripted_peer refused;
    refused.then_no_reply();
    test_client_base without_id(refused);
    EXPECT_EQ(without_id.client_id, "");
    Json::Value answer;
    without_id.connect(answer);
    EXPECT_EQ(refused.message_of(1)["clientId"], Json::Value(""));
    EXPECT_TRUE(refused.message_of(1).isMember("clientId"));
    EXPECT_FALSE(refused.message_of(0).isMember("clientId"));

    scripted_peer peer;
    test_client_base client(peer);
    EXPECT_TRUE(client.disconnect());
    client.publish("/c", Json::Value(1), answer);
    EXPECT_EQ(peer.message_of(2)["clientId"], Json::Value("granted-1"));
}

TEST(BayeuxAnswerTest, conversion_errors_and_exchange_errors_reach_the_caller) {
    struct throw_case {
        const char* name;
        const char* answer;
        bool handshake; // answer a handshake rather than a publish
    };
    const std::vector<throw_case> cases = {
        {"text interval",
         "[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\",\"interval\":\"soon\"}}]",
         false},
        {"interval beyond int",
         "[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\",\"interval\":1e12}}]", false},
        {"object reconnect",
         "[{\"successful\":false,\"advice\":{\"reconnect\":{},\"interval\":0}}]", false},
        {"array client id", "[{\"successful\":true,\"clientId\":[1]}]", true},
        // Numbers and booleans are not texts, nor booleans numbers, whatever jsoncpp converts.
        {"number client id", "[{\"successful\":true,\"clientId\":42}]", true},
        {"boolean client id", "[{\"successful\":true,\"clientId\":true}]", true},
        {"number reconnect", "[{\"successful\":false,\"advice\":{\"reconnect\":1,\"interval\":0}}]",
         false},
        {"boolean reconnect",
         "[{\"successful\":false,\"advice\":{\"reconnect\":false,\"interval\":0}}]", false},
        {"boolean interval",
         "[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\",\"interval\":true}}]", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_peer peer;
        test_client_base client(peer);
        peer.then_body(c.answer);
        Json::Value answer;
        if (c.handshake)
            EXPECT_ANY_THROW(client.handshake(answer));
        else
            EXPECT_ANY_THROW(client.publish("/c", Json::Value(1), answer));
    }
    scripted_peer peer;
    test_client_base client(peer);
    peer.then_failure();
    Json::Value answer;
    EXPECT_THROW(client.publish("/c", Json::Value(1), answer), std::runtime_error);

    // A null member reads as absent, a fractional interval as its whole part.
    scripted_peer lenient;
    lenient.then_body("[{\"successful\":true,\"clientId\":null}]");
    test_client_base null_id(lenient);
    EXPECT_EQ(null_id.client_id, "");
    lenient.then_body(
        "[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\",\"interval\":2.7}}]");
    lenient.then_body("[{\"successful\":true}]");
    lenient.then_body("[{\"successful\":true}]");
    EXPECT_TRUE(null_id.publish("/c", Json::Value(1), answer));
    EXPECT_EQ(lenient.pauses, std::vector<int>{2});
}

TEST(BayeuxAnswerTest, a_failed_construction_calls_its_hook_before_the_client_is_released) {
    // The hook runs while the half-made client still holds its connection; the owner stops
    // its I/O threads there.
    struct hooked_client : velquin::client {
        hooked_client(scripted_peer& peer, velquin::client_base::settings chosen)
            : client("localhost", "0", nullptr, nullptr, peer.hooks(), std::move(chosen)) {}
    };
    for (std::size_t fail_at : {0u, 2u}) { // the handshake, a subscription
        SCOPED_TRACE(fail_at);
        scripted_peer peer;
        for (std::size_t i = 0; i < fail_at; ++i)
            peer.then_body(i == 0 ? "[{\"successful\":true,\"clientId\":\"c\"}]"
                                  : "[{\"successful\":true}]");
        peer.then_failure();
        int calls = 0;
        velquin::client_base::settings limits;
        limits.on_construction_failure = [&calls] { ++calls; };
        EXPECT_THROW(hooked_client(peer, limits), std::runtime_error);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(peer.requests.size(), fail_at + 1);
    }
    scripted_peer peer;
    int calls = 0;
    velquin::client_base::settings limits;
    limits.on_construction_failure = [&calls] { ++calls; };
    hooked_client fine(peer, limits);
    EXPECT_EQ(calls, 0);
}

struct advice_case {
    const char* name;
    std::vector<const char*> publish_answers; // answers to successive publishes; acknowledged after
    std::vector<std::string> channels;        // what the client sends, in order
    std::vector<int> pauses;
};

void run_advice_cases(const std::vector<advice_case>& cases, bool device_client) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_peer peer;
        std::unique_ptr<velquin::client_base> client;
        if (device_client)
            client.reset(new test_client(peer));
        else
            client.reset(new test_client_base(peer));
        const std::size_t first = peer.requests.size();

        // The script follows the expected order: each publish takes the next
        // scripted answer (then an acknowledgement), meta messages are acknowledged.
        std::size_t publishes = 0;
        for (const auto& channel : c.channels) {
            if (channel == "/c") {
                peer.then_body(publishes < c.publish_answers.size() ? c.publish_answers[publishes]
                                                                    : "[{\"successful\":true}]");
                ++publishes;
            } else {
                peer.then_body(channel == "/meta/handshake"
                                   ? "[{\"successful\":true,\"clientId\":\"renewed\"}]"
                                   : "[{\"successful\":true}]");
            }
        }
        Json::Value answer;
        const bool result = client->publish("/c", Json::Value("payload"), answer);
        std::vector<std::string> ids;
        EXPECT_TRUE(result);
        std::vector<std::string> sent;
        for (std::size_t i = first; i < peer.requests.size(); ++i) {
            const Json::Value message = peer.message_of(i);
            std::string name = message["channel"].asString();
            if (message.isMember("subscription"))
                name += " " + message["subscription"].asString();
            sent.push_back(name);
            if (message["channel"] == "/c") {
                EXPECT_EQ(message["data"], Json::Value("payload"));
                ids.push_back(message["id"].asString());
            }
        }
        EXPECT_EQ(sent, c.channels);
        EXPECT_EQ(peer.pauses, c.pauses);
        // Every repeat of the publish takes a fresh id.
        for (std::size_t i = 1; i < ids.size(); ++i)
            EXPECT_NE(ids[i], ids[i - 1]);
        EXPECT_TRUE(peer.script.empty());
    }
}

TEST(BayeuxAdviceTest, retry_and_handshake_are_followed_and_anything_else_ends_the_publish) {
    const char* retry_negative =
        "[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\",\"interval\":-5}}]";
    const char* retry_wait =
        "[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\",\"interval\":25}}]";
    const char* retry_no_interval = "[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\"}}]";
    const char* handshake =
        "[{\"successful\":false,\"advice\":{\"reconnect\":\"handshake\",\"interval\":10}}]";
    const std::vector<advice_case> cases = {
        {"success", {"[{\"successful\":true}]"}, {"/c"}, {}},
        {"retry with negative interval waits nothing",
         {retry_negative},
         {"/c", "/meta/connect", "/c"},
         {0}},
        {"retry waits the interval", {retry_wait}, {"/c", "/meta/connect", "/c"}, {25}},
        {"retry without interval", {retry_no_interval}, {"/c", "/meta/connect", "/c"}, {0}},
        {"handshake advice", {handshake}, {"/c", "/meta/handshake", "/c"}, {10}},
        {"advice in a row",
         {retry_wait, handshake, retry_negative},
         {"/c", "/meta/connect", "/c", "/meta/handshake", "/c", "/meta/connect", "/c"},
         {25, 10, 0}},
        {"none",
         {"[{\"successful\":false,\"advice\":{\"reconnect\":\"none\",\"interval\":5}}]"},
         {"/c"},
         {}},
        {"no reconnect", {"[{\"successful\":false,\"advice\":{\"interval\":5}}]"}, {"/c"}, {}},
        {"no advice", {"[{\"successful\":false}]"}, {"/c"}, {}},
        {"advice that is not an object",
         {"[{\"successful\":false,\"advice\":\"retry\"}]"},
         {"/c"},
         {}},
        {"reconnect in another case",
         {"[{\"successful\":false,\"advice\":{\"reconnect\":\"Retry\"}}]"},
         {"/c"},
         {}},
        {"advice only in an earlier element",
         {"[{\"advice\":{\"reconnect\":\"retry\"}},{\"successful\":false}]"},
         {"/c"},
         {}},
        {"last element not an object",
         {"[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\"}},1]"},
         {"/c"},
         {}},
        {"answer not json", {"{{"}, {"/c"}, {}},
        {"answer not an array",
         {"{\"successful\":false,\"advice\":{\"reconnect\":\"retry\"}}"},
         {"/c"},
         {}},
    };
    run_advice_cases(cases, false);
}

TEST(BayeuxAdviceTest, handshake_advice_renews_the_device_subscriptions) {
    const char* handshake =
        "[{\"successful\":false,\"advice\":{\"reconnect\":\"handshake\",\"interval\":-1}}]";
    const std::vector<advice_case> cases = {
        {"renewed",
         {handshake},
         {"/c", "/meta/handshake", "/meta/subscribe /velquin/settings",
          "/meta/subscribe /velquin/query", "/meta/subscribe /velquin/commands", "/c"},
         {0}},
    };
    run_advice_cases(cases, true);
}

TEST(BayeuxAdviceTest, a_failed_renewed_handshake_subscribes_nothing_and_the_publish_repeats) {
    scripted_peer peer;
    test_client client(peer);
    const std::size_t first = peer.requests.size();
    peer.then_body("[{\"successful\":false,\"advice\":{\"reconnect\":\"handshake\"}}]");
    peer.then_body("[{\"successful\":false}]"); // the renewed handshake is refused
    Json::Value answer;
    EXPECT_TRUE(client.publish("/c", Json::Value(1), answer));
    const auto sent = peer.channels_sent();
    EXPECT_EQ(
        std::vector<std::string>(sent.begin() + static_cast<std::ptrdiff_t>(first), sent.end()),
        (std::vector<std::string>{"/c", "/meta/handshake", "/c"}));
    EXPECT_EQ(client.client_id, "granted-1");
}

TEST(BayeuxAdviceTest, advice_is_followed_a_few_times_and_its_pause_is_capped) {
    struct capped_case {
        const char* advice;
        std::size_t requests; // the first publish, each repeat's connect or handshake and publish
        int pause;            // of every repeat
    } cases[] = {
        {R"({"reconnect":"retry","interval":0})", 1 + 2 * 5, 0},
        {R"({"reconnect":"handshake","interval":2147483647})", 1 + 2 * 5, 10000},
        {R"({"reconnect":"retry","interval":10001})", 1 + 2 * 5, 10000},
        {R"({"reconnect":"retry","interval":-2147483648})", 1 + 2 * 5, 0},
    };
    for (const capped_case& c : cases) {
        SCOPED_TRACE(c.advice);
        scripted_peer peer;
        test_client_base client(peer);
        const std::size_t first = peer.requests.size();
        const std::string refusal =
            std::string("[{\"successful\":false,\"advice\":") + c.advice + "}]";
        for (int i = 0; i < 100; ++i) {
            peer.then_body(refusal);
            peer.then_body("[{\"successful\":true,\"clientId\":\"c\"}]"); // connect or handshake
        }
        Json::Value answer;
        EXPECT_TRUE(client.publish("/c", Json::Value(1), answer));
        EXPECT_EQ(peer.requests.size() - first, c.requests);
        EXPECT_EQ(peer.pauses, std::vector<int>(5, c.pause));
        // The last refusal is the answer.
        EXPECT_EQ(answer, parse_json(refusal));
    }
}

TEST(BayeuxAdviceTest, a_publish_without_answer_returns_at_once) {
    scripted_peer peer;
    test_client_base client(peer);
    peer.then_no_reply();
    Json::Value answer("stale");
    EXPECT_TRUE(client.publish("/c", Json::Value(1), answer));
    EXPECT_TRUE(answer.isNull());
    EXPECT_EQ(peer.requests.size(), 2u);
}

TEST(BayeuxAdviceTest, data_handed_in_as_the_answer_is_published_unchanged_on_repeat) {
    scripted_peer peer;
    test_client_base client(peer);
    peer.then_body("[{\"successful\":false,\"advice\":{\"reconnect\":\"retry\"}}]");
    Json::Value shared("payload");
    EXPECT_TRUE(client.publish("/c", shared, shared));
    EXPECT_EQ(peer.message_of(1)["data"], Json::Value("payload"));
    EXPECT_EQ(peer.message_of(3)["data"], Json::Value("payload"));
}

} // namespace
