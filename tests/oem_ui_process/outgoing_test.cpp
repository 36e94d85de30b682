// The endpoint's own requests, seen from the engine side of a real channel.
#include "tests/support/bridge_support.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_catalogue.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_text.h"
#include "platform/device_constants/device_constants.h"
#include "platform/rapidjson_hook/ks_callstack_assert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace oem_ui_process;
using bridge_test::call;

namespace {

const char* const kHandOff = "/tmp/oem/oem_vorn_device_ipc.json";

template <class T>
T payload_as(const bridge_test::received& r) {
    T value;
    EXPECT_EQ(sizeof(T), r.payload.size()) << "message " << r.id;
    std::memset(&value, 0, sizeof(value));
    std::memcpy(&value, r.payload.data(), std::min(sizeof(T), r.payload.size()));
    return value;
}

// The hand-off file a message names; false when it names none.
bool file_of(const bridge_test::received& r, TJsonFile_Info& info) {
    const TOEMUIP_Message* m = find_message(r.id);
    if (m == nullptr || m->i32FileOffset < 0)
        return false;
    EXPECT_EQ(m->ui32PayloadSize, r.payload.size()) << "message " << r.id;
    if (r.payload.size() < static_cast<std::size_t>(m->i32FileOffset) + sizeof(info))
        return false;
    std::memcpy(&info, r.payload.data() + m->i32FileOffset, sizeof(info));
    return true;
}

// The sequence number a message carries, or -1 when it names no file.
long seq_of(const bridge_test::received& r) {
    TJsonFile_Info info;
    return file_of(r, info) ? static_cast<long>(info.ui32JsonId) : -1;
}

class OutgoingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.open());
        make(true, true);
        ASSERT_TRUE(impl->init());
    }

    void make(bool withHul, bool withEngine) {
        impl.reset();
        impl = boost::make_shared<bridge_test::impl_probe>(withHul ? &hul : nullptr,
                                                           withEngine ? &engine : nullptr);
    }

    std::vector<uint32_t> ids() const {
        std::vector<uint32_t> out;
        for (const auto& m : peer.messages())
            out.push_back(m.id);
        return out;
    }

    bridge_test::call_log log;
    bridge_test::recording_hul hul{log};
    bridge_test::recording_engine engine{log};
    bridge_test::engine_peer peer{&log};
    boost::shared_ptr<bridge_test::impl_probe> impl;
};

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

boost::shared_ptr<const rapidjson::Document> config_at(const std::string& path) {
    return bridge_test::parse("{\"path\":\"" + path + "\",\"value\":5}");
}

} // namespace

TEST_F(OutgoingTest, EachOperationSendsItsMessage) {
    impl->oem_ui_process_ready();
    auto config = boost::make_shared<rapidjson::Document>();
    ASSERT_TRUE(impl->get_config(config));
    EXPECT_EQ("{\"config\":true,\"seq\":0}", bridge_test::to_text(*config));
    impl->set_config(config_at("$.sessions[0].gain"));
    impl->send_command("reboot");
    auto answer = boost::make_shared<rapidjson::Document>();
    ASSERT_TRUE(impl->send_query("levels", answer));
    EXPECT_EQ("{\"query\":\"levels\",\"seq\":2}", bridge_test::to_text(*answer));
    impl->engine_publish("/chan", bridge_test::parse("[]"));
    impl->engine_io_changed();
    impl->engine_load_done();

    const auto messages = peer.messages();
    ASSERT_EQ((std::vector<uint32_t>{100, 101, 102, 103, 104, 107, 108, 109}), ids());
    EXPECT_TRUE(messages[0].payload.empty());
    EXPECT_EQ("{\"path\":\"$.sessions[0].gain\",\"value\":5}", messages[2].document);
    EXPECT_EQ("reboot", detail::field_text(payload_as<TOEM_send_command>(messages[3]).szCommand));
    EXPECT_EQ("levels", detail::field_text(payload_as<TOEM_send_query>(messages[4]).szQuery));
    EXPECT_EQ("/chan", detail::field_text(payload_as<THUL_publish>(messages[5]).szChannelName));
    EXPECT_EQ("[]", messages[5].document);
    EXPECT_TRUE(messages[6].payload.empty());
    EXPECT_TRUE(messages[7].payload.empty());
    for (const auto& m : messages) {
        TJsonFile_Info info;
        if (file_of(m, info)) {
            EXPECT_EQ(kHandOff, detail::field_text(info.szJSONDataFilePath)) << m.id;
        }
    }
    EXPECT_EQ("$._oem_ui_process_engine", impl->get_engine_json_path());
}

TEST_F(OutgoingTest, SequenceNumbersCountEveryHandOffFailuresIncluded) {
    // The engine refuses set_config and send_query; their numbers are still used.
    peer.set_result(EOEMUIP_OEM_set_config, -1);
    peer.set_result(EOEMUIP_OEM_send_query, -1);
    auto doc = boost::make_shared<rapidjson::Document>();
    EXPECT_TRUE(impl->get_config(doc)); // 0
    impl->send_command("no number");
    impl->set_config(config_at("$.a"));                        // 1, refused
    EXPECT_FALSE(impl->send_query("q", doc));                  // 2, refused
    impl->set_config(config_at("$._oem_ui_process_engine.x")); // engine: no number
    impl->engine_publish("/c", bridge_test::parse("[]"));      // 3
    impl->engine_io_changed();
    impl->oem_ui_process_ready();
    EXPECT_FALSE(impl->get_config(boost::shared_ptr<rapidjson::Document>())); // null: no number
    EXPECT_FALSE(impl->send_query("q", boost::shared_ptr<rapidjson::Document>()));
    EXPECT_TRUE(impl->get_config(doc)); // 4

    std::vector<long> seqs;
    for (const auto& m : peer.messages())
        if (seq_of(m) >= 0)
            seqs.push_back(seq_of(m));
    EXPECT_EQ((std::vector<long>{0, 1, 2, 3, 4}), seqs);

    // A send that fails in the library uses its number too.
    impl->destroy();
    EXPECT_FALSE(impl->get_config(doc)); // 5, not delivered
    ASSERT_TRUE(impl->init());
    EXPECT_TRUE(impl->get_config(doc));
    EXPECT_EQ("{\"config\":true,\"seq\":6}", bridge_test::to_text(*doc));
}

TEST_F(OutgoingTest, EnginePathsStayInTheProcess) {
    const std::string engine_path = "$._oem_ui_process_engine";
    struct {
        std::string path;
        bool toEngine;
    } cases[] = {
        {engine_path, true},
        {engine_path + ".inputs[0]", true},
        {engine_path + "x", true},
        {engine_path.substr(0, 23), false},
        {"#" + engine_path.substr(1), false},
        {engine_path.substr(0, 23) + "E", false},
        {engine_path.substr(0, 10) + "X" + engine_path.substr(11) + ".a", false},
        {"$.sessions", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        log.clear();
        peer.clear();
        impl->set_config(config_at(c.path));
        if (c.toEngine) {
            EXPECT_EQ(
                (std::vector<call>{{"set_config", {bridge_test::to_text(*config_at(c.path))}}}),
                log.calls());
            EXPECT_TRUE(peer.messages().empty());
        } else {
            EXPECT_EQ((std::vector<uint32_t>{EOEMUIP_OEM_set_config}), ids());
        }
    }
}

TEST_F(OutgoingTest, EnginePathWithoutEngineDoesNothingAtAll) {
    make(true, false);
    ASSERT_TRUE(impl->init());
    {
        vq_log_capture capture;
        testing::internal::CaptureStdout();
        impl->set_config(config_at("$._oem_ui_process_engine.gain"));
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_TRUE(capture.records().empty());
    }
    EXPECT_TRUE(peer.messages().empty());
    EXPECT_TRUE(log.calls().empty());
    auto doc = boost::make_shared<rapidjson::Document>();
    ASSERT_TRUE(impl->get_config(doc));
    EXPECT_EQ("{\"config\":true,\"seq\":0}", bridge_test::to_text(*doc));
}

TEST_F(OutgoingTest, MalformedConfigurationIsReportedAndDropped) {
    struct {
        std::string json;
        std::string stdoutText;     // the red report, empty when only the hook fires
        const char* hookExpression; // null when the hook stays silent
    } cases[] = {
        {"[1,2]", "not an object [path]\n", "IsObject()"},
        {"\"text\"", "not an object [path]\n", "IsObject()"},
        {"{\"value\":1}", "rapidJson: member path not found; please fix it!\n", nullptr},
        {"{\"Path\":\"$.a\"}", "rapidJson: member path not found; please fix it!\n", nullptr},
        {"{\"path\":5}", "", "IsString()"},
        {"{\"path\":null}", "", "IsString()"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const std::size_t hooksBefore = vq_platform::ks_assert_count();
        vq_log_capture capture;
        testing::internal::CaptureStdout();
        impl->set_config(bridge_test::parse(c.json));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.stdoutText.empty() ? "" : "\033[31m\033[1m" + c.stdoutText + "\033[0m", out);
        if (c.hookExpression != nullptr) {
            EXPECT_EQ(hooksBefore + 1, vq_platform::ks_assert_count());
            EXPECT_STREQ(c.hookExpression, vq_platform::ks_assert_last_expression());
        } else {
            EXPECT_EQ(hooksBefore, vq_platform::ks_assert_count());
        }
        EXPECT_TRUE(capture.records().empty());
    }
    EXPECT_TRUE(peer.messages().empty());
    EXPECT_TRUE(log.calls().empty());
}

TEST_F(OutgoingTest, LogsChannelPublicationIsDeliveredWholeThenForwarded) {
    // The channel as the engine names it, not through our own constant.
    auto doc = bridge_test::parse("{\"level\":\"info\",\"text\":\"hello\"}");
    impl->engine_publish("/vorn/logs", doc);
    ASSERT_EQ(1u, hul.published.size());
    EXPECT_EQ(doc.get(), hul.published[0].get());
    EXPECT_EQ((std::vector<call>{{"on_publish", {"/vorn/logs", bridge_test::to_text(*doc)}},
                                 {"peer", {"107"}}}),
              log.calls());
    EXPECT_EQ(bridge_test::to_text(*doc), peer.messages().at(0).document);
}

TEST_F(OutgoingTest, EngineEntriesAreDeliveredOneByOneBeforeTheForward) {
    const std::string entries = "[{\"path\":\"$._oem_ui_process_engine.a\",\"value\":1},"
                                "{\"path\":\"$.other\",\"value\":2},"
                                "{\"path\":\"$._oem_ui_process_engine.b\",\"value\":[true]}]";
    impl->engine_publish("/vorn/values", bridge_test::parse(entries));
    EXPECT_EQ((std::vector<call>{
                  {"on_publish",
                   {"/vorn/values", "{\"path\":\"$._oem_ui_process_engine.a\",\"value\":1}"}},
                  {"on_publish",
                   {"/vorn/values", "{\"path\":\"$._oem_ui_process_engine.b\",\"value\":[true]}"}},
                  {"peer", {"107"}}}),
              log.calls());
    ASSERT_EQ(1u, peer.messages().size());
    EXPECT_EQ(entries, peer.messages()[0].document);
}

TEST_F(OutgoingTest, DeliveredEntriesOwnTheirStrings) {
    // Strings the caller only referenced must be copied into the new document.
    std::string path = "$._oem_ui_process_engine.name";
    std::string text = "first";
    auto doc = boost::make_shared<rapidjson::Document>();
    doc->SetArray();
    rapidjson::Value entry(rapidjson::kObjectType);
    entry.AddMember("path", rapidjson::StringRef(path.c_str(), path.size()), doc->GetAllocator());
    entry.AddMember("value", rapidjson::StringRef(text.c_str(), text.size()), doc->GetAllocator());
    doc->PushBack(entry, doc->GetAllocator());
    impl->engine_publish("/vorn/values", doc);
    ASSERT_EQ(1u, hul.published.size());
    text.assign("XXXXX");
    path.assign(path.size(), 'Y');
    doc.reset();
    EXPECT_EQ("{\"path\":\"$._oem_ui_process_engine.name\",\"value\":\"first\"}",
              bridge_test::to_text(*hul.published[0]));
}

TEST_F(OutgoingTest, OddPublicationsAreForwardedWithoutLocalDelivery) {
    struct {
        std::string json;
        const char* hookExpression;
    } cases[] = {
        {"{\"path\":\"$._oem_ui_process_engine\"}", "IsArray()"},
        {"17", "IsArray()"},
        {"[5,{\"value\":1},{\"path\":3},{\"path\":\"$._oem_ui_process_engine\",\"v\":0}]",
         "IsString()"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        log.clear();
        peer.clear();
        hul.published.clear();
        const std::size_t hooksBefore = vq_platform::ks_assert_count();
        testing::internal::CaptureStdout();
        impl->engine_publish("/vorn/values", bridge_test::parse(c.json));
        testing::internal::GetCapturedStdout();
        EXPECT_LT(hooksBefore, vq_platform::ks_assert_count());
        EXPECT_STREQ(c.hookExpression, vq_platform::ks_assert_last_expression());
        ASSERT_EQ(1u, peer.messages().size());
        EXPECT_EQ(bridge_test::to_text(*bridge_test::parse(c.json)), peer.messages()[0].document);
    }
    // The well-formed engine entry after the bad ones was still delivered.
    EXPECT_EQ(1u, hul.published.size());
}

TEST_F(OutgoingTest, WithoutNotificationCallbackOnlyForwards) {
    make(false, true);
    ASSERT_TRUE(impl->init());
    impl->engine_publish(device::channels::logs_channel, bridge_test::parse("{}"));
    impl->engine_publish("/x", bridge_test::parse("[{\"path\":\"$._oem_ui_process_engine\"}]"));
    EXPECT_EQ((std::vector<uint32_t>{107, 107}), ids());
    EXPECT_TRUE(hul.published.empty());
}

TEST_F(OutgoingTest, LongTextsAreCut) {
    const std::string channel(100, 'c');
    impl->engine_publish(channel, bridge_test::parse("[{\"path\":\"$._oem_ui_process_engine\"}]"));
    impl->send_command(std::string(300, 'k'));
    auto answer = boost::make_shared<rapidjson::Document>();
    ASSERT_TRUE(impl->send_query(std::string(256, 'q'), answer));

    const auto messages = peer.messages();
    ASSERT_EQ(3u, messages.size());
    const THUL_publish publish = payload_as<THUL_publish>(messages[0]);
    EXPECT_EQ(std::string(63, 'c'), detail::field_text(publish.szChannelName));
    EXPECT_EQ(0, publish.szChannelName[63]);
    ASSERT_EQ(1u, hul.published.size());
    EXPECT_EQ(channel, log.calls().at(0).args.at(0)); // local delivery keeps the whole name
    const TOEM_send_command command = payload_as<TOEM_send_command>(messages[1]);
    EXPECT_EQ(std::string(255, 'k'), detail::field_text(command.szCommand));
    EXPECT_EQ(0, command.szCommand[255]);
    EXPECT_EQ(std::string(255, 'q'),
              detail::field_text(payload_as<TOEM_send_query>(messages[2]).szQuery));
}

TEST_F(OutgoingTest, FailureLinesOnAClosedChannel) {
    impl->destroy();
    vq_log_capture capture;
    auto doc = boost::make_shared<rapidjson::Document>();
    impl->oem_ui_process_ready();
    EXPECT_FALSE(impl->get_config(doc));
    impl->set_config(config_at("$.a"));
    impl->send_command("c");
    EXPECT_FALSE(impl->send_query("q", doc));
    impl->engine_publish("/c", bridge_test::parse("[]"));
    impl->engine_io_changed();
    impl->engine_load_done();
    impl->set_config(boost::shared_ptr<const rapidjson::Document>());

    std::vector<std::string> lines;
    for (const auto& r : capture.records()) {
        EXPECT_EQ(3, r.level) << r.message;
        EXPECT_EQ("oem_vorn_device_ipc_outgoing.cpp", r.file);
        lines.push_back(r.message);
    }
    ASSERT_EQ(8u, lines.size());
    EXPECT_EQ(
        (std::vector<std::string>{"KSAL_IPC_SendIOCTL(EOEMUIP_OEM_ready) failed\n",
                                  "KSAL_IPC_SendIOCTL(EOEMUIP_OEM_get_config) failed\n",
                                  "KSAL_IPC_SendIOCTL(EOEMUIP_OEM_set_config) failed\n",
                                  "KSAL_IPC_SendIOCTL(EOEMUIP_OEM_send_command) failed\n",
                                  "KSAL_IPC_SendIOCTL(EOEMUIP_OEM_engine_publish) failed\n",
                                  "KSAL_IPC_SendIOCTL(EOEMUIP_OEM_engine_io_changed) failed\n"}),
        std::vector<std::string>(lines.begin(), lines.begin() + 6));
    EXPECT_NE(std::string::npos, lines[6].find("EOEMUIP_OEM_engine_load_done"));
    EXPECT_EQ('\n', lines[6].back());
    EXPECT_EQ("ptrjsConfig is null\n", lines[7]);
    EXPECT_TRUE(peer.messages().empty());
}

TEST_F(OutgoingTest, FailedWritesSendNothing) {
    // Before init the endpoint has no hand-off file to write.
    make(true, true);
    vq_log_capture capture;
    impl->set_config(config_at("$.a"));
    impl->engine_publish(device::channels::logs_channel, bridge_test::parse("{}"));
    EXPECT_EQ(2u, capture.count("write_json_to_file() failed\n"));
    EXPECT_EQ(2u, capture.records().size());
    EXPECT_TRUE(peer.messages().empty());
    // The local delivery came before the failed write and stands.
    EXPECT_EQ(1u, hul.published.size());
}

TEST_F(OutgoingTest, PeerRefusalIsAFailure) {
    for (uint32_t id : {100u, 101u, 102u, 103u, 107u, 108u, 109u})
        peer.set_result(id, -3);
    vq_log_capture capture;
    impl->oem_ui_process_ready();
    auto doc = boost::make_shared<rapidjson::Document>();
    EXPECT_FALSE(impl->get_config(doc));
    EXPECT_TRUE(doc->IsNull());
    impl->set_config(config_at("$.a"));
    impl->send_command("c");
    impl->engine_publish("/c", bridge_test::parse("[]"));
    impl->engine_io_changed();
    impl->engine_load_done();
    EXPECT_EQ(7u, capture.records().size());
}

TEST_F(OutgoingTest, InitTwiceReopensAndDestroyIsIdempotent) {
    ASSERT_TRUE(impl->init());
    impl->oem_ui_process_ready();
    impl->destroy();
    impl->destroy();
    ASSERT_TRUE(impl->init());
    impl->oem_ui_process_ready();
    EXPECT_EQ((std::vector<uint32_t>{100, 100}), ids());
}

TEST_F(OutgoingTest, InitFailsWhenTheChannelIsTaken) {
    impl->destroy();
    // Another holder of our node makes the open fail.
    uintptr_t other = 0;
    ASSERT_EQ(0, KSAL_IPC_init_ex(14, 15, nullptr, nullptr, "IPC_oem_ui2Hul", &other));
    vq_log_capture capture;
    EXPECT_FALSE(impl->init());
    EXPECT_EQ(1u, capture.count("KSAL_IPC_init failed\n"));
    KSAL_IPC_destroy(other);
    EXPECT_TRUE(impl->init());
}

TEST_F(OutgoingTest, MessagesFromThePeerArriveThroughTheLibrary) {
    engine.storage_text = "/data";
    THUL_engine_get_storage_dir reply;
    std::memset(&reply, 0xAA, sizeof(reply));
    int32_t err = 99;
    ASSERT_EQ(
        0, peer.send(EOEMUIP_HUL_engine_get_storage_dir, nullptr, 0, &reply, sizeof(reply), &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ("/data", detail::field_text(reply.sz));
    EXPECT_EQ(0, reply.sz[255]);

    ASSERT_EQ(0, peer.send(EOEMUIP_HUL_shutdown, nullptr, 0, nullptr, 0, &err));
    EXPECT_EQ(-1, err);
    ASSERT_EQ(0, peer.send(77, nullptr, 0, nullptr, 0, &err));
    EXPECT_EQ(-3, err);
}

TEST_F(OutgoingTest, DocumentsNestedTooDeepAreRefusedWithALogLine) {
    // {"path": P, "value": <depth arrays>} and [{"path": P, "value": <depth arrays>}].
    const auto deep_config = [](const char* path, std::size_t depth) {
        auto doc = boost::make_shared<rapidjson::Document>();
        doc->SetObject();
        doc->AddMember("path", rapidjson::StringRef(path), doc->GetAllocator());
        doc->AddMember("value", nested(depth, doc->GetAllocator()), doc->GetAllocator());
        return doc;
    };
    const auto deep_publication = [&](const char* path, std::size_t depth) {
        auto doc = boost::make_shared<rapidjson::Document>();
        doc->SetArray();
        doc->PushBack(rapidjson::Value(*deep_config(path, depth), doc->GetAllocator()),
                      doc->GetAllocator());
        return doc;
    };
    vq_log_capture capture;
    impl->set_config(deep_config("$.a", 1000000));
    auto publication = boost::make_shared<rapidjson::Document>();
    publication->SetArray();
    {
        // The entry nests 1,000,000 levels; copying it for local delivery would recurse.
        auto entry = deep_config("$._oem_ui_process_engine.x", 1000000);
        publication->PushBack(static_cast<rapidjson::Value&>(*entry), publication->GetAllocator());
        entry->SetNull();
        impl->engine_publish("/vorn/x", publication);
    }
    EXPECT_TRUE(peer.messages().empty());
    EXPECT_TRUE(log.calls().empty());
    EXPECT_EQ(1u, capture.count("set_config: JSON nested deeper than 512 levels refused\n"));
    EXPECT_EQ(1u, capture.count("deep_copy: JSON nested deeper than 512 levels refused\n"));
    EXPECT_EQ(1u, capture.count("engine_publish: JSON nested deeper than 512 levels refused\n"));
    EXPECT_EQ(2u, capture.count("write_json_to_file() failed\n"));

    // 512 levels in all still go: the configuration object and 511 arrays,
    // the publication array, its entry and 510 arrays.
    impl->set_config(deep_config("$.a", 511));
    impl->engine_publish("/vorn/x", deep_publication("$._oem_ui_process_engine.x", 510));
    EXPECT_EQ((std::vector<uint32_t>{EOEMUIP_OEM_set_config, EOEMUIP_OEM_engine_publish}), ids());
    // One level more is refused.
    impl->set_config(deep_config("$.a", 512));
    EXPECT_EQ(2u, capture.count("set_config: JSON nested deeper than 512 levels refused\n"));
    EXPECT_EQ(2u, ids().size());
    const std::vector<call> calls = log.calls();
    EXPECT_EQ(1, std::count_if(calls.begin(), calls.end(),
                               [](const call& c) { return c.name == "on_publish"; }));
}
