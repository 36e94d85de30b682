// Feeds arbitrary bytes to an open IPC channel as if a peer had sent them:
// the receiving side must answer well-formed requests, drop malformed ones,
// and never crash, hang or read past what it was sent.
#include "platform/common/platform_path.h"
#include "platform/ksal_ipc/KSAL_IPC.h"

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

int32_t echo(void*, uint32_t id, const void* in, uint32_t size, void* out, uint32_t* out_size) {
    uint32_t n = size < *out_size ? size : *out_size;
    if (n > 0)
        std::memcpy(out, in, n);
    *out_size = n;
    return static_cast<int32_t>(id);
}

} // namespace

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
    while (off < size) {
        ssize_t n = ::send(fd, data + off, size - off, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    char buf[65536];
    while (::recv(fd, buf, sizeof buf, 0) > 0) {
    }
    ::close(fd);
    return 0;
}
