#include "httprtsp/src/io_service_helper.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace httprtsp {

namespace {

bool decide_colours() {
#if defined(_WIN32)
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == NULL) return false;
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;
    return SetConsoleMode(out, mode | 4 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */) != 0;
#else
    return isatty(STDOUT_FILENO) == 1;
#endif
}

const char* const colour_of[] = {"\033[31m\033[1m", "\033[33m\033[1m", "\033[32m\033[1m"};
const char reset_sequence[] = "\033[0m";

// Base name without directories and extension: ".../httprtsp/src/connection.cpp" -> "connection".
std::string base_name(const char* file) {
    const char* start = file;
    for (const char* p = file; *p; ++p)
        if (*p == '/' || *p == '\\') start = p + 1;
    const char* dot = std::strrchr(start, '.');
    return dot && dot != start ? std::string(start, dot) : std::string(start);
}

}  // namespace

bool colours_enabled = decide_colours();

void log_line(const char* file, int line, log_level level, bool always_coloured, const char* format, ...) {
    std::string text = "In " + base_name(file) + ", line " + std::to_string(line) + ": ";
    const bool colour = always_coloured || colours_enabled;
    if (colour) text += colour_of[static_cast<int>(level)];

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

    if (colour) text += reset_sequence;
    if (always_coloured) text += "\r\n";

    // stdio locks the stream per call, so one fwrite keeps lines from interleaving.
#if defined(_WIN32)
    _lock_file(stdout);
#else
    flockfile(stdout);
#endif
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
#if defined(_WIN32)
    _unlock_file(stdout);
#else
    funlockfile(stdout);
#endif
}

}  // namespace httprtsp
