// Configuration paths of engine_sim: "$.a.b[2].c", members and array indexes only.
#include "tools/engine_sim/engine_sim.h"

#include <cctype>
#include <string>
#include <vector>

namespace engine_sim {

namespace {

struct path_step {
    bool is_index;
    std::string name;
    rapidjson::SizeType index;
};

bool parse_config_path(const std::string& path, std::vector<path_step>& steps) {
    if (path.empty() || path[0] != '$')
        return false;
    std::size_t i = 1;
    while (i < path.size()) {
        if (path[i] == '.') {
            std::size_t end = path.find_first_of(".[", i + 1);
            if (end == std::string::npos)
                end = path.size();
            if (end == i + 1)
                return false;
            steps.push_back({false, path.substr(i + 1, end - i - 1), 0});
            i = end;
        } else if (path[i] == '[') {
            std::size_t end = path.find(']', i);
            if (end == std::string::npos || end == i + 1 || end - i > 10)
                return false;
            std::string digits = path.substr(i + 1, end - i - 1);
            for (char c : digits)
                if (!std::isdigit(static_cast<unsigned char>(c)))
                    return false;
            steps.push_back(
                {true, std::string(), static_cast<rapidjson::SizeType>(std::stoul(digits))});
            i = end + 1;
        } else
            return false;
    }
    return true;
}

rapidjson::Value* step_into(rapidjson::Value* v, const path_step& s) {
    if (s.is_index)
        return (v->IsArray() && s.index < v->Size()) ? &(*v)[s.index] : nullptr;
    if (!v->IsObject())
        return nullptr;
    auto it = v->FindMember(
        rapidjson::StringRef(s.name.c_str(), static_cast<rapidjson::SizeType>(s.name.size())));
    return it == v->MemberEnd() ? nullptr : &it->value;
}

} // namespace

const rapidjson::Value* find_at_path(const rapidjson::Value& root, const std::string& path) {
    std::vector<path_step> steps;
    if (!parse_config_path(path, steps))
        return nullptr;
    rapidjson::Value* v = const_cast<rapidjson::Value*>(&root);
    for (const path_step& s : steps)
        if ((v = step_into(v, s)) == nullptr)
            return nullptr;
    return v;
}

bool set_at_path(rapidjson::Value& root, const std::string& path, const rapidjson::Value& value,
                 rapidjson::Document::AllocatorType& alloc) {
    std::vector<path_step> steps;
    if (!parse_config_path(path, steps) || steps.empty())
        return false;
    rapidjson::Value* parent = &root;
    for (std::size_t i = 0; i + 1 < steps.size(); ++i)
        if ((parent = step_into(parent, steps[i])) == nullptr)
            return false;
    const path_step& last = steps.back();
    rapidjson::Value copy(value, alloc);
    if (last.is_index) {
        if (!parent->IsArray() || last.index > parent->Size())
            return false;
        if (last.index == parent->Size())
            parent->PushBack(copy, alloc);
        else
            (*parent)[last.index] = copy;
        return true;
    }
    if (!parent->IsObject())
        return false;
    auto it = parent->FindMember(rapidjson::StringRef(
        last.name.c_str(), static_cast<rapidjson::SizeType>(last.name.size())));
    if (it != parent->MemberEnd())
        it->value = copy;
    else
        parent->AddMember(rapidjson::Value(last.name.c_str(),
                                           static_cast<rapidjson::SizeType>(last.name.size()),
                                           alloc),
                          copy, alloc);
    return true;
}

} // namespace engine_sim
