// engine_sim's channel, its output and its failure switches.
#include "tools/engine_sim/engine_sim.h"

#include "tools/engine_sim/event.hpp"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_catalogue.h"
#include "platform/common/platform_path.h"
#include "platform/ksal_ipc/KSAL_IPC.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>

#include <unistd.h>

using namespace oem_ui_process;

namespace engine_sim {

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
    // Our own hand-off folder; the file functions make none.
    vq_platform::make_dirs(vq_platform::parent_of(vq_platform::map_path(m_handoff)));
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

} // namespace engine_sim
