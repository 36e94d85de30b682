// An OEM UI process that hosts an engine of its own. The engine process drives
// the hosted engine remotely (its settings, storage and I/O description); the
// settings the UI changes under "$._oem_ui_process_engine" go straight to it,
// and the engine's changes are published back to the device.
//
//   oem_ui_engine_host [--once]
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_impl.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_ipc.h"

#include "velquin_version.h"

#include <boost/make_shared.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace {

const char kUsage[] = "usage: oem_ui_engine_host [--once]\n"
                      "  An OEM UI process hosting a toy engine that the engine process drives;\n"
                      "  runs until the engine asks it to shut down (or SIGINT/SIGTERM).\n"
                      "  --once      stop after printing the configuration\n"
                      "  --help      this text\n"
                      "  --version   the version\n";

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop = true;
}

// A toy engine: named settings kept in memory, presets as copies of them.
class toy_engine final : public oem_ui_process::engine_oem_vorn_device_ipc_callback {
public:
    bool is_present() override { return true; }

    void set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig) override {
        oem_ui_process::oem_vorn_device_ipc::log_json_value(6, "engine set_config", *ptrjsConfig);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settings.CopyFrom(*ptrjsConfig, m_settings.GetAllocator());
    }

    void send_command(const std::string& strCommand) override {
        std::printf("engine command: %s\n", strCommand.c_str());
    }

    bool send_query(const std::string& strQuery,
                    boost::shared_ptr<rapidjson::Document> ptrjsAnswer) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ptrjsAnswer->SetObject();
        ptrjsAnswer->AddMember("query",
                               rapidjson::Value(strQuery.c_str(), ptrjsAnswer->GetAllocator()),
                               ptrjsAnswer->GetAllocator());
        rapidjson::Value settings(m_settings, ptrjsAnswer->GetAllocator());
        ptrjsAnswer->AddMember("settings", settings, ptrjsAnswer->GetAllocator());
        return true;
    }

    void get_storage_dir(std::string& strDir) override { strDir = "/tmp/oem/engine_presets"; }
    void get_storage_ext(std::string& strExt) override { strExt = ".preset"; }
    void get_storage_name(std::string& strName) override { strName = "current"; }

    void load(const std::string& strStorageName,
              boost::shared_ptr<const rapidjson::Document> ptrjsData) override {
        oem_ui_process::oem_vorn_device_ipc::log_json_value(6, "engine load " + strStorageName,
                                                            *ptrjsData);
        m_loaded = true;
    }

    void save(const std::string& strName) override {
        std::printf("engine save %s\n", strName.c_str());
    }
    void recall(const std::string& strStorageName, const std::string& strPath) override {
        std::printf("engine recall %s at %s\n", strStorageName.c_str(), strPath.c_str());
    }
    void store(const std::string& strStorageName, const std::string& strPath) override {
        std::printf("engine store %s at %s\n", strStorageName.c_str(), strPath.c_str());
    }
    void delete_storage(const std::string& strName) override {
        std::printf("engine delete %s\n", strName.c_str());
    }
    void reset_to_factory() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settings.SetObject();
    }

    bool get_ios(boost::shared_ptr<rapidjson::Document> ptrjsIos) override {
        ptrjsIos->Parse("{\"inputs\":[{\"id\":1,\"name\":\"Engine in\"}],\"outputs\":[]}");
        return true;
    }

    bool get_directories(boost::shared_ptr<rapidjson::Document> ptrjsDirectories) override {
        ptrjsDirectories->Parse("[\"/tmp/oem/engine_presets\"]");
        return true;
    }

    void
    on_directory_file_changed(boost::shared_ptr<const rapidjson::Document> ptrjsChange) override {
        oem_ui_process::oem_vorn_device_ipc::log_json_value(6, "engine directory change",
                                                            *ptrjsChange);
    }

    std::atomic<bool> m_loaded{false};

private:
    std::mutex m_mutex;
    rapidjson::Document m_settings{rapidjson::kObjectType};
};

class engine_host_ui : public oem_ui_process::oem_vorn_device_ipc {
public:
    explicit engine_host_ui(toy_engine* pEngine)
        : oem_vorn_device_ipc(pEngine), m_pEngine(pEngine) {}

    void on_device_started() override { std::printf("device started\n"); }

    void on_publish(const std::string& strChannel,
                    boost::shared_ptr<const rapidjson::Document> ptrjsDocument) override {
        log_json_value(6, "publish " + strChannel, *ptrjsDocument);
    }

    bool on_shutdown() override {
        g_stop = true;
        return true;
    }

    // The engine's own values, published on the device and seen locally.
    void publish_engine_state() {
        auto doc = boost::make_shared<rapidjson::Document>();
        doc->Parse("[{\"path\":\"$._oem_ui_process_engine.state\",\"value\":\"running\"}]");
        pimpl->engine_publish("/vorn/values", doc);
        pimpl->engine_io_changed();
        if (m_pEngine->m_loaded)
            pimpl->engine_load_done();
    }

private:
    toy_engine* m_pEngine;
};

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", "oem_ui_engine_host", VELQUIN_VERSION);
        return 0;
    }
    const bool once = argc > 1 && std::strcmp(argv[1], "--once") == 0;
    if (argc > 2 || (argc == 2 && !once)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    toy_engine engine;
    engine_host_ui ui(&engine);
    if (!ui.init()) {
        std::fprintf(stderr, "cannot open the channel to the engine process\n");
        return 1;
    }
    ui.oem_ui_process_ready();

    // A setting of the hosted engine: handled here, never sent.
    auto setting = boost::make_shared<rapidjson::Document>();
    setting->Parse("{\"path\":\"$._oem_ui_process_engine.mode\",\"value\":\"demo\"}");
    ui.set_config(setting);
    ui.publish_engine_state();

    while (!once && !g_stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ui.destroy();
    return 0;
}
