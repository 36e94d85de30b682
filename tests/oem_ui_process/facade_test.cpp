// The public facade: construction rules, forwarding, notifications and
// log_json_value.
#include "tests/support/bridge_support.h"

#include "platform/device_constants/device_constants.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace oem_ui_process;
using bridge_test::call;

namespace {

// The smallest OEM UI process: it only records notifications.
class ui_process : public oem_vorn_device_ipc {
public:
    explicit ui_process(bridge_test::call_log& log) : m_log(log) {}
    void on_device_started() override { m_log.add("on_device_started"); }
    void on_publish(const std::string& strChannel,
                    boost::shared_ptr<const rapidjson::Document> ptrjsDocument) override {
        m_log.add("on_publish", {strChannel, bridge_test::to_text(*ptrjsDocument)});
    }

private:
    bridge_test::call_log& m_log;
};

// A UI process that hosts an engine and publishes through its endpoint.
class hosting_ui_process : public oem_vorn_device_ipc {
public:
    hosting_ui_process(bridge_test::call_log& log, engine_oem_vorn_device_ipc_callback* pEngine)
        : oem_vorn_device_ipc(pEngine), m_log(log) {}
    void on_device_started() override { m_log.add("on_device_started"); }
    void on_publish(const std::string& strChannel,
                    boost::shared_ptr<const rapidjson::Document>) override {
        m_log.add("on_publish", {strChannel});
    }
    bool on_shutdown() override { return true; }
    void publish(const std::string& channel, boost::shared_ptr<const rapidjson::Document> doc) {
        pimpl->engine_publish(channel, doc);
    }
    void load_done() { pimpl->engine_load_done(); }

private:
    bridge_test::call_log& m_log;
};

std::string logged(unsigned int level, const std::string& title, const std::string& json) {
    auto doc = bridge_test::parse(json);
    vq_log_capture capture;
    oem_vorn_device_ipc::log_json_value(level, title, *doc);
    const auto records = capture.records();
    EXPECT_EQ(1u, records.size());
    if (records.empty())
        return "";
    EXPECT_EQ(static_cast<int>(level), records[0].level);
    return records[0].message;
}

// `depth` nested arrays around the number 1, built without recursion.
rapidjson::Value nested(std::size_t depth, rapidjson::Document::AllocatorType& allocator) {
    rapidjson::Value inner(1);
    for (std::size_t i = 0; i < depth; ++i) {
        rapidjson::Value outer(rapidjson::kArrayType);
        outer.PushBack(inner, allocator);
        inner = outer;
    }
    return inner;
}

} // namespace

TEST(FacadeLogJsonValueTest, WritesCompactJsonWithExactNumbers) {
    struct {
        std::string title;
        std::string json;
        std::string line;
    } cases[] = {
        {"gain", "3", "gain= 3\n"},
        {"", "{\"a\":1,\"b\":[true,null,\"x\"]}", "= {\"a\":1,\"b\":[true,null,\"x\"]}\n"},
        {"cfg", "{ \"z\" : 1 , \"a\" : 2 }", "cfg= {\"z\":1,\"a\":2}\n"},
        {"d", "0.1", "d= 0.10000000000000001\n"},
        {"d", "[1.5,-2.25]", "d= [1.5,-2.25]\n"},
        {"big", "1e300", "big= 1.0000000000000001e+300\n"},
        {"neg", "-7", "neg= -7\n"},
        {"u64", "18446744073709551615", "u64= 18446744073709551615\n"},
        {"s", "\"a\\\"b\\n\"", "s= \"a\\\"b\\n\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(c.line, logged(3, c.title, c.json));
    }
    EXPECT_EQ("x= {}\n", logged(6, "x", "{}"));
}

TEST(FacadeLogJsonValueTest, NumbersJsonCannotHoldStillLog) {
    rapidjson::Value value(std::numeric_limits<double>::quiet_NaN());
    vq_log_capture capture;
    oem_vorn_device_ipc::log_json_value(3, "n", value);
    ASSERT_EQ(1u, capture.records().size());
    EXPECT_EQ("n= nan\n", capture.records()[0].message);
}

TEST(FacadeLogJsonValueTest, ValuesNestedTooDeepAreRefusedWithALogLine) {
    // At the limit (OEMUIP_MAX_JSON_DEPTH, 512), one past it, far past it.
    const std::size_t depths[] = {512, 513, 1000000};
    for (const std::size_t depth : depths) {
        SCOPED_TRACE(depth);
        rapidjson::Document doc;
        vq_log_capture capture;
        oem_vorn_device_ipc::log_json_value(6, "v", nested(depth, doc.GetAllocator()));
        ASSERT_EQ(1u, capture.records().size());
        EXPECT_EQ(depth <= 512 ? 6 : 3, capture.records()[0].level);
        EXPECT_EQ(depth <= 512
                      ? "v= " + std::string(512, '[') + "1" + std::string(512, ']') + "\n"
                      : std::string("log_json_value: JSON nested deeper than 512 levels refused\n"),
                  capture.records()[0].message);
    }
}

TEST(FacadeTest, ForwardsToTheEndpoint) {
    bridge_test::call_log log;
    bridge_test::engine_peer peer(&log);
    ASSERT_TRUE(peer.open());
    ui_process ui(log);
    ASSERT_TRUE(ui.init());
    ui.oem_ui_process_ready();
    auto doc = boost::make_shared<rapidjson::Document>();
    EXPECT_TRUE(ui.get_config(doc));
    EXPECT_EQ("{\"config\":true,\"seq\":0}", bridge_test::to_text(*doc));
    ui.set_config(bridge_test::parse("{\"path\":\"$.x\",\"value\":1}"));
    ui.send_command("go");
    EXPECT_TRUE(ui.send_query("q", doc));
    EXPECT_EQ("{\"query\":\"q\",\"seq\":2}", bridge_test::to_text(*doc));
    // An engine path with no hosted engine goes nowhere.
    ui.set_config(bridge_test::parse("{\"path\":\"$._oem_ui_process_engine\"}"));

    std::vector<uint32_t> ids;
    for (const auto& m : peer.messages())
        ids.push_back(m.id);
    EXPECT_EQ((std::vector<uint32_t>{100, 101, 102, 103, 104}), ids);
    ui.destroy();
    ui.destroy();
}

TEST(FacadeTest, DefaultFacadeRefusesShutdownAndEngineMessages) {
    bridge_test::call_log log;
    bridge_test::engine_peer peer;
    ASSERT_TRUE(peer.open());
    ui_process ui(log);
    ASSERT_TRUE(ui.init());

    int32_t err = 0;
    ASSERT_EQ(0, peer.send(EOEMUIP_HUL_shutdown, nullptr, 0, nullptr, 0, &err));
    EXPECT_EQ(-1, err);
    for (uint32_t id = 3; id <= 18; ++id) {
        SCOPED_TRACE(id);
        std::vector<uint8_t> payload(516, 0);
        std::vector<uint8_t> reply(256, 0);
        ASSERT_EQ(0, peer.send(id, payload.data(), 516, reply.data(), 256, &err));
        EXPECT_EQ(-1, err);
    }
    ASSERT_EQ(0, peer.send(EOEMUIP_HUL_device_started, nullptr, 0, nullptr, 0, &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ((std::vector<call>{{"on_device_started", {}}}), log.calls());
}

TEST(FacadeTest, HostedEngineIsServedAndPublishes) {
    bridge_test::call_log log;
    bridge_test::recording_engine engine(log);
    bridge_test::engine_peer peer;
    ASSERT_TRUE(peer.open());
    hosting_ui_process ui(log, &engine);
    ASSERT_TRUE(ui.init());

    int32_t err = -9;
    ASSERT_EQ(0, peer.send(EOEMUIP_HUL_engine_is_present, nullptr, 0, nullptr, 0, &err));
    EXPECT_EQ(0, err);
    ASSERT_EQ(0, peer.send(EOEMUIP_HUL_shutdown, nullptr, 0, nullptr, 0, &err));
    EXPECT_EQ(0, err);
    ui.set_config(bridge_test::parse("{\"path\":\"$._oem_ui_process_engine.mix\",\"value\":2}"));
    ui.publish(device::channels::logs_channel, bridge_test::parse("{\"line\":\"x\"}"));
    ui.load_done();

    EXPECT_EQ((std::vector<call>{
                  {"is_present", {}},
                  {"set_config", {"{\"path\":\"$._oem_ui_process_engine.mix\",\"value\":2}"}},
                  {"on_publish", {device::channels::logs_channel}}}),
              log.calls());
    std::vector<uint32_t> ids;
    for (const auto& m : peer.messages())
        ids.push_back(m.id);
    EXPECT_EQ((std::vector<uint32_t>{107, 109}), ids);
}

TEST(FacadeTest, NullEngineEqualsTheDefaultConstructor) {
    bridge_test::call_log log;
    bridge_test::engine_peer peer;
    ASSERT_TRUE(peer.open());
    hosting_ui_process ui(log, nullptr);
    ASSERT_TRUE(ui.init());
    int32_t err = 0;
    ASSERT_EQ(0, peer.send(EOEMUIP_HUL_engine_is_present, nullptr, 0, nullptr, 0, &err));
    EXPECT_EQ(-1, err);
}

TEST(FacadeTest, OneInstanceAtATime) {
    bridge_test::call_log log;
    { ui_process first(log); }
    {
        // Construction after destruction works, also with a channel left open.
        ui_process second(log);
        ASSERT_TRUE(second.init());
    }
    ui_process third(log);
    EXPECT_TRUE(third.init());
}

TEST(FacadeDeathTest, SecondInstanceEndsTheProcess) {
#ifdef BRIDGE_TEST_NO_REEXEC
    // Under a user-mode emulator the test program cannot execute itself again.
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    bridge_test::call_log log;
    EXPECT_EXIT(
        {
            ui_process first(log);
            ui_process second(log);
        },
        ::testing::ExitedWithCode(254),
        "!! Only one instance of oem_vorn_device_ipc can be created!");
    EXPECT_EXIT(
        {
            hosting_ui_process first(log, nullptr);
            ui_process second(log);
        },
        ::testing::ExitedWithCode(254), std::string(76, '!'));
}
