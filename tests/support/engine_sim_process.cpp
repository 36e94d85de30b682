#include "tests/support/engine_sim_process.h"

#include "tests/support/bridge_support.h"

#include <chrono>

namespace bridge_test {

namespace {

std::vector<std::string> engine_sim_command() {
    // The simulator takes the platform root from the environment, so make it first.
    platform_root();
    return {ENGINE_SIM_PATH};
}

} // namespace

engine_sim_process::engine_sim_process() : m_process(engine_sim_command()) {
    m_ready = m_process.started() && wait_event("ready") != nullptr;
}

engine_sim_process::~engine_sim_process() {
    stop();
}

void engine_sim_process::command(const std::string& line) {
    m_process.write_line(line);
}

std::shared_ptr<rapidjson::Document>
engine_sim_process::wait_for(const std::function<bool(const rapidjson::Document&)>& match,
                             int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string line;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || !m_process.read_line(line, static_cast<int>(left)))
            return nullptr;
        auto doc = std::make_shared<rapidjson::Document>();
        doc->Parse(line.c_str());
        if (!doc->HasParseError() && doc->IsObject() && match(*doc))
            return doc;
    }
}

std::shared_ptr<rapidjson::Document> engine_sim_process::wait_event(const std::string& event,
                                                                    int id, int timeout_ms) {
    return wait_for(
        [&](const rapidjson::Document& d) {
            const auto e = d.FindMember("event");
            if (e == d.MemberEnd() || !e->value.IsString() || event != e->value.GetString())
                return false;
            if (id < 0)
                return true;
            const auto i = d.FindMember("id");
            return i != d.MemberEnd() && i->value.IsInt() && i->value.GetInt() == id;
        },
        timeout_ms);
}

std::shared_ptr<rapidjson::Document> engine_sim_process::send(const std::string& line) {
    command(line);
    return wait_event("sent");
}

int engine_sim_process::stop() {
    if (!m_process.started())
        return -1;
    command("quit");
    m_process.close_stdin();
    // Give it a moment to close its channel, then insist.
    return m_process.wait(std::chrono::seconds(5));
}

} // namespace bridge_test
