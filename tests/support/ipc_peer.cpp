// A second process for the IPC tests: opens a channel and answers in ways the
// tests can check.
//
//   platform_ipc_peer CHANNEL LOCAL REMOTE
//
// Prints "ready" once open, then runs until standard input ends or says
// "quit". Messages it answers:
//   any id   result = id, reply = the payload (as much as fits)
//   900      sleeps 300 ms first (keeps an exchange in flight)
//   901      sends 902 with the same payload back to its peer on the same
//            channel and answers with that call's result and reply
//   903      reply = the reply capacity it was given and whether the payload
//            pointer was null (two uint32)
//   904      exits the process without answering
#include "platform/ksal_ipc/KSAL_IPC.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace {

// Written once the channel is open; callbacks may already run then (the
// ordering through our "ready" line and the other process is invisible to
// the thread sanitizer), hence atomic.
std::atomic<uintptr_t> g_handle{0};

int32_t answer(void*, uint32_t id, const void* in, uint32_t in_size, void* out,
               uint32_t* out_size) {
    const uint32_t capacity = *out_size;
    if (id == 900)
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (id == 904)
        std::_Exit(0);
    if (id == 901) {
        int32_t err = 0;
        int32_t rc = KSAL_IPC_SendIOCTL(g_handle.load(), 902, in, in_size, out, capacity, &err);
        *out_size = rc == KSAL_IPC_OK ? capacity : 0;
        return rc == KSAL_IPC_OK ? err : 1000 + rc;
    }
    if (id == 903) {
        uint32_t info[2] = {capacity, in == nullptr ? 1u : 0u};
        std::memcpy(out, info, sizeof info);
        *out_size = sizeof info;
        return 0;
    }
    uint32_t n = in_size < capacity ? in_size : capacity;
    if (n > 0)
        std::memcpy(out, in, n);
    *out_size = n;
    return static_cast<int32_t>(id);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: platform_ipc_peer CHANNEL LOCAL REMOTE\n");
        return 1;
    }
    uintptr_t handle = 0;
    int32_t rc = KSAL_IPC_init_ex(static_cast<uint32_t>(std::atoi(argv[2])),
                                  static_cast<uint32_t>(std::atoi(argv[3])), &answer, nullptr,
                                  argv[1], &handle);
    if (rc != KSAL_IPC_OK) {
        std::printf("init failed %d\n", rc);
        return 2;
    }
    g_handle = handle;
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
    }
    KSAL_IPC_destroy(g_handle.load());
    return 0;
}
