#include "platform/rapidjson_hook/ks_callstack_assert.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace {
std::atomic<std::size_t> g_count{0};
std::mutex g_mutex;
thread_local std::string t_last;
std::string g_last;
} // namespace

namespace rapidjson {
void _ks_callstack_assert(const char* expression, const char* file, unsigned int line) {
    const char* expr = expression != nullptr ? expression : "?";
    std::fprintf(stderr, "rapidjson assertion failed: %s (%s:%u)\n", expr,
                 file != nullptr ? file : "?", line);
    std::lock_guard<std::mutex> lk(g_mutex);
    g_last = expr;
    ++g_count;
}
} // namespace rapidjson

namespace vq_platform {
std::size_t ks_assert_count() {
    return g_count.load();
}

const char* ks_assert_last_expression() {
    std::lock_guard<std::mutex> lk(g_mutex);
    t_last = g_last;
    return t_last.c_str();
}
} // namespace vq_platform
