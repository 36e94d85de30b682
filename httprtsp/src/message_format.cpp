#include "httprtsp/src/message_format.hpp"

#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/detail/upload_stream.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <cstring>
#include <new>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <typeinfo>
#include <utility>

namespace httprtsp {

namespace detail {
// A header entry left by a message this thread destroyed (empty when there is none); in
// message.cpp, which keeps them.
message::header_map::node_type take_spare_header();
} // namespace detail

namespace {

enum : unsigned char { printable = 1, separator = 2, control = 4 };

struct char_classes {
    unsigned char of[256];
    char_classes() {
        for (int c = 0; c < 256; ++c) {
            unsigned char k = 0;
            if (c >= 32 && c <= 126)
                k |= printable;
            if (c <= 31 || c == 127)
                k |= control;
            of[c] = k;
        }
        for (int c : {9, 32, 34, 40, 41, 44, 47, 58, 59, 60, 61, 62, 63, 64, 91, 93, 92, 123, 125})
            of[c] |= separator;
    }
};
const char_classes classes;

inline unsigned char class_of(char c) {
    return classes.of[static_cast<unsigned char>(c)];
}
inline bool is_printable(char c) {
    return class_of(c) & printable;
}
inline bool is_control(char c) {
    return class_of(c) & control;
}
// A byte that may start or continue a token (method, header name).
inline bool is_token(char c) {
    return (class_of(c) & (printable | separator)) == printable;
}

// Scans eight bytes at a time while none of them can end the run, then finishes the word that
// may hold the end byte by byte. The tests are exact about whether a word holds such a byte.
typedef std::uint64_t word;
const word ones = 0x0101010101010101u;
const word high_bits = 0x8080808080808080u;

inline word load(const char* p) {
    word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
// Non-zero when some byte of w is below n (n at most 128).
inline word any_below(word w, unsigned n) {
    return (w - ones * n) & ~w & high_bits;
}
inline word any_equal(word w, unsigned char c) {
    return any_below(w ^ (ones * c), 1);
}

// First control byte (0 to 31, 127) from p, or end.
const char* skip_non_control(const char* p, const char* end) {
    while (end - p >= 8) {
        const word w = load(p);
        if (any_below(w, 0x20) | any_equal(w, 0x7f))
            break;
        p += 8;
    }
    while (p != end && !is_control(*p))
        ++p;
    return p;
}

// First byte from p that is not printable (32 to 126), or end.
const char* skip_printable(const char* p, const char* end) {
    while (end - p >= 8) {
        const word w = load(p);
        if (any_below(w, 0x20) | any_equal(w, 0x7f) | (w & high_bits))
            break;
        p += 8;
    }
    while (p != end && is_printable(*p))
        ++p;
    return p;
}

// As boost::lexical_cast<std::int32_t>, which it leaves the rest to: up to nine digits are
// always a number it would give the same way.
std::int32_t to_int32(const char* p, std::size_t n) {
    if (n == 0 || n > 9)
        return boost::lexical_cast<std::int32_t>(p, n);
    std::int32_t value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned digit = static_cast<unsigned char>(p[i]) - unsigned('0');
        if (digit > 9)
            return boost::lexical_cast<std::int32_t>(p, n);
        value = value * 10 + static_cast<std::int32_t>(digit);
    }
    return value;
}

const std::size_t upload_reserve = 16384;
// The most reserved ahead of the bytes; a larger body grows as it arrives.
const std::size_t body_reserve = 1 << 20;

// Room for n more bytes. Grows at least twofold, so a body arriving in many small pieces is
// copied a bounded number of times, but not beyond `more` bytes past the present size when
// that is all the body can still bring.
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

void report_no_memory(std::int32_t size) {
    HTTPRTSP_LOG_ERROR_ALWAYS("Could not allocate enough memory (%u) for message body.\n",
                              static_cast<unsigned>(static_cast<std::uint32_t>(size)));
}

// Runs reserve(); false (reported) when the memory for a body of this size cannot be had.
template <typename Reserve>
bool reserved(std::int32_t size, Reserve reserve) {
    try {
        reserve();
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    report_no_memory(size);
    return false;
}

} // namespace

message_format::message_format() {}
message_format::~message_format() {}

const char* message_format::consume_run(const char* begin, const char* end,
                                        boost::tribool& result) {
    while (begin != end) {
        result = consume(*begin++);
        if (!boost::indeterminate(result))
            return begin;
    }
    result = boost::indeterminate;
    return end;
}

httprtsp_message_format::httprtsp_message_format()
    : parse_state(message_start), remaining(0), chunked(false) {
    // Header text is collected into these; keep their storage across messages.
    start_line.reserve(256);
    header_name.reserve(64);
    header_value.reserve(256);
}

httprtsp_message_format::~httprtsp_message_format() {}

void httprtsp_message_format::reset() {
    parse_state = message_start;
    start_line.clear();
    current_message.reset();
}

std::vector<boost::asio::const_buffer>
httprtsp_message_format::to_buffers(boost::shared_ptr<message> msg) {
    return msg->to_buffers();
}

boost::tribool httprtsp_message_format::consume(char c) {
    boost::tribool result = boost::indeterminate;
    take(&c, &c + 1, result);
    return result;
}

bool httprtsp_message_format::consumes_runs() const {
    return typeid(*this) == typeid(httprtsp_message_format);
}

const char* httprtsp_message_format::consume_run(const char* p, const char* end,
                                                 boost::tribool& result) {
    if (!consumes_runs())
        return message_format::consume_run(p, end, result);
    result = boost::indeterminate;
    while (p != end) {
        p = take(p, end, result);
        if (!boost::indeterminate(result))
            return p;
    }
    return end;
}

const char* httprtsp_message_format::take(const char* p, const char* end, boost::tribool& result) {
    switch (parse_state) {
    case message_start:
        return take_first_byte(p, result);
    case start_line_text:
        return take_start_line(p, end, result);
    case start_line_lf:
        return expect('\n', header_line_start, p, result);
    case header_line_start:
    case folding_space:
    case header_name_text:
    case after_colon:
    case header_value_text:
    case header_line_lf:
    case header_block_lf:
        return take_header_text(p, end, result);
    case body_by_length:
        return take_body(p, end, result);
    case chunk_size_line:
        return take_chunk_size_line(p, end, result);
    case chunk_data:
        return take_chunk_data(p, end);
    case after_last_chunk: {
        // Trailer lines are not parsed: the first LF completes the message.
        const char* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (!lf)
            return end;
        result = true;
        return lf + 1;
    }
    default:
        result = false;
        return p + 1;
    }
}

namespace {

std::size_t room_left(std::size_t limit, std::size_t used) {
    return used < limit ? limit - used : 0;
}

} // namespace

const char* httprtsp_message_format::take_header_text(const char* p, const char* end,
                                                      boost::tribool& result) {
    // Every byte here counts against the header block and against its own line; the byte past
    // either limit is bad. Taking a shorter run changes nothing else, so the limits hold on
    // both paths alike.
    const std::size_t room = std::min(room_left(limits.header_block, block_length),
                                      room_left(limits.header_line, line_length));
    if (room == 0) {
        result = false;
        return p + 1;
    }
    if (static_cast<std::size_t>(end - p) > room)
        end = p + room;
    const char* q;
    switch (parse_state) {
    case header_line_start:
        q = take_line_start(p, end, result);
        break;
    case folding_space:
        q = take_folding_space(p, end, result);
        break;
    case header_name_text:
        q = take_header_name(p, end, result);
        break;
    case after_colon:
        q = take_after_colon(p, end, result);
        break;
    case header_value_text:
        q = take_header_value(p, end, result);
        break;
    case header_line_lf:
        q = expect('\n', header_line_start, p, result);
        break;
    default: // header_block_lf
        if (*p != '\n')
            result = false;
        else
            result = end_of_header_block();
        return p + 1;
    }
    const std::size_t taken = static_cast<std::size_t>(q - p);
    block_length += taken;
    line_length = parse_state == header_line_start ? 0 : line_length + taken;
    return q;
}

const char* httprtsp_message_format::expect(char wanted, state next, const char* p,
                                            boost::tribool& result) {
    if (*p == wanted)
        parse_state = next;
    else
        result = false;
    return p + 1;
}

const char* httprtsp_message_format::take_first_byte(const char* p, boost::tribool& result) {
    if (!is_token(*p) || limits.start_line == 0) {
        result = false;
    } else {
        start_line.push_back(*p);
        parse_state = start_line_text;
    }
    return p + 1;
}

const char* httprtsp_message_format::take_start_line(const char* p, const char* end,
                                                     boost::tribool& result) {
    // Printable bytes up to the limit; CR (not printable) ends the line.
    const std::size_t room = room_left(limits.start_line, start_line.size());
    const char* stop = static_cast<std::size_t>(end - p) > room ? p + room : end;
    const char* q = skip_printable(p, stop);
    start_line.append(p, static_cast<std::size_t>(q - p));
    if (q == end)
        return end;
    if (*q != '\r' || !end_of_start_line()) {
        result = false;
    } else {
        parse_state = start_line_lf;
        block_length = 0;
        line_length = 0;
        header_lines = 0;
    }
    return q + 1;
}

const char* httprtsp_message_format::take_line_start(const char* p, const char* end,
                                                     boost::tribool& result) {
    const char c = *p;
    if (c == '\r') {
        parse_state = header_block_lf;
    } else if (header_lines == limits.header_lines) {
        result = false; // one line too many, whatever it holds
    } else if ((c == ' ' || c == '\t') && current_message && !current_message->headers().empty()) {
        ++header_lines;
        parse_state = folding_space;
    } else if (!is_token(c)) {
        result = false;
    } else {
        // The byte is the name's first.
        ++header_lines;
        header_name.clear();
        header_value.clear();
        parse_state = header_name_text;
        return take_header_name(p, end, result);
    }
    return p + 1;
}

const char* httprtsp_message_format::take_folding_space(const char* p, const char* end,
                                                        boost::tribool& result) {
    const char c = *p;
    if (c == '\r') {
        parse_state = header_line_lf;
    } else if (c == ' ' || c == '\t') {
        const char* q = p + 1;
        while (q != end && (*q == ' ' || *q == '\t'))
            ++q;
        return q;
    } else if (is_control(c)) {
        result = false;
    } else {
        parse_state = header_value_text;
        return take_header_value(p, end, result);
    }
    return p + 1;
}

const char* httprtsp_message_format::take_header_name(const char* p, const char* end,
                                                      boost::tribool& result) {
    const char* q = p;
    while (q != end && is_token(*q))
        ++q;
    header_name.append(p, static_cast<std::size_t>(q - p));
    if (q == end)
        return end;
    if (*q != ':') {
        result = false;
        return q + 1;
    }
    parse_state = after_colon;
    if (++q == end)
        return end;
    return take_after_colon(q, end, result);
}

const char* httprtsp_message_format::take_after_colon(const char* p, const char* end,
                                                      boost::tribool& result) {
    if (*p != ' ') {
        result = false;
        return p + 1;
    }
    parse_state = header_value_text;
    return take_header_value(p + 1, end, result);
}

const char* httprtsp_message_format::take_header_value(const char* p, const char* end,
                                                       boost::tribool& result) {
    const char* q = skip_non_control(p, end);
    // A value that lies whole in this run is stored from the input, without collecting it.
    const char* value = p;
    std::size_t length = static_cast<std::size_t>(q - p);
    if (q == end || !header_value.empty()) {
        header_value.append(p, length);
        value = header_value.data();
        length = header_value.size();
    }
    if (q == end)
        return end;
    if (*q != '\r') {
        result = false;
        return q + 1;
    }
    end_of_header_line(value, length);
    return q + 1;
}

void httprtsp_message_format::end_of_header_line(const char* value, std::size_t length) {
    // Without a name (continuation text) nothing is stored; without a message (start line too
    // short) the header goes nowhere.
    if (!header_name.empty()) {
        if (current_message)
            store_header(value, length);
        header_name.clear();
        header_value.clear();
    }
    parse_state = header_line_lf;
}

const char* httprtsp_message_format::take_body(const char* p, const char* end,
                                               boost::tribool& result) {
    // Up to the end of the body, never beyond.
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(end - p),
                                                static_cast<std::size_t>(remaining));
    append_to_body(p, n, static_cast<std::uint64_t>(remaining));
    remaining -= static_cast<std::int32_t>(n);
    if (remaining == 0)
        result = true;
    return p + n;
}

const char* httprtsp_message_format::take_chunk_size_line(const char* p, const char* end,
                                                          boost::tribool& result) {
    // Everything up to the LF but CR is the chunk-size line.
    const char* lf =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* stop = lf ? lf : end;
    for (const char* q = p; q != stop; ++q) {
        if (*q == '\r')
            continue;
        if (header_value.size() >= limits.header_line) {
            result = false;
            return q + 1;
        }
        header_value.push_back(*q);
    }
    if (!lf)
        return end;
    result = read_chunk_size();
    return lf + 1;
}

const char* httprtsp_message_format::take_chunk_data(const char* p, const char* end) {
    if (remaining > 0) {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(end - p),
                                                    static_cast<std::size_t>(remaining));
        append_to_body(p, n, chunked_room());
        remaining -= static_cast<std::int32_t>(n);
        return p + n;
    }
    // The CR after the data, and anything else, up to the LF.
    const char* lf =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (!lf)
        return end;
    parse_state = chunk_size_line;
    return lf + 1;
}

std::vector<char>& httprtsp_message_format::body_bytes() {
    // While an upload arrives the connection drains the body; should it drop the vector
    // altogether, collecting goes on into a fresh one instead of through a null pointer.
    std::vector<char>* body = current_message->body().get();
    if (!body) {
        current_message->attach_body(boost::make_shared<std::vector<char>>());
        body = current_message->body().get();
    }
    return *body;
}

std::uint64_t httprtsp_message_format::chunked_room() {
    // What a chunked body held in memory may still grow by.
    if (body_streamed || limits.body == parser_limits::unlimited)
        return parser_limits::unlimited;
    const std::size_t size = body_bytes().size();
    return size < limits.body ? limits.body - size : 0;
}

void httprtsp_message_format::append_to_body(const char* p, std::size_t n, std::uint64_t more) {
    std::vector<char>& body = body_bytes();
    make_room(body, n, more);
    body.insert(body.end(), p, p + n);
}

void httprtsp_message_format::refresh_names() {
    // Header names are lower-cased through the global locale; look its facet up again only
    // when the global locale has changed.
    const std::locale now;
    if (names_ctype && now == names_locale)
        return;
    names_locale = now;
    names_ctype = &std::use_facet<std::ctype<char>>(names_locale);
    names_classic = names_locale == std::locale::classic();
    auto lowered = [this](const std::string& name) {
        std::string key(name);
        lower_in_place(key);
        return key;
    };
    transfer_encoding_key = lowered(header_names::transfer_encoding);
    content_length_key = lowered(header_names::content_length);
    content_type_key = lowered(header_names::content_type);
}

void httprtsp_message_format::lower_in_place(std::string& key) const {
    if (names_classic) {
        // The classic locale changes only A to Z; spare the facet's virtual call.
        for (char& c : key)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
    } else {
        names_ctype->tolower(&key[0], &key[0] + key.size());
    }
}

void httprtsp_message_format::store_header(const char* value, std::size_t length) {
    // Same as message::add_header, with the facet looked up once per message. The name is
    // cleared after this, so it is lowered where it lies.
    lower_in_place(header_name);
    message::header_map& headers = current_message->headers();
    message::header_map::iterator entry;
    // Like emplace (after the entries of the same name), in a reused node when there is one.
    if (message::header_map::node_type node = detail::take_spare_header()) {
        node.key().assign(header_name);
        node.mapped().assign(value, length);
        entry = headers.insert(std::move(node));
    } else {
        entry = headers.emplace(std::piecewise_construct, std::forward_as_tuple(header_name),
                                std::forward_as_tuple(value, length));
    }
    // Entries of one name keep their order, so the first stored is the first in the table: the
    // end of the header block needs no lookups.
    if (!first_length && entry->first == content_length_key)
        first_length = &entry->second;
    else if (!first_coding && entry->first == transfer_encoding_key)
        first_coding = &entry->second;
}

bool httprtsp_message_format::end_of_start_line() {
    // Too short for any start line: no message; the end of the header block rejects it.
    if (start_line.size() <= 5)
        return true;
    refresh_names();

    // Token boundaries; adjacent separators give empty tokens.
    std::size_t bounds[4]; // start of tokens 2..4 are after bounds[0..2]
    std::size_t found = 0;
    for (std::size_t i = 0; i < start_line.size() && found < 3; ++i)
        if (start_line[i] == ' ' || start_line[i] == '\t')
            bounds[found++] = i;
    const std::size_t tokens = found + 1; // at least; only the first three matter
    auto from = [&](std::size_t k) { return k == 0 ? 0 : bounds[k - 1] + 1; };
    auto length = [&](std::size_t k) {
        return (k < found ? bounds[k] : start_line.size()) - from(k);
    };

    if (boost::starts_with(start_line, "HTTP/") || boost::starts_with(start_line, "RTSP/")) {
        if (tokens < 2)
            return false;
        boost::shared_ptr<reply> r = boost::make_shared<reply>();
        r->protocol().assign(start_line, 0, length(0));
        r->status() = static_cast<std::uint32_t>(to_int32(start_line.data() + from(1), length(1)));
        current_message = r;
        current_is_request = false;
        first_length = first_coding = nullptr;
    } else {
        if (tokens < 3)
            return false;
        // Built with an empty protocol, so the constructor adds no Connection entry: a received
        // request keeps exactly the headers it arrived with.
        boost::shared_ptr<request> r =
            boost::make_shared<request>(std::string(), std::string(), std::string());
        r->method().assign(start_line, 0, length(0));
        r->uri().assign(start_line, from(1), length(1));
        r->protocol().assign(start_line, from(2), length(2));
        current_message = r;
        current_is_request = true;
        first_length = first_coding = nullptr;
    }
    return true;
}

bool httprtsp_message_format::is_upload() const {
    return current_is_request &&
           is_upload_request(static_cast<const request&>(*current_message), upload_uri);
}

boost::tribool httprtsp_message_format::end_of_header_block() {
    if (!current_message)
        return false;

    chunked = first_coding && boost::iequals(*first_coding, "chunked");
    body_streamed = is_upload();
    body_length = 0;
    if (chunked) {
        current_message->attach_body(boost::make_shared<std::vector<char>>());
        header_value.clear();
        parse_state = chunk_size_line;
        return boost::indeterminate;
    }

    // As message::content_length(): 0 without the entry, bad_lexical_cast for a malformed value.
    remaining = first_length ? to_int32(first_length->data(), first_length->size()) : 0;
    if (remaining == 0)
        return true;
    if (remaining < 0) {
        // No body can have a negative size; reserving for it could only fail.
        report_no_memory(remaining);
        return false;
    }
    if (!body_streamed && static_cast<std::uint64_t>(remaining) > limits.body)
        return false;
    message::body_ptr body = boost::make_shared<std::vector<char>>();
    if (!reserved(remaining, [&] {
            body->reserve(body_streamed
                              ? upload_reserve
                              : std::min(static_cast<std::size_t>(remaining), body_reserve));
        }))
        return false;
    current_message->attach_body(body);
    parse_state = body_by_length;
    return boost::indeterminate;
}

boost::tribool httprtsp_message_format::read_chunk_size() {
    // Same reading as formatted hex extraction: leading white space skipped, stops at the
    // first non-digit, so chunk extensions after ';' are ignored.
    std::istringstream in(header_value);
    in >> std::hex;
    std::int32_t size = 0;
    in >> size;
    // No number, a negative one, or one too large for a chunk: the stream cannot be followed.
    if (in.fail() || size < 0)
        return false;
    if (size == 0) {
        parse_state = after_last_chunk;
        return boost::indeterminate;
    }
    if (!body_streamed && body_length + static_cast<std::uint64_t>(size) > limits.body)
        return false;
    body_length += static_cast<std::uint64_t>(size);
    remaining = size;
    header_value.clear();
    std::vector<char>& body = body_bytes();
    if (!reserved(size, [&] {
            make_room(body, std::min(static_cast<std::size_t>(size), body_reserve), chunked_room());
        }))
        return false;
    parse_state = chunk_data;
    return boost::indeterminate;
}

} // namespace httprtsp
