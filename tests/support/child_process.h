// Runs a program as a child process with pipes on its standard input and
// output, for tests that need a real peer process (target `vq_child_process`).
//
// In a cross build whose tests run under an emulator, the child is started
// through the same emulator, so the helper programs of a test run too.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace vq_testing {

// The words that start a program of this build on this machine: none in a
// native build; the emulator and its options (e.g. "qemu-aarch64", "-L", "/")
// in a cross build whose tests run under it. Put them before the program's
// path when starting a child with exec.
std::vector<std::string> emulator_prefix();

class child_process {
public:
    // Starts argv[0] (a path) with the given arguments. The environment,
    // including VQ_PLATFORM_ROOT, is inherited; standard error too.
    explicit child_process(const std::vector<std::string>& argv);
    ~child_process(); // closes standard input, waits a while, then kills
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    bool write_line(const std::string& line);
    void close_stdin();
    // One line of standard output without its line break; false at the end
    // of the output or when nothing came within timeout_ms.
    bool read_line(std::string& line, int timeout_ms = 20000);
    // Reads lines until one contains `needle`; that line goes to `line`.
    bool wait_for(const std::string& needle, std::string& line, int timeout_ms = 20000);
    // Every line read so far.
    const std::vector<std::string>& lines() const { return m_lines; }

    // Waits for the end of the process: its exit status, or 128 + signal.
    int wait();
    void kill_now();

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
    std::vector<std::string> m_lines;
    int m_status = -1;
};

} // namespace vq_testing
