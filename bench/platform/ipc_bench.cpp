// Round trips through the IPC stand-in against the floor it stands on: a bare
// Unix-domain socket pair with a thread answering on the other end, the same
// 256-byte message and 16-byte reply. The ratio is what the stand-in's framing,
// connection reuse and delivery threads cost per message.
//   ipc_bench [seconds per case]
#include "platform/ksal_ipc/KSAL_IPC.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

int32_t answer(void*, uint32_t, const void*, uint32_t, void* out, uint32_t* out_size) {
    std::memset(out, 7, 16);
    *out_size = 16;
    return 0;
}

bool io(ssize_t (*op)(int, void*, size_t), int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t k = op(fd, p, n);
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}
ssize_t do_read(int fd, void* p, size_t n) {
    return ::read(fd, p, n);
}
ssize_t do_write(int fd, void* p, size_t n) {
    return ::write(fd, p, n);
}

double socketpair_rate(double seconds, long& count) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        std::exit(1);
    std::thread server([fd = sv[1]] {
        char msg[256], reply[16] = {};
        while (io(do_read, fd, msg, sizeof msg))
            if (!io(do_write, fd, reply, sizeof reply))
                break;
    });
    char msg[256] = {}, reply[16];
    count = 0;
    const auto end = clock_type::now() + std::chrono::duration<double>(seconds);
    const auto start = clock_type::now();
    while (clock_type::now() < end)
        for (int i = 0; i < 100; ++i, ++count)
            if (!io(do_write, sv[0], msg, sizeof msg) || !io(do_read, sv[0], reply, sizeof reply))
                std::exit(1);
    const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    ::shutdown(sv[0], SHUT_RDWR);
    server.join();
    ::close(sv[0]);
    ::close(sv[1]);
    return count / elapsed;
}

double ksal_rate(double seconds, long& count) {
    uintptr_t engine = 0, oem = 0;
    if (KSAL_IPC_init_ex(15, 14, &answer, nullptr, "bench", &engine) != KSAL_IPC_OK ||
        KSAL_IPC_init_ex(14, 15, &answer, nullptr, "bench", &oem) != KSAL_IPC_OK) {
        std::fprintf(stderr, "cannot open the channel\n");
        std::exit(1);
    }
    char msg[256] = {}, reply[16];
    int32_t err = 0;
    count = 0;
    const auto end = clock_type::now() + std::chrono::duration<double>(seconds);
    const auto start = clock_type::now();
    while (clock_type::now() < end)
        for (int i = 0; i < 100; ++i, ++count)
            if (KSAL_IPC_SendIOCTL(oem, 103, msg, sizeof msg, reply, sizeof reply, &err) !=
                    KSAL_IPC_OK ||
                err != 0)
                std::exit(1);
    const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    KSAL_IPC_destroy(oem);
    KSAL_IPC_destroy(engine);
    return count / elapsed;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    long n_ksal = 0, n_pair = 0;
    const double ksal = ksal_rate(seconds, n_ksal);
    const double pair = socketpair_rate(seconds, n_pair);
    std::printf(
        "KSAL_IPC_SendIOCTL (256 B, 16 B reply):  %9.0f round trips/s  %7.2f us each  (%ld)\n",
        ksal, 1e6 / ksal, n_ksal);
    std::printf(
        "bare socketpair + answering thread:      %9.0f round trips/s  %7.2f us each  (%ld)\n",
        pair, 1e6 / pair, n_pair);
    std::printf("ratio: the stand-in takes %.2f times as long per round trip\n", pair / ksal);
    return 0;
}
