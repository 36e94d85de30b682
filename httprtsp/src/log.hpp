/// \file
/// The library's log lines and the colour switch.
#ifndef HTTPRTSP_LOG_HPP
#define HTTPRTSP_LOG_HPP

#include <cstdio>

namespace httprtsp {

/// Whether log lines carry colour sequences, every line alike; decided once before main
/// (standard output is a terminal, or under Windows a console that accepts virtual-terminal
/// sequences), and again for the stream that set_log_stream() chooses, so a file or a pipe never
/// receives them. A program may change it before its work begins.
extern bool colours_enabled;

/// Where log lines go: standard output unless a program chooses another stream before its work
/// begins (a command whose standard output is its result sends them to standard error).
/// Choosing a stream decides colours_enabled for it.
void set_log_stream(std::FILE* stream);
/// The stream log lines go to.
std::FILE* log_stream();

/// Severity of a log line, shown by its colour.
enum class log_level {
    error,   ///< red
    warning, ///< yellow
    notice   ///< green
};

/// Writes to log_stream() "In <file base name>, line <line>: " then colour, the formatted text and the reset
/// sequence (colour and reset only while colours_enabled). An always-coloured line (one the
/// connection writes about a peer) ends with "\r\n"; it too is coloured only while
/// colours_enabled, so files and pipes get no escape sequences. One write per line, flushed;
/// safe from
/// several threads. file is a full path such as __FILE__; directories and extension are dropped.
void log_line(const char* file, int line, log_level level, bool always_coloured, const char* format,
              ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;

} // namespace httprtsp

/// log_line() of an error (red) with the calling file and line.
#define HTTPRTSP_LOG_ERROR(...)                                                                    \
    ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::error, false, __VA_ARGS__)
/// log_line() of a warning (yellow) with the calling file and line.
#define HTTPRTSP_LOG_WARNING(...)                                                                  \
    ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::warning, false, __VA_ARGS__)
/// log_line() of a notice (green) with the calling file and line.
#define HTTPRTSP_LOG_NOTICE(...)                                                                   \
    ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::notice, false, __VA_ARGS__)
/// An error line ending with "\r\n" (coloured, like every line, while colours_enabled).
#define HTTPRTSP_LOG_ERROR_ALWAYS(...)                                                             \
    ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::error, true, __VA_ARGS__)
/// A notice line ending with "\r\n" (coloured, like every line, while colours_enabled).
#define HTTPRTSP_LOG_NOTICE_ALWAYS(...)                                                            \
    ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::notice, true, __VA_ARGS__)

#endif
