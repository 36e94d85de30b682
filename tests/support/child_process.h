// Programs as real processes for the tests that need a real peer or want to run one of
// our programs whole (target `vq_child_process`).
//
// A program given by its path (a program of this build) starts through the cross
// build's emulator when the tests run under one ("qemu-aarch64 -L /"), so the helper
// programs of a test run too; a program given by a bare name (curl, python3, node) is
// one of the machine's tools, found on PATH and started as it is.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace vq_testing {

// The words that start a program of this build on this machine: none in a native build,
// the emulator and its options in a cross build whose tests run under it.
std::vector<std::string> emulator_prefix();

// True when `name` is an executable file on PATH.
bool on_path(const std::string& name);

// The velquin_publish under test: the program named by VQ_PUBLISH_EXE in the environment
// (the Windows build's .exe), otherwise `built`.
std::string publish_program(const std::string& built);

// A Windows program (name ending in ".exe") starts through the words of VQ_EXE_LAUNCHER
// (the Wine runner and its prefix, separated by spaces). Where the system's own text
// appears in its output (error messages), it is the Windows text.
bool is_windows_program(const std::string& program);

// Whether a run must use every real peer (python3, node, curl): when CI is set, or
// VQ_REQUIRE_PEERS (the test command `./dev.sh test` sets it). Elsewhere a test whose peer
// is not installed is skipped. A Windows build never starts them: they are Linux programs,
// and the Linux build of the same tests uses them.
bool peers_required();

// In a test body or SetUp: goes on when the tool `name` is on PATH; otherwise fails the test
// where peers are required, and skips it elsewhere.
#define VQ_REQUIRE_PEER(name)                                                                      \
    do {                                                                                           \
        if (!::vq_testing::on_path(name)) {                                                        \
            if (::vq_testing::peers_required())                                                    \
                FAIL() << (name) << " is not installed, and this run must use every real peer";    \
            GTEST_SKIP() << (name) << " is not installed";                                         \
        }                                                                                          \
    } while (false)

// Where a child's standard error goes.
enum class error_output {
    inherited, // ours: it shows in the test's output
    merged,    // into its standard output, in order
    separate,  // kept apart, see child_process::error()
};

struct process_options {
    std::string working_dir; // empty: ours
    error_output error = error_output::inherited;
    bool input = true; // standard input a pipe of ours (write_line); otherwise /dev/null
};

// One child process. Its standard input is a pipe (write_line, close_stdin); its standard
// output is drained all the time by a thread of ours, so the child never blocks on a full
// pipe while the test is busy elsewhere, and is kept whole (output()) and line by line
// (read_line). Every wait is bounded; a child still running at destruction gets SIGTERM,
// then SIGKILL after 20 s.
class child_process {
public:
    explicit child_process(const std::vector<std::string>& argv,
                           const process_options& options = process_options());
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    bool write_line(const std::string& line);
    void close_stdin();

    // The next line of standard output without its line break; false at the end of the
    // output or when none came within timeout_ms.
    bool read_line(std::string& line, int timeout_ms = 20000);
    // Reads lines until one contains `needle`; that line goes to `line`.
    bool wait_for(const std::string& needle, std::string& line, int timeout_ms = 20000);
    // Every line read_line gave so far.
    const std::vector<std::string>& lines() const { return m_lines; }
    // Everything on standard output so far (standard error too when merged).
    std::string output() const;
    // Everything on standard error so far, when kept separate.
    std::string error() const;

    // Waits for the end of the process: its exit status, or 128 + signal. A process still
    // running after `limit` is killed and -1 returned (timed_out() tells).
    int wait(std::chrono::milliseconds limit = std::chrono::minutes(5));
    // SIGTERM, then wait (SIGKILL after 20 s); the exit status as wait() gives it.
    int stop();
    void kill_now();
    bool timed_out() const { return m_timed_out; }

private:
    void drain(int out, int err);
    int reap(bool block);

    pid_t m_pid = -1;
    int m_in = -1;
    int m_status = -1;
    bool m_timed_out = false;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_out;
    std::string m_err;
    std::size_t m_read = 0; // how much of m_out read_line has taken
    bool m_eof = false;
    std::vector<std::string> m_lines;
};

struct run_result {
    std::string out;
    std::string err;
    int status = -1;        // exit status (0..255), 128 + signal, or -1 when not started or killed
    bool timed_out = false; // the watchdog killed it
    double seconds = 0;     // wall time from start to exit
};

// Runs argv with standard input closed until it exits, or kills it once `limit` passes.
run_result run(const std::vector<std::string>& argv,
               std::chrono::milliseconds limit = std::chrono::seconds(60),
               const std::string& working_dir = std::string());

} // namespace vq_testing
