/// \file
/// Nesting depth of JSON documents and texts: a document of any depth is judged
/// without recursion before anything recursive (rapidjson's writer, its copies)
/// touches it, and a text is parsed only as deep as allowed (helpers in namespace
/// detail).
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdint>

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

// Passes a parser's events on to `Handler`, ending the parse (an error) when
// arrays and objects open more than `limit` levels deep: the recursive parser
// then never goes deeper than that.
template <typename Handler>
class depth_limited_handler {
public:
    depth_limited_handler(Handler& handler, std::size_t limit)
        : m_handler(handler), m_limit(limit) {}

    bool Null() { return m_handler.Null(); }
    bool Bool(bool b) { return m_handler.Bool(b); }
    bool Int(int i) { return m_handler.Int(i); }
    bool Uint(unsigned u) { return m_handler.Uint(u); }
    bool Int64(int64_t i) { return m_handler.Int64(i); }
    bool Uint64(uint64_t u) { return m_handler.Uint64(u); }
    bool Double(double d) { return m_handler.Double(d); }
    bool RawNumber(const char* str, rapidjson::SizeType length, bool copy) {
        return m_handler.RawNumber(str, length, copy);
    }
    bool String(const char* str, rapidjson::SizeType length, bool copy) {
        return m_handler.String(str, length, copy);
    }
    bool Key(const char* str, rapidjson::SizeType length, bool copy) {
        return m_handler.Key(str, length, copy);
    }
    bool StartObject() { return ++m_depth <= m_limit && m_handler.StartObject(); }
    bool EndObject(rapidjson::SizeType members) {
        --m_depth;
        return m_handler.EndObject(members);
    }
    bool StartArray() { return ++m_depth <= m_limit && m_handler.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) {
        --m_depth;
        return m_handler.EndArray(elements);
    }

private:
    Handler& m_handler;
    std::size_t m_limit;
    std::size_t m_depth = 0;
};

// Parses `size` bytes of JSON text into `document` (left as it was on failure);
// false when the text is not JSON or nests more than `limit` levels deep.
template <unsigned ParseFlags = rapidjson::kParseDefaultFlags>
inline bool parse_within_depth(rapidjson::Document& document, const char* text, std::size_t size,
                               std::size_t limit) {
    rapidjson::Document parsed;
    bool ok = false;
    auto generate = [&](rapidjson::Document& into) {
        rapidjson::MemoryStream bytes(text, size);
        rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> in(bytes);
        depth_limited_handler<rapidjson::Document> guarded(into, limit);
        rapidjson::Reader reader;
        ok = !reader.Parse<ParseFlags>(in, guarded).IsError();
        return ok;
    };
    parsed.Populate(generate);
    if (ok)
        document.Swap(parsed);
    return ok;
}

} // namespace detail
} // namespace oem_ui_process
