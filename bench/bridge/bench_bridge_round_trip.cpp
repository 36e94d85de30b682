// Round trips of get_config with a 100 KB configuration (IPC message plus the
// engine writing and the bridge reading the hand-off file) against a
// payload-only send_command, through the real IPC stand-in, and both against
// the floor in the same run: a bare Unix-domain socket pair with a thread
// answering, carrying the same bytes (a 24-byte header and a 256-byte
// command, a 16-byte reply). The engine side runs in this process on its own
// node; its work per get_config is what the engine process would do: write
// the configuration into the named file.
//
//   bench_bridge_round_trip [seconds per case]
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_impl.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/oem_files/oem_files.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <boost/make_shared.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

using namespace oem_ui_process;

namespace {

rapidjson::Document g_config;

int32_t engine_side(void*, uint32_t id, const void* in, uint32_t in_size, void*,
                    uint32_t* out_size) {
    if (out_size != nullptr)
        *out_size = 0;
    if (id == EOEMUIP_OEM_get_config) {
        if (in == nullptr || in_size < sizeof(TOEM_get_config))
            return EOEMUIPE_BadArgument;
        TOEM_get_config msg;
        std::memcpy(&msg, in, sizeof(msg));
        return write_json_to_file(msg.JsonFile_Info, g_config) ? EOEMUIPE_Success : EOEMUIPE_Fail;
    }
    return EOEMUIPE_Success;
}

// A configuration of about `bytes` bytes of JSON text.
std::size_t make_config(std::size_t bytes) {
    g_config.SetObject();
    auto& a = g_config.GetAllocator();
    rapidjson::Value inputs(rapidjson::kArrayType);
    std::size_t size = 0;
    for (int i = 0; size < bytes; ++i) {
        rapidjson::Value input(rapidjson::kObjectType);
        input.AddMember("id", i, a);
        const std::string name = "Input " + std::to_string(i);
        input.AddMember("name", rapidjson::Value(name.c_str(), a), a);
        input.AddMember("gain", -12.5 + (i % 50) * 0.5, a);
        input.AddMember("phantom", i % 2 == 0, a);
        input.AddMember("route", "$.sessions[0].sources", a);
        inputs.PushBack(input, a);
        size += 90;
    }
    rapidjson::Value ios(rapidjson::kObjectType);
    ios.AddMember("inputs", inputs, a);
    g_config.AddMember("ios", ios, a);
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    g_config.Accept(writer);
    return buffer.GetSize();
}

struct facade_access : oem_vorn_device_ipc {
    using impl_type = oem_vorn_device_ipc::Impl;
};

struct figures {
    long rounds;
    double per_second;
    double micros;
};

figures measure(double seconds, const std::function<bool()>& round) {
    // Warm up the connection and the file system caches first.
    for (int i = 0; i < 20; ++i)
        if (!round())
            std::exit(2);
    const auto start = std::chrono::steady_clock::now();
    const auto until = start + std::chrono::duration<double>(seconds);
    long rounds = 0;
    auto now = start;
    while (now < until) {
        if (!round())
            std::exit(2);
        ++rounds;
        now = std::chrono::steady_clock::now();
    }
    const double elapsed = std::chrono::duration<double>(now - start).count();
    return figures{rounds, static_cast<double>(rounds) / elapsed,
                   elapsed * 1e6 / static_cast<double>(rounds)};
}

bool whole(ssize_t (*op)(int, void*, size_t), int fd, char* p, size_t n) {
    while (n > 0) {
        const ssize_t k = op(fd, p, n);
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

// The same bytes as a send_command round trip over a bare socket pair.
class socket_pair {
public:
    socket_pair() {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds) != 0)
            std::exit(1);
        m_answering = std::thread([fd = m_fds[1]] {
            char msg[24 + 256], reply[16] = {};
            while (whole(do_read, fd, msg, sizeof msg))
                if (!whole(do_write, fd, reply, sizeof reply))
                    break;
        });
    }
    ~socket_pair() {
        ::shutdown(m_fds[0], SHUT_RDWR);
        m_answering.join();
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    bool round() {
        char msg[24 + 256] = {}, reply[16];
        return whole(do_write, m_fds[0], msg, sizeof msg) &&
               whole(do_read, m_fds[0], reply, sizeof reply);
    }

private:
    int m_fds[2];
    std::thread m_answering;
};

// Each case measured in ten slices taken in turn, so that a load that comes
// and goes on the machine falls on all of them alike.
std::vector<figures> interleaved(double seconds, const std::vector<std::function<bool()>>& cases) {
    std::vector<figures> sums(cases.size(), figures{0, 0, 0});
    std::vector<double> elapsed(cases.size(), 0);
    for (int slice = 0; slice < 10; ++slice)
        for (std::size_t c = 0; c < cases.size(); ++c) {
            const figures f = measure(seconds / 10, cases[c]);
            sums[c].rounds += f.rounds;
            elapsed[c] += static_cast<double>(f.rounds) * f.micros / 1e6;
        }
    for (std::size_t c = 0; c < cases.size(); ++c) {
        sums[c].per_second = static_cast<double>(sums[c].rounds) / elapsed[c];
        sums[c].micros = elapsed[c] * 1e6 / static_cast<double>(sums[c].rounds);
    }
    return sums;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const std::size_t configBytes = make_config(100 * 1024);

    uintptr_t engine = 0;
    uintptr_t engine_bare = 0;
    if (KSAL_IPC_init_ex(15, 14, &engine_side, nullptr, "IPC_oem_ui2Hul", &engine) != 0) {
        std::fprintf(stderr, "cannot open the engine side of the channel\n");
        return 1;
    }
    auto impl = boost::make_shared<facade_access::impl_type>(nullptr, nullptr);
    if (!impl->init()) {
        std::fprintf(stderr, "cannot open the bridge's side of the channel\n");
        return 1;
    }

    // The stand-in alone: a send_command's message without the bridge around it.
    uintptr_t oem = 0;
    if (KSAL_IPC_init_ex(14, 15, nullptr, nullptr, "bench_bare", &oem) != 0 ||
        KSAL_IPC_init_ex(15, 14, &engine_side, nullptr, "bench_bare", &engine_bare) != 0) {
        std::fprintf(stderr, "cannot open the bare channel\n");
        return 1;
    }
    socket_pair bare;
    const std::vector<figures> f =
        interleaved(seconds, {[&] {
                                  auto doc = boost::make_shared<rapidjson::Document>();
                                  return impl->get_config(doc) && doc->IsObject();
                              },
                              [&] {
                                  impl->send_command("mute_all");
                                  return true;
                              },
                              [&] {
                                  TOEM_send_command msg{};
                                  int32_t err = -1;
                                  return KSAL_IPC_SendIOCTL(oem, EOEMUIP_OEM_send_command, &msg,
                                                            sizeof msg, nullptr, 0, &err) == 0 &&
                                         err == 0;
                              },
                              [&] { return bare.round(); }});
    const figures &config = f[0], &command = f[1], &standin = f[2], &pair = f[3];

    std::printf("get_config (%zu bytes of JSON): %ld round trips, %.0f/s, %.1f us each\n",
                configBytes, config.rounds, config.per_second, config.micros);
    std::printf("send_command (payload only):    %ld round trips, %.0f/s, %.1f us each\n",
                command.rounds, command.per_second, command.micros);
    std::printf("KSAL_IPC_SendIOCTL (same bytes):  %ld round trips, %.0f/s, %.1f us each\n",
                standin.rounds, standin.per_second, standin.micros);
    std::printf("bare socketpair (same bytes):     %ld round trips, %.0f/s, %.1f us each\n",
                pair.rounds, pair.per_second, pair.micros);
    std::printf(
        "ratio get_config / send_command: %.1fx the time per round trip (the hand-off file's cost)\n",
        config.micros / command.micros);
    std::printf("ratio stand-in / socketpair:     %.2fx (goal: <= 1.15x)\n",
                standin.micros / pair.micros);
    std::printf("ratio send_command / socketpair: %.2fx (goal: send_command no slower than at "
                "8d9881a; run this program of both builds, alternating)\n",
                command.micros / pair.micros);

    impl->destroy();
    KSAL_IPC_destroy(engine);
    KSAL_IPC_destroy(oem);
    KSAL_IPC_destroy(engine_bare);
    return 0;
}
