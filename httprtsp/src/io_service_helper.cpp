// The pool of I/O threads; their failures are logged with this file's name.
#include "httprtsp/src/io_service_helper.hpp"

#include <boost/make_shared.hpp>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

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
