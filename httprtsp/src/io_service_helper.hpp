// The library's log lines and the colour switch.
#ifndef HTTPRTSP_IO_SERVICE_HELPER_HPP
#define HTTPRTSP_IO_SERVICE_HELPER_HPP

namespace httprtsp {

// Whether log lines carry colour sequences; decided once before main (standard output is a
// terminal, or under Windows a console that accepts virtual-terminal sequences).
extern bool colours_enabled;

enum class log_level { error, warning, notice };

// Writes "In <file base name>, line <line>: " then colour, the formatted text and the reset
// sequence (colour and reset only while colours_enabled). An always-coloured line carries them
// regardless and ends with the reset and "\r\n". One write per line, flushed; safe from
// several threads. file is a full path such as __FILE__; directories and extension are dropped.
void log_line(const char* file, int line, log_level level, bool always_coloured, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;

}  // namespace httprtsp

#define HTTPRTSP_LOG_ERROR(...) ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::error, false, __VA_ARGS__)
#define HTTPRTSP_LOG_WARNING(...) \
    ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::warning, false, __VA_ARGS__)
#define HTTPRTSP_LOG_NOTICE(...) ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::notice, false, __VA_ARGS__)
#define HTTPRTSP_LOG_ERROR_ALWAYS(...) \
    ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::error, true, __VA_ARGS__)
#define HTTPRTSP_LOG_NOTICE_ALWAYS(...) \
    ::httprtsp::log_line(__FILE__, __LINE__, ::httprtsp::log_level::notice, true, __VA_ARGS__)

#endif
