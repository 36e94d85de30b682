#include "platform/ksal_ipc/message_limits.hpp"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_catalogue.h"
#include "platform/ksal_ipc/KSAL_IPC.h"

namespace ksal_ipc {

namespace {

using oem_ui_process::g_aMessageCatalogue;
using oem_ui_process::max_payload_size;

// The channel between the OEM UI process and the engine process.
const char* const kOemUiChannel = "IPC_oem_ui2Hul";

constexpr uint32_t max_reply_size() {
    uint32_t largest = 0;
    for (const auto& message : g_aMessageCatalogue)
        if (message.ui32ReplySize > largest)
            largest = message.ui32ReplySize;
    return largest;
}

static_assert(max_reply_size() == 256, "largest reply");

} // namespace

message_limit limit_for(const std::string& channel, uint32_t /*msg_id*/) {
    // The bridge's own checks refuse a payload shorter than its structure and
    // ignore bytes past it, so every message may come with the largest sizes.
    if (channel == kOemUiChannel)
        return {max_payload_size(), max_reply_size()};
    return {KSAL_IPC_MAX_MESSAGE_SIZE, KSAL_IPC_MAX_MESSAGE_SIZE};
}

} // namespace ksal_ipc
