// The largest payload and reply of each message a channel carries, so that a
// peer's claimed sizes are checked before anything is read or allocated.
#pragma once

#include <cstdint>
#include <string>

namespace ksal_ipc {

struct message_limit {
    uint32_t max_in;  // payload bytes
    uint32_t max_out; // reply capacity the sender may claim
};

// Message `msg_id` on `channel`: on the OEM UI channel the largest payload
// and reply of its catalogue (516 and 256 bytes), KSAL_IPC_MAX_MESSAGE_SIZE
// on any other.
message_limit limit_for(const std::string& channel, uint32_t msg_id);

} // namespace ksal_ipc
