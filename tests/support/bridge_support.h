// Shared pieces of the bridge tests: a private platform root per test
// program, recording callbacks, an endpoint whose dispatcher tests can call,
// and an engine-side peer on the real IPC stand-in.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_impl.h"
#include "platform/device_log/vq_log.h"
#include "platform/ksal_ipc/KSAL_IPC.h"

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace bridge_test {

// The platform root of this test program (VQ_PLATFORM_ROOT), made on first use.
const std::string& platform_root();

// A TJsonFile_Info naming `path` with sequence number `id`.
oem_ui_process::TJsonFile_Info file_info(const std::string& path, uint32_t id = 0);
// Parses JSON text into a new document; fails the test on bad text.
boost::shared_ptr<rapidjson::Document> parse(const std::string& text);
// Compact JSON text of a value.
std::string to_text(const rapidjson::Value& value);
// Writes `text` as the document of `path` through the file functions.
void write_doc(const std::string& path, const std::string& text);
// Reads the document of `path` as compact text; "<unreadable>" when it cannot.
std::string read_doc(const std::string& path);

// Names the endpoint class, which is reserved to the facade and its subclasses.
struct facade_access : oem_ui_process::oem_vorn_device_ipc {
    using impl_type = oem_vorn_device_ipc::Impl;
};

// The endpoint with its dispatcher opened up for tests.
struct impl_probe : facade_access::impl_type {
    using facade_access::impl_type::Impl;
    using facade_access::impl_type::KSAL_IPC_callback;
    using facade_access::impl_type::staticKSAL_IPC_callback;
};

// One recorded call: operation name and its arguments as text.
struct call {
    std::string name;
    std::vector<std::string> args;
    bool operator==(const call& other) const { return name == other.name && args == other.args; }
};
std::ostream& operator<<(std::ostream& os, const call& c);

// A shared, thread-safe list of calls, so that tests can check the order of
// local deliveries against what reached the peer.
class call_log {
public:
    void add(const std::string& name, std::vector<std::string> args = {});
    std::vector<call> calls() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<call> m_calls;
};

// Notification callback that records what it receives.
class recording_hul : public oem_ui_process::oem_vorn_device_ipc_callback {
public:
    explicit recording_hul(call_log& log) : m_log(log) {}
    virtual ~recording_hul() = default;
    void on_device_started() override;
    void on_publish(const std::string& strChannel,
                    boost::shared_ptr<const rapidjson::Document> ptrjsDocument) override;
    bool on_shutdown() override;

    bool accept_shutdown = false;
    std::vector<boost::shared_ptr<const rapidjson::Document>> published;
    std::function<void(const std::string&)> on_publish_hook;

private:
    call_log& m_log;
};

// Hosted engine that records every call and answers as configured.
class recording_engine : public oem_ui_process::engine_oem_vorn_device_ipc_callback {
public:
    explicit recording_engine(call_log& log) : m_log(log) {}
    virtual ~recording_engine() = default;
    bool is_present() override;
    void set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig) override;
    void send_command(const std::string& strCommand) override;
    bool send_query(const std::string& strQuery,
                    boost::shared_ptr<rapidjson::Document> ptrjsAnswer) override;
    void get_storage_dir(std::string& strDir) override;
    void get_storage_ext(std::string& strExt) override;
    void get_storage_name(std::string& strName) override;
    void load(const std::string& strStorageName,
              boost::shared_ptr<const rapidjson::Document> ptrjsData) override;
    void save(const std::string& strName) override;
    void recall(const std::string& strStorageName, const std::string& strPath) override;
    void store(const std::string& strStorageName, const std::string& strPath) override;
    void delete_storage(const std::string& strName) override;
    void reset_to_factory() override;
    bool get_ios(boost::shared_ptr<rapidjson::Document> ptrjsIos) override;
    bool get_directories(boost::shared_ptr<rapidjson::Document> ptrjsDirectories) override;
    void
    on_directory_file_changed(boost::shared_ptr<const rapidjson::Document> ptrjsChange) override;

    bool present = true;
    bool fill_answers = true; // send_query, get_ios, get_directories
    std::string answer_json = "{\"answer\":1}";
    std::string storage_text; // what get_storage_* hand back

private:
    call_log& m_log;
};

// One message as the engine side received it.
struct received {
    uint32_t id = 0;
    std::vector<uint8_t> payload;
    std::string document; // the hand-off document named by the payload, read on receipt
};

// The engine side of the channel, opened in this process with the nodes
// swapped. It records what arrives and answers get_config and send_query by
// writing into the file the message names.
class engine_peer {
public:
    explicit engine_peer(call_log* pLog = nullptr);
    ~engine_peer();
    bool open();
    void close();

    std::vector<received> messages() const;
    void clear();

    // Result the peer returns for a message id (default 0).
    void set_result(uint32_t id, int32_t result);
    // Document written for get_config; "$seq" in it is replaced by the request's number.
    std::string config_json = "{\"config\":true,\"seq\":$seq}";

    // Sends a message to the OEM side; returns the library's result, the
    // handler's result in *pi32MsgErr.
    int32_t send(uint32_t id, const void* payload, uint32_t size, void* out, uint32_t out_size,
                 int32_t* pi32MsgErr);

private:
    static int32_t callback(void* cb_user, uint32_t id, const void* in, uint32_t in_size, void* out,
                            uint32_t* out_size);
    int32_t handle(uint32_t id, const void* in, uint32_t in_size);

    call_log* m_pLog;
    uintptr_t m_handle = 0;
    mutable std::mutex m_mutex;
    std::vector<received> m_messages;
    std::map<uint32_t, int32_t> m_results;
};

} // namespace bridge_test
