// The library's log lines: one form, one stream, colours where the stream shows them.
#include "httprtsp/src/log.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

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
    const bool colour = colours_enabled;
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
