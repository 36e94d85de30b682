// Several threads of the OEM UI process talking to the engine simulator at
// once, and notification handlers that send from inside a delivery.
#include "tests/support/bridge_support.h"
#include "tests/support/engine_sim_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

using namespace oem_ui_process;

namespace {

class threaded_ui : public oem_vorn_device_ipc {
public:
    threaded_ui() : oem_vorn_device_ipc(nullptr) {}
    void on_device_started() override { send_command("started-ack"); }
    // Sends from within the delivery: the endpoint must not hold its lock here.
    void on_publish(const std::string& strChannel,
                    boost::shared_ptr<const rapidjson::Document>) override {
        auto config = boost::make_shared<rapidjson::Document>();
        if (get_config(config) && config->IsObject() && config->HasMember("_sim_json_id"))
            ++m_publishedAndFetched;
        send_command("ack " + strChannel);
    }
    void publish(const std::string& channel, boost::shared_ptr<const rapidjson::Document> doc) {
        pimpl->engine_publish(channel, doc);
    }

    std::atomic<int> m_publishedAndFetched{0};
};

int json_id_of(const rapidjson::Document& d) {
    for (const char* name : {"json_id", "_sim_json_id"}) {
        const auto it = d.FindMember(name);
        if (it != d.MemberEnd() && it->value.IsInt())
            return it->value.GetInt();
    }
    return -1;
}

} // namespace

TEST(ThreadsTest, ConcurrentRequestsGetTheirOwnAnswers) {
    bridge_test::engine_sim_process sim;
    ASSERT_TRUE(sim.running());
    threaded_ui ui;
    ASSERT_TRUE(ui.init());

    const int kThreads = 4;
    const int kRounds = 20;
    std::vector<std::vector<int>> ids(kThreads);
    std::atomic<int> wrongAnswers{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < ids.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string query =
                    "thread " + std::to_string(t) + " round " + std::to_string(i);
                auto answer = boost::make_shared<rapidjson::Document>();
                if (!ui.send_query(query, answer)) {
                    ++failures;
                    continue;
                }
                const auto q = answer->FindMember("query");
                if (q == answer->MemberEnd() || !q->value.IsString() ||
                    query != q->value.GetString())
                    ++wrongAnswers;
                ids[t].push_back(json_id_of(*answer));

                auto config = boost::make_shared<rapidjson::Document>();
                if (!ui.get_config(config))
                    ++failures;
                else
                    ids[t].push_back(json_id_of(*config));
                ui.send_command("cmd " + std::to_string(t));
                if (i % 5 == 0)
                    ui.publish("/vorn/values", bridge_test::parse("[{\"path\":\"$.x\"}]"));
                ui.oem_ui_process_ready();
            }
        });
    }
    for (auto& th : threads)
        th.join();

    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, wrongAnswers.load());
    // Every answer was read from the file of its own request: each thread's
    // numbers rise, and no number was handed out twice.
    std::set<int> all;
    for (const auto& v : ids) {
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
        EXPECT_EQ(std::adjacent_find(v.begin(), v.end()), v.end());
        all.insert(v.begin(), v.end());
    }
    const int kPublishes = kThreads * ((kRounds + 4) / 5);
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kRounds * 2), all.size());
    EXPECT_EQ(0, *all.begin());
    EXPECT_GE(kThreads * kRounds * 2 + kPublishes - 1, *all.rbegin());
    EXPECT_EQ(0, sim.stop());
}

TEST(ThreadsTest, HandlersMaySendWhileOtherThreadsDo) {
    bridge_test::engine_sim_process sim;
    ASSERT_TRUE(sim.running());
    threaded_ui ui;
    ASSERT_TRUE(ui.init());

    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) {
            auto answer = boost::make_shared<rapidjson::Document>();
            ui.send_query("$.ios", answer);
            ui.send_command("busy");
        }
    });
    const int kPublications = 10;
    for (int i = 0; i < kPublications; ++i) {
        auto ev = sim.send("send 1 /vorn/status {\"n\":" + std::to_string(i) + "}");
        ASSERT_TRUE(ev);
        const auto err = ev->FindMember("msg_err");
        ASSERT_TRUE(err != ev->MemberEnd() && err->value.IsInt());
        EXPECT_EQ(0, err->value.GetInt());
    }
    auto ev = sim.send("send 30");
    ASSERT_TRUE(ev);
    stop = true;
    busy.join();
    EXPECT_EQ(kPublications, ui.m_publishedAndFetched.load());
    ui.destroy();
    EXPECT_EQ(0, sim.stop());
}
