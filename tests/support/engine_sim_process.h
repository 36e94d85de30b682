// The engine simulator as a child process: lines in on its standard input,
// JSON events out of its standard output.
#pragma once

#include <rapidjson/document.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <sys/types.h>

namespace bridge_test {

// The words that start `program` with `args`. In a cross build the tests run
// under an emulator, and so must the programs they start. Made before fork:
// the child of a threaded process must not allocate.
struct command_line {
    command_line(const std::string& program, const std::vector<std::string>& args);
    command_line(const command_line&) = delete;
    command_line& operator=(const command_line&) = delete;
    // In the child after fork: replaces the process, or ends it with 127.
    [[noreturn]] void exec() const;

    std::vector<std::string> words;
    std::vector<char*> argv;
};

class engine_sim_process {
public:
    // Starts the simulator with the same platform root as this process and
    // waits for its "ready" line; check running() afterwards.
    engine_sim_process();
    ~engine_sim_process();

    bool running() const { return m_pid > 0 && m_ready; }
    void command(const std::string& line);
    // The next event for which `match` is true; events before it are dropped.
    // A null document after the time limit or the end of output.
    std::shared_ptr<rapidjson::Document>
    wait_for(const std::function<bool(const rapidjson::Document&)>& match, int timeout_ms = 10000);
    // The next event named `event` (and with "id" equal to `id` when id >= 0).
    std::shared_ptr<rapidjson::Document> wait_event(const std::string& event, int id = -1,
                                                    int timeout_ms = 10000);
    // Runs `command` and returns its "sent" event.
    std::shared_ptr<rapidjson::Document> send(const std::string& command);
    // Closes its input and waits for it to end; the exit status.
    int stop();

private:
    bool read_line(std::string& line, int timeout_ms);
    // Drains the simulator's output all the time, so that it never blocks
    // writing an event while a test is busy elsewhere.
    void reader();

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    bool m_ready = false;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::string> m_lines;
    bool m_eof = false;
};

} // namespace bridge_test
