#include "tools/velquin_device_sim/json_path.hpp"

#include <cerrno>
#include <cstdlib>

namespace velquin_sim {

namespace {

class path_reader {
public:
    explicit path_reader(const std::string& text) : text_(text) {}

    std::vector<path_step> read() {
        std::vector<path_step> steps;
        if (!eat('$'))
            fail("a path begins with \"$\"");
        while (pos_ < text_.size()) {
            if (eat('.')) {
                steps.push_back(dotted_step());
            } else if (eat('[')) {
                steps.push_back(bracket_step());
            } else {
                fail("expected \".\" or \"[\"");
            }
        }
        return steps;
    }

private:
    [[noreturn]] void fail(const std::string& why) const {
        throw path_error("bad path \"" + text_ + "\" at offset " + std::to_string(pos_) + ": " +
                         why);
    }

    bool eat(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    void expect(char c) {
        if (!eat(c))
            fail(std::string("expected \"") + c + "\"");
    }

    void skip_spaces() {
        while (pos_ < text_.size() && text_[pos_] == ' ')
            ++pos_;
    }

    // A member name after a dot runs up to the next "." or "[".
    std::string bare_name(const char* stops) {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && std::string(stops).find(text_[pos_]) == std::string::npos)
            ++pos_;
        if (pos_ == start)
            fail("empty member name");
        return text_.substr(start, pos_ - start);
    }

    std::string quoted() {
        const char quote = text_[pos_++];
        std::string out;
        while (pos_ < text_.size() && text_[pos_] != quote) {
            if (text_[pos_] == '\\' && pos_ + 1 < text_.size())
                ++pos_;
            out += text_[pos_++];
        }
        if (!eat(quote))
            fail("unterminated quoted text");
        return out;
    }

    path_step dotted_step() {
        path_step step;
        if (eat('*')) {
            step.kind = path_step::wildcard;
            return step;
        }
        if (pos_ < text_.size() && text_[pos_] == '.')
            fail("recursive descent is not supported");
        step.kind = path_step::member;
        step.name = bare_name(".[]");
        return step;
    }

    path_step bracket_step() {
        path_step step;
        if (pos_ >= text_.size())
            fail("unterminated \"[\"");
        const char c = text_[pos_];
        if (c == '*') {
            ++pos_;
            step.kind = path_step::wildcard;
        } else if (c == '\'' || c == '"') {
            step.kind = path_step::member;
            step.name = quoted();
        } else if (c == '?') {
            ++pos_;
            read_filter(step);
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            step.kind = path_step::index;
            step.position = read_index();
        } else {
            fail("unsupported selector");
        }
        expect(']');
        return step;
    }

    long long read_index() {
        const std::size_t start = pos_;
        if (text_[pos_] == '-')
            ++pos_;
        const std::size_t digits = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9')
            ++pos_;
        if (pos_ == digits)
            fail("index without digits");
        if (pos_ - digits > 9)
            fail("index out of range");
        return std::stoll(text_.substr(start, pos_ - start));
    }

    void read_filter(path_step& step) {
        step.kind = path_step::filter;
        expect('(');
        skip_spaces();
        expect('@');
        expect('.');
        step.key.push_back(bare_name(".[] =!)"));
        while (eat('.'))
            step.key.push_back(bare_name(".[] =!)"));
        skip_spaces();
        expect('=');
        expect('=');
        skip_spaces();
        step.literal = read_literal();
        skip_spaces();
        expect(')');
    }

    Json::Value read_literal() {
        if (pos_ >= text_.size())
            fail("filter without a value");
        const char c = text_[pos_];
        if (c == '\'' || c == '"')
            return Json::Value(quoted());
        const std::size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] != ')' && text_[pos_] != ' ')
            ++pos_;
        const std::string token = text_.substr(start, pos_ - start);
        if (token == "true")
            return Json::Value(true);
        if (token == "false")
            return Json::Value(false);
        if (token == "null")
            return Json::Value();
        if (token.empty())
            fail("filter without a value");
        errno = 0;
        char* end = nullptr;
        const double number = std::strtod(token.c_str(), &end);
        if (end != token.c_str() + token.size() || errno == ERANGE)
            fail("filter value is not a number or text");
        return Json::Value(number);
    }

    const std::string& text_;
    std::size_t pos_ = 0;
};

bool literal_matches(const Json::Value& candidate, const Json::Value& literal) {
    if (literal.isNumeric())
        return candidate.isNumeric() && candidate.asDouble() == literal.asDouble();
    if (literal.isString())
        return candidate.isString() && candidate.asString() == literal.asString();
    if (literal.isBool())
        return candidate.isBool() && candidate.asBool() == literal.asBool();
    return candidate.isNull() && literal.isNull();
}

// The member at a dotted key of a filter, or nullptr. Const look-ups only: a filter
// must not add members to the configuration.
const Json::Value* member_at(const Json::Value& node, const std::vector<std::string>& key) {
    const Json::Value* at = &node;
    for (const std::string& name : key) {
        if (!at->isObject())
            return nullptr;
        at = at->find(name.data(), name.data() + name.size());
        if (at == nullptr)
            return nullptr;
    }
    return at;
}

void children(Json::Value& node, std::vector<Json::Value*>& out) {
    if (node.isObject() || node.isArray()) {
        for (Json::Value& child : node)
            out.push_back(&child);
    }
}

// Position `at` of a sequence of `size`; a negative one counts from the end. -1 if outside.
long long position_in(long long at, std::size_t size) {
    const long long n = static_cast<long long>(size);
    const long long i = at < 0 ? n + at : at;
    return i >= 0 && i < n ? i : -1;
}

void members(const std::vector<Json::Value*>& nodes, const std::string& name,
             std::vector<Json::Value*>& out) {
    for (Json::Value* node : nodes) {
        if (!node->isObject())
            continue;
        Json::Value* found = const_cast<Json::Value*>(
            static_cast<const Json::Value*>(node)->find(name.data(), name.data() + name.size()));
        if (found != nullptr)
            out.push_back(found);
    }
}

// [N] on arrays: element N of each.
void elements(const std::vector<Json::Value*>& nodes, long long at,
              std::vector<Json::Value*>& out) {
    for (Json::Value* node : nodes) {
        if (!node->isArray())
            continue;
        const long long i = position_in(at, node->size());
        if (i >= 0)
            out.push_back(&(*node)[static_cast<Json::ArrayIndex>(i)]);
    }
}

// [N] after a filter or wildcard picks among the matches.
void pick(const std::vector<Json::Value*>& nodes, long long at, std::vector<Json::Value*>& out) {
    const long long i = position_in(at, nodes.size());
    if (i >= 0)
        out.push_back(nodes[static_cast<std::size_t>(i)]);
}

void matching_children(const std::vector<Json::Value*>& nodes, const path_step& step,
                       std::vector<Json::Value*>& out) {
    for (Json::Value* node : nodes) {
        std::vector<Json::Value*> candidates;
        children(*node, candidates);
        for (Json::Value* candidate : candidates) {
            const Json::Value* field = member_at(*candidate, step.key);
            if (field != nullptr && literal_matches(*field, step.literal))
                out.push_back(candidate);
        }
    }
}

} // namespace

std::vector<path_step> parse_selector_path(const std::string& path) {
    return path_reader(path).read();
}

std::vector<Json::Value*> select(Json::Value& root, const std::vector<path_step>& steps) {
    std::vector<Json::Value*> nodes{&root};
    bool is_list = false; // the previous step made a list of matches
    for (const path_step& step : steps) {
        std::vector<Json::Value*> next;
        switch (step.kind) {
        case path_step::member:
            members(nodes, step.name, next);
            break;
        case path_step::index:
            if (is_list)
                pick(nodes, step.position, next);
            else
                elements(nodes, step.position, next);
            break;
        case path_step::wildcard:
            for (Json::Value* node : nodes)
                children(*node, next);
            break;
        case path_step::filter:
            matching_children(nodes, step, next);
            break;
        }
        is_list = step.kind == path_step::wildcard || step.kind == path_step::filter;
        nodes.swap(next);
        if (nodes.empty())
            break;
    }
    return nodes;
}

std::size_t apply_setting(Json::Value& root, const std::string& path, const Json::Value& value) {
    const std::vector<Json::Value*> targets = select(root, parse_selector_path(path));
    // Every step descends one level, so the targets are disjoint subtrees and
    // changing one leaves the others in place.
    for (Json::Value* target : targets) {
        if (value.isObject() && target->isObject()) {
            for (auto it = value.begin(); it != value.end(); ++it) {
                const std::string name = it.name();
                (*target)[name] = *it;
            }
        } else {
            *target = value;
        }
    }
    return targets.size();
}

} // namespace velquin_sim
