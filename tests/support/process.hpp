// Running programs as real processes from tests: captured output, exit status, and a
// watchdog so that a hanging program fails the test instead of stalling the suite.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

namespace e2e {

struct run_result {
    std::string out;
    std::string err;
    int status = -1;        // exit status (0..255), or -1 when killed or not started
    bool timed_out = false; // the watchdog killed it
    double seconds = 0;     // wall time from start to exit
};

// The velquin_publish under test: the program named by VQ_PUBLISH_EXE in the environment
// (the Windows build's .exe), otherwise `built`.
std::string publish_program(const std::string& built);

// A Windows program (name ending in ".exe"): run() starts it through the words of
// VQ_EXE_LAUNCHER (the Wine runner and its prefix, separated by spaces). Where the system's
// own text appears in its output (error messages), it is the Windows text.
bool is_windows_program(const std::string& program);

// Runs `program` with `args`, standard input closed, until it exits or `limit` passes.
run_result run(const std::string& program, const std::vector<std::string>& args,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

// A program left running in the background (the device simulator): standard output and
// error go to `log_file`. The destructor stops it.
class background {
public:
    background(const std::string& program, const std::vector<std::string>& args,
               const std::string& log_file);
    ~background();
    background(const background&) = delete;
    background& operator=(const background&) = delete;

    // The first line of its output, waiting up to `limit`; empty when none came.
    std::string first_line(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // SIGTERM, then waits for it; returns its exit status (-1 if killed by a signal).
    int stop();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string log_file_;
};

// A fresh empty directory under the system's temporary directory, removed by the destructor.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);

} // namespace e2e
