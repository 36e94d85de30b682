// Device logger (target `vq_device_log`).
//
// vq_log__ writes one line per call to standard error:
//   "vq[<level>] <file>:<line>: <message>"
// The message is formatted printf-style; a trailing line break in it is not
// doubled. Tests can divert the lines into a sink of their own.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" void vq_log__(int level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// One logged call: the message exactly as formatted (trailing "\n" included).
struct vq_log_record {
    int level;
    std::string file;
    int line;
    std::string message;
};

using vq_log_sink = std::function<void(const vq_log_record&)>;

// While a sink is set, lines go to it instead of standard error. Returns the
// previous sink; an empty function restores standard error. The sink may be
// called from any thread, never under the logger's own lock.
vq_log_sink vq_log_set_sink(vq_log_sink sink);

// Collects every line logged during its lifetime (restores the previous sink
// when it ends). Thread-safe.
class vq_log_capture {
public:
    vq_log_capture();
    ~vq_log_capture();
    vq_log_capture(const vq_log_capture&) = delete;
    vq_log_capture& operator=(const vq_log_capture&) = delete;

    std::vector<vq_log_record> records() const;
    // How many records have exactly this message.
    std::size_t count(const std::string& message) const;
    void clear();

private:
    struct state;
    std::shared_ptr<state> m_state;
    vq_log_sink m_previous;
};
