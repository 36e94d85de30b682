#include "tools/engine_sim/engine_sim.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_messages.h"
#include "platform/common/platform_path.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/oem_files/oem_files.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include <unistd.h>

using namespace oem_ui_process;

namespace engine_sim {

namespace {

// One line of output: a JSON object with "event" first.
class event {
public:
    explicit event(const char* kind) {
        m_doc.SetObject();
        add("event", std::string(kind));
    }
    event& add(const char* key, const std::string& text) {
        rapidjson::Value v(text.c_str(), static_cast<rapidjson::SizeType>(text.size()),
                           m_doc.GetAllocator());
        m_doc.AddMember(rapidjson::StringRef(key), v, m_doc.GetAllocator());
        return *this;
    }
    event& add(const char* key, int64_t number) {
        m_doc.AddMember(rapidjson::StringRef(key), rapidjson::Value(number), m_doc.GetAllocator());
        return *this;
    }
    event& add(const char* key, bool flag) {
        m_doc.AddMember(rapidjson::StringRef(key), rapidjson::Value(flag), m_doc.GetAllocator());
        return *this;
    }
    event& add(const char* key, const rapidjson::Value& value) {
        rapidjson::Value v(value, m_doc.GetAllocator());
        m_doc.AddMember(rapidjson::StringRef(key), v, m_doc.GetAllocator());
        return *this;
    }
    const rapidjson::Value& value() const { return m_doc; }

private:
    rapidjson::Document m_doc;
};

const char* message_name(uint32_t id) {
    switch (id) {
    case EOEMUIP_OEM_ready:
        return "ready";
    case EOEMUIP_OEM_get_config:
        return "get_config";
    case EOEMUIP_OEM_set_config:
        return "set_config";
    case EOEMUIP_OEM_send_command:
        return "send_command";
    case EOEMUIP_OEM_send_query:
        return "send_query";
    case EOEMUIP_OEM_engine_publish:
        return "engine_publish";
    case EOEMUIP_OEM_engine_io_changed:
        return "engine_io_changed";
    case EOEMUIP_OEM_engine_load_done:
        return "engine_load_done";
    default:
        return "unknown";
    }
}

void put_text(char* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

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

struct path_step {
    bool is_index;
    std::string name;
    rapidjson::SizeType index;
};

bool parse_path(const std::string& path, std::vector<path_step>& steps) {
    if (path.empty() || path[0] != '$')
        return false;
    std::size_t i = 1;
    while (i < path.size()) {
        if (path[i] == '.') {
            std::size_t end = path.find_first_of(".[", i + 1);
            if (end == std::string::npos)
                end = path.size();
            if (end == i + 1)
                return false;
            steps.push_back({false, path.substr(i + 1, end - i - 1), 0});
            i = end;
        } else if (path[i] == '[') {
            std::size_t end = path.find(']', i);
            if (end == std::string::npos || end == i + 1 || end - i > 10)
                return false;
            std::string digits = path.substr(i + 1, end - i - 1);
            for (char c : digits)
                if (!std::isdigit(static_cast<unsigned char>(c)))
                    return false;
            steps.push_back(
                {true, std::string(), static_cast<rapidjson::SizeType>(std::stoul(digits))});
            i = end + 1;
        } else
            return false;
    }
    return true;
}

rapidjson::Value* step_into(rapidjson::Value* v, const path_step& s) {
    if (s.is_index)
        return (v->IsArray() && s.index < v->Size()) ? &(*v)[s.index] : nullptr;
    if (!v->IsObject())
        return nullptr;
    auto it = v->FindMember(
        rapidjson::StringRef(s.name.c_str(), static_cast<rapidjson::SizeType>(s.name.size())));
    return it == v->MemberEnd() ? nullptr : &it->value;
}

} // namespace

const rapidjson::Value* find_at_path(const rapidjson::Value& root, const std::string& path) {
    std::vector<path_step> steps;
    if (!parse_path(path, steps))
        return nullptr;
    rapidjson::Value* v = const_cast<rapidjson::Value*>(&root);
    for (const path_step& s : steps)
        if ((v = step_into(v, s)) == nullptr)
            return nullptr;
    return v;
}

bool set_at_path(rapidjson::Value& root, const std::string& path, const rapidjson::Value& value,
                 rapidjson::Document::AllocatorType& alloc) {
    std::vector<path_step> steps;
    if (!parse_path(path, steps) || steps.empty())
        return false;
    rapidjson::Value* parent = &root;
    for (std::size_t i = 0; i + 1 < steps.size(); ++i)
        if ((parent = step_into(parent, steps[i])) == nullptr)
            return false;
    const path_step& last = steps.back();
    rapidjson::Value copy(value, alloc);
    if (last.is_index) {
        if (!parent->IsArray() || last.index > parent->Size())
            return false;
        if (last.index == parent->Size())
            parent->PushBack(copy, alloc);
        else
            (*parent)[last.index] = copy;
        return true;
    }
    if (!parent->IsObject())
        return false;
    auto it = parent->FindMember(rapidjson::StringRef(
        last.name.c_str(), static_cast<rapidjson::SizeType>(last.name.size())));
    if (it != parent->MemberEnd())
        it->value = copy;
    else
        parent->AddMember(rapidjson::Value(last.name.c_str(),
                                           static_cast<rapidjson::SizeType>(last.name.size()),
                                           alloc),
                          copy, alloc);
    return true;
}

namespace {
int32_t ipc_callback(void* user, uint32_t id, const void* in, uint32_t in_size, void* out,
                     uint32_t* out_size) {
    return static_cast<simulator*>(user)->handle(id, in, in_size, out, out_size);
}
} // namespace

simulator::simulator(const std::string& handoff_path) : m_handoff(handoff_path) {
    m_config.SetObject();
}

simulator::~simulator() {
    close();
}

void simulator::set_config_document(const rapidjson::Document& config) {
    std::lock_guard<std::mutex> lk(m_stateMutex);
    m_config.CopyFrom(config, m_config.GetAllocator());
}

bool simulator::open(const std::string& channel, uint32_t local, uint32_t remote) {
    m_channel = channel;
    int32_t rc = KSAL_IPC_init_ex(local, remote, &ipc_callback, this, channel.c_str(), &m_handle);
    if (rc != KSAL_IPC_OK) {
        emit(event("error").add("what", std::string("init")).add("rc", int64_t(rc)).value());
        return false;
    }
    emit(event("ready")
             .add("channel", channel)
             .add("local", int64_t(local))
             .add("remote", int64_t(remote))
             .add("pid", int64_t(::getpid()))
             .value());
    return true;
}

void simulator::close() {
    if (m_handle != 0) {
        KSAL_IPC_destroy(m_handle);
        m_handle = 0;
        emit(event("bye").value());
    }
}

void simulator::emit(const rapidjson::Value& ev) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    ev.Accept(writer);
    std::lock_guard<std::mutex> lk(m_outMutex);
    std::fwrite(buffer.GetString(), 1, buffer.GetSize(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void simulator::emit_error(const std::string& what, const std::string& detail) {
    emit(event("error").add("what", what).add("detail", detail).value());
}

int32_t simulator::fail_override(uint32_t id) {
    std::lock_guard<std::mutex> lk(m_stateMutex);
    return m_failing.count(id) != 0 ? EOEMUIPE_Fail : EOEMUIPE_Success;
}

int32_t simulator::handle(uint32_t id, const void* in, uint32_t in_size, void* /*out*/,
                          uint32_t* out_size) {
    if (out_size != nullptr)
        *out_size = 0;
    event ev("recv");
    ev.add("id", int64_t(id))
        .add("name", std::string(message_name(id)))
        .add("size", int64_t(in_size));
    auto has = [&](std::size_t n) { return in != nullptr && in_size >= n; };
    int32_t result = EOEMUIPE_Success;

    if (fail_override(id) != EOEMUIPE_Success) {
        ev.add("forced", true);
        result = EOEMUIPE_Fail;
    } else
        switch (id) {
        case EOEMUIP_OEM_ready:
        case EOEMUIP_OEM_engine_io_changed:
        case EOEMUIP_OEM_engine_load_done:
            break;

        case EOEMUIP_OEM_get_config: {
            if (!has(sizeof(TOEM_get_config))) {
                result = EOEMUIPE_BadArgument;
                break;
            }
            TOEM_get_config msg;
            std::memcpy(&msg, in, sizeof msg);
            ev.add("file", json_file_path(msg.JsonFile_Info))
                .add("json_id", int64_t(msg.JsonFile_Info.ui32JsonId));
            rapidjson::Document answer;
            {
                std::lock_guard<std::mutex> lk(m_stateMutex);
                answer.CopyFrom(m_config, answer.GetAllocator());
            }
            // Lets a requester check that the file holds the answer to its own request.
            if (answer.IsObject()) {
                answer.RemoveMember("_sim_json_id");
                answer.AddMember("_sim_json_id", rapidjson::Value(msg.JsonFile_Info.ui32JsonId),
                                 answer.GetAllocator());
            }
            result =
                write_json_to_file(msg.JsonFile_Info, answer) ? EOEMUIPE_Success : EOEMUIPE_Fail;
            break;
        }

        case EOEMUIP_OEM_set_config: {
            if (!has(sizeof(TOEM_configure))) {
                result = EOEMUIPE_BadArgument;
                break;
            }
            TOEM_configure msg;
            std::memcpy(&msg, in, sizeof msg);
            ev.add("file", json_file_path(msg.JsonFile_Info))
                .add("json_id", int64_t(msg.JsonFile_Info.ui32JsonId));
            rapidjson::Document doc;
            if (!read_json_from_file(msg.JsonFile_Info, doc)) {
                result = EOEMUIPE_UnknownMessage;
                break;
            }
            ev.add("document", doc);
            bool applied = false;
            if (doc.IsObject() && doc.HasMember("path") && doc["path"].IsString() &&
                doc.HasMember("value")) {
                std::lock_guard<std::mutex> lk(m_stateMutex);
                applied = set_at_path(m_config, doc["path"].GetString(), doc["value"],
                                      m_config.GetAllocator());
            }
            ev.add("applied", applied);
            break;
        }

        case EOEMUIP_OEM_send_command: {
            if (!has(sizeof(TOEM_send_command))) {
                result = EOEMUIPE_BadArgument;
                break;
            }
            TOEM_send_command msg;
            std::memcpy(&msg, in, sizeof msg);
            ev.add("command", field_text(msg.szCommand, sizeof msg.szCommand));
            break;
        }

        case EOEMUIP_OEM_send_query: {
            if (!has(sizeof(TOEM_send_query))) {
                result = EOEMUIPE_BadArgument;
                break;
            }
            TOEM_send_query msg;
            std::memcpy(&msg, in, sizeof msg);
            const std::string query = field_text(msg.szQuery, sizeof msg.szQuery);
            ev.add("query", query)
                .add("file", json_file_path(msg.JsonFile_Info))
                .add("json_id", int64_t(msg.JsonFile_Info.ui32JsonId));
            rapidjson::Document answer;
            answer.SetObject();
            auto& a = answer.GetAllocator();
            answer.AddMember(
                "query",
                rapidjson::Value(query.c_str(), static_cast<rapidjson::SizeType>(query.size()), a),
                a);
            answer.AddMember("json_id", rapidjson::Value(msg.JsonFile_Info.ui32JsonId), a);
            rapidjson::Value found;
            {
                std::lock_guard<std::mutex> lk(m_stateMutex);
                if (const rapidjson::Value* v = find_at_path(m_config, query))
                    found.CopyFrom(*v, a);
            }
            answer.AddMember("answer", found, a);
            result =
                write_json_to_file(msg.JsonFile_Info, answer) ? EOEMUIPE_Success : EOEMUIPE_Fail;
            break;
        }

        case EOEMUIP_OEM_engine_publish: {
            if (!has(sizeof(THUL_publish))) {
                result = EOEMUIPE_BadArgument;
                break;
            }
            THUL_publish msg;
            std::memcpy(&msg, in, sizeof msg);
            ev.add("channel", field_text(msg.szChannelName, sizeof msg.szChannelName))
                .add("file", json_file_path(msg.JsonFile_Info))
                .add("json_id", int64_t(msg.JsonFile_Info.ui32JsonId));
            rapidjson::Document doc;
            if (!read_json_from_file(msg.JsonFile_Info, doc)) {
                result = EOEMUIPE_UnknownMessage;
                break;
            }
            ev.add("document", doc);
            break;
        }

        default:
            result = EOEMUIPE_UnknownMessage;
            break;
        }
    ev.add("result", int64_t(result));
    emit(ev.value());
    return result;
}

bool simulator::write_handoff(const rapidjson::Value& doc, uint32_t& id_out, void* info_out) {
    TJsonFile_Info info;
    put_text(info.szJSONDataFilePath, sizeof info.szJSONDataFilePath, m_handoff);
    {
        std::lock_guard<std::mutex> lk(m_stateMutex);
        info.ui32JsonId = m_nextJsonId++;
    }
    id_out = info.ui32JsonId;
    std::memcpy(info_out, &info, sizeof info);
    return write_json_to_file(info, doc);
}

bool simulator::command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb.empty() || verb[0] == '#')
        return true;
    if (verb == "quit")
        return false;
    if (verb == "send")
        send(in);
    else if (verb == "raw")
        raw(in);
    else if (verb == "config") {
        std::lock_guard<std::mutex> lk(m_stateMutex);
        event ev("config");
        ev.add("document", m_config);
        emit(ev.value());
    } else if (verb == "fail" || verb == "unfail") {
        uint32_t id = 0;
        if (!(in >> id))
            emit_error("command", line);
        else {
            {
                std::lock_guard<std::mutex> lk(m_stateMutex);
                if (verb == "fail")
                    m_failing.insert(id);
                else
                    m_failing.erase(id);
            }
            emit(event(verb.c_str()).add("id", int64_t(id)).value());
        }
    } else if (verb == "echo")
        emit(event("echo").add("text", rest_of(in)).value());
    else
        emit_error("command", line);
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

    // Big enough for every wire structure.
    unsigned char payload[1024];
    std::memset(payload, 0, sizeof payload);
    uint32_t payload_size = 0;
    unsigned char reply[sizeof(THUL_engine_get_storage_dir)];
    std::memset(reply, 0, sizeof reply);
    uint32_t reply_size = 0;
    bool wants_answer = false;
    uint32_t json_id = 0;

    auto parse_json = [&](const std::string& text, rapidjson::Document& doc) {
        doc.Parse(text.c_str(), text.size());
        if (doc.HasParseError()) {
            emit_error("send", "not JSON: " + text);
            return false;
        }
        return true;
    };
    auto handoff_info = [&](TJsonFile_Info& info) {
        put_text(info.szJSONDataFilePath, sizeof info.szJSONDataFilePath, m_handoff);
        std::lock_guard<std::mutex> lk(m_stateMutex);
        info.ui32JsonId = json_id = m_nextJsonId++;
    };
    auto with_document = [&](const std::string& text, void* info) {
        rapidjson::Document doc;
        if (!parse_json(text, doc))
            return false;
        if (!write_handoff(doc, json_id, info)) {
            emit_error("send", "cannot write " + m_handoff);
            return false;
        }
        ev.add("json_id", int64_t(json_id));
        return true;
    };

    switch (id) {
    case EOEMUIP_HUL_publish: {
        std::string channel;
        in >> channel;
        THUL_publish msg;
        put_text(msg.szChannelName, sizeof msg.szChannelName, channel);
        if (!with_document(rest_of(in), &msg.JsonFile_Info))
            return;
        std::memcpy(payload, &msg, sizeof msg);
        payload_size = sizeof msg;
        break;
    }
    case EOEMUIP_HUL_engine_set_config:
    case EOEMUIP_HUL_engine_on_directory_file_changed: {
        THUL_engine_json_file msg;
        if (!with_document(rest_of(in), &msg.JsonFile_Info))
            return;
        std::memcpy(payload, &msg, sizeof msg);
        payload_size = sizeof msg;
        break;
    }
    case EOEMUIP_HUL_engine_send_command: {
        TOEM_send_command msg;
        put_text(msg.szCommand, sizeof msg.szCommand, rest_of(in));
        std::memcpy(payload, &msg, sizeof msg);
        payload_size = sizeof msg;
        break;
    }
    case EOEMUIP_HUL_engine_send_query: {
        TOEM_send_query msg;
        put_text(msg.szQuery, sizeof msg.szQuery, rest_of(in));
        handoff_info(msg.JsonFile_Info);
        std::memcpy(payload, &msg, sizeof msg);
        payload_size = sizeof msg;
        wants_answer = true;
        break;
    }
    case EOEMUIP_HUL_engine_get_ios:
    case EOEMUIP_HUL_engine_get_directories: {
        THUL_engine_json_file msg;
        handoff_info(msg.JsonFile_Info);
        std::memcpy(payload, &msg, sizeof msg);
        payload_size = sizeof msg;
        wants_answer = true;
        break;
    }
    case EOEMUIP_HUL_engine_get_storage_dir:
    case EOEMUIP_HUL_engine_get_storage_ext:
    case EOEMUIP_HUL_engine_get_storage_name:
        reply_size = sizeof reply;
        break;
    case EOEMUIP_HUL_engine_load: {
        std::string name;
        in >> name;
        THUL_engine_load msg;
        put_text(msg.strStorageName, sizeof msg.strStorageName, name);
        if (!with_document(rest_of(in), &msg.JsonFile_Info))
            return;
        std::memcpy(payload, &msg, sizeof msg);
        payload_size = sizeof msg;
        break;
    }
    case EOEMUIP_HUL_engine_save:
    case EOEMUIP_HUL_engine_delete: {
        THUL_engine_load_save msg;
        put_text(msg.sz, sizeof msg.sz, rest_of(in));
        std::memcpy(payload, &msg, sizeof msg);
        payload_size = sizeof msg;
        break;
    }
    case EOEMUIP_HUL_engine_recall:
    case EOEMUIP_HUL_engine_store: {
        std::string name, path;
        uint32_t ui_id = 0;
        in >> name >> path;
        in >> ui_id;
        THUL_engine_recall_store msg;
        put_text(msg.strStorageName, sizeof msg.strStorageName, name);
        msg.uiId = ui_id;
        put_text(msg.strPath, sizeof msg.strPath, path);
        std::memcpy(payload, &msg, sizeof msg);
        payload_size = sizeof msg;
        break;
    }
    default:
        // 2, 12, 14, 30 and any other id: no payload.
        break;
    }

    if (wants_answer) {
        // A stale answer from an earlier request must not pass for this one.
        ::unlink(vq_platform::map_path(m_handoff).c_str());
        ev.add("json_id", int64_t(json_id));
    }
    int32_t msg_err = 0;
    int32_t rc = KSAL_IPC_SendIOCTL(m_handle, id, payload_size ? payload : nullptr, payload_size,
                                    reply_size ? reply : nullptr, reply_size, &msg_err);
    ev.add("rc", int64_t(rc)).add("msg_err", int64_t(msg_err));
    if (reply_size != 0 && rc == KSAL_IPC_OK)
        ev.add("reply", field_text(reinterpret_cast<const char*>(reply), sizeof reply));
    if (wants_answer && rc == KSAL_IPC_OK && msg_err == 0) {
        TJsonFile_Info info;
        put_text(info.szJSONDataFilePath, sizeof info.szJSONDataFilePath, m_handoff);
        info.ui32JsonId = json_id;
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
