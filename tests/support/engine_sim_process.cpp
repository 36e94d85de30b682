#include "tests/support/engine_sim_process.h"

#include "tests/support/bridge_support.h"

#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bridge_test {

command_line::command_line(const std::string& program, const std::vector<std::string>& args) {
    std::istringstream emulator(BRIDGE_TEST_EMULATOR);
    for (std::string word; emulator >> word;)
        words.push_back(word);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
}

void command_line::exec() const {
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

engine_sim_process::engine_sim_process() {
    platform_root();
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
        return;
    // Writes to a simulator that died must fail, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    const command_line program(ENGINE_SIM_PATH, {});
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        program.exec();
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    m_in = toChild[1];
    m_out = fromChild[0];
    if (m_pid > 0)
        m_reader = std::thread(&engine_sim_process::reader, this);
    m_ready = m_pid > 0 && wait_event("ready") != nullptr;
}

engine_sim_process::~engine_sim_process() {
    stop();
}

void engine_sim_process::command(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (m_in >= 0 && done < text.size()) {
        const ssize_t n = ::write(m_in, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
}

void engine_sim_process::reader() {
    std::string buffer;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(m_out, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        buffer.append(chunk, static_cast<std::size_t>(n));
        std::string::size_type nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(buffer.substr(0, nl));
            buffer.erase(0, nl + 1);
            m_cv.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_eof = true;
    m_cv.notify_all();
}

bool engine_sim_process::read_line(std::string& line, int timeout_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                       [&] { return !m_lines.empty() || m_eof; }))
        return false;
    if (m_lines.empty())
        return false;
    line = m_lines.front();
    m_lines.pop_front();
    return true;
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
        if (left <= 0 || !read_line(line, static_cast<int>(left)))
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
    if (m_pid <= 0)
        return -1;
    if (m_in >= 0) {
        command("quit");
        ::close(m_in);
        m_in = -1;
    }
    int status = 0;
    // Give it a moment to close its channel, then insist.
    for (int i = 0; i < 500; ++i) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        ::usleep(10000);
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    // The child is gone, so its output ends and the reader finishes.
    if (m_reader.joinable())
        m_reader.join();
    if (m_out >= 0)
        ::close(m_out);
    m_out = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace bridge_test
