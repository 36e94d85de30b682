/// \file
/// Logging helpers of the bridge: device logger lines and the JSON look-up
/// diagnostics (syslog plus a red line on standard output).
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_rapidjson.h"
#include "platform/device_log/vq_log.h"

#include <string>

namespace oem_ui_process {
namespace detail {

constexpr const char* base_name(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}

// Formats into a 512-byte line, hands it to syslog at error priority and
// prints it red and bold on standard output.
void json_error_report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The member of jsValue named pszName, or null after the look-up reported why
// (value not an object, member missing).
const rapidjson::Value* find_member(const rapidjson::Value& jsValue, const char* pszName);

// The string member pszName of jsValue into strOut; false after a report when
// it is missing or not a string.
bool get_string_member(const rapidjson::Value& jsValue, const char* pszName, std::string& strOut);

// False, after a log line naming pszWhat, when jsValue nests deeper than
// OEMUIP_MAX_JSON_DEPTH: copying, writing or logging it would recurse that deep.
bool within_depth(const rapidjson::Value& jsValue, const char* pszWhat);

// Copies jsSource into jsTarget with every string in allocator's memory, so
// that the copy outlives the source document. False, with jsTarget left null,
// for a source nested too deep (see within_depth).
bool deep_copy(rapidjson::Value& jsTarget, const rapidjson::Value& jsSource,
               rapidjson::Document::AllocatorType& allocator);

// Reports a failed expectation to the device's assertion hook.
void report_assert(const char* pszExpression, const char* pszFile, unsigned int uiLine);

} // namespace detail
} // namespace oem_ui_process

/// One device logger line (vq_log__) at \p level with this file's base name and line.
#define OEMUIP_LOG(level, ...)                                                                     \
    vq_log__((level), ::oem_ui_process::detail::base_name(__FILE__), __LINE__, __VA_ARGS__)
/// A failure line: OEMUIP_LOG at level 3.
#define OEMUIP_LOG_ERROR(...) OEMUIP_LOG(3, __VA_ARGS__)
