// Attacks the real OEM UI example process from the engine's side of the IPC
// channel and prints, per attack, the process's peak RSS and threads, whether
// a legitimate message sent during and after the attack is answered, whether
// anything outside the OEM UI process's hand-off folder changed, and how long
// SIGTERM takes to end the process, with the goals beside them.
//
//   bench_hostile_engine <oem_ui_engine_host binary>
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_messages.h"
#include "platform/ksal_ipc/KSAL_IPC.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace oem_ui_process;
typedef std::chrono::steady_clock clock_type;

const char* const kChannel = "IPC_oem_ui2Hul";
std::string g_root;     // this attack's platform root
uintptr_t g_engine = 0; // our side of the channel (the engine's node)

int32_t engine_side(void*, uint32_t, const void*, uint32_t, void*, uint32_t* out_size) {
    *out_size = 0;
    return 0;
}

long status_field(int pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0)
            return std::atol(line.c_str() + n);
    return -1;
}

// A hand-off document's message naming `path` (as the engine names it).
template <class T>
T naming(const std::string& path) {
    T msg;
    std::memset(&msg, 0, sizeof msg);
    std::strncpy(msg.JsonFile_Info.szJSONDataFilePath, path.c_str(),
                 sizeof msg.JsonFile_Info.szJSONDataFilePath - 1);
    return msg;
}

// The legitimate probe: is_present, answered within 2 s.
bool answered() {
    int32_t err = -1;
    return KSAL_IPC_SendIOCTL(g_engine, EOEMUIP_HUL_engine_is_present, nullptr, 0, nullptr, 0,
                              &err) == KSAL_IPC_OK;
}

// A connection to the OEM UI process's socket, driven byte by byte.
int raw_connection() {
    const std::string path = g_root + "/tmp/ksal_ipc/" + kChannel + ".14";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct request_header {
    uint32_t magic, msg_id, src_node, dst_node, in_size, out_capacity;
};

// Files outside the OEM UI process's hand-off folder (and the sockets), with
// size and modification time; the sibling folder beside the root included.
std::map<std::string, std::string> outside_files() {
    std::map<std::string, std::string> files;
    for (const std::string& top : {g_root, g_root + "_victim"}) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(top, ec); !ec && it != fs::end(it);
             it.increment(ec)) {
            const std::string p = it->path().string();
            if (p.rfind(g_root + "/tmp/oem", 0) == 0 || p.rfind(g_root + "/tmp/ksal_ipc", 0) == 0)
                continue;
            struct stat st;
            if (::lstat(p.c_str(), &st) == 0)
                files[p] = std::to_string(st.st_size) + "@" + std::to_string(st.st_mtime) + "." +
                           std::to_string(st.st_mtim.tv_nsec);
        }
    }
    return files;
}

struct result {
    long peak_rss_kib = 0;
    long threads = 0;
    bool during = false;
    bool after = false;
    bool outside_changed = false;
    double sigterm_s = 0;
};

// Runs `attack` (in a thread of its own) against a fresh OEM UI process.
result run_attack(const std::string& program, const std::function<void()>& attack) {
    result r;
    char tmpl[] = "/tmp/vqhe.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        std::exit(1);
    g_root = tmpl;
    ::setenv("VQ_PLATFORM_ROOT", tmpl, 1);
    fs::create_directories(g_root + "_victim");
    std::ofstream(g_root + "_victim/config.json") << "{\"keep\":1}";
    fs::create_directories(g_root + "/tmp/engine_sim");
    if (KSAL_IPC_init_ex(15, 14, &engine_side, nullptr, kChannel, &g_engine) != KSAL_IPC_OK)
        std::exit(1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 200 && !answered(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const auto before = outside_files();

    std::atomic<bool> done{false};
    std::thread attacker([&] {
        attack();
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    r.threads = status_field(pid, "Threads:");
    r.during = answered();
    while (!done) {
        r.threads = std::max(r.threads, status_field(pid, "Threads:"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    attacker.join();
    r.threads = std::max(r.threads, status_field(pid, "Threads:"));
    r.after = answered();
    r.peak_rss_kib = status_field(pid, "VmHWM:");
    r.outside_changed = outside_files() != before;

    const auto start = clock_type::now();
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (clock_type::now() - start > std::chrono::seconds(10)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.sigterm_s = std::chrono::duration<double>(clock_type::now() - start).count();
    KSAL_IPC_destroy(g_engine);
    std::error_code ec;
    fs::remove_all(g_root, ec);
    fs::remove_all(g_root + "_victim", ec);
    return r;
}

// `count` threads each sending `msg` once; returns when all are answered or
// have given up.
template <class T>
void send_concurrently(uint32_t id, const T& msg, int count) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&] {
            int32_t err = 0;
            KSAL_IPC_SendIOCTL(g_engine, id, &msg, sizeof msg, nullptr, 0, &err);
        });
    for (auto& t : threads)
        t.join();
}

// `count` raw connections each sending `h` and nothing after it, held for 3 s.
void hold_connections(const request_header& h, int count) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = raw_connection();
        if (fd < 0)
            continue;
        ::send(fd, &h, sizeof h, MSG_NOSIGNAL);
        fds.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (int fd : fds)
        ::close(fd);
}

void fifo_attack() {
    ::mkfifo((g_root + "/tmp/oem/fifo.json").c_str(), 0600);
    auto msg = naming<THUL_publish>("/tmp/oem/fifo.json");
    std::strcpy(msg.szChannelName, "/vorn/x");
    send_concurrently(EOEMUIP_HUL_publish, msg, 256);
}

void sparse_attack() {
    const std::string path = g_root + "/tmp/oem/sparse.json";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd >= 0) {
        if (::ftruncate(fd, 8LL << 30) != 0)
            std::perror("ftruncate");
        ::close(fd);
    }
    auto msg = naming<THUL_publish>("/tmp/oem/sparse.json");
    std::strcpy(msg.szChannelName, "/vorn/x");
    send_concurrently(EOEMUIP_HUL_publish, msg, 4);
}

void traversal_attack() {
    const std::string sibling = fs::path(g_root).filename().string() + "_victim";
    send_concurrently(EOEMUIP_HUL_engine_get_ios,
                      naming<THUL_engine_get_ios>("/../../../tmp/" + sibling + "/config.json"), 1);
    send_concurrently(EOEMUIP_HUL_engine_get_ios,
                      naming<THUL_engine_get_ios>("/tmp/oem/../../" + sibling + "/new.json"), 1);
    auto query = naming<TOEM_send_query>("/tmp/made/for/us/answer.json");
    std::strcpy(query.szQuery, "$.x");
    send_concurrently(EOEMUIP_HUL_engine_send_query, query, 1);
}

void claimed_payload_attack() {
    hold_connections(request_header{0x4b534931, EOEMUIP_HUL_publish, 15, 14, 1u << 20, 0}, 300);
}

void claimed_reply_attack() {
    hold_connections(request_header{0x4b534931, EOEMUIP_HUL_engine_is_present, 15, 14, 0, 1u << 20},
                     250);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_hostile_engine <oem_ui_engine_host>\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    KSAL_IPC_set_timeouts(0, 2000); // a probe unanswered within 2 s counts as not answered
    struct attack {
        const char* name;
        void (*run)();
    } const attacks[] = {
        {"FIFO as hand-off file, 256 at once", fifo_attack},
        {"sparse 8 GB hand-off file", sparse_attack},
        {"answer paths outside / missing folders", traversal_attack},
        {"300 headers claiming 1 MiB, no payload", claimed_payload_attack},
        {"250 requests claiming 1 MiB replies", claimed_reply_attack},
    };
    std::printf("goals: RSS <= 64 MiB, answered during and after, nothing outside the folder "
                "touched, SIGTERM ends it within 5 s\n");
    std::printf("%-42s %9s %7s %6s %5s %7s %8s %s\n", "attack", "peak RSS", "threads", "during",
                "after", "outside", "SIGTERM", "goals");
    bool all = true;
    for (const attack& a : attacks) {
        const result r = run_attack(argv[1], a.run);
        const bool met = r.peak_rss_kib <= 64 * 1024 && r.during && r.after && !r.outside_changed &&
                         r.sigterm_s <= 5.0;
        all = all && met;
        std::printf("%-42s %6ld MiB %7ld %6s %5s %7s %7.2fs %s\n", a.name, r.peak_rss_kib / 1024,
                    r.threads, r.during ? "yes" : "NO", r.after ? "yes" : "NO",
                    r.outside_changed ? "CHANGED" : "kept", r.sigterm_s, met ? "met" : "MISSED");
        std::fflush(stdout);
    }
    std::printf("%s\n", all ? "all goals met" : "some goals missed");
    return 0;
}
