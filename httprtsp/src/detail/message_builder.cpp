#include "httprtsp/src/detail/message_builder.hpp"

#include "httprtsp/src/detail/lexer.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/lexical_cast/bad_lexical_cast.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>
#include <typeinfo>
#include <utility>
#include <vector>

namespace httprtsp {
namespace detail {

namespace {

const std::size_t protocol_size = 8; // "HTTP/d.d"

// "HTTP/" or "RTSP/" at p, which has at least five bytes. (A fixed-size memcmp compiles to
// a few compares; it runs for every message.)
bool is_protocol_name(const char* p) {
    return std::memcmp(p, "HTTP/", 5) == 0 || std::memcmp(p, "RTSP/", 5) == 0;
}

bool is_status_line(const std::string& line) {
    return line.size() >= 5 && is_protocol_name(line.data());
}

// "HTTP/d.d" or "RTSP/d.d" at line[from].
bool is_protocol_at(const std::string& line, std::size_t from) {
    if (line.size() - from < protocol_size || line[from + 6] != '.')
        return false;
    return is_protocol_name(line.data() + from) && is_digit(line[from + 5]) &&
           is_digit(line[from + 7]);
}

[[noreturn]] void not_a_number() {
    throw boost::bad_lexical_cast(typeid(std::string), typeid(std::int32_t));
}

start_line_kind build_reply(const std::string& line, boost::shared_ptr<message>& out) {
    if (!is_protocol_at(line, 0) || line.size() <= protocol_size || line[protocol_size] != ' ')
        return start_line_kind::bad;
    // Three digits, then the end or a space before the reason phrase.
    const std::size_t at = protocol_size + 1;
    std::uint64_t status = 0;
    if (line.size() < at + 3 || (line.size() > at + 3 && line[at + 3] != ' ') ||
        !read_decimal(line.data() + at, 3, 999, status))
        not_a_number();
    boost::shared_ptr<reply> r = boost::make_shared<reply>();
    r->protocol().assign(line, 0, protocol_size);
    r->status() = static_cast<std::uint32_t>(status);
    out = r;
    return start_line_kind::reply;
}

start_line_kind build_request(const std::string& line, boost::shared_ptr<message>& out) {
    const std::size_t first = line.find(' ');
    if (first == std::string::npos || first == 0)
        return start_line_kind::bad;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string::npos || second == first + 1 ||
        line.size() - second - 1 != protocol_size || !is_protocol_at(line, second + 1))
        return start_line_kind::bad;
    // Built with an empty protocol, so the constructor adds no Connection entry: a received
    // request keeps exactly the headers it arrived with.
    boost::shared_ptr<request> r =
        boost::make_shared<request>(std::string(), std::string(), std::string());
    r->method().assign(line, 0, first);
    r->uri().assign(line, first + 1, second - first - 1);
    r->protocol().assign(line, second + 1, protocol_size);
    out = r;
    return start_line_kind::request;
}

// A Content-Length value: digits up to the largest body, or a negative number, which the
// parser reports as a size it cannot reserve. Anything else throws.
std::int64_t length_value(const std::string& value) {
    const std::uint64_t most = std::numeric_limits<std::int32_t>::max();
    std::uint64_t n = 0;
    if (read_decimal(value.data(), value.size(), most, n))
        return static_cast<std::int64_t>(n);
    if (!value.empty() && value[0] == '-' &&
        read_decimal(value.data() + 1, value.size() - 1, most + 1, n))
        return -static_cast<std::int64_t>(n);
    not_a_number();
}

// Every Transfer-Encoding value as one list of codings.
std::vector<std::string> codings_of(const message& msg, const framing_headers& seen,
                                    const std::string& coding_key) {
    std::vector<std::string> out;
    auto split = [&out](const std::string& list) {
        std::size_t from = 0;
        for (;;) {
            const std::size_t comma = std::min(list.find(',', from), list.size());
            const char* b = list.data() + from;
            const char* e = list.data() + comma;
            trim_ows(b, e);
            if (b != e)
                out.emplace_back(b, e);
            if (comma == list.size())
                return;
            from = comma + 1;
        }
    };
    if (seen.codings == 1) {
        split(*seen.first_coding);
    } else {
        const auto all = msg.headers().equal_range(coding_key);
        for (auto it = all.first; it != all.second; ++it)
            split(it->second);
    }
    return out;
}

// The one framing a list of codings allows: chunked last, and only there.
bool ends_in_chunked(const std::vector<std::string>& codings) {
    for (std::size_t i = 0; i < codings.size(); ++i)
        if (boost::iequals(codings[i], "chunked"))
            return i + 1 == codings.size();
    return false;
}

framing length_framing(const message& msg, const framing_headers& seen,
                       const std::string& length_key) {
    const std::int64_t value = length_value(*seen.first_length);
    if (seen.lengths > 1) {
        const auto all = msg.headers().equal_range(length_key);
        for (auto it = all.first; it != all.second; ++it)
            if (length_value(it->second) != value)
                return {framing::bad, 0};
    }
    if (value == 0)
        return {framing::none, 0};
    return {value < 0 ? framing::negative : framing::by_length, static_cast<std::int32_t>(value)};
}

} // namespace

start_line_kind build_start_line(const std::string& line, boost::shared_ptr<message>& out) {
    if (line.size() <= 5)
        return start_line_kind::too_short;
    return is_status_line(line) ? build_reply(line, out) : build_request(line, out);
}

bool reason_phrase_byte(const std::string& line_so_far, char c) {
    const std::size_t reason = protocol_size + 5; // "HTTP/1.1 200 "
    return (c == '\t' || (static_cast<unsigned char>(c) & 0x80)) && line_so_far.size() >= reason &&
           line_so_far[reason - 1] == ' ' && is_status_line(line_so_far);
}

void make_room(std::vector<char>& body, std::size_t n, std::uint64_t more) {
    const std::size_t size = body.size();
    if (body.capacity() - size >= n)
        return;
    std::uint64_t want = std::max<std::uint64_t>(2 * std::uint64_t(body.capacity()), size + n);
    if (more < want - size)
        want = size + std::max<std::uint64_t>(more, n);
    want = std::min<std::uint64_t>(want, body.max_size());
    body.reserve(static_cast<std::size_t>(want));
}

bool cache_locale(std::locale& cached, const std::ctype<char>*& facet, bool& classic) {
    const std::locale now;
    if (facet && now == cached)
        return false;
    cached = now;
    facet = &std::use_facet<std::ctype<char>>(cached);
    classic = cached == std::locale::classic();
    return true;
}

framing decide_framing(const message& msg, bool is_request, const framing_headers& seen,
                       const std::string& length_key, const std::string& coding_key) {
    const std::string& protocol = msg.protocol();
    const bool http = protocol.size() >= 5 && std::memcmp(protocol.data(), "HTTP/", 5) == 0;
    if (!is_request) {
        const std::uint32_t status = static_cast<const reply&>(msg).status();
        if ((status >= 100 && status < 200) || status == 204 || status == 304)
            return {framing::none, 0};
    }
    if (seen.codings > 0) {
        if (seen.lengths > 0)
            return {framing::bad, 0};
        if (ends_in_chunked(codings_of(msg, seen, coding_key)))
            return {framing::chunked, 0};
        // A reply coded otherwise ends with the connection; a request cannot be framed.
        return {!is_request && http ? framing::to_close : framing::bad, 0};
    }
    if (seen.lengths > 0)
        return length_framing(msg, seen, length_key);
    return {!is_request && http ? framing::to_close : framing::none, 0};
}

} // namespace detail
} // namespace httprtsp
