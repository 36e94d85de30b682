// The example OEM UI processes run against the engine simulator.
#include "tests/support/bridge_support.h"
#include "tests/support/engine_sim_process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs a program with --once; its exit status, or -1.
int run_once(const char* path) {
    const bridge_test::command_line program(path, {"--once"});
    const pid_t pid = ::fork();
    if (pid == 0)
        program.exec();
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Examples, MinimalUiAnnouncesItselfAndReadsTheConfiguration) {
    bridge_test::engine_sim_process sim;
    ASSERT_TRUE(sim.running());
    ASSERT_EQ(0, run_once(OEM_UI_MINIMAL_PATH));
    EXPECT_TRUE(sim.wait_event("recv", 100));
    EXPECT_TRUE(sim.wait_event("recv", 101));
    EXPECT_EQ(0, sim.stop());
}

TEST(Examples, EngineHostKeepsEngineSettingsAndPublishes) {
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

TEST(Examples, WithoutEngineProcessTheMinimalUiStillRuns) {
    // Nobody listens: the sends fail and are logged, the program ends normally.
    EXPECT_EQ(0, run_once(OEM_UI_MINIMAL_PATH));
}
