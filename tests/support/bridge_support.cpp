#include "tests/support/bridge_support.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_text.h"
#include "platform/common/handoff_files.h"
#include "platform/common/platform_path.h"
#include "platform/oem_files/oem_files.h"

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <unistd.h>

namespace bridge_test {

namespace {

bool g_rootGiven = false;

// Every test program (and every death-test child) gets a root of its own,
// so IPC sockets and hand-off files never meet those of another program.
class platform_root_environment : public ::testing::Environment {
public:
    void SetUp() override {
        platform_root();
        // The tests' own peer keeps its files in /tmp/oem_test.
        vq_platform::set_handoff_folders({"/tmp/oem", "/tmp/engine_sim", "/tmp/oem_test"});
    }
    void TearDown() override {
        if (!g_rootGiven) {
            std::error_code ec;
            std::filesystem::remove_all(platform_root(), ec);
        }
    }
};

const ::testing::Environment* const g_rootEnvironment =
    ::testing::AddGlobalTestEnvironment(new platform_root_environment);

} // namespace

const std::string& platform_root() {
    static const std::string root = [] {
        // Death-test children inherit their parent's root; a root given from
        // outside is used as it is and left in place.
        const char* given = std::getenv("VQ_PLATFORM_ROOT");
        if (given != nullptr && *given != '\0') {
            g_rootGiven = true;
            return std::string(given);
        }
        char tmpl[] = "/tmp/vqb.XXXXXX";
        const char* dir = ::mkdtemp(tmpl);
        if (dir == nullptr)
            std::abort();
        ::setenv("VQ_PLATFORM_ROOT", dir, 1);
        return std::string(dir);
    }();
    return root;
}

oem_ui_process::TJsonFile_Info file_info(const std::string& path, uint32_t id) {
    oem_ui_process::TJsonFile_Info info;
    oem_ui_process::detail::set_field_text(info.szJSONDataFilePath, path);
    info.ui32JsonId = id;
    return info;
}

boost::shared_ptr<rapidjson::Document> parse(const std::string& text) {
    auto doc = boost::make_shared<rapidjson::Document>();
    doc->Parse(text.c_str(), text.size());
    EXPECT_FALSE(doc->HasParseError()) << text;
    return doc;
}

std::string to_text(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

void write_doc(const std::string& path, const std::string& text) {
    platform_root();
    // As a peer does, in its own folder (the file functions make none).
    std::filesystem::create_directories(
        std::filesystem::path(vq_platform::map_path(path)).parent_path());
    ASSERT_TRUE(oem_ui_process::write_json_to_file(file_info(path), *parse(text))) << path;
}

std::string read_doc(const std::string& path) {
    platform_root();
    rapidjson::Document doc;
    if (!oem_ui_process::read_json_from_file(file_info(path), doc))
        return "<unreadable>";
    return to_text(doc);
}

std::ostream& operator<<(std::ostream& os, const call& c) {
    os << c.name << "(";
    for (std::size_t i = 0; i < c.args.size(); ++i)
        os << (i ? ", " : "") << '"' << c.args[i] << '"';
    return os << ")";
}

void call_log::add(const std::string& name, std::vector<std::string> args) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(call{name, std::move(args)});
}

std::vector<call> call_log::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void call_log::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

void recording_hul::on_device_started() {
    m_log.add("on_device_started");
}

void recording_hul::on_publish(const std::string& strChannel,
                               boost::shared_ptr<const rapidjson::Document> ptrjsDocument) {
    m_log.add("on_publish", {strChannel, ptrjsDocument ? to_text(*ptrjsDocument) : "<null>"});
    published.push_back(ptrjsDocument);
    if (on_publish_hook)
        on_publish_hook(strChannel);
}

bool recording_hul::on_shutdown() {
    m_log.add("on_shutdown");
    return accept_shutdown;
}

bool recording_engine::is_present() {
    m_log.add("is_present");
    return present;
}

void recording_engine::set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig) {
    m_log.add("set_config", {ptrjsConfig ? to_text(*ptrjsConfig) : "<null>"});
}

void recording_engine::send_command(const std::string& strCommand) {
    m_log.add("send_command", {strCommand});
}

bool recording_engine::send_query(const std::string& strQuery,
                                  boost::shared_ptr<rapidjson::Document> ptrjsAnswer) {
    m_log.add("send_query", {strQuery});
    if (fill_answers)
        ptrjsAnswer->Parse(answer_json.c_str());
    return fill_answers;
}

void recording_engine::get_storage_dir(std::string& strDir) {
    m_log.add("get_storage_dir", {strDir});
    strDir = storage_text;
}

void recording_engine::get_storage_ext(std::string& strExt) {
    m_log.add("get_storage_ext", {strExt});
    strExt = storage_text;
}

void recording_engine::get_storage_name(std::string& strName) {
    m_log.add("get_storage_name", {strName});
    strName = storage_text;
}

void recording_engine::load(const std::string& strStorageName,
                            boost::shared_ptr<const rapidjson::Document> ptrjsData) {
    m_log.add("load", {strStorageName, ptrjsData ? to_text(*ptrjsData) : "<null>"});
}

void recording_engine::save(const std::string& strName) {
    m_log.add("save", {strName});
}

void recording_engine::recall(const std::string& strStorageName, const std::string& strPath) {
    m_log.add("recall", {strStorageName, strPath});
}

void recording_engine::store(const std::string& strStorageName, const std::string& strPath) {
    m_log.add("store", {strStorageName, strPath});
}

void recording_engine::delete_storage(const std::string& strName) {
    m_log.add("delete_storage", {strName});
}

void recording_engine::reset_to_factory() {
    m_log.add("reset_to_factory");
}

bool recording_engine::get_ios(boost::shared_ptr<rapidjson::Document> ptrjsIos) {
    m_log.add("get_ios");
    if (fill_answers)
        ptrjsIos->Parse(answer_json.c_str());
    return fill_answers;
}

bool recording_engine::get_directories(boost::shared_ptr<rapidjson::Document> ptrjsDirectories) {
    m_log.add("get_directories");
    if (fill_answers)
        ptrjsDirectories->Parse(answer_json.c_str());
    return fill_answers;
}

void recording_engine::on_directory_file_changed(
    boost::shared_ptr<const rapidjson::Document> ptrjsChange) {
    m_log.add("on_directory_file_changed", {ptrjsChange ? to_text(*ptrjsChange) : "<null>"});
}

engine_peer::engine_peer(call_log* pLog) : m_pLog(pLog) {
    platform_root();
}

engine_peer::~engine_peer() {
    close();
}

bool engine_peer::open() {
    return KSAL_IPC_init_ex(15, 14, &engine_peer::callback, this, "IPC_oem_ui2Hul", &m_handle) == 0;
}

void engine_peer::close() {
    if (m_handle != 0)
        KSAL_IPC_destroy(m_handle);
    m_handle = 0;
}

std::vector<received> engine_peer::messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

void engine_peer::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
}

void engine_peer::set_result(uint32_t id, int32_t result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results[id] = result;
}

int32_t engine_peer::send(uint32_t id, const void* payload, uint32_t size, void* out,
                          uint32_t out_size, int32_t* pi32MsgErr) {
    return KSAL_IPC_SendIOCTL(m_handle, id, payload, size, out, out_size, pi32MsgErr);
}

int32_t engine_peer::callback(void* cb_user, uint32_t id, const void* in, uint32_t in_size, void*,
                              uint32_t* out_size) {
    if (out_size != nullptr)
        *out_size = 0;
    return static_cast<engine_peer*>(cb_user)->handle(id, in, in_size);
}

int32_t engine_peer::handle(uint32_t id, const void* in, uint32_t in_size) {
    using namespace oem_ui_process;
    received msg;
    msg.id = id;
    if (in != nullptr)
        msg.payload.assign(static_cast<const uint8_t*>(in),
                           static_cast<const uint8_t*>(in) + in_size);

    // The hand-off file named by the message, wherever the layout keeps it.
    const TJsonFile_Info* pInfo = nullptr;
    TOEM_send_query query;
    TJsonFile_Info info;
    if ((id == EOEMUIP_OEM_get_config || id == EOEMUIP_OEM_set_config) &&
        in_size == sizeof(TJsonFile_Info)) {
        std::memcpy(&info, in, sizeof(info));
        pInfo = &info;
    } else if (id == EOEMUIP_OEM_send_query && in_size == sizeof(TOEM_send_query)) {
        std::memcpy(&query, in, sizeof(query));
        info = query.JsonFile_Info;
        pInfo = &info;
    } else if (id == EOEMUIP_OEM_engine_publish && in_size == sizeof(THUL_publish)) {
        THUL_publish publish;
        std::memcpy(&publish, in, sizeof(publish));
        info = publish.JsonFile_Info;
        pInfo = &info;
    }

    if (pInfo != nullptr) {
        const std::string path = detail::field_text(pInfo->szJSONDataFilePath);
        const std::string seq = std::to_string(pInfo->ui32JsonId);
        if (id == EOEMUIP_OEM_get_config) {
            std::string text = config_json;
            const std::string::size_type at = text.find("$seq");
            if (at != std::string::npos)
                text.replace(at, 4, seq);
            write_doc(path, text);
        } else if (id == EOEMUIP_OEM_send_query) {
            rapidjson::Document answer(rapidjson::kObjectType);
            const std::string q = detail::field_text(query.szQuery);
            answer.AddMember("query", rapidjson::Value(q.c_str(), answer.GetAllocator()),
                             answer.GetAllocator());
            answer.AddMember("seq", pInfo->ui32JsonId, answer.GetAllocator());
            EXPECT_TRUE(oem_ui_process::write_json_to_file(*pInfo, answer));
        } else {
            msg.document = read_doc(path);
        }
    }

    int32_t result = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(msg);
        auto it = m_results.find(id);
        if (it != m_results.end())
            result = it->second;
    }
    if (m_pLog != nullptr)
        m_pLog->add("peer", {std::to_string(id)});
    return result;
}

} // namespace bridge_test
