// What travels on a connection of the IPC stand-in, and its limits.
//
// Wire format (native byte order, both sides run on one host):
//   request: RequestHeader, then in_size payload bytes
//   reply:   ReplyHeader, then reply_size bytes (never more than the request's
//            out_capacity)
// A connection carries one exchange at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ksal_ipc {

using clock_type = std::chrono::steady_clock;

const uint32_t kRequestMagic = 0x4b534931; // "KSI1"
const uint32_t kReplyMagic = 0x4b535231;   // "KSR1"
const std::size_t kMaxIdleConnections = 8;
// Threads serving connections, finished ones not yet joined included.
const std::size_t kMaxServedConnections = 256;
// Callbacks running at once; past it a message is refused (kBusy), so that
// deliveries that hang never deafen the channel.
const std::size_t kMaxDeliveriesInFlight = 32;
// How long a close waits for callbacks still running before leaving them.
const std::chrono::milliseconds kStopGrace{3000};
// How long a new connection waits for an evicted one's thread to end.
const std::chrono::milliseconds kAdmitWait{1000};

enum ReplyStatus : uint32_t {
    kDelivered = 0,
    kWrongNode = 1,
    kNoCallback = 2,
    kClosing = 3,
    kCallbackThrew = 4,
    kBusy = 5, // too many deliveries in flight
};

struct RequestHeader {
    uint32_t magic;
    uint32_t msg_id;
    uint32_t src_node;
    uint32_t dst_node;
    uint32_t in_size;
    uint32_t out_capacity;
};

struct ReplyHeader {
    uint32_t magic;
    uint32_t status;
    int32_t result;
    uint32_t reply_size;
};

// How long a peer may take to send a whole request (after connecting or after
// its previous answer), and how long a send waits for its answer.
extern std::atomic<uint32_t> g_frameTimeoutMs;
extern std::atomic<uint32_t> g_answerTimeoutMs;

inline clock_type::time_point deadline_in(const std::atomic<uint32_t>& ms) {
    return clock_type::now() + std::chrono::milliseconds(ms.load());
}

// The socket file of `node` on `channel`, inside the channel folder.
std::string socket_name(const std::string& channel, uint32_t node);

} // namespace ksal_ipc
