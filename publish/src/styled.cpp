#include "publish/src/styled.hpp"

#include <json/writer.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace publish {
namespace {

// Follows Json::StyledWriter step by step; where that looks at the last character of its
// document, this looks at the last character it wrote.
class styled_stream {
public:
    explicit styled_stream(std::ostream& out) : out_(out) {
        Json::StreamWriterBuilder builder;
        builder["emitUTF8"] = false;
        text_writer_.reset(builder.newStreamWriter());
    }

    void document(const Json::Value& value) {
        write_value(value);
        put("\n");
    }

private:
    static const unsigned right_margin = 74;

    void put(const std::string& text) {
        if (text.empty())
            return;
        out_ << text;
        last_ = text.back();
    }

    void push_value(const std::string& text) {
        if (collecting_)
            short_children_.push_back(text);
        else
            put(text);
    }

    void write_indent() {
        if (last_ == ' ') // already indented
            return;
        if (last_ != '\0' && last_ != '\n')
            put("\n");
        put(indent_);
    }

    void with_indent(const std::string& text) {
        write_indent();
        put(text);
    }

    void write_value(const Json::Value& value) {
        switch (value.type()) {
        case Json::nullValue:
            push_value("null");
            break;
        case Json::intValue:
            push_value(Json::valueToString(value.asLargestInt()));
            break;
        case Json::uintValue:
            push_value(Json::valueToString(value.asLargestUInt()));
            break;
        case Json::realValue:
            push_value(Json::valueToString(value.asDouble()));
            break;
        case Json::stringValue: {
            const char* begin = nullptr;
            const char* end = nullptr;
            if (value.getString(&begin, &end))
                push_value(quoted(value));
            else
                push_value("");
            break;
        }
        case Json::booleanValue:
            push_value(Json::valueToString(value.asBool()));
            break;
        case Json::arrayValue:
            write_array(value);
            break;
        case Json::objectValue:
            write_object(value);
            break;
        }
    }

    // The styled writer's quoting of a whole text (valueToQuotedString would stop at a NUL);
    // the stream writer quotes a lone text the same way.
    std::string quoted(const Json::Value& text) {
        std::ostringstream out;
        text_writer_->write(text, &out);
        return out.str();
    }

    void write_object(const Json::Value& value) {
        const Json::Value::Members members = value.getMemberNames();
        if (members.empty()) {
            push_value("{}");
            return;
        }
        with_indent("{");
        indent_ += "   ";
        for (std::size_t i = 0; i < members.size(); ++i) {
            with_indent(Json::valueToQuotedString(members[i].c_str()));
            put(" : ");
            write_value(value[members[i]]);
            if (i + 1 < members.size())
                put(",");
        }
        indent_.resize(indent_.size() - 3);
        with_indent("}");
    }

    void write_array(const Json::Value& value) {
        const Json::ArrayIndex size = value.size();
        if (size == 0) {
            push_value("[]");
            return;
        }
        if (multiline(value)) {
            with_indent("[");
            indent_ += "   ";
            const std::vector<std::string> children = std::move(short_children_);
            short_children_.clear();
            for (Json::ArrayIndex i = 0; i < size; ++i) {
                if (!children.empty()) {
                    with_indent(children[i]);
                } else {
                    write_indent();
                    write_value(value[i]);
                }
                if (i + 1 < size)
                    put(",");
            }
            indent_.resize(indent_.size() - 3);
            with_indent("]");
            return;
        }
        std::string line = "[ ";
        for (std::size_t i = 0; i < short_children_.size(); ++i) {
            if (i > 0)
                line += ", ";
            line += short_children_[i];
        }
        short_children_.clear();
        put(line + " ]");
    }

    // An array goes on one line when it is short, holds no filled array or object and its
    // line stays within the margin; its children's texts are then kept for that line.
    bool multiline(const Json::Value& value) {
        const Json::ArrayIndex size = value.size();
        bool many = size * 3 >= right_margin;
        short_children_.clear();
        for (Json::ArrayIndex i = 0; i < size && !many; ++i) {
            const Json::Value& child = value[i];
            many = (child.isArray() || child.isObject()) && !child.empty();
        }
        if (many)
            return true;
        collecting_ = true;
        std::size_t length = 4 + (size - 1) * 2;
        for (Json::ArrayIndex i = 0; i < size; ++i) {
            write_value(value[i]);
            length += short_children_[i].size();
        }
        collecting_ = false;
        return length >= right_margin;
    }

    std::ostream& out_;
    std::string indent_;
    char last_ = '\0';
    bool collecting_ = false;
    std::vector<std::string> short_children_;
    std::unique_ptr<Json::StreamWriter> text_writer_;
};

} // namespace

void write_styled(std::ostream& out, const Json::Value& value) {
    styled_stream(out).document(value);
}

} // namespace publish
