// engine_sim's command language: one table drives both dispatch and "help".
#include "tools/engine_sim/engine_sim.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_text.h"
#include "platform/common/platform_path.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/oem_files/oem_files.h"
#include "tools/engine_sim/event.hpp"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

using namespace oem_ui_process;

namespace engine_sim {

namespace {

std::string rest_of(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    std::size_t start = rest.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : rest.substr(start);
}

std::string to_hex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool from_hex(const std::string& text, std::vector<unsigned char>& out) {
    if (text == "-")
        return true;
    if (text.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
            return false;
        out.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return true;
}

template <class T>
void store(unsigned char* payload, const T& msg) {
    std::memcpy(payload, &msg, sizeof msg);
}

// The text fields of message `id` from the command's words; its hand-off
// file is filled in afterwards.
void put_texts(uint32_t id, std::istringstream& in, unsigned char* payload) {
    std::string word;
    switch (id) {
    case EOEMUIP_HUL_publish: {
        THUL_publish msg{};
        in >> word;
        detail::set_field_text(msg.szChannelName, word);
        store(payload, msg);
        break;
    }
    case EOEMUIP_HUL_engine_send_command: {
        TOEM_send_command msg{};
        detail::set_field_text(msg.szCommand, rest_of(in));
        store(payload, msg);
        break;
    }
    case EOEMUIP_HUL_engine_send_query: {
        TOEM_send_query msg{};
        detail::set_field_text(msg.szQuery, rest_of(in));
        store(payload, msg);
        break;
    }
    case EOEMUIP_HUL_engine_load: {
        THUL_engine_load msg{};
        in >> word;
        detail::set_field_text(msg.strStorageName, word);
        store(payload, msg);
        break;
    }
    case EOEMUIP_HUL_engine_save:
    case EOEMUIP_HUL_engine_delete: {
        THUL_engine_load_save msg{};
        detail::set_field_text(msg.sz, rest_of(in));
        store(payload, msg);
        break;
    }
    case EOEMUIP_HUL_engine_recall:
    case EOEMUIP_HUL_engine_store: {
        THUL_engine_recall_store msg{};
        std::string path;
        in >> word >> path;
        in >> msg.uiId;
        detail::set_field_text(msg.strStorageName, word);
        detail::set_field_text(msg.strPath, path);
        store(payload, msg);
        break;
    }
    default:
        break;
    }
}

} // namespace

TJsonFile_Info simulator::next_handoff() {
    TJsonFile_Info info{};
    detail::set_field_text(info.szJSONDataFilePath, m_handoff);
    std::lock_guard<std::mutex> lk(m_stateMutex);
    info.ui32JsonId = m_nextJsonId++;
    return info;
}

// The command language: each row is one "help" line, and the first word of
// its usage is the verb that runs its handler (the first row with that verb).
const simulator::command_row simulator::s_commands[] = {
    {"send 1 <channel> <json>", "publication through the hand-off file", &simulator::run_send},
    {"send 2", "shutdown request", &simulator::run_send},
    {"send 3 <json>", "engine set_config", &simulator::run_send},
    {"send 4 <text>", "engine command", &simulator::run_send},
    {"send 5 <text>", "engine query; prints the answer", &simulator::run_send},
    {"send 6|7|8", "storage dir, ext, name; prints the reply", &simulator::run_send},
    {"send 9 <storage name> <json>", "engine load", &simulator::run_send},
    {"send 10|11 <name>", "engine save, delete", &simulator::run_send},
    {"send 12|14", "is_present, reset_to_factory", &simulator::run_send},
    {"send 13|17", "get_ios, get_directories; prints the answer", &simulator::run_send},
    {"send 15|16 <storage name> <path> [uiId]", "recall, store", &simulator::run_send},
    {"send 18 <json>", "directory file changed", &simulator::run_send},
    {"send 30", "device started", &simulator::run_send},
    {"send <id>", "any other id without payload", &simulator::run_send},
    {"raw <id> <hex payload or -> [reply capacity]", "exactly these bytes", &simulator::run_raw},
    {"fail <id>", "answer message id with -1 from now on", &simulator::run_fail},
    {"unfail <id>", "answer message id normally again", &simulator::run_fail},
    {"config", "print the current configuration", &simulator::run_config},
    {"echo <text>", "print the text back", &simulator::run_echo},
    {"help", "this list", &simulator::run_help},
    {"quit", "close the channel and exit", &simulator::run_quit},
};

bool simulator::command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb.empty() || verb[0] == '#')
        return true;
    for (const command_row& row : s_commands) {
        const std::size_t n = std::strcspn(row.usage, " ");
        if (verb.size() == n && verb.compare(0, n, row.usage, n) == 0)
            return (this->*row.run)(verb, in, line);
    }
    emit_error("command", line);
    return true;
}

bool simulator::run_help(const std::string&, std::istringstream&, const std::string&) {
    for (const command_row& row : s_commands)
        emit(event("help")
                 .add("command", std::string(row.usage))
                 .add("does", std::string(row.does))
                 .value());
    return true;
}

bool simulator::run_quit(const std::string&, std::istringstream&, const std::string&) {
    return false;
}

bool simulator::run_config(const std::string&, std::istringstream&, const std::string&) {
    std::lock_guard<std::mutex> lk(m_stateMutex);
    event ev("config");
    ev.add("document", m_config);
    emit(ev.value());
    return true;
}

bool simulator::run_fail(const std::string& verb, std::istringstream& in, const std::string& line) {
    uint32_t id = 0;
    if (!(in >> id)) {
        emit_error("command", line);
        return true;
    }
    {
        std::lock_guard<std::mutex> lk(m_stateMutex);
        if (verb == "fail")
            m_failing.insert(id);
        else
            m_failing.erase(id);
    }
    emit(event(verb.c_str()).add("id", int64_t(id)).value());
    return true;
}

bool simulator::run_echo(const std::string&, std::istringstream& in, const std::string&) {
    emit(event("echo").add("text", rest_of(in)).value());
    return true;
}

bool simulator::run_send(const std::string&, std::istringstream& in, const std::string&) {
    send(in);
    return true;
}

bool simulator::run_raw(const std::string&, std::istringstream& in, const std::string&) {
    raw(in);
    return true;
}

void simulator::send(std::istringstream& in) {
    uint32_t id = 0;
    if (!(in >> id)) {
        emit_error("send", "missing message id");
        return;
    }
    event ev("sent");
    ev.add("id", int64_t(id));

    // The engine's own messages as the catalogue lays them out; any other id
    // goes out without payload.
    const TOEMUIP_Message* m = find_message(id);
    if (m != nullptr && m->eReceiver == EOEMUIPR_EngineProcess)
        m = nullptr;
    std::vector<unsigned char> payload(m != nullptr ? m->ui32PayloadSize : 0, 0);
    std::vector<unsigned char> reply(m != nullptr ? m->ui32ReplySize : 0, 0);
    put_texts(id, in, payload.data());

    const bool wants_answer = m != nullptr && m->eDocument == EOEMUIPD_Answer;
    TJsonFile_Info info{};
    if (m != nullptr && m->eDocument == EOEMUIPD_Read) {
        const std::string text = rest_of(in);
        // Parsed without recursion; the file functions refuse it when too deep.
        rapidjson::Document doc;
        doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
        if (doc.HasParseError()) {
            emit_error("send", "not JSON: " + text);
            return;
        }
        info = next_handoff();
        if (!write_json_to_file(info, doc)) {
            emit_error("send", "cannot write " + m_handoff);
            return;
        }
        ev.add("json_id", int64_t(info.ui32JsonId));
    } else if (wants_answer) {
        info = next_handoff();
        // A stale answer from an earlier request must not pass for this one.
        ::unlink(vq_platform::map_path(m_handoff).c_str());
        ev.add("json_id", int64_t(info.ui32JsonId));
    }
    if (m != nullptr && m->i32FileOffset >= 0)
        std::memcpy(payload.data() + m->i32FileOffset, &info, sizeof info);

    int32_t msg_err = 0;
    int32_t rc = KSAL_IPC_SendIOCTL(m_handle, id, payload.empty() ? nullptr : payload.data(),
                                    static_cast<uint32_t>(payload.size()),
                                    reply.empty() ? nullptr : reply.data(),
                                    static_cast<uint32_t>(reply.size()), &msg_err);
    ev.add("rc", int64_t(rc)).add("msg_err", int64_t(msg_err));
    if (!reply.empty() && rc == KSAL_IPC_OK)
        ev.add("reply", field_text(reinterpret_cast<const char*>(reply.data()), reply.size()));
    if (wants_answer && rc == KSAL_IPC_OK && msg_err == 0) {
        rapidjson::Document answer;
        if (read_json_from_file(info, answer))
            ev.add("answer", answer);
    }
    emit(ev.value());
}

void simulator::raw(std::istringstream& in) {
    uint32_t id = 0;
    std::string hex;
    uint32_t reply_capacity = 0;
    if (!(in >> id >> hex)) {
        emit_error("raw", "usage: raw <id> <hex payload or -> [reply capacity]");
        return;
    }
    in >> reply_capacity;
    std::vector<unsigned char> payload;
    if (!from_hex(hex, payload) || reply_capacity > 65536) {
        emit_error("raw", "bad payload or reply capacity");
        return;
    }
    std::vector<unsigned char> reply(reply_capacity, 0);
    int32_t msg_err = 0;
    int32_t rc =
        KSAL_IPC_SendIOCTL(m_handle, id, payload.empty() ? nullptr : payload.data(),
                           static_cast<uint32_t>(payload.size()),
                           reply.empty() ? nullptr : reply.data(), reply_capacity, &msg_err);
    event ev("sent");
    ev.add("id", int64_t(id)).add("rc", int64_t(rc)).add("msg_err", int64_t(msg_err));
    if (reply_capacity != 0 && rc == KSAL_IPC_OK)
        ev.add("reply_hex", to_hex(reply.data(), reply.size()));
    emit(ev.value());
}

} // namespace engine_sim
