// engine_sim: its answers to the OEM UI process's messages, its configuration
// paths, and its command language driven as a real process.
#include "tests/support/private_root.hpp"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_messages.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/oem_files/oem_files.h"
#include "tests/support/child_process.h"
#include "tools/engine_sim/engine_sim.h"

#include <gtest/gtest.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <sys/stat.h>

using namespace oem_ui_process;

namespace {

std::string g_root;

const auto* const g_env =
    ::testing::AddGlobalTestEnvironment(new platform_testing::private_root("vq_esim_test", g_root));

void put(char* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size));
}

TJsonFile_Info info_for(const std::string& path, uint32_t id) {
    TJsonFile_Info info;
    put(info.szJSONDataFilePath, sizeof info.szJSONDataFilePath, path);
    info.ui32JsonId = id;
    return info;
}

std::string json(const rapidjson::Value& v) {
    rapidjson::StringBuffer b;
    rapidjson::Writer<rapidjson::StringBuffer> w(b);
    v.Accept(w);
    return b.GetString();
}

rapidjson::Document parse(const std::string& text) {
    rapidjson::Document d;
    d.Parse(text.c_str());
    return d;
}

class EngineSimAnswersTest : public ::testing::Test {
protected:
    EngineSimAnswersTest() : sim("/tmp/esim/handoff.json") {
        // The OEM UI process's hand-off folder, which it makes at init.
        std::filesystem::create_directories(g_root + "/tmp/oem");
        sim.set_config_document(parse(
            R"({"ios":{"inputs":[{"gain":1}]},"sessions":[{"name":"Studio","sources":[]}],"_modules":{},"actions":[]})"));
    }
    int32_t call(uint32_t id, const void* in, uint32_t size) {
        uint32_t out_size = 4096;
        std::vector<char> out(out_size);
        int32_t rc = sim.handle(id, in, size, out.data(), &out_size);
        EXPECT_EQ(out_size, 0u);
        return rc;
    }
    rapidjson::Document read(const TJsonFile_Info& info) {
        rapidjson::Document d;
        EXPECT_TRUE(read_json_from_file(info, d));
        return d;
    }
    int32_t query(const std::string& q, uint32_t id, rapidjson::Document& answer) {
        TOEM_send_query msg;
        put(msg.szQuery, sizeof msg.szQuery, q);
        msg.JsonFile_Info = info_for("/tmp/oem/q.json", id);
        int32_t rc = call(EOEMUIP_OEM_send_query, &msg, sizeof msg);
        if (rc == 0)
            answer = read(msg.JsonFile_Info);
        return rc;
    }
    engine_sim::simulator sim;
};

TEST_F(EngineSimAnswersTest, ShortOrMissingPayloadsAndUnknownIdsAreRefused) {
    char bytes[600] = {};
    struct Case {
        uint32_t id;
        const void* in;
        uint32_t size;
        int32_t result;
    };
    const Case cases[] = {
        {EOEMUIP_OEM_ready, nullptr, 0, 0},
        {EOEMUIP_OEM_engine_io_changed, nullptr, 0, 0},
        {EOEMUIP_OEM_engine_load_done, nullptr, 0, 0},
        {EOEMUIP_OEM_get_config, nullptr, 0, -2},
        {EOEMUIP_OEM_get_config, bytes, 259, -2},
        {EOEMUIP_OEM_set_config, bytes, 259, -2},
        {EOEMUIP_OEM_send_command, bytes, 255, -2},
        {EOEMUIP_OEM_send_query, bytes, 515, -2},
        {EOEMUIP_OEM_engine_publish, bytes, 323, -2},
        {EOEMUIP_OEM_engine_publish, nullptr, 324, -2},
        // A payload naming an empty file path cannot be read.
        {EOEMUIP_OEM_set_config, bytes, 260, -3},
        {0, nullptr, 0, -3},
        {1, nullptr, 0, -3},
        {30, nullptr, 0, -3},
        {105, nullptr, 0, -3},
        {106, nullptr, 0, -3},
        {110, bytes, 8, -3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(call(c.id, c.in, c.size), c.result) << "id " << c.id << " size " << c.size;
}

TEST_F(EngineSimAnswersTest, GetConfigWritesTheConfigurationTaggedWithTheRequest) {
    TOEM_get_config msg;
    msg.JsonFile_Info = info_for("/tmp/oem/cfg.json", 41);
    ASSERT_EQ(call(EOEMUIP_OEM_get_config, &msg, sizeof msg), 0);
    rapidjson::Document d = read(msg.JsonFile_Info);
    ASSERT_TRUE(d.IsObject());
    EXPECT_EQ(d["_sim_json_id"].GetUint(), 41u);
    EXPECT_TRUE(d.HasMember("ios") && d.HasMember("sessions") && d.HasMember("_modules") &&
                d.HasMember("actions"));
    // The tag is the latest request's, not an accumulation.
    msg.JsonFile_Info.ui32JsonId = 42;
    ASSERT_EQ(call(EOEMUIP_OEM_get_config, &msg, sizeof msg), 0);
    EXPECT_EQ(read(msg.JsonFile_Info)["_sim_json_id"].GetUint(), 42u);
}

TEST_F(EngineSimAnswersTest, SetConfigAppliesPathValueDocumentsThatLeadIntoTheConfiguration) {
    struct Case {
        const char* document;
        const char* query;
        const char* expect; // value found at the query path afterwards
    };
    const Case cases[] = {
        {R"({"path":"$.ios.inputs[0].gain","value":-3.5})", "$.ios.inputs[0].gain", "-3.5"},
        {R"({"path":"$.sessions[0].name","value":"Live"})", "$.sessions[0].name", "\"Live\""},
        {R"({"path":"$._modules.eq","value":{"on":true}})", "$._modules.eq", "{\"on\":true}"},
        {R"({"path":"$.actions[0]","value":"first"})", "$.actions[0]", "\"first\""},
        // Not applied: no such parent, index past the end, no value, not a path.
        {R"({"path":"$.nothing.here","value":1})", "$.nothing", "null"},
        {R"({"path":"$.actions[5]","value":1})", "$.actions[5]", "null"},
        {R"({"path":"$.ios.extra"})", "$.ios.extra", "null"},
        {R"(["not","an","object"])", "$.ios.inputs[0].gain", "-3.5"},
    };
    uint32_t id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        TOEM_configure msg;
        msg.JsonFile_Info = info_for("/tmp/oem/set.json", id++);
        ASSERT_TRUE(write_json_to_file(msg.JsonFile_Info, parse(c.document)));
        ASSERT_EQ(call(EOEMUIP_OEM_set_config, &msg, sizeof msg), 0);
        rapidjson::Document answer;
        ASSERT_EQ(query(c.query, id++, answer), 0);
        EXPECT_EQ(json(answer["answer"]), c.expect);
    }
}

TEST_F(EngineSimAnswersTest, QueriesCarryTheirRequestAndSequenceNumber) {
    rapidjson::Document answer;
    ASSERT_EQ(query("$.sessions[0].name", 7, answer), 0);
    EXPECT_EQ(json(answer), R"({"query":"$.sessions[0].name","json_id":7,"answer":"Studio"})");

    // A query that fills its whole field is read as 256 characters.
    const std::string long_query(300, 'q');
    ASSERT_EQ(query(long_query, 8, answer), 0);
    EXPECT_EQ(std::string(answer["query"].GetString()), long_query.substr(0, 256));
    EXPECT_EQ(answer["json_id"].GetUint(), 8u);
    EXPECT_TRUE(answer["answer"].IsNull());
}

TEST_F(EngineSimAnswersTest, PublicationsNeedTheirDocumentAndFailOnRequest) {
    THUL_publish msg;
    put(msg.szChannelName, sizeof msg.szChannelName, "/vorn/logs");
    msg.JsonFile_Info = info_for("/tmp/oem/pub_missing.json", 0);
    EXPECT_EQ(call(EOEMUIP_OEM_engine_publish, &msg, sizeof msg), -3);
    msg.JsonFile_Info = info_for("/tmp/oem/pub.json", 1);
    ASSERT_TRUE(write_json_to_file(msg.JsonFile_Info, parse(R"([{"path":"$.x"}])")));
    EXPECT_EQ(call(EOEMUIP_OEM_engine_publish, &msg, sizeof msg), 0);

    TOEM_send_command cmd;
    put(cmd.szCommand, sizeof cmd.szCommand, "reboot");
    EXPECT_EQ(call(EOEMUIP_OEM_send_command, &cmd, sizeof cmd), 0);
    sim.command("fail 103");
    EXPECT_EQ(call(EOEMUIP_OEM_send_command, &cmd, sizeof cmd), -1);
    EXPECT_EQ(call(EOEMUIP_OEM_ready, nullptr, 0), 0);
    sim.command("unfail 103");
    EXPECT_EQ(call(EOEMUIP_OEM_send_command, &cmd, sizeof cmd), 0);
}

TEST_F(EngineSimAnswersTest, FilesOutsideTheHandOffFoldersAreRefused) {
    namespace fs = std::filesystem;
    // A folder and a file outside, reached through symbolic links inside the
    // OEM UI process's hand-off folder; a FIFO and a folder where a file should be.
    const std::string outside = g_root + "_outside";
    fs::create_directories(outside);
    std::ofstream(outside + "/doc.json") << R"({"path":"$.ios.extra","value":1})";
    fs::create_directories(g_root + "/tmp/oem/links/a_dir.json");
    std::error_code ec;
    fs::create_directory_symlink(outside, g_root + "/tmp/oem/links/dir", ec);
    fs::create_symlink(outside + "/doc.json", g_root + "/tmp/oem/links/doc.json", ec);
    ASSERT_EQ(::mkfifo((g_root + "/tmp/oem/links/fifo.json").c_str(), 0600), 0);

    const char* const refused[] = {"/tmp/../../etc/answer.json", "/tmp/oem/../../x.json",
                                   "relative/answer.json",       "/tmp/oem/links/dir/answer.json",
                                   "/tmp/oem/links/doc.json",    "/tmp/oem/links/dir/doc.json",
                                   "/tmp/elsewhere/answer.json", "/tmp/oem/new/a/b/cfg.json",
                                   "/tmp/oem/links/fifo.json",   "/tmp/oem/links/a_dir.json"};
    uint32_t id = 0;
    for (const char* path : refused) {
        SCOPED_TRACE(path);
        TOEM_get_config get;
        get.JsonFile_Info = info_for(path, id++);
        EXPECT_EQ(call(EOEMUIP_OEM_get_config, &get, sizeof get), -2);
        TOEM_configure set;
        set.JsonFile_Info = info_for(path, id++);
        EXPECT_EQ(call(EOEMUIP_OEM_set_config, &set, sizeof set), -2);
        THUL_publish pub;
        put(pub.szChannelName, sizeof pub.szChannelName, "/c");
        pub.JsonFile_Info = info_for(path, id++);
        EXPECT_EQ(call(EOEMUIP_OEM_engine_publish, &pub, sizeof pub), -2);
        TOEM_send_query q;
        put(q.szQuery, sizeof q.szQuery, "$.ios");
        q.JsonFile_Info = info_for(path, id++);
        EXPECT_EQ(call(EOEMUIP_OEM_send_query, &q, sizeof q), -2);
    }
    // Nothing was written outside, nothing read from there was applied, no
    // folder was made for the peer.
    EXPECT_EQ(std::vector<std::string>{"doc.json"}, [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(outside))
            names.push_back(e.path().filename().string());
        return names;
    }());
    EXPECT_FALSE(fs::exists(g_root + "/tmp/oem/new"));
    EXPECT_FALSE(fs::exists(g_root + "/tmp/elsewhere"));
    rapidjson::Document answer;
    ASSERT_EQ(query("$.ios.extra", id++, answer), 0);
    EXPECT_TRUE(answer["answer"].IsNull());
    fs::remove_all(outside);
}

TEST(EngineSimPathsTest, FindAndSet) {
    rapidjson::Document d = parse(R"({"a":{"b":[10,20,30]},"s":"t"})");
    auto& alloc = d.GetAllocator();
    rapidjson::Value v(5);
    struct Case {
        const char* path;
        bool ok;
    };
    const Case cases[] = {{"$.a.c", true},     {"$.a.b[1]", true}, {"$.a.b[3]", true},
                          {"$.a.b[9]", false}, {"$.x.y", false},   {"a.b", false},
                          {"$", false},        {"$.", false},      {"$.a.b[x]", false},
                          {"$.a.b[]", false},  {"$.s.t", false},   {"$.a.b[0].c", false},
                          {"$[0]", false}};
    for (const Case& c : cases)
        EXPECT_EQ(engine_sim::set_at_path(d, c.path, v, alloc), c.ok) << c.path;
    EXPECT_EQ(json(d), R"({"a":{"b":[10,5,30,5],"c":5},"s":"t"})");
    ASSERT_NE(engine_sim::find_at_path(d, "$.a.b[3]"), nullptr);
    EXPECT_EQ(engine_sim::find_at_path(d, "$.a.b[4]"), nullptr);
    EXPECT_EQ(engine_sim::find_at_path(d, "$"), &d);
}

// The OEM side played by this test: answers the engine's messages so that the
// simulator's command language can be checked end to end.
struct OemSide {
    uintptr_t handle = 0;
    std::mutex mutex;
    std::vector<std::string> seen;

    static int32_t callback(void* user, uint32_t id, const void* in, uint32_t size, void* out,
                            uint32_t* out_size) {
        auto* self = static_cast<OemSide*>(user);
        std::string note = std::to_string(id);
        int32_t result = 0;
        if (id == EOEMUIP_HUL_publish && size >= sizeof(THUL_publish)) {
            THUL_publish msg;
            std::memcpy(&msg, in, sizeof msg);
            rapidjson::Document d;
            result = read_json_from_file(msg.JsonFile_Info, d) ? 0 : -3;
            note += " " + field_text(msg.szChannelName, sizeof msg.szChannelName) + " " +
                    (result == 0 ? json(d) : "");
        } else if (id == EOEMUIP_HUL_engine_send_query && size >= sizeof(TOEM_send_query)) {
            TOEM_send_query msg;
            std::memcpy(&msg, in, sizeof msg);
            rapidjson::Document d;
            d.SetObject();
            std::string q = field_text(msg.szQuery, sizeof msg.szQuery);
            d.AddMember("echo", rapidjson::Value(q.c_str(), d.GetAllocator()), d.GetAllocator());
            result = write_json_to_file(msg.JsonFile_Info, d) ? 0 : -1;
        } else if (id == EOEMUIP_HUL_engine_get_storage_dir && *out_size >= 256) {
            std::memset(out, 0, 256);
            std::memcpy(out, "/data/storage", 13);
            *out_size = 256;
            std::lock_guard<std::mutex> lk(self->mutex);
            self->seen.push_back(note);
            return 0;
        } else if (id == EOEMUIP_HUL_shutdown)
            result = -1;
        *out_size = 0;
        std::lock_guard<std::mutex> lk(self->mutex);
        self->seen.push_back(note);
        return result;
    }
};

TEST(EngineSimProcessTest, CommandsReachTheOemSideAndAnswersArePrinted) {
    vq_testing::child_process sim({ENGINE_SIM_PROGRAM, "--channel", "esim_process"});
    std::string line;
    ASSERT_TRUE(sim.read_line(line));
    ASSERT_NE(line.find("\"event\":\"ready\""), std::string::npos) << line;

    OemSide oem;
    ASSERT_EQ(KSAL_IPC_init_ex(14, 15, &OemSide::callback, &oem, "esim_process", &oem.handle),
              KSAL_IPC_OK);

    struct Case {
        const char* command;
        const char* expect; // part of the "sent" line
    };
    const Case cases[] = {
        {"send 30", R"("id":30,"rc":0,"msg_err":0)"},
        {"send 2", R"("id":2,"rc":0,"msg_err":-1)"},
        {"send 1 /vorn/logs {\"level\": 3, \"text\": \"hi there\"}",
         R"("id":1,"json_id":0,"rc":0,"msg_err":0)"},
        {"send 5 $.some query", R"("answer":{"echo":"$.some query"})"},
        {"send 6", R"("reply":"/data/storage")"},
        {"send 77", R"("id":77,"rc":0,"msg_err":0)"},
        {"raw 6 - 4", R"("reply_hex":"2f646174")"},
        {"send 3 not json", R"("what":"send")"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(sim.write_line(c.command));
        ASSERT_TRUE(sim.read_line(line)) << c.command;
        EXPECT_NE(line.find(c.expect), std::string::npos) << c.command << " -> " << line;
    }
    {
        std::lock_guard<std::mutex> lk(oem.mutex);
        ASSERT_GE(oem.seen.size(), 3u);
        EXPECT_EQ(oem.seen[2], R"(1 /vorn/logs {"level":3,"text":"hi there"})");
    }

    // Messages from the OEM side are answered and reported.
    TOEM_send_command cmd;
    put(cmd.szCommand, sizeof cmd.szCommand, "hello engine");
    int32_t err = 1;
    ASSERT_EQ(KSAL_IPC_SendIOCTL(oem.handle, EOEMUIP_OEM_send_command, &cmd, sizeof cmd, nullptr, 0,
                                 &err),
              KSAL_IPC_OK);
    EXPECT_EQ(err, 0);
    ASSERT_TRUE(sim.wait_for("\"command\":\"hello engine\"", line));

    ASSERT_TRUE(sim.write_line("quit"));
    ASSERT_TRUE(sim.wait_for("\"event\":\"bye\"", line));
    EXPECT_EQ(sim.wait(), 0);
    // The simulator has closed its end.
    EXPECT_NE(KSAL_IPC_SendIOCTL(oem.handle, EOEMUIP_OEM_ready, nullptr, 0, nullptr, 0, &err),
              KSAL_IPC_OK);
    KSAL_IPC_destroy(oem.handle);
}

// `depth` nested arrays around the number 1 as text.
std::string nested_text(std::size_t depth) {
    return std::string(depth, '[') + "1" + std::string(depth, ']');
}

std::string hex_of(const void* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = static_cast<const unsigned char*>(p)[i];
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

TEST(EngineSimProcessTest, DocumentsNestedAMillionDeepLeaveBothSidesRunning) {
    vq_testing::child_process sim({ENGINE_SIM_PROGRAM, "--channel", "esim_deep"});
    std::string line;
    ASSERT_TRUE(sim.read_line(line));
    ASSERT_NE(line.find("\"event\":\"ready\""), std::string::npos) << line;
    OemSide oem;
    ASSERT_EQ(KSAL_IPC_init_ex(14, 15, &OemSide::callback, &oem, "esim_deep", &oem.handle),
              KSAL_IPC_OK);
    const std::string deep = nested_text(1000000);
    std::filesystem::create_directories(g_root + "/tmp/oem");
    std::ofstream(g_root + "/tmp/oem/deep.json", std::ios::binary) << deep;

    // From the OEM side: a configuration and a publication the engine cannot read.
    const TJsonFile_Info info = info_for("/tmp/oem/deep.json", 1);
    TOEM_configure set;
    set.JsonFile_Info = info;
    THUL_publish pub;
    put(pub.szChannelName, sizeof pub.szChannelName, "/c");
    pub.JsonFile_Info = info;
    int32_t err = 0;
    ASSERT_EQ(
        KSAL_IPC_SendIOCTL(oem.handle, EOEMUIP_OEM_set_config, &set, sizeof set, nullptr, 0, &err),
        KSAL_IPC_OK);
    EXPECT_EQ(err, -3);
    ASSERT_EQ(KSAL_IPC_SendIOCTL(oem.handle, EOEMUIP_OEM_engine_publish, &pub, sizeof pub, nullptr,
                                 0, &err),
              KSAL_IPC_OK);
    EXPECT_EQ(err, -3);

    // From the engine side: a publication it cannot write, and one that names
    // the deep file, which the OEM side cannot read.
    ASSERT_TRUE(sim.write_line("send 1 /c " + deep));
    ASSERT_TRUE(sim.wait_for("\"what\":\"send\"", line));
    EXPECT_NE(line.find("cannot write"), std::string::npos) << line;
    THUL_publish named;
    put(named.szChannelName, sizeof named.szChannelName, "/c");
    named.JsonFile_Info = info;
    ASSERT_TRUE(sim.write_line("raw 1 " + hex_of(&named, sizeof named)));
    ASSERT_TRUE(sim.wait_for("\"event\":\"sent\"", line));
    EXPECT_NE(line.find(R"("rc":0,"msg_err":-3)"), std::string::npos) << line;

    // Both still answer.
    ASSERT_TRUE(sim.write_line("send 30"));
    ASSERT_TRUE(sim.wait_for("\"event\":\"sent\"", line));
    EXPECT_NE(line.find(R"("id":30,"rc":0,"msg_err":0)"), std::string::npos) << line;
    TOEM_send_command cmd;
    put(cmd.szCommand, sizeof cmd.szCommand, "still there");
    ASSERT_EQ(KSAL_IPC_SendIOCTL(oem.handle, EOEMUIP_OEM_send_command, &cmd, sizeof cmd, nullptr, 0,
                                 &err),
              KSAL_IPC_OK);
    EXPECT_EQ(err, 0);
    ASSERT_TRUE(sim.write_line("quit"));
    ASSERT_TRUE(sim.wait_for("\"event\":\"bye\"", line));
    EXPECT_EQ(sim.wait(), 0);
    KSAL_IPC_destroy(oem.handle);
}

} // namespace
