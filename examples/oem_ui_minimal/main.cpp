// The smallest OEM UI process: it announces itself, prints the device
// configuration and every notification, and ends when the engine process asks
// it to shut down (or on Ctrl-C).
//
//   oem_ui_minimal [--once]     --once: stop after printing the configuration
//
// Exit status: 0 after printing the configuration, 1 when the channel cannot
// be opened, 2 when the engine process gave no configuration.
#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_ipc.h"

#include "velquin_version.h"

#include <boost/make_shared.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

const char kUsage[] =
    "usage: oem_ui_minimal [--once]\n"
    "  Announces itself to the engine process, prints the configuration and every\n"
    "  notification until the engine asks it to shut down (or SIGINT/SIGTERM).\n"
    "  --once      stop after printing the configuration\n"
    "  --help      this text\n"
    "  --version   the version\n";

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop = true;
}

class minimal_ui : public oem_ui_process::oem_vorn_device_ipc {
public:
    void on_device_started() override {
        std::printf("device started\n");
        std::fflush(stdout);
    }

    void on_publish(const std::string& strChannel,
                    boost::shared_ptr<const rapidjson::Document> ptrjsDocument) override {
        log_json_value(6, "publish " + strChannel, *ptrjsDocument);
    }

    bool on_shutdown() override {
        std::printf("shutdown requested\n");
        std::fflush(stdout);
        g_stop = true;
        return true;
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", "oem_ui_minimal", VELQUIN_VERSION);
        return 0;
    }
    const bool once = argc > 1 && std::strcmp(argv[1], "--once") == 0;
    if (argc > 2 || (argc == 2 && !once)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    minimal_ui ui;
    if (!ui.init()) {
        std::fprintf(stderr, "cannot open the channel to the engine process\n");
        return 1;
    }
    ui.oem_ui_process_ready();

    auto config = boost::make_shared<rapidjson::Document>();
    const bool configured = ui.get_config(config);
    if (configured)
        minimal_ui::log_json_value(6, "config", *config);
    else
        std::fprintf(stderr, "no configuration from the engine process\n");

    while (!once && !g_stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ui.destroy();
    return configured ? 0 : 2;
}
