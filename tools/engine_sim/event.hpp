// One line of engine_sim's output: a JSON object with "event" first.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <string>

namespace engine_sim {

class event {
public:
    explicit event(const char* kind) {
        m_doc.SetObject();
        add("event", std::string(kind));
    }
    event& add(const char* key, const std::string& text) {
        rapidjson::Value v(text.c_str(), static_cast<rapidjson::SizeType>(text.size()),
                           m_doc.GetAllocator());
        m_doc.AddMember(rapidjson::StringRef(key), v, m_doc.GetAllocator());
        return *this;
    }
    event& add(const char* key, int64_t number) {
        m_doc.AddMember(rapidjson::StringRef(key), rapidjson::Value(number), m_doc.GetAllocator());
        return *this;
    }
    event& add(const char* key, bool flag) {
        m_doc.AddMember(rapidjson::StringRef(key), rapidjson::Value(flag), m_doc.GetAllocator());
        return *this;
    }
    event& add(const char* key, const rapidjson::Value& value) {
        rapidjson::Value v(value, m_doc.GetAllocator());
        m_doc.AddMember(rapidjson::StringRef(key), v, m_doc.GetAllocator());
        return *this;
    }
    const rapidjson::Value& value() const { return m_doc; }

private:
    rapidjson::Document m_doc;
};

} // namespace engine_sim
