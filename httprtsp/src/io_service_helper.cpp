// Two parts: the log lines, then the pool of I/O threads (whose failures are logged with this
// file's name).
#include "httprtsp/src/io_service_helper.hpp"

#include <boost/make_shared.hpp>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

// ---- log lines ----

namespace httprtsp {

namespace {

bool decide_colours(std::FILE* stream) {
#if defined(_WIN32)
    // Binary mode: "\n" stays one byte, as on Linux, in a console, a pipe or a file, and the
    // "\r\n" of the always-coloured lines does not become "\r\r\n". Standard output is
    // switched here before main, since the program's own output goes there too.
    _setmode(_fileno(stream), _O_BINARY);
    HANDLE out = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == NULL)
        return false;
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode))
        return false;
    return SetConsoleMode(out, mode | 4 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */) != 0;
#else
    return isatty(fileno(stream)) == 1;
#endif
}

std::atomic<std::FILE*> chosen_stream{nullptr}; // null: standard output

const char* const colour_of[] = {"\033[31m\033[1m", "\033[33m\033[1m", "\033[32m\033[1m"};
const char reset_sequence[] = "\033[0m";

// Base name without directories and extension: ".../httprtsp/src/connection.cpp" -> "connection".
std::string base_name(const char* file) {
    const char* start = file;
    for (const char* p = file; *p; ++p)
        if (*p == '/' || *p == '\\')
            start = p + 1;
    const char* dot = std::strrchr(start, '.');
    return dot && dot != start ? std::string(start, dot) : std::string(start);
}

} // namespace

bool colours_enabled = decide_colours(stdout);

void set_log_stream(std::FILE* stream) {
    chosen_stream = stream;
    colours_enabled = decide_colours(log_stream());
}

std::FILE* log_stream() {
    std::FILE* stream = chosen_stream;
    return stream ? stream : stdout;
}

void log_line(const char* file, int line, log_level level, bool always_coloured, const char* format,
              ...) {
    std::string text = "In " + base_name(file) + ", line " + std::to_string(line) + ": ";
    const bool colour = always_coloured || colours_enabled;
    if (colour)
        text += colour_of[static_cast<int>(level)];

    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
        text.append(small, static_cast<std::size_t>(n));
    } else if (n > 0) {
        std::string big(static_cast<std::size_t>(n) + 1, '\0');
        std::vsnprintf(&big[0], big.size(), format, again);
        text.append(big.data(), static_cast<std::size_t>(n));
    }
    va_end(again);

    if (colour)
        text += reset_sequence;
    if (always_coloured)
        text += "\r\n";

    // stdio locks the stream per call, so one fwrite keeps lines from interleaving.
    std::FILE* const out = log_stream();
#if defined(_WIN32)
    _lock_file(out);
#else
    flockfile(out);
#endif
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
#if defined(_WIN32)
    _unlock_file(out);
#else
    funlockfile(out);
#endif
}

} // namespace httprtsp

// ---- I/O service pool ----

#if defined(_WIN32)
namespace {

// Debugger thread-naming convention: raise 0x406D1388 with this record; an attached debugger
// picks the name up and continues.
#pragma pack(push, 8)
struct thread_name_info {
    DWORD type; // 0x1000
    LPCSTR name;
    DWORD thread_id; // -1: the calling thread
    DWORD flags;     // 0
};
#pragma pack(pop)

const DWORD thread_name_exception = 0x406D1388;

// g++ has no __try/__except: a vectored handler swallows the exception when the debugger
// passes it on, and it is raised only with a debugger present (nobody else handles it).
LONG CALLBACK swallow_thread_name(EXCEPTION_POINTERS* info) {
    return info->ExceptionRecord->ExceptionCode == thread_name_exception
               ? EXCEPTION_CONTINUE_EXECUTION
               : EXCEPTION_CONTINUE_SEARCH;
}

void set_thread_name(const std::string& name) {
    // Windows 10 1607 and later keep a description that debuggers and crash dumps show.
    using set_description_fn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto set_description =
        reinterpret_cast<set_description_fn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (set_description)
        set_description(GetCurrentThread(), std::wstring(name.begin(), name.end()).c_str());

    if (!IsDebuggerPresent())
        return;
    thread_name_info info;
    info.type = 0x1000;
    info.name = name.c_str();
    info.thread_id = static_cast<DWORD>(-1);
    info.flags = 0;
    PVOID handler = AddVectoredExceptionHandler(1, &swallow_thread_name);
    RaiseException(thread_name_exception, 0, sizeof info / sizeof(ULONG_PTR),
                   reinterpret_cast<ULONG_PTR*>(&info));
    if (handler)
        RemoveVectoredExceptionHandler(handler);
}

} // namespace
#else
namespace {

void set_thread_name(const std::string& name) {
#if defined(__APPLE__)
    pthread_setname_np(name.substr(0, 63).c_str());
#else
    // Linux keeps at most 15 characters and a terminator.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
#endif
}

} // namespace
#endif

namespace {

std::atomic<std::uint32_t> thread_counter(0);

// Pending operations own shared pointers to their connections, and connections own the
// service: after stop() those that never ran would keep each other alive. Discarding
// them when the pool goes away breaks that cycle.
class pool_io_service : public boost::asio::io_service {
public:
    void discard_pending() { shutdown(); }
};

} // namespace

void run_io_service(boost::shared_ptr<boost::asio::io_service> io_service,
                    const std::string& thread_name) {
    set_thread_name(thread_name);
    for (;;) {
        try {
            boost::system::error_code error;
            io_service->run(error);
            if (!error)
                return;
            HTTPRTSP_LOG_ERROR("Uncought exception: %s\n", error.message().c_str());
        } catch (std::exception& e) {
            HTTPRTSP_LOG_ERROR("Uncought exception: %s\n", e.what());
        } catch (...) {
            HTTPRTSP_LOG_ERROR("Uncought unknown exception.\n");
        }
    }
}

io_service_pool::io_service_pool(std::size_t count)
    : io_service(boost::make_shared<pool_io_service>()),
      work(boost::make_shared<boost::asio::io_service::work>(*io_service)) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = "IO" + std::to_string(thread_counter++);
        threads.push_back(boost::make_shared<boost::thread>(&run_io_service, io_service, name));
    }
}

io_service_pool::~io_service_pool() {
    stop();
    work.reset();
    static_cast<pool_io_service&>(*io_service).discard_pending();
    io_service.reset();
}

void io_service_pool::stop() {
    io_service->stop();
    for (const boost::shared_ptr<boost::thread>& t : threads)
        if (t->joinable())
            t->join();
    threads.clear();
}
