// Names of the threads of an io_service_pool, read back from inside them.
#ifndef TESTS_HTTPRTSP_CONN_POOL_SUPPORT_HPP
#define TESTS_HTTPRTSP_CONN_POOL_SUPPORT_HPP

#include "httprtsp/src/io_service_helper.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace conn_test {

// The calling thread's name: its description on Windows (empty where the system keeps
// none), its pthread name elsewhere.
inline std::string current_thread_name() {
#if defined(_WIN32)
    using get_description_fn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    const auto get_description = reinterpret_cast<get_description_fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR wide = nullptr;
    if (!get_description || FAILED(get_description(GetCurrentThread(), &wide)) || !wide)
        return std::string();
    std::string name;
    for (PWSTR p = wide; *p; ++p)
        name += static_cast<char>(*p);
    LocalFree(wide);
    return name;
#else
    char name[32] = {0};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
#endif
}

// Posts n handlers that each wait until all n are running, so that each is held by a
// different thread, and returns the names those threads carry.
inline std::set<std::string> pool_thread_names(io_service_pool& pool, std::size_t n) {
    std::mutex mutex;
    std::condition_variable all_in;
    std::set<std::string> names;
    std::size_t arrived = 0, left = 0;
    for (std::size_t i = 0; i < n; ++i) {
        pool.get_io_service()->post([&] {
            const std::string name = current_thread_name();
            std::unique_lock<std::mutex> lock(mutex);
            names.insert(name);
            ++arrived;
            all_in.notify_all();
            all_in.wait_for(lock, std::chrono::seconds(10), [&] { return arrived == n; });
            ++left;
            all_in.notify_all();
        });
    }
    std::unique_lock<std::mutex> lock(mutex);
    all_in.wait_for(lock, std::chrono::seconds(20), [&] { return left == n; });
    return names;
}

} // namespace conn_test

#endif
