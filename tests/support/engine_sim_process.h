// The engine simulator as a child process: lines in on its standard input,
// JSON events out of its standard output.
#pragma once

#include "tests/support/child_process.h"

#include <rapidjson/document.h>

#include <functional>
#include <memory>
#include <string>

namespace bridge_test {

class engine_sim_process {
public:
    // Starts the simulator with the same platform root as this process and
    // waits for its "ready" line; check running() afterwards.
    engine_sim_process();
    ~engine_sim_process();

    bool running() const { return m_process.started() && m_ready; }
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
    // Tells it to quit, closes its input and waits for it to end; the exit status.
    int stop();

private:
    vq_testing::child_process m_process;
    bool m_ready = false;
};

} // namespace bridge_test
