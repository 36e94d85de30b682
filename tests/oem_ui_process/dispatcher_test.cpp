// The endpoint's handling of each message the engine process may send.
#include "tests/support/bridge_support.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_catalogue.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_text.h"
#include "platform/oem_files/oem_files.h"
#include "platform/rapidjson_hook/ks_callstack_assert.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <cstddef>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

using namespace oem_ui_process;
using bridge_test::call;

namespace {

const char* const kInFile = "/tmp/oem_test/in.json";
const char* const kOutFile = "/tmp/oem_test/out.json";

template <class T>
T zeroed() {
    T value;
    std::memset(&value, 0, sizeof(value));
    return value;
}

template <std::size_t N>
void put(char (&field)[N], const std::string& text) {
    detail::set_field_text(field, text);
}

std::vector<uint8_t> bytes_of(const void* p, std::size_t n) {
    return std::vector<uint8_t>(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
}

struct outcome {
    int32_t result;
    uint32_t reply_length;
    std::vector<uint8_t> reply;
};

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        bridge_test::platform_root();
        std::remove((bridge_test::platform_root() + kOutFile).c_str());
        bridge_test::write_doc(kInFile, "{\"doc\":[1,2]}");
    }

    void make(bool withHul, bool withEngine) {
        impl.reset();
        impl = boost::make_shared<bridge_test::impl_probe>(withHul ? &hul : nullptr,
                                                           withEngine ? &engine : nullptr);
    }

    outcome deliver(uint32_t id, const std::vector<uint8_t>& payload, uint32_t capacity = 4096) {
        return deliver_raw(id, payload.empty() ? nullptr : payload.data(),
                           static_cast<uint32_t>(payload.size()), capacity);
    }

    outcome deliver_raw(uint32_t id, const void* in, uint32_t inSize, uint32_t capacity = 4096) {
        std::vector<uint8_t> out(capacity + 16, 0xAB);
        uint32_t length = capacity;
        outcome o;
        o.result =
            impl->KSAL_IPC_callback(id, in, inSize, capacity ? out.data() : nullptr, &length);
        o.reply_length = length;
        o.reply.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(
                                                      std::min<std::size_t>(length, out.size())));
        return o;
    }

    bridge_test::call_log log;
    bridge_test::recording_hul hul{log};
    bridge_test::recording_engine engine{log};
    boost::shared_ptr<bridge_test::impl_probe> impl;
};

// A well-formed payload for each message that carries one, laid out as the
// catalogue says: its first text field, and its hand-off file naming kInFile
// for a document to read or kOutFile for an answer.
std::vector<uint8_t> payload_for(uint32_t id) {
    const TOEMUIP_Message* m = find_message(id);
    if (m == nullptr || m->ui32PayloadSize == 0)
        return {};
    std::vector<uint8_t> bytes(m->ui32PayloadSize, 0);
    static const std::map<uint32_t, std::string> texts = {
        {1, "/chan/a"},  {4, "mute"},     {5, "levels?"},  {9, "preset1"},
        {10, "preset2"}, {11, "preset2"}, {15, "preset3"}, {16, "preset3"}};
    const auto text = texts.find(id);
    if (text != texts.end())
        std::memcpy(bytes.data(), text->second.data(), text->second.size());
    if (m->i32FileOffset >= 0) {
        const TJsonFile_Info info =
            bridge_test::file_info(m->eDocument == EOEMUIPD_Read ? kInFile : kOutFile, id);
        std::memcpy(bytes.data() + m->i32FileOffset, &info, sizeof(info));
    }
    if (id == EOEMUIP_HUL_engine_recall || id == EOEMUIP_HUL_engine_store) {
        const uint32_t uiId = 42;
        std::memcpy(bytes.data() + offsetof(THUL_engine_recall_store, uiId), &uiId, sizeof(uiId));
        std::memcpy(bytes.data() + offsetof(THUL_engine_recall_store, strPath), "$.a.b", 5);
    }
    return bytes;
}

struct message_case {
    uint32_t id;
    int32_t result;
    std::vector<call> calls;
    bool writes_out; // the answer document lands in kOutFile
};

const std::vector<message_case>& message_table() {
    static const std::vector<message_case> table = {
        {1, 0, {{"on_publish", {"/chan/a", "{\"doc\":[1,2]}"}}}, false},
        {2, -1, {{"on_shutdown", {}}}, false},
        {3, 0, {{"set_config", {"{\"doc\":[1,2]}"}}}, false},
        {4, 0, {{"send_command", {"mute"}}}, false},
        {5, 0, {{"send_query", {"levels?"}}}, true},
        {6, 0, {{"get_storage_dir", {""}}}, false},
        {7, 0, {{"get_storage_ext", {""}}}, false},
        {8, 0, {{"get_storage_name", {""}}}, false},
        {9, 0, {{"load", {"preset1", "{\"doc\":[1,2]}"}}}, false},
        {10, 0, {{"save", {"preset2"}}}, false},
        {11, 0, {{"delete_storage", {"preset2"}}}, false},
        {12, 0, {{"is_present", {}}}, false},
        {13, 0, {{"get_ios", {}}}, true},
        {14, 0, {{"reset_to_factory", {}}}, false},
        {15, 0, {{"recall", {"preset3", "$.a.b"}}}, false},
        {16, 0, {{"store", {"preset3", "$.a.b"}}}, false},
        {17, 0, {{"get_directories", {}}}, true},
        {18, 0, {{"on_directory_file_changed", {"{\"doc\":[1,2]}"}}}, false},
        {30, 0, {{"on_device_started", {}}}, false},
    };
    return table;
}

bool is_storage_text(uint32_t id) {
    return id >= 6 && id <= 8;
}

} // namespace

TEST(MessageCatalogueTest, NamesEveryMessageWithItsLayout) {
    struct expected {
        uint32_t id;
        const char* name;
        uint32_t payload;
        int32_t file;
        uint32_t reply;
    };
    const expected table[] = {
        {1, "EOEMUIP_HUL_publish", 324, 64, 0},
        {2, "EOEMUIP_HUL_shutdown", 0, -1, 0},
        {3, "EOEMUIP_HUL_engine_set_config", 260, 0, 0},
        {4, "EOEMUIP_HUL_engine_send_command", 256, -1, 0},
        {5, "EOEMUIP_HUL_engine_send_query", 516, 256, 0},
        {6, "EOEMUIP_HUL_engine_get_storage_dir", 0, -1, 256},
        {7, "EOEMUIP_HUL_engine_get_storage_ext", 0, -1, 256},
        {8, "EOEMUIP_HUL_engine_get_storage_name", 0, -1, 256},
        {9, "EOEMUIP_HUL_engine_load", 516, 256, 0},
        {10, "EOEMUIP_HUL_engine_save", 256, -1, 0},
        {11, "EOEMUIP_HUL_engine_delete", 256, -1, 0},
        {12, "EOEMUIP_HUL_engine_is_present", 0, -1, 0},
        {13, "EOEMUIP_HUL_engine_get_ios", 260, 0, 0},
        {14, "EOEMUIP_HUL_engine_reset_to_factory", 0, -1, 0},
        {15, "EOEMUIP_HUL_engine_recall", 516, -1, 0},
        {16, "EOEMUIP_HUL_engine_store", 516, -1, 0},
        {17, "EOEMUIP_HUL_engine_get_directories", 260, 0, 0},
        {18, "EOEMUIP_HUL_engine_on_directory_file_changed", 260, 0, 0},
        {30, "EOEMUIP_HUL_device_started", 0, -1, 0},
        {100, "EOEMUIP_OEM_ready", 0, -1, 0},
        {101, "EOEMUIP_OEM_get_config", 260, 0, 0},
        {102, "EOEMUIP_OEM_set_config", 260, 0, 0},
        {103, "EOEMUIP_OEM_send_command", 256, -1, 0},
        {104, "EOEMUIP_OEM_send_query", 516, 256, 0},
        {107, "EOEMUIP_OEM_engine_publish", 324, 64, 0},
        {108, "EOEMUIP_OEM_engine_io_changed", 0, -1, 0},
        {109, "EOEMUIP_OEM_engine_load_done", 0, -1, 0},
    };
    ASSERT_EQ(std::size(table), std::size(g_aMessageCatalogue));
    for (const expected& e : table) {
        SCOPED_TRACE(e.id);
        const TOEMUIP_Message* m = find_message(e.id);
        ASSERT_NE(nullptr, m);
        EXPECT_STREQ(e.name, m->pszName);
        EXPECT_STREQ(e.name + 12, m->pszShortName);
        EXPECT_EQ(e.payload, m->ui32PayloadSize);
        EXPECT_EQ(e.file, m->i32FileOffset);
        EXPECT_EQ(e.file >= 0, m->eDocument != EOEMUIPD_None);
        EXPECT_EQ(e.reply, m->ui32ReplySize);
        EXPECT_EQ(e.id >= 100                 ? EOEMUIPR_EngineProcess
                  : (e.id <= 2 || e.id == 30) ? EOEMUIPR_Hul
                                              : EOEMUIPR_Engine,
                  m->eReceiver);
    }
    for (uint32_t id : {0u, 19u, 29u, 31u, 99u, 105u, 106u, 110u})
        EXPECT_EQ(nullptr, find_message(id)) << id;
}

TEST_F(DispatcherTest, EveryMessageReachesItsCallback) {
    for (const message_case& c : message_table()) {
        SCOPED_TRACE("message " + std::to_string(c.id));
        make(true, true);
        log.clear();
        std::remove((bridge_test::platform_root() + kOutFile).c_str());
        engine.storage_text = "/data/presets";

        const outcome o = deliver(c.id, payload_for(c.id));
        EXPECT_EQ(c.result, o.result);
        EXPECT_EQ(c.calls, log.calls());
        if (is_storage_text(c.id)) {
            ASSERT_EQ(256u, o.reply_length);
            EXPECT_STREQ("/data/presets", reinterpret_cast<const char*>(o.reply.data()));
            EXPECT_EQ(std::vector<uint8_t>(256 - 13, 0),
                      std::vector<uint8_t>(o.reply.begin() + 13, o.reply.end()));
        } else {
            EXPECT_EQ(0u, o.reply_length);
        }
        EXPECT_EQ(c.writes_out ? "{\"answer\":1}" : "<unreadable>",
                  bridge_test::read_doc(kOutFile));
    }
}

TEST_F(DispatcherTest, CallbackResultsDecideTheAnswer) {
    make(true, true);
    hul.accept_shutdown = true;
    EXPECT_EQ(0, deliver(EOEMUIP_HUL_shutdown, {}).result);
    engine.present = false;
    EXPECT_EQ(-1, deliver(EOEMUIP_HUL_engine_is_present, {}).result);

    // An engine that declines to answer gets -1 and no file is written.
    engine.fill_answers = false;
    for (uint32_t id : {5u, 13u, 17u}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(-1, deliver(id, payload_for(id)).result);
        EXPECT_EQ("<unreadable>", bridge_test::read_doc(kOutFile));
    }
}

TEST_F(DispatcherTest, AnswerThatCannotBeWrittenFails) {
    make(true, true);
    // A regular file where the answer's folder should be.
    bridge_test::write_doc("/tmp/oem_test/blocker", "{}");
    auto m = zeroed<TOEM_send_query>();
    put(m.szQuery, "q");
    m.JsonFile_Info = bridge_test::file_info("/tmp/oem_test/blocker/answer.json");
    const outcome o = deliver(EOEMUIP_HUL_engine_send_query, bytes_of(&m, sizeof(m)));
    EXPECT_EQ(-1, o.result);
    EXPECT_EQ((std::vector<call>{{"send_query", {"q"}}}), log.calls());

    auto io = zeroed<THUL_engine_get_ios>();
    io.JsonFile_Info = m.JsonFile_Info;
    EXPECT_EQ(-1, deliver(EOEMUIP_HUL_engine_get_ios, bytes_of(&io, sizeof(io))).result);
}

TEST_F(DispatcherTest, UnknownIdentifiersAreRefusedAndLogged) {
    make(true, true);
    std::vector<uint32_t> ids = {0, 100, 101, 105, 109, 110, 1000, 0xFFFFFFFFu};
    for (uint32_t id = 19; id <= 29; ++id)
        ids.push_back(id);
    for (uint32_t id = 31; id <= 99; ++id)
        ids.push_back(id);
    const std::vector<uint8_t> junk(600, 0x55);
    for (uint32_t id : ids) {
        SCOPED_TRACE(id);
        vq_log_capture capture;
        const outcome o = deliver(id, junk);
        EXPECT_EQ(-3, o.result);
        EXPECT_EQ(0u, o.reply_length);
        EXPECT_EQ(1u, capture.count("Unknown message(" + std::to_string(id) + ")\n"));
        ASSERT_EQ(1u, capture.records().size());
        EXPECT_EQ(3, capture.records()[0].level);
    }
    EXPECT_TRUE(log.calls().empty());
}

TEST_F(DispatcherTest, NullUserPointerFailsWithoutTouchingAnything) {
    make(true, true);
    uint32_t length = 4096;
    std::vector<uint8_t> out(4096);
    EXPECT_EQ(-1, bridge_test::impl_probe::staticKSAL_IPC_callback(
                      nullptr, EOEMUIP_HUL_device_started, nullptr, 0, out.data(), &length));
    EXPECT_TRUE(log.calls().empty());

    // With the endpoint as user pointer the call is forwarded.
    EXPECT_EQ(0, bridge_test::impl_probe::staticKSAL_IPC_callback(
                     impl.get(), EOEMUIP_HUL_device_started, nullptr, 0, out.data(), &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ((std::vector<call>{{"on_device_started", {}}}), log.calls());
}

TEST_F(DispatcherTest, AbsentCallbacksAnswerFail) {
    // Without an engine: every engine message fails, nothing is called.
    make(true, false);
    for (uint32_t id = 3; id <= 18; ++id) {
        SCOPED_TRACE(id);
        const outcome o = deliver(id, payload_for(id));
        EXPECT_EQ(-1, o.result);
        EXPECT_EQ(0u, o.reply_length);
    }
    EXPECT_TRUE(log.calls().empty());
    EXPECT_EQ("<unreadable>", bridge_test::read_doc(kOutFile));

    // Without a notification callback: 1, 2 and 30 fail.
    make(false, true);
    for (uint32_t id : {1u, 2u, 30u}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(-1, deliver(id, payload_for(id)).result);
    }
    EXPECT_TRUE(log.calls().empty());
}

TEST_F(DispatcherTest, StorageTextIsCutAndPadded) {
    make(true, true);
    struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"", ""},
        {std::string(255, 'x'), std::string(255, 'x')},
        {std::string(256, 'y'), std::string(255, 'y')},
        {std::string(300, 'z'), std::string(255, 'z')},
    };
    for (const auto& c : cases) {
        for (uint32_t id : {6u, 7u, 8u}) {
            SCOPED_TRACE(std::to_string(id) + " with " + std::to_string(c.text.size()) +
                         " characters");
            engine.storage_text = c.text;
            const outcome o = deliver(id, {}, 256);
            ASSERT_EQ(0, o.result);
            ASSERT_EQ(256u, o.reply_length);
            std::vector<uint8_t> expected(256, 0);
            std::memcpy(expected.data(), c.expected.data(), c.expected.size());
            EXPECT_EQ(expected, o.reply);
        }
    }
}

TEST_F(DispatcherTest, UnreadableHandOffFileSkipsTheCallback) {
    make(true, true);
    bridge_test::write_doc("/tmp/oem_test/bad_parent", "{}");
    const std::vector<std::string> badFiles = {"/tmp/oem_test/missing.json",
                                               "/tmp/oem_test/bad_parent/x.json", ""};
    for (const std::string& file : badFiles) {
        for (uint32_t id : {1u, 3u, 9u, 18u}) {
            SCOPED_TRACE(std::to_string(id) + " " + file);
            std::vector<uint8_t> payload = payload_for(id);
            // The file info is the structure's tail in every one of these layouts.
            const TJsonFile_Info info = bridge_test::file_info(file);
            std::memcpy(payload.data() + payload.size() - sizeof(info), &info, sizeof(info));
            const outcome o = deliver(id, payload);
            EXPECT_EQ(-3, o.result);
            EXPECT_EQ(0u, o.reply_length);
        }
    }
    EXPECT_TRUE(log.calls().empty());
}

TEST_F(DispatcherTest, ShortOrMissingPayloadsAreBadArguments) {
    make(true, true);
    for (const message_case& c : message_table()) {
        const std::vector<uint8_t> payload = payload_for(c.id);
        if (payload.empty())
            continue;
        SCOPED_TRACE(c.id);
        EXPECT_EQ(
            -2,
            deliver_raw(c.id, payload.data(), static_cast<uint32_t>(payload.size() - 1)).result);
        EXPECT_EQ(-2, deliver_raw(c.id, nullptr, static_cast<uint32_t>(payload.size())).result);
        EXPECT_EQ(-2, deliver_raw(c.id, nullptr, 0).result);
        // A longer payload is fine: only the structure's bytes are read.
        std::vector<uint8_t> longer = payload;
        longer.resize(payload.size() + 10, 0x77);
        EXPECT_EQ(c.result, deliver(c.id, longer).result);
    }

    // The storage text replies need a reply buffer of 256 bytes.
    log.clear();
    for (uint32_t id : {6u, 7u, 8u}) {
        SCOPED_TRACE(id);
        const outcome small = deliver(id, {}, 255);
        EXPECT_EQ(-2, small.result);
        EXPECT_EQ(0u, small.reply_length);
        EXPECT_EQ(-2, deliver(id, {}, 0).result);
        EXPECT_EQ(-2, impl->KSAL_IPC_callback(id, nullptr, 0, nullptr, nullptr));
        std::vector<uint8_t> out(256);
        EXPECT_EQ(-2, impl->KSAL_IPC_callback(id, nullptr, 0, out.data(), nullptr));
    }
    EXPECT_TRUE(log.calls().empty());
}

TEST_F(DispatcherTest, FullTextFieldsAreReadToTheirSize) {
    make(true, true);
    // A sender may fill every byte of a field; nothing beyond it is read.
    auto cmd = zeroed<TOEM_send_command>();
    std::memset(cmd.szCommand, 'c', sizeof(cmd.szCommand));
    std::vector<uint8_t> payload = bytes_of(&cmd, sizeof(cmd));
    payload.push_back('!');
    EXPECT_EQ(0, deliver(EOEMUIP_HUL_engine_send_command, payload).result);

    auto rs = zeroed<THUL_engine_recall_store>();
    std::memset(rs.strStorageName, 's', sizeof(rs.strStorageName));
    std::memset(rs.strPath, 'p', sizeof(rs.strPath));
    EXPECT_EQ(0, deliver(EOEMUIP_HUL_engine_recall, bytes_of(&rs, sizeof(rs))).result);

    auto pub = zeroed<THUL_publish>();
    std::memset(pub.szChannelName, 'n', sizeof(pub.szChannelName));
    pub.JsonFile_Info = bridge_test::file_info(kInFile);
    EXPECT_EQ(0, deliver(EOEMUIP_HUL_publish, bytes_of(&pub, sizeof(pub))).result);

    EXPECT_EQ((std::vector<call>{{"send_command", {std::string(256, 'c')}},
                                 {"recall", {std::string(256, 's'), std::string(256, 'p')}},
                                 {"on_publish", {std::string(64, 'n'), "{\"doc\":[1,2]}"}}}),
              log.calls());
}

TEST_F(DispatcherTest, RecallAndStoreIgnoreTheId) {
    make(true, true);
    for (uint32_t uiId : {0u, 1u, 0xFFFFFFFFu}) {
        auto m = zeroed<THUL_engine_recall_store>();
        put(m.strStorageName, "n");
        put(m.strPath, "$.p");
        m.uiId = uiId;
        EXPECT_EQ(0, deliver(EOEMUIP_HUL_engine_store, bytes_of(&m, sizeof(m))).result);
    }
    EXPECT_EQ(std::vector<call>(3, call{"store", {"n", "$.p"}}), log.calls());
}

TEST_F(DispatcherTest, ThrowingCallbackDoesNotEscape) {
    struct throwing_hul : bridge_test::recording_hul {
        using recording_hul::recording_hul;
        void on_device_started() override { throw std::runtime_error("boom"); }
    } thrower{log};
    impl.reset();
    impl = boost::make_shared<bridge_test::impl_probe>(&thrower, nullptr);
    vq_log_capture capture;
    const outcome o = deliver(EOEMUIP_HUL_device_started, {});
    EXPECT_EQ(-1, o.result);
    EXPECT_EQ(0u, o.reply_length);
    EXPECT_EQ(1u, capture.records().size());
}
