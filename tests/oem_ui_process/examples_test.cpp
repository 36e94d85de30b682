// The example OEM UI processes run against the engine simulator.
#include "tests/support/bridge_support.h"
#include "tests/support/child_process.h"
#include "tests/support/engine_sim_process.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Runs a program with --once; its exit status, or -1. What it writes to
// standard error (the device logger's lines) goes to *pLog when given.
int run_once(const char* path, std::string* pLog = nullptr) {
    const vq_testing::run_result r = vq_testing::run({path, "--once"});
    if (pLog != nullptr)
        *pLog = r.err;
    return r.status;
}

} // namespace

TEST(ExamplesTest, MinimalUiAnnouncesItselfAndReadsTheConfiguration) {
    bridge_test::engine_sim_process sim;
    ASSERT_TRUE(sim.running());
    std::string log;
    ASSERT_EQ(0, run_once(OEM_UI_MINIMAL_PATH, &log));
    EXPECT_TRUE(sim.wait_event("recv", 100));
    EXPECT_TRUE(sim.wait_event("recv", 101));
    EXPECT_EQ(0, sim.stop());
    // The configuration it logged is the simulator's answer to its request 0.
    const std::size_t at = log.find("config= {");
    ASSERT_NE(std::string::npos, at) << log;
    const std::string line = log.substr(at, log.find('\n', at) - at);
    EXPECT_NE(std::string::npos, line.find("\"_sim_json_id\":0")) << line;
    EXPECT_NE(std::string::npos, line.find("\"sessions\":")) << line;
}

TEST(ExamplesTest, EngineHostKeepsEngineSettingsAndPublishes) {
    bridge_test::engine_sim_process sim;
    ASSERT_TRUE(sim.running());
    ASSERT_EQ(0, run_once(OEM_UI_ENGINE_HOST_PATH));
    EXPECT_TRUE(sim.wait_event("recv", 100));
    // The engine's own setting never arrives as 102; the publication does.
    auto ev = sim.wait_for([](const rapidjson::Document& d) {
        const auto id = d.FindMember("id");
        return id != d.MemberEnd() && id->value.IsInt() &&
               (id->value.GetInt() == 102 || id->value.GetInt() == 107);
    });
    ASSERT_TRUE(ev);
    EXPECT_EQ(107, (*ev)["id"].GetInt());
    EXPECT_TRUE(sim.wait_event("recv", 108));
    EXPECT_EQ(0, sim.stop());
}

TEST(ExamplesTest, WithoutEngineProcessTheMinimalUiSaysItGotNoConfiguration) {
    // Nobody listens: the sends fail and are logged, the exit status says so.
    std::string log;
    EXPECT_EQ(2, run_once(OEM_UI_MINIMAL_PATH, &log));
    EXPECT_NE(std::string::npos, log.find("KSAL_IPC_SendIOCTL(EOEMUIP_OEM_get_config) failed"))
        << log;
    EXPECT_EQ(std::string::npos, log.find("config= ")) << log;
}
