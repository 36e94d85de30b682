#include "tools/engine_sim/engine_sim.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_catalogue.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_text.h"
#include "platform/common/platform_path.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/oem_files/oem_files.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace oem_ui_process;

namespace engine_sim {

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

namespace {

// The name of a message this side answers; "unknown" for any other id.
const char* message_name(uint32_t id) {
    const TOEMUIP_Message* m = find_message(id, EOEMUIPR_EngineProcess);
    return m != nullptr ? m->pszShortName : "unknown";
}

// The hand-off file that a payload names, where the catalogue puts it.
TJsonFile_Info file_of(const TOEMUIP_Message& m, const void* payload) {
    TJsonFile_Info info{};
    std::memcpy(&info, static_cast<const char*>(payload) + m.i32FileOffset, sizeof info);
    return info;
}

template <class T>
T payload_as(const void* in) {
    T msg;
    std::memcpy(&msg, in, sizeof msg);
    return msg;
}

void add_file(event& ev, const TJsonFile_Info& info) {
    ev.add("file", json_file_path(info)).add("json_id", int64_t(info.ui32JsonId));
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

// True when a file that a peer names leaves the platform root
// (VQ_PLATFORM_ROOT, or /tmp where the stand-ins keep their files without
// one): a relative path, a ".." step or a symbolic link on its way. A peer
// must not make us read or write anywhere else. An empty path names no file
// at all, which the file functions refuse by themselves.
bool leaves_root(const std::string& path) {
    if (path.empty())
        return false;
    if (path[0] != '/')
        return true;
    for (std::size_t start = 0; start < path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    const char* env = std::getenv("VQ_PLATFORM_ROOT");
    std::string root = env != nullptr && *env != '\0' ? env : "/tmp";
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    const std::string real = vq_platform::map_path(path);
    if (real.compare(0, root.size() + 1, root + "/") != 0)
        return true;
    // What exists already must be plain folders and a plain file; the missing
    // rest is made that way.
    for (std::size_t at = real.find('/', root.size() + 1);; at = real.find('/', at + 1)) {
        struct stat st;
        if (::lstat(real.substr(0, at).c_str(), &st) != 0)
            return false;
        if (S_ISLNK(st.st_mode))
            return true;
        if (at == std::string::npos)
            return false;
    }
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
    const TOEMUIP_Message* m = find_message(id, EOEMUIPR_EngineProcess);
    int32_t result = EOEMUIPE_Success;
    if (fail_override(id) != EOEMUIPE_Success) {
        ev.add("forced", true);
        result = EOEMUIPE_Fail;
    } else if (m == nullptr)
        result = EOEMUIPE_UnknownMessage;
    else if (m->ui32PayloadSize != 0 && (in == nullptr || in_size < m->ui32PayloadSize))
        result = EOEMUIPE_BadArgument;
    else
        result = answer(*m, in, ev);
    ev.add("result", int64_t(result));
    emit(ev.value());
    return result;
}

int32_t simulator::answer(const TOEMUIP_Message& m, const void* in, event& ev) {
    if (m.i32FileOffset >= 0 && leaves_root(json_file_path(file_of(m, in)))) {
        ev.add("refused", true);
        return EOEMUIPE_BadArgument;
    }
    switch (m.eId) {
    case EOEMUIP_OEM_get_config:
        return on_get_config(file_of(m, in), ev);
    case EOEMUIP_OEM_set_config:
        return on_set_config(file_of(m, in), ev);
    case EOEMUIP_OEM_send_command:
        ev.add("command", detail::field_text(payload_as<TOEM_send_command>(in).szCommand));
        return EOEMUIPE_Success;
    case EOEMUIP_OEM_send_query:
        return on_send_query(payload_as<TOEM_send_query>(in), ev);
    case EOEMUIP_OEM_engine_publish:
        return on_engine_publish(payload_as<THUL_publish>(in), ev);
    default:
        // ready, engine_io_changed, engine_load_done: noted only.
        return EOEMUIPE_Success;
    }
}

int32_t simulator::on_get_config(const TJsonFile_Info& info, event& ev) {
    add_file(ev, info);
    rapidjson::Document answer;
    {
        std::lock_guard<std::mutex> lk(m_stateMutex);
        answer.CopyFrom(m_config, answer.GetAllocator());
    }
    // Lets a requester check that the file holds the answer to its own request.
    if (answer.IsObject()) {
        answer.RemoveMember("_sim_json_id");
        answer.AddMember("_sim_json_id", rapidjson::Value(info.ui32JsonId), answer.GetAllocator());
    }
    return write_json_to_file(info, answer) ? EOEMUIPE_Success : EOEMUIPE_Fail;
}

int32_t simulator::on_set_config(const TJsonFile_Info& info, event& ev) {
    add_file(ev, info);
    rapidjson::Document doc;
    if (!read_json_from_file(info, doc))
        return EOEMUIPE_UnknownMessage;
    ev.add("document", doc);
    bool applied = false;
    if (doc.IsObject() && doc.HasMember("path") && doc["path"].IsString() &&
        doc.HasMember("value")) {
        std::lock_guard<std::mutex> lk(m_stateMutex);
        applied =
            set_at_path(m_config, doc["path"].GetString(), doc["value"], m_config.GetAllocator());
    }
    ev.add("applied", applied);
    return EOEMUIPE_Success;
}

int32_t simulator::on_send_query(const TOEM_send_query& msg, event& ev) {
    const std::string query = detail::field_text(msg.szQuery);
    ev.add("query", query);
    add_file(ev, msg.JsonFile_Info);
    rapidjson::Document answer;
    answer.SetObject();
    auto& a = answer.GetAllocator();
    answer.AddMember(
        "query", rapidjson::Value(query.c_str(), static_cast<rapidjson::SizeType>(query.size()), a),
        a);
    answer.AddMember("json_id", rapidjson::Value(msg.JsonFile_Info.ui32JsonId), a);
    rapidjson::Value found;
    {
        std::lock_guard<std::mutex> lk(m_stateMutex);
        if (const rapidjson::Value* v = find_at_path(m_config, query))
            found.CopyFrom(*v, a);
    }
    answer.AddMember("answer", found, a);
    return write_json_to_file(msg.JsonFile_Info, answer) ? EOEMUIPE_Success : EOEMUIPE_Fail;
}

int32_t simulator::on_engine_publish(const THUL_publish& msg, event& ev) {
    ev.add("channel", detail::field_text(msg.szChannelName));
    add_file(ev, msg.JsonFile_Info);
    rapidjson::Document doc;
    if (!read_json_from_file(msg.JsonFile_Info, doc))
        return EOEMUIPE_UnknownMessage;
    ev.add("document", doc);
    return EOEMUIPE_Success;
}

TJsonFile_Info simulator::next_handoff() {
    TJsonFile_Info info{};
    detail::set_field_text(info.szJSONDataFilePath, m_handoff);
    std::lock_guard<std::mutex> lk(m_stateMutex);
    info.ui32JsonId = m_nextJsonId++;
    return info;
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
    else if (verb == "help")
        help();
    else
        emit_error("command", line);
    return true;
}

// The command language, one "help" line per command, in the form of every other output line.
void simulator::help() {
    static const char* const commands[][2] = {
        {"send 1 <channel> <json>", "publication through the hand-off file"},
        {"send 2", "shutdown request"},
        {"send 3 <json>", "engine set_config"},
        {"send 4 <text>", "engine command"},
        {"send 5 <text>", "engine query; prints the answer"},
        {"send 6|7|8", "storage dir, ext, name; prints the reply"},
        {"send 9 <storage name> <json>", "engine load"},
        {"send 10|11 <name>", "engine save, delete"},
        {"send 12|14", "is_present, reset_to_factory"},
        {"send 13|17", "get_ios, get_directories; prints the answer"},
        {"send 15|16 <storage name> <path> [uiId]", "recall, store"},
        {"send 18 <json>", "directory file changed"},
        {"send 30", "device started"},
        {"send <id>", "any other id without payload"},
        {"raw <id> <hex payload or -> [reply capacity]", "exactly these bytes"},
        {"fail <id>", "answer message id with -1 from now on"},
        {"unfail <id>", "answer message id normally again"},
        {"config", "print the current configuration"},
        {"echo <text>", "print the text back"},
        {"help", "this list"},
        {"quit", "close the channel and exit"},
    };
    for (const auto& c : commands)
        emit(
            event("help").add("command", std::string(c[0])).add("does", std::string(c[1])).value());
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
