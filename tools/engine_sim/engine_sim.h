// The engine side of the OEM UI channel, as a class the program drives.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_catalogue.h"

#include <rapidjson/document.h>

#include <cstdint>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

namespace engine_sim {

// Sets `value` at a configuration path "$.a.b[2].c" inside `root`: members
// are created or replaced in objects, array items replaced (or appended at
// index == size). False when the path does not lead into the document.
bool set_at_path(rapidjson::Value& root, const std::string& path, const rapidjson::Value& value,
                 rapidjson::Document::AllocatorType& alloc);

// The value at a configuration path, or null when there is none.
const rapidjson::Value* find_at_path(const rapidjson::Value& root, const std::string& path);

class event;

class simulator {
public:
    explicit simulator(const std::string& handoff_path);
    ~simulator();

    void set_config_document(const rapidjson::Document& config);
    bool open(const std::string& channel, uint32_t local = 15, uint32_t remote = 14);
    void close();

    // Runs one line of the command language; false on "quit".
    bool command(const std::string& line);

    // The answer to one message of the OEM UI process (the IPC callback).
    int32_t handle(uint32_t id, const void* in, uint32_t in_size, void* out, uint32_t* out_size);

    void emit_error(const std::string& what, const std::string& detail);

private:
    // One command of the language (see s_commands).
    typedef bool (simulator::*command_handler)(const std::string& verb, std::istringstream& args,
                                               const std::string& line);
    struct command_row {
        const char* usage; // its verb first
        const char* does;
        command_handler run;
    };
    static const command_row s_commands[];
    bool run_send(const std::string& verb, std::istringstream& args, const std::string& line);
    bool run_raw(const std::string& verb, std::istringstream& args, const std::string& line);
    bool run_fail(const std::string& verb, std::istringstream& args, const std::string& line);
    bool run_config(const std::string& verb, std::istringstream& args, const std::string& line);
    bool run_echo(const std::string& verb, std::istringstream& args, const std::string& line);
    bool run_help(const std::string& verb, std::istringstream& args, const std::string& line);
    bool run_quit(const std::string& verb, std::istringstream& args, const std::string& line);

    void emit(const rapidjson::Value& event);
    void send(std::istringstream& args);
    void raw(std::istringstream& args);
    // Our hand-off file with the next sequence number.
    oem_ui_process::TJsonFile_Info next_handoff();
    // One handler per message of the OEM UI process that does more than note it.
    int32_t answer(const oem_ui_process::TOEMUIP_Message& m, const void* in, event& ev);
    int32_t on_get_config(const oem_ui_process::TJsonFile_Info& info, event& ev);
    int32_t on_set_config(const oem_ui_process::TJsonFile_Info& info, event& ev);
    int32_t on_send_query(const oem_ui_process::TOEM_send_query& msg, event& ev);
    int32_t on_engine_publish(const oem_ui_process::THUL_publish& msg, event& ev);
    int32_t fail_override(uint32_t id);

    std::string m_handoff;
    uint32_t m_nextJsonId = 0;
    uintptr_t m_handle = 0;
    std::string m_channel;

    std::mutex m_outMutex;   // one line at a time on standard output
    std::mutex m_stateMutex; // the configuration, the failure set, the send counter
    rapidjson::Document m_config;
    std::set<uint32_t> m_failing;
};

} // namespace engine_sim
