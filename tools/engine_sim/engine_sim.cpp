// engine_sim: stands in for the device's engine process on the other end of
// the OEM UI channel. It answers the OEM UI process's messages (100..109)
// from a configuration document of its own, and sends the engine's messages
// (1..18, 30) when told to on standard input. Everything it sees and does is
// reported on standard output, one JSON object per line. See README.md.
#include "tools/engine_sim/engine_sim.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_json_depth.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/oem_files/oem_files.h"
#include "velquin_version.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <unistd.h>

#ifndef ENGINE_SIM_DEFAULT_CONFIG
#define ENGINE_SIM_DEFAULT_CONFIG "sample_config.json"
#endif

namespace {

const char* const kUsage =
    "usage: engine_sim [--channel NAME] [--config FILE] [--handoff PATH] [--nodes LOCAL REMOTE]\n"
    "  Opens the channel (default IPC_oem_ui2Hul) as the engine side (nodes 15, 14),\n"
    "  answers the OEM UI process and reads commands from standard input\n"
    "  (\"help\" lists them).\n"
    "\n"
    "  --help       this text\n"
    "  --version    the version\n";

// The sample configuration: beside the program once installed (bin/../share/velquin/...),
// else the one in the source tree the program was built from.
std::string default_config() {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, static_cast<std::size_t>(n));
        dir.erase(dir.find_last_of('/') + 1);
        const std::string installed = dir + "../share/velquin/engine_sim/sample_config.json";
        if (std::ifstream(installed))
            return installed;
    }
    return ENGINE_SIM_DEFAULT_CONFIG;
}

bool load_config(const std::string& file, rapidjson::Document& doc) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    // Everything after this recurses over the configuration.
    return oem_ui_process::detail::parse_within_depth<rapidjson::kParseIterativeFlag>(
        doc, text.data(), text.size(), oem_ui_process::OEMUIP_MAX_JSON_DEPTH);
}

} // namespace

int main(int argc, char** argv) {
    std::string channel = "IPC_oem_ui2Hul";
    std::string config_file;
    std::string handoff = "/tmp/engine_sim/engine_sim.json";
    uint32_t local = 15;
    uint32_t remote = 14;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--nodes" && i + 2 < argc) {
            local = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
            remote = static_cast<uint32_t>(std::strtoul(argv[i + 2], nullptr, 10));
            i += 2;
        } else if ((arg == "--channel" || arg == "--config" || arg == "--handoff") &&
                   i + 1 < argc) {
            std::string value = argv[++i];
            (arg == "--channel" ? channel : arg == "--config" ? config_file : handoff) = value;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("engine_sim %s\n", VELQUIN_VERSION);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            return 1;
        }
    }
    if (config_file.empty())
        config_file = default_config();

    engine_sim::simulator sim(handoff);
    rapidjson::Document config;
    if (!load_config(config_file, config)) {
        sim.emit_error("config", "cannot read " + config_file);
        return 2;
    }
    sim.set_config_document(config);
    if (!sim.open(channel, local, remote))
        return 2;

    std::string line;
    while (std::getline(std::cin, line)) {
        if (!sim.command(line))
            break;
    }
    sim.close();
    return 0;
}
