// The simulator's Bayeux logic and configuration store, without a network.
#include "tools/velquin_device_sim/device.hpp"
#include "tools/velquin_device_sim/json_path.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using velquin_sim::compact;
using velquin_sim::parse_json;

const char* const small_config = R"({
  "ios": {"inputs": [{"id": 1, "name": "Mic 1", "muted": false},
                     {"id": 2, "name": "Mic 2", "muted": true}]},
  "sessions": {"sources": [{"id": 1, "name": "Stage", "format": "L24", "enabled": true},
                           {"id": 2, "name": "Talk", "format": "L24", "enabled": true},
                           {"id": 3, "name": "Spare", "format": "L16", "enabled": false}]},
  "_modules": [{"id": 2, "name": "out"}, {"id": 254, "name": "gpio", "outputs_1to8": 0}],
  "actions": {"create_connections": [], "remove_connections": []}
})";

// ---------------------------------------------------------------------------
// Path evaluation and applying settings

struct apply_case {
    const char* path;
    const char* value;
    std::size_t changed;
    const char* check_path; // a plain path read back after applying
    const char* expected;   // what it holds then
};

// Reads a path of members and indexes only, for checking results.
Json::Value read_back(Json::Value& root, const std::string& path) {
    const auto nodes = velquin_sim::select(root, velquin_sim::parse_selector_path(path));
    return nodes.size() == 1 ? *nodes[0]
                             : Json::Value("<" + std::to_string(nodes.size()) + " nodes>");
}

TEST(DeviceSimJsonPathTest, AppliesSettingsOfTheSupportedForms) {
    const apply_case cases[] = {
        // The forms of the usage examples: a filter, then the first match.
        {"$.sessions.sources[?(@.id==1)][0]", R"({"name": "New"})", 1, "$.sessions.sources[0]",
         R"({"id": 1, "name": "New", "format": "L24", "enabled": true})"},
        {"$._modules[?(@.id==254)][0]", R"({"outputs_1to8": 110})", 1, "$._modules[1].outputs_1to8",
         "110"},
        {"$.actions.create_connections", R"([{"out": {"module_id": 2}}])", 1,
         "$.actions.create_connections", R"([{"out": {"module_id": 2}}])"},
        // A filter alone selects every match.
        {"$.sessions.sources[?(@.format=='L24')]", R"({"enabled": false})", 2,
         "$.sessions.sources[1].enabled", "false"},
        {"$.sessions.sources[?(@.format==\"L24\")][1]", R"({"name": "x"})", 1,
         "$.sessions.sources[1].name", R"("x")"},
        {"$.sessions.sources[?(@.format=='L24')][-1]", R"({"name": "y"})", 1,
         "$.sessions.sources[1].name", R"("y")"},
        {"$.sessions.sources[?( @.id == 3 )]", R"({"name": "spaced"})", 1,
         "$.sessions.sources[2].name", R"("spaced")"},
        {"$.sessions.sources[?(@.id==2.0)][0].name", R"("two")", 1, "$.sessions.sources[1].name",
         R"("two")"},
        {"$.sessions.sources[?(@.enabled==false)][0].name", R"("off")", 1,
         "$.sessions.sources[2].name", R"("off")"},
        // Members and indexes, also in brackets; replacing plain values.
        {"$.ios.inputs[1].muted", "false", 1, "$.ios.inputs[1].muted", "false"},
        {"$['ios']['inputs'][0].name", R"("Vox")", 1, "$.ios.inputs[0].name", R"("Vox")"},
        {"$.ios.inputs[-1].name", R"("last")", 1, "$.ios.inputs[1].name", R"("last")"},
        {"$.ios.inputs[*].muted", "true", 2, "$.ios.inputs[0].muted", "true"},
        // An object into a non-object replaces it; a non-object into an object replaces it.
        {"$.ios.inputs[0].name", R"({"a": 1})", 1, "$.ios.inputs[0].name", R"({"a": 1})"},
        {"$.ios.inputs[0]", "7", 1, "$.ios.inputs[0]", "7"},
        {"$", R"({"extra": 1})", 1, "$.extra", "1"},
        // Matching nothing.
        {"$.sessions.sources[?(@.id==9)][0]", R"({"name": "x"})", 0, nullptr, nullptr},
        {"$.sessions.sources[?(@.id=='1')]", R"({"name": "x"})", 0, nullptr, nullptr},
        {"$.sessions.sources[?(@.missing==1)]", R"({"name": "x"})", 0, nullptr, nullptr},
        {"$.sessions.sources[?(@.id==1)][1]", R"({"name": "x"})", 0, nullptr, nullptr},
        {"$.ios.inputs[2]", "1", 0, nullptr, nullptr},
        {"$.nothing", "1", 0, nullptr, nullptr},
        {"$.ios.inputs.name", "1", 0, nullptr, nullptr},
        {"$.ios[0]", "1", 0, nullptr, nullptr},
    };
    for (const apply_case& c : cases) {
        SCOPED_TRACE(c.path);
        Json::Value config = parse_json(small_config);
        const Json::Value before = config;
        EXPECT_EQ(velquin_sim::apply_setting(config, c.path, parse_json(c.value)), c.changed);
        if (c.changed == 0) {
            EXPECT_EQ(config, before) << "a path that matches nothing changes nothing";
        } else {
            EXPECT_EQ(read_back(config, c.check_path), parse_json(c.expected));
        }
    }
}

TEST(DeviceSimJsonPathTest, MergeKeepsOtherMembersAndOtherNodes) {
    Json::Value config = parse_json(small_config);
    velquin_sim::apply_setting(config, "$.sessions.sources[?(@.id==1)][0]",
                               parse_json(R"({"name": "N", "new": [1]})"));
    Json::Value expected = parse_json(small_config);
    expected["sessions"]["sources"][0]["name"] = "N";
    expected["sessions"]["sources"][0]["new"] = parse_json("[1]");
    EXPECT_EQ(config, expected);
}

TEST(DeviceSimJsonPathTest, RejectsPathsOutsideTheDialect) {
    const char* const bad[] = {"",
                               "sessions",
                               "$..a",
                               "$.",
                               "$[",
                               "$[x]",
                               "$[?(@.id=1)]",
                               "$[?(@.id==)]",
                               "$[?(@.id==1]",
                               "$['a",
                               "$.a[1",
                               "$[?(@.id==abc)]",
                               "$[?(id==1)]",
                               "$[]",
                               "$[-]",
                               "$.a]",
                               "$[12345678901234]",
                               "$[?(@.==1)]",
                               "$[?(@.a==1e999)]"};
    for (const char* path : bad) {
        SCOPED_TRACE(path);
        Json::Value config = parse_json(small_config);
        EXPECT_THROW(velquin_sim::apply_setting(config, path, Json::Value(1)),
                     velquin_sim::path_error);
        EXPECT_EQ(config, parse_json(small_config));
    }
}

// ---------------------------------------------------------------------------
// Bayeux exchanges

class DeviceSimTest : public ::testing::Test {
protected:
    DeviceSimTest() : sim(parse_json(small_config)) {
        sim.set_trace([this](const std::string& line) { trace.push_back(line); });
    }

    // Sends one message; returns the answer array.
    Json::Value send(const Json::Value& message) {
        Json::Value batch(Json::arrayValue);
        batch.append(message);
        const velquin_sim::answer a = sim.handle_body(compact(batch));
        EXPECT_EQ(a.status, 200u);
        Json::Value out = parse_json(a.body);
        EXPECT_TRUE(out.isArray());
        return out;
    }

    Json::Value meta(const char* channel, const std::string& client_id, const char* id = "7") {
        Json::Value m;
        m["channel"] = channel;
        m["id"] = id;
        m["clientId"] = client_id;
        return m;
    }

    std::string handshake() {
        Json::Value m;
        m["channel"] = "/meta/handshake";
        m["id"] = "h";
        m["version"] = "1.0";
        const Json::Value a = send(m);
        return a[0]["clientId"].asString();
    }

    Json::Value publish(const std::string& client_id, const char* channel, const char* data) {
        Json::Value m = meta(channel, client_id, "p1");
        m["data"] = parse_json(data);
        return send(m);
    }

    velquin_sim::device sim;
    std::vector<std::string> trace;
};

TEST_F(DeviceSimTest, HandshakeGrantsFreshClientIds) {
    Json::Value m;
    m["channel"] = "/meta/handshake";
    m["id"] = "-1";
    const Json::Value a = send(m);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0]["successful"], Json::Value(true));
    EXPECT_EQ(a[0]["id"], Json::Value("-1"));
    EXPECT_EQ(a[0]["channel"], Json::Value("/meta/handshake"));
    ASSERT_TRUE(a[0]["clientId"].isString());
    EXPECT_FALSE(a[0]["clientId"].asString().empty());
    std::set<std::string> ids{a[0]["clientId"].asString()};
    for (int i = 0; i < 20; ++i)
        ids.insert(handshake());
    EXPECT_EQ(ids.size(), 21u);
    EXPECT_EQ(sim.client_count(), 21u);
}

TEST_F(DeviceSimTest, MetaMessagesOfAKnownClientAreAcknowledged) {
    const std::string id = handshake();
    struct meta_case {
        const char* channel;
        const char* subscription;
    } cases[] = {{"/meta/connect", nullptr},
                 {"/meta/subscribe", "/velquin/settings"},
                 {"/meta/subscribe", "/velquin/query"},
                 {"/meta/unsubscribe", "/velquin/commands"},
                 {"/meta/disconnect", nullptr}};
    for (const meta_case& c : cases) {
        SCOPED_TRACE(c.channel);
        Json::Value m = meta(c.channel, id, "-42");
        if (c.subscription)
            m["subscription"] = c.subscription;
        const Json::Value a = send(m);
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(a[0]["successful"], Json::Value(true));
        EXPECT_EQ(a[0]["id"], Json::Value("-42"));
        EXPECT_EQ(a[0]["channel"], Json::Value(c.channel));
        EXPECT_EQ(a[0]["clientId"], Json::Value(id));
        if (c.subscription) {
            EXPECT_EQ(a[0]["subscription"], Json::Value(c.subscription));
        }
        EXPECT_FALSE(a[0].isMember("advice"));
    }
    // The disconnect ended the session: the id is no longer known.
    EXPECT_EQ(send(meta("/meta/connect", id))[0]["error"], Json::Value("402::unknown client"));
    EXPECT_EQ(sim.client_count(), 0u);
}

TEST_F(DeviceSimTest, UnknownClientsAreToldToHandshake) {
    handshake();
    const Json::Value advice = parse_json(R"({"reconnect": "handshake", "interval": 0})");
    const char* const channels[] = {
        "/meta/connect",    "/meta/subscribe",           "/meta/unsubscribe",
        "/meta/disconnect", "/service/velquin/commands", "/service/velquin/settings",
        "/velquin/query"};
    for (const char* channel : channels) {
        for (const char* client : {"", "nosuchclient"}) {
            SCOPED_TRACE(std::string(channel) + " from '" + client + "'");
            Json::Value m = meta(channel, client, "-3");
            m["subscription"] = "/velquin/settings";
            m["data"] = parse_json(R"({"command": "update"})");
            const Json::Value a = send(m);
            ASSERT_EQ(a.size(), 1u);
            EXPECT_EQ(a[0]["successful"], Json::Value(false));
            EXPECT_EQ(a[0]["error"], Json::Value("402::unknown client"));
            EXPECT_EQ(a[0]["advice"], advice);
            EXPECT_EQ(a[0]["id"], Json::Value("-3"));
            EXPECT_EQ(a[0]["channel"], Json::Value(channel));
        }
    }
    // A message without clientId at all is refused the same way.
    Json::Value m;
    m["channel"] = "/meta/connect";
    EXPECT_EQ(send(m)[0]["error"], Json::Value("402::unknown client"));
}

// What the publisher does with the answer to its configuration request: the first
// element whose data has path "$" and a value with "ios" and "sessions".
Json::Value pick_configuration(const Json::Value& answer) {
    for (const Json::Value& element : answer) {
        if (!element.isObject() || !element["data"].isObject())
            continue;
        const Json::Value& data = element["data"];
        if (data["path"] == Json::Value("$") && data["value"].isObject() &&
            data["value"].isMember("ios") && data["value"].isMember("sessions")) {
            return data["value"];
        }
    }
    return Json::Value();
}

TEST_F(DeviceSimTest, UpdateCommandAnswersWithTheConfiguration) {
    const std::string id = handshake();
    const Json::Value a = publish(id, "/service/velquin/commands", R"({"command": "update"})");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0]["successful"], Json::Value(true));
    EXPECT_EQ(a[0]["channel"], Json::Value("/service/velquin/commands"));
    EXPECT_EQ(a[0]["id"], Json::Value("p1"));
    EXPECT_EQ(a[0]["clientId"], Json::Value(id));
    EXPECT_EQ(a[1]["channel"], Json::Value("/velquin/settings"));
    EXPECT_EQ(a[1]["data"]["path"], Json::Value("$"));
    EXPECT_EQ(a[1]["data"]["value"], parse_json(small_config));
    // The last element carries no advice, so the publisher does not repeat.
    EXPECT_FALSE(a[1].isMember("advice"));
    EXPECT_EQ(pick_configuration(a), parse_json(small_config));
}

TEST_F(DeviceSimTest, SettingsArePublishedAppliedAndAnnounced) {
    const std::string id = handshake();
    const Json::Value a =
        publish(id, "/service/velquin/settings",
                R"({"path": "$.sessions.sources[?(@.id==1)][0]", "value": {"name": "mySource1"}})");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0]["successful"], Json::Value(true));
    EXPECT_EQ(a[1]["channel"], Json::Value("/velquin/settings"));
    EXPECT_EQ(
        a[1]["data"],
        parse_json(
            R"({"path": "$.sessions.sources[?(@.id==1)][0]", "value": {"name": "mySource1"}})"));
    EXPECT_EQ(sim.configuration()["sessions"]["sources"][0]["name"], Json::Value("mySource1"));
    // The next configuration request shows the change.
    const Json::Value again = publish(id, "/service/velquin/commands", R"({"command": "update"})");
    EXPECT_EQ(pick_configuration(again)["sessions"]["sources"][0]["name"],
              Json::Value("mySource1"));
}

TEST_F(DeviceSimTest, RefusedSettingsLeaveTheConfigurationAlone) {
    const std::string id = handshake();
    const char* const refused[] = {
        R"({"path": "$.sessions.sources[?(@.id==99)][0]", "value": {"name": "x"}})", // matches nothing
        R"({"path": "$..name", "value": 1})", // not our dialect
        R"({"path": "sessions", "value": 1})",
        R"({"path": "$", "value": null})", // the configuration stays an object
        R"({"path": "$", "value": [1]})",
        R"({"path": 5, "value": 1})",
        R"({"value": 1})",
        R"({"path": "$.ios"})",
        R"("$.ios")",
        "null",
    };
    for (const char* data : refused) {
        SCOPED_TRACE(data);
        const Json::Value a = publish(id, "/service/velquin/settings", data);
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(a[0]["successful"], Json::Value(false));
        EXPECT_TRUE(a[0]["error"].isString());
        EXPECT_FALSE(a[0]["error"].asString().empty());
        EXPECT_FALSE(a[0].isMember("advice"))
            << "a refused setting must not make the publisher repeat it";
        EXPECT_EQ(sim.configuration(), parse_json(small_config));
    }
}

TEST_F(DeviceSimTest, OtherCommandsAndChannels) {
    const std::string id = handshake();
    Json::Value a =
        publish(id, "/service/velquin/commands", R"({"command": "reboot", "data": null})");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0]["successful"], Json::Value(true));
    EXPECT_EQ(a[1]["channel"], Json::Value("/velquin/commands"));
    EXPECT_EQ(a[1]["data"]["command"], Json::Value("reboot"));
    EXPECT_TRUE(a[1]["data"]["result"].isString());

    a = publish(id, "/some/other/channel", R"([1, 2])");
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0]["successful"], Json::Value(true));

    for (const char* data : {R"({"data": 1})", R"({"command": 5})", "[]", "null"}) {
        SCOPED_TRACE(data);
        a = publish(id, "/service/velquin/commands", data);
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(a[0]["successful"], Json::Value(false));
    }
    a = send(meta("/meta/nonsense", id));
    EXPECT_EQ(a[0]["successful"], Json::Value(false));
    EXPECT_EQ(sim.configuration(), parse_json(small_config));
}

TEST_F(DeviceSimTest, InjectedFailuresCarryTheGivenAdviceThenStop) {
    const std::string id = handshake();
    const Json::Value advice = parse_json(R"({"reconnect": "retry", "interval": -5})");
    sim.fail_next_publishes(2, advice);
    // Meta messages are not affected.
    EXPECT_EQ(send(meta("/meta/connect", id))[0]["successful"], Json::Value(true));
    for (int i = 0; i < 2; ++i) {
        const Json::Value a =
            publish(id, "/service/velquin/settings", R"({"path": "$.ios", "value": {"x": 1}})");
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(a[0]["successful"], Json::Value(false));
        EXPECT_EQ(a[0]["advice"], advice);
    }
    EXPECT_EQ(sim.configuration(), parse_json(small_config)) << "a refused publish applies nothing";
    const Json::Value a =
        publish(id, "/service/velquin/settings", R"({"path": "$.ios", "value": {"x": 1}})");
    EXPECT_EQ(a[0]["successful"], Json::Value(true));
    EXPECT_EQ(sim.configuration()["ios"]["x"], Json::Value(1));
}

TEST_F(DeviceSimTest, BadBodiesGetBayeuxErrorsNeverACrash) {
    struct body_case {
        std::string body;
        unsigned status;
        std::size_t elements;
    };
    const body_case cases[] = {
        {"", 400, 1},
        {"not json", 400, 1},
        {"[{\"channel\": \"/meta/handshake\"", 400, 1},
        {std::string(5000, '['), 400, 1}, // nested beyond the reader's limit
        {"{}", 400, 1},
        {"42", 400, 1},
        {"\"text\"", 400, 1},
        {"[]", 200, 0},
        {"[1]", 200, 1},
        {"[null, \"x\", [], true]", 200, 4},
        {"[{}]", 200, 1},
        {"[{\"channel\": 5}]", 200, 1},
        {"[{\"channel\": \"/meta/connect\", \"clientId\": 7}]", 200, 1},
        {std::string("[{\"channel\": \"/meta/handshake\"}]\0tail", 38), 200, 1},
    };
    for (const body_case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 40));
        const velquin_sim::answer a = sim.handle_body(c.body);
        EXPECT_EQ(a.status, c.status);
        const Json::Value out = parse_json(a.body);
        ASSERT_TRUE(out.isArray());
        ASSERT_EQ(out.size(), c.elements);
        for (const Json::Value& element : out) {
            if (c.body.find("handshake") != std::string::npos && c.status == 200)
                continue;
            EXPECT_EQ(element["successful"], Json::Value(false));
            EXPECT_TRUE(element["error"].isString());
        }
    }
}

TEST_F(DeviceSimTest, BatchesAnswerInOrderWithBroadcastsLast) {
    const std::string id = handshake();
    trace.clear();
    const std::string body = "[{\"channel\":\"/service/velquin/commands\",\"clientId\":\"" + id +
                             "\",\"data\":{\"command\":\"update\"},\"id\":\"a\"},"
                             "{\"channel\":\"/meta/connect\",\"clientId\":\"" +
                             id + "\",\"id\":\"b\"}]";
    const Json::Value a = parse_json(sim.handle_body(body).body);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0]["id"], Json::Value("a"));
    EXPECT_EQ(a[1]["id"], Json::Value("b"));
    EXPECT_EQ(a[2]["channel"], Json::Value("/velquin/settings"));
    // Each received message is one compact trace line, in order.
    const Json::Value sent = parse_json(body);
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0], compact(sent[0]));
    EXPECT_EQ(trace[1], compact(sent[1]));
    EXPECT_EQ(trace[0].back(), '\n');
    EXPECT_EQ(trace[0].find('\n'), trace[0].size() - 1);
}

TEST_F(DeviceSimTest, FixedClientIdSurvivesReplayedSessions) {
    sim.set_fixed_client_id("bench-client");
    for (int session = 0; session < 2; ++session) {
        SCOPED_TRACE(session);
        EXPECT_EQ(handshake(), "bench-client");
        EXPECT_EQ(send(meta("/meta/connect", "bench-client"))[0]["successful"], Json::Value(true));
        EXPECT_EQ(send(meta("/meta/disconnect", "bench-client"))[0]["successful"],
                  Json::Value(true));
        // After the disconnect the id is unknown until the next handshake grants it again.
        EXPECT_EQ(send(meta("/meta/connect", "bench-client"))[0]["error"],
                  Json::Value("402::unknown client"));
    }
}

TEST(DeviceSimSampleTest, SampleConfigurationHasWhatTheExamplesAddress) {
    Json::Value config = parse_json(velquin_sim::sample_configuration);
    ASSERT_TRUE(config.isObject());
    EXPECT_TRUE(config.isMember("ios"));
    EXPECT_TRUE(config["sessions"]["sources"].isArray());
    EXPECT_EQ(config["sessions"]["sources"][0]["id"], Json::Value(1));
    EXPECT_TRUE(config["sessions"]["sources"][0]["name"].isString());
    for (const char* path : {"$.sessions.sources[?(@.id==1)][0]", "$._modules[?(@.id==254)][0]",
                             "$.actions.create_connections"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(velquin_sim::select(config, velquin_sim::parse_selector_path(path)).size(), 1u);
    }
    EXPECT_TRUE(read_back(config, "$._modules[?(@.id==254)][0]").isMember("outputs_1to8"));
}

TEST(DeviceSimThreadsTest, SeveralClientsAtOnce) {
    velquin_sim::device sim(parse_json(small_config));
    const std::size_t clients = 4;
    const int rounds = 50;
    std::vector<std::thread> threads;
    std::vector<std::string> ids(clients);
    for (std::size_t t = 0; t < clients; ++t) {
        threads.emplace_back([&sim, &ids, t] {
            const Json::Value hs =
                parse_json(sim.handle_body(R"([{"channel":"/meta/handshake"}])").body);
            ids[t] = hs[0]["clientId"].asString();
            for (int r = 0; r < rounds; ++r) {
                const std::string body =
                    "[{\"channel\":\"/service/velquin/settings\",\"clientId\":\"" + ids[t] +
                    "\",\"data\":{\"path\":\"$.ios.inputs[" + std::to_string(t % 2) +
                    "]\",\"value\":{\"n" + std::to_string(t) + "\":" + std::to_string(r) + "}}}]";
                sim.handle_body(body);
                sim.handle_body("[{\"channel\":\"/service/velquin/commands\",\"clientId\":\"" +
                                ids[t] + "\",\"data\":{\"command\":\"update\"}}]");
            }
        });
    }
    for (auto& t : threads)
        t.join();
    const Json::Value config = sim.configuration();
    for (std::size_t t = 0; t < clients; ++t) {
        EXPECT_EQ(
            config["ios"]["inputs"][static_cast<Json::ArrayIndex>(t % 2)]["n" + std::to_string(t)],
            Json::Value(rounds - 1));
    }
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(),
              static_cast<std::size_t>(clients));
}

} // namespace
