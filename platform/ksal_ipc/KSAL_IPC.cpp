// The C entry points of the IPC stand-in and the registry of open channels.
// A channel is a sender (ipc_wire.h, sender.cpp) and a receiver
// (receiver.cpp), each with a lock of its own.
#include "platform/ksal_ipc/KSAL_IPC.h"

#include "platform/common/platform_path.h"
#include "platform/ksal_ipc/fd_io.hpp"
#include "platform/ksal_ipc/receiver.hpp"
#include "platform/ksal_ipc/sender.hpp"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

using namespace ksal_ipc;

struct channel {
    channel(const std::string& name, uint32_t local, uint32_t remote, KSAL_IPC_Callback cb,
            void* cb_user)
        : m_sender(local, remote),
          m_receiver(std::make_shared<receiver>(name, local, remote, cb, cb_user)) {}

    ksal_ipc::sender m_sender;
    std::shared_ptr<receiver> m_receiver;
};

// Open channels by handle. Never destroyed: a process may end with channels
// still open, and their threads must not meet destructed globals.
struct registry {
    std::mutex m_mutex;
    std::map<uintptr_t, std::shared_ptr<channel>> m_channels;
    uintptr_t m_next = 1;
};

registry& the_registry() {
    static registry* r = new registry;
    return *r;
}

std::shared_ptr<channel> find_channel(uintptr_t handle) {
    registry& reg = the_registry();
    std::lock_guard<std::mutex> lk(reg.m_mutex);
    auto it = reg.m_channels.find(handle);
    return it == reg.m_channels.end() ? nullptr : it->second;
}

int32_t open_channel(channel& ch, const std::string& dir, const std::string& name, uint32_t local,
                     uint32_t remote) {
    if (!vq_platform::make_dirs(dir))
        return KSAL_IPC_E_RESOURCE;
    const std::string remote_path = dir + "/" + socket_name(name, remote);
    sockaddr_un addr;
    if (!fill_address(remote_path, addr))
        return KSAL_IPC_E_RESOURCE;
    ch.m_sender.set_remote_path(remote_path);
    return ch.m_receiver->listen_on(dir + "/" + socket_name(name, local));
}

} // namespace

extern "C" int32_t KSAL_IPC_init_ex(uint32_t ui32LocalNode, uint32_t ui32RemoteNode,
                                    KSAL_IPC_Callback cb, void* cb_user, const char* szChannelName,
                                    uintptr_t* pHandle) {
    if (pHandle == nullptr)
        return KSAL_IPC_E_BAD_ARGUMENT;
    *pHandle = 0;
    if (szChannelName == nullptr || *szChannelName == '\0' || std::strlen(szChannelName) > 64 ||
        ui32LocalNode == ui32RemoteNode)
        return KSAL_IPC_E_BAD_ARGUMENT;

    std::shared_ptr<channel> ch;
    try {
        ch = std::make_shared<channel>(szChannelName, ui32LocalNode, ui32RemoteNode, cb, cb_user);
    } catch (...) {
        return KSAL_IPC_E_RESOURCE;
    }
    int32_t rc = open_channel(*ch, vq_platform::map_path("/tmp/ksal_ipc"), szChannelName,
                              ui32LocalNode, ui32RemoteNode);
    if (rc != KSAL_IPC_OK)
        return rc;

    registry& reg = the_registry();
    std::lock_guard<std::mutex> lk(reg.m_mutex);
    uintptr_t handle = reg.m_next++;
    reg.m_channels.emplace(handle, ch);
    *pHandle = handle;
    return KSAL_IPC_OK;
}

extern "C" int32_t KSAL_IPC_SendIOCTL(uintptr_t handle, uint32_t ui32MsgId, const void* pInBuffer,
                                      uint32_t ui32InBufferSize, void* pOutBuffer,
                                      uint32_t ui32OutBufferSize, int32_t* pi32MsgErr) {
    if (pi32MsgErr != nullptr)
        *pi32MsgErr = -1;
    std::shared_ptr<channel> ch = find_channel(handle);
    if (!ch)
        return KSAL_IPC_E_BAD_HANDLE;
    if ((pInBuffer == nullptr && ui32InBufferSize != 0) ||
        (pOutBuffer == nullptr && ui32OutBufferSize != 0) ||
        ui32InBufferSize > KSAL_IPC_MAX_MESSAGE_SIZE ||
        ui32OutBufferSize > KSAL_IPC_MAX_MESSAGE_SIZE)
        return KSAL_IPC_E_BAD_ARGUMENT;
    return ch->m_sender.send(ui32MsgId, pInBuffer, ui32InBufferSize, pOutBuffer, ui32OutBufferSize,
                             pi32MsgErr);
}

extern "C" void KSAL_IPC_set_timeouts(uint32_t ui32FrameTimeoutMs, uint32_t ui32AnswerTimeoutMs) {
    g_frameTimeoutMs = ui32FrameTimeoutMs != 0 ? ui32FrameTimeoutMs : 10000;
    g_answerTimeoutMs = ui32AnswerTimeoutMs != 0 ? ui32AnswerTimeoutMs : 30000;
}

extern "C" int32_t KSAL_IPC_destroy(uintptr_t handle) {
    std::shared_ptr<channel> ch;
    {
        registry& reg = the_registry();
        std::lock_guard<std::mutex> lk(reg.m_mutex);
        auto it = reg.m_channels.find(handle);
        if (it == reg.m_channels.end())
            return KSAL_IPC_E_BAD_HANDLE;
        ch = it->second;
        reg.m_channels.erase(it);
    }
    ch->m_sender.stop();
    ch->m_receiver->stop();
    return KSAL_IPC_OK;
}
