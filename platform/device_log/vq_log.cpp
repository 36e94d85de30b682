#include "platform/device_log/vq_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

std::mutex& sink_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

vq_log_sink& current_sink() {
    static vq_log_sink* s = new vq_log_sink;
    return *s;
}

} // namespace

extern "C" void vq_log__(int level, const char* file, int line, const char* format, ...) {
    vq_log_record rec{level, file != nullptr ? file : "?", line, std::string()};
    if (format != nullptr) {
        va_list ap;
        va_start(ap, format);
        va_list again;
        va_copy(again, ap);
        char small[512];
        int n = std::vsnprintf(small, sizeof small, format, ap);
        va_end(ap);
        if (n >= static_cast<int>(sizeof small)) {
            rec.message.resize(static_cast<std::size_t>(n) + 1);
            std::vsnprintf(&rec.message[0], rec.message.size(), format, again);
            rec.message.resize(static_cast<std::size_t>(n));
        } else if (n > 0)
            rec.message.assign(small, static_cast<std::size_t>(n));
        va_end(again);
    }

    vq_log_sink sink;
    {
        std::lock_guard<std::mutex> lk(sink_mutex());
        sink = current_sink();
    }
    if (sink) {
        sink(rec);
        return;
    }
    std::string text = rec.message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    std::string out = "vq[" + std::to_string(level) + "] " + rec.file + ":" + std::to_string(line) +
                      ": " + text + "\n";
    // One write per line, so that lines of several threads never interleave.
    std::lock_guard<std::mutex> lk(sink_mutex());
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

vq_log_sink vq_log_set_sink(vq_log_sink sink) {
    std::lock_guard<std::mutex> lk(sink_mutex());
    vq_log_sink previous = std::move(current_sink());
    current_sink() = std::move(sink);
    return previous;
}

struct vq_log_capture::state {
    mutable std::mutex mutex;
    std::vector<vq_log_record> records;
};

vq_log_capture::vq_log_capture() : m_state(std::make_shared<state>()) {
    std::shared_ptr<state> s = m_state;
    m_previous = vq_log_set_sink([s](const vq_log_record& rec) {
        std::lock_guard<std::mutex> lk(s->mutex);
        s->records.push_back(rec);
    });
}

vq_log_capture::~vq_log_capture() {
    vq_log_set_sink(std::move(m_previous));
}

std::vector<vq_log_record> vq_log_capture::records() const {
    std::lock_guard<std::mutex> lk(m_state->mutex);
    return m_state->records;
}

std::size_t vq_log_capture::count(const std::string& message) const {
    std::lock_guard<std::mutex> lk(m_state->mutex);
    return static_cast<std::size_t>(
        std::count_if(m_state->records.begin(), m_state->records.end(),
                      [&](const vq_log_record& r) { return r.message == message; }));
}

void vq_log_capture::clear() {
    std::lock_guard<std::mutex> lk(m_state->mutex);
    m_state->records.clear();
}
