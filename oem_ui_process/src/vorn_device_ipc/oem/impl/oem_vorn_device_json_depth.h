/// \file
/// Nesting depth of JSON documents and texts, measured without recursion, so
/// that a document of any depth can be judged before anything recursive
/// (rapidjson's writer, its copies, a recursive parse) touches it (helpers in namespace
/// detail).
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace oem_ui_process {
namespace detail {

// True when `value` nests arrays and objects more than `limit` levels deep
// ("[]" is one level, a number none).
inline bool nests_deeper_than(const rapidjson::Value& value, std::size_t limit) {
    if (!value.IsArray() && !value.IsObject())
        return false;
    // Each entry: a container and the index of its next child to visit.
    std::vector<std::pair<const rapidjson::Value*, rapidjson::SizeType>> stack;
    stack.emplace_back(&value, 0);
    while (!stack.empty()) {
        if (stack.size() > limit)
            return true;
        const rapidjson::Value& container = *stack.back().first;
        const rapidjson::SizeType index = stack.back().second++;
        const rapidjson::SizeType count =
            container.IsArray() ? container.Size() : container.MemberCount();
        if (index >= count) {
            stack.pop_back();
            continue;
        }
        const rapidjson::Value& child =
            container.IsArray() ? container[index] : (container.MemberBegin() + index)->value;
        if (child.IsArray() || child.IsObject())
            stack.emplace_back(&child, 0);
    }
    return false;
}

// The same for JSON text: brackets outside strings, whether or not the text
// is otherwise valid.
inline bool text_nests_deeper_than(const char* text, std::size_t size, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

} // namespace detail
} // namespace oem_ui_process
