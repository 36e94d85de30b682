// JSON look-up diagnostics shared by the bridge's operations.
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_log.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_messages.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_json_depth.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace oem_ui_process {
namespace detail {

void json_error_report(const char* format, ...) {
    char szLine[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(szLine, sizeof(szLine), format, args);
    va_end(args);
    syslog(LOG_ERR, "%s", szLine);
    std::printf("\033[31m\033[1m%s\033[0m", szLine);
    std::fflush(stdout);
}

void report_assert(const char* pszExpression, const char* pszFile, unsigned int uiLine) {
    ::rapidjson::_ks_callstack_assert(pszExpression, pszFile, uiLine);
}

const rapidjson::Value* find_member(const rapidjson::Value& jsValue, const char* pszName) {
    if (!jsValue.IsObject()) {
        json_error_report("not an object [%s]\n", pszName);
        report_assert("IsObject()", __FILE__, __LINE__);
        return nullptr;
    }
    // Same length and same bytes: the first such member wins.
    const rapidjson::Value::ConstMemberIterator it = jsValue.FindMember(pszName);
    if (it == jsValue.MemberEnd()) {
        json_error_report("rapidJson: member %s not found; please fix it!\n", pszName);
        return nullptr;
    }
    return &it->value;
}

bool get_string_member(const rapidjson::Value& jsValue, const char* pszName, std::string& strOut) {
    const rapidjson::Value* pjsMember = find_member(jsValue, pszName);
    if (pjsMember == nullptr)
        return false;
    if (!pjsMember->IsString()) {
        report_assert("IsString()", __FILE__, __LINE__);
        return false;
    }
    strOut.assign(pjsMember->GetString(), pjsMember->GetStringLength());
    return true;
}

bool within_depth(const rapidjson::Value& jsValue, const char* pszWhat) {
    if (!nests_deeper_than(jsValue, OEMUIP_MAX_JSON_DEPTH))
        return true;
    OEMUIP_LOG_ERROR("%s: JSON nested deeper than %u levels refused\n", pszWhat,
                     static_cast<unsigned>(OEMUIP_MAX_JSON_DEPTH));
    return false;
}

namespace {

void copy_value(rapidjson::Value& jsTarget, const rapidjson::Value& jsSource,
                rapidjson::Document::AllocatorType& allocator) {
    switch (jsSource.GetType()) {
    case rapidjson::kObjectType:
        jsTarget.SetObject();
        for (rapidjson::Value::ConstMemberIterator it = jsSource.MemberBegin();
             it != jsSource.MemberEnd(); ++it) {
            rapidjson::Value jsName(it->name.GetString(), it->name.GetStringLength(), allocator);
            rapidjson::Value jsMember;
            copy_value(jsMember, it->value, allocator);
            jsTarget.AddMember(jsName, jsMember, allocator);
        }
        break;
    case rapidjson::kArrayType:
        jsTarget.SetArray();
        jsTarget.Reserve(jsSource.Size(), allocator);
        for (rapidjson::Value::ConstValueIterator it = jsSource.Begin(); it != jsSource.End();
             ++it) {
            rapidjson::Value jsElement;
            copy_value(jsElement, *it, allocator);
            jsTarget.PushBack(jsElement, allocator);
        }
        break;
    case rapidjson::kStringType:
        jsTarget.SetString(jsSource.GetString(), jsSource.GetStringLength(), allocator);
        break;
    default:
        // Numbers, booleans and null hold no memory of their own.
        jsTarget.CopyFrom(jsSource, allocator);
        break;
    }
}

} // namespace

bool deep_copy(rapidjson::Value& jsTarget, const rapidjson::Value& jsSource,
               rapidjson::Document::AllocatorType& allocator) {
    // The copy recurses once per level.
    if (!within_depth(jsSource, "deep_copy"))
        return false;
    copy_value(jsTarget, jsSource, allocator);
    return true;
}

} // namespace detail
} // namespace oem_ui_process
