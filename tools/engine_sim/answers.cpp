// engine_sim's answers to the messages of the OEM UI process.
#include "tools/engine_sim/engine_sim.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_text.h"
#include "platform/common/handoff_files.h"
#include "platform/oem_files/oem_files.h"
#include "tools/engine_sim/event.hpp"

#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace oem_ui_process;

namespace engine_sim {

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

// True when a file that a peer names is no hand-off file of the platform:
// outside the hand-off folders, a ".." step, a folder on its way missing or
// reached through a symbolic link, or a link or something other than a
// regular file at its name. The file functions check the same again as they
// open the file, so nothing that changes in between makes us touch anything
// else; this check only lets us answer a plain refusal. An empty path names
// no file at all, which the file functions refuse by themselves.
bool leaves_root(const std::string& path) {
    if (path.empty())
        return false;
    std::string name;
    std::string why;
    const int dir = vq_platform::open_handoff_folder(path, name, why);
    if (dir < 0)
        return true;
    struct stat st;
    const bool other =
        ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode);
    ::close(dir);
    return other;
}

} // namespace

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

} // namespace engine_sim
