// A whole session between an OEM UI process (this test) and the engine
// simulator running as a separate process.
#include "tests/support/bridge_support.h"
#include "tests/support/engine_sim_process.h"

#include "platform/device_constants/device_constants.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using namespace oem_ui_process;
using bridge_test::call;

namespace {

int member_int(const rapidjson::Value& v, const char* name) {
    const auto it = v.FindMember(name);
    return it != v.MemberEnd() && it->value.IsInt() ? it->value.GetInt() : -999;
}

std::string member_text(const rapidjson::Value& v, const char* name) {
    const auto it = v.FindMember(name);
    if (it == v.MemberEnd())
        return "<missing>";
    return it->value.IsString() ? std::string(it->value.GetString())
                                : bridge_test::to_text(it->value);
}

class session_ui : public oem_vorn_device_ipc {
public:
    session_ui(bridge_test::call_log& log, engine_oem_vorn_device_ipc_callback* pEngine)
        : oem_vorn_device_ipc(pEngine), m_log(log) {}
    void on_device_started() override { m_log.add("on_device_started"); }
    void on_publish(const std::string& strChannel,
                    boost::shared_ptr<const rapidjson::Document> ptrjsDocument) override {
        m_log.add("on_publish", {strChannel, bridge_test::to_text(*ptrjsDocument)});
    }
    void publish(const std::string& channel, const std::string& json) {
        pimpl->engine_publish(channel, bridge_test::parse(json));
    }
    void io_changed() { pimpl->engine_io_changed(); }

private:
    bridge_test::call_log& m_log;
};

} // namespace

TEST(SessionTest, FullSessionWithTheEngineSimulator) {
    bridge_test::call_log log;
    bridge_test::recording_engine engine(log);
    engine.storage_text = "/data/oem/presets";
    bridge_test::engine_sim_process sim;
    ASSERT_TRUE(sim.running());
    session_ui ui(log, &engine);
    ASSERT_TRUE(ui.init());

    // Ready.
    ui.oem_ui_process_ready();
    auto ev = sim.wait_event("recv", 100);
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, member_int(*ev, "result"));

    // The configuration, named by sequence number 0.
    auto config = boost::make_shared<rapidjson::Document>();
    ASSERT_TRUE(ui.get_config(config));
    EXPECT_EQ(0, member_int(*config, "_sim_json_id"));
    ASSERT_TRUE(config->HasMember("ios"));
    EXPECT_EQ("Mic 1", member_text((*config)["ios"]["inputs"][0], "name"));

    // A change, then the query that reads it back.
    ui.set_config(bridge_test::parse("{\"path\":\"$.ios.inputs[1].gain\",\"value\":-3}"));
    ev = sim.wait_event("recv", 102);
    ASSERT_TRUE(ev);
    EXPECT_EQ(1, member_int(*ev, "json_id"));
    EXPECT_EQ("true", member_text(*ev, "applied"));
    auto answer = boost::make_shared<rapidjson::Document>();
    ASSERT_TRUE(ui.send_query("$.ios.inputs[1].gain", answer));
    EXPECT_EQ("{\"query\":\"$.ios.inputs[1].gain\",\"json_id\":2,\"answer\":-3}",
              bridge_test::to_text(*answer));

    // A setting of the hosted engine never reaches the engine process.
    ui.set_config(
        bridge_test::parse("{\"path\":\"$._oem_ui_process_engine.mode\",\"value\":\"x\"}"));
    ui.send_command("store_preset");
    ev = sim.wait_event("recv", 103);
    ASSERT_TRUE(ev);
    EXPECT_EQ("store_preset", member_text(*ev, "command"));

    // Publications from this side: delivered locally, then forwarded.
    ui.publish("/vorn/values",
               "[{\"path\":\"$._oem_ui_process_engine.level\",\"value\":1},{\"path\":\"$.a\"}]");
    ev = sim.wait_event("recv", 107);
    ASSERT_TRUE(ev);
    EXPECT_EQ("/vorn/values", member_text(*ev, "channel"));
    EXPECT_EQ(3, member_int(*ev, "json_id"));
    EXPECT_EQ("[{\"path\":\"$._oem_ui_process_engine.level\",\"value\":1},{\"path\":\"$.a\"}]",
              member_text(*ev, "document"));
    ui.io_changed();
    ASSERT_TRUE(sim.wait_event("recv", 108));

    // Publications, start-up and shutdown from the engine process.
    ev = sim.send("send 1 /vorn/status {\"state\":\"running\"}");
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, member_int(*ev, "msg_err"));
    ev = sim.send("send 30");
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, member_int(*ev, "msg_err"));
    ev = sim.send("send 2");
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, member_int(*ev, "rc"));
    EXPECT_EQ(-1, member_int(*ev, "msg_err")); // refused by default

    // The hosted engine, driven from the other process.
    ev = sim.send("send 6");
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, member_int(*ev, "msg_err"));
    EXPECT_EQ("/data/oem/presets", member_text(*ev, "reply"));
    ev = sim.send("send 5 how loud");
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, member_int(*ev, "msg_err"));
    EXPECT_EQ("{\"answer\":1}", member_text(*ev, "answer"));
    ev = sim.send("send 15 slot1 $.ios 9");
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, member_int(*ev, "msg_err"));
    ev = sim.send("send 77");
    ASSERT_TRUE(ev);
    EXPECT_EQ(-3, member_int(*ev, "msg_err"));
    // A payload one byte short of TOEM_send_command.
    ev = sim.send("raw 4 " + std::string(255 * 2, '4'));
    ASSERT_TRUE(ev);
    EXPECT_EQ(-2, member_int(*ev, "msg_err"));

    EXPECT_EQ((std::vector<call>{
                  {"set_config", {"{\"path\":\"$._oem_ui_process_engine.mode\",\"value\":\"x\"}"}},
                  {"on_publish",
                   {"/vorn/values", "{\"path\":\"$._oem_ui_process_engine.level\",\"value\":1}"}},
                  {"on_publish", {"/vorn/status", "{\"state\":\"running\"}"}},
                  {"on_device_started", {}},
                  {"get_storage_dir", {""}},
                  {"send_query", {"how loud"}},
                  {"recall", {"slot1", "$.ios"}},
              }),
              log.calls());

    // After destroy the engine process finds nobody listening.
    ui.destroy();
    ev = sim.send("send 30");
    ASSERT_TRUE(ev);
    EXPECT_NE(0, member_int(*ev, "rc"));
    EXPECT_EQ(0, sim.stop());
}

namespace {

// A hosted engine whose I/O description nests a million levels deep.
class deep_engine : public bridge_test::recording_engine {
public:
    using recording_engine::recording_engine;
    bool get_ios(boost::shared_ptr<rapidjson::Document> ptrjsIos) override {
        rapidjson::Value inner(1);
        for (int i = 0; i < 1000000; ++i) {
            rapidjson::Value outer(rapidjson::kArrayType);
            outer.PushBack(inner, ptrjsIos->GetAllocator());
            inner = outer;
        }
        static_cast<rapidjson::Value&>(*ptrjsIos) = inner;
        return true;
    }
};

} // namespace

TEST(SessionTest, DocumentsNestedAMillionDeepLeaveBothProcessesRunning) {
    bridge_test::call_log log;
    deep_engine engine(log);
    bridge_test::engine_sim_process sim;
    ASSERT_TRUE(sim.running());
    session_ui ui(log, &engine);
    ASSERT_TRUE(ui.init());

    // The engine process names a hand-off file holding 1,000,000 levels.
    const std::string deep = std::string(1000000, '[') + "1" + std::string(1000000, ']');
    std::ofstream(bridge_test::platform_root() + "/tmp/engine_sim/deep.json", std::ios::binary)
        << deep;
    THUL_publish pub;
    std::memset(&pub, 0, sizeof(pub));
    std::strcpy(pub.szChannelName, "/vorn/status");
    pub.JsonFile_Info = bridge_test::file_info("/tmp/engine_sim/deep.json", 1);
    std::string hex;
    for (std::size_t i = 0; i < sizeof(pub); ++i) {
        static const char digits[] = "0123456789abcdef";
        const unsigned char b = reinterpret_cast<const unsigned char*>(&pub)[i];
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    auto ev = sim.send("raw 1 " + hex);
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, member_int(*ev, "rc"));
    EXPECT_EQ(-3, member_int(*ev, "msg_err"));

    // The hosted engine answers with one: the answer is refused, not written.
    ev = sim.send("send 13");
    ASSERT_TRUE(ev);
    EXPECT_EQ(-1, member_int(*ev, "msg_err"));
    EXPECT_EQ("<missing>", member_text(*ev, "answer"));

    // The engine process's own documents that deep go nowhere.
    sim.command("send 1 /vorn/status " + deep);
    ASSERT_TRUE(sim.wait_event("error"));

    // Both still talk.
    ev = sim.send("send 30");
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, member_int(*ev, "msg_err"));
    ui.send_command("still here");
    ASSERT_TRUE(sim.wait_event("recv", 103));
    EXPECT_EQ(0, sim.stop());
    // Nothing of the deep documents reached a callback.
    EXPECT_EQ((std::vector<call>{{"on_device_started", {}}}), [&] {
        std::vector<call> calls;
        for (const call& c : log.calls())
            if (c.name != "get_ios")
                calls.push_back(c);
        return calls;
    }());
}
