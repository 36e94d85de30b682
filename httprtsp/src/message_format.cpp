#include "httprtsp/src/message_format.hpp"

#include "httprtsp/src/detail/lexer.hpp"
#include "httprtsp/src/detail/message_builder.hpp"
#include "httprtsp/src/log.hpp"
#include "httprtsp/src/message.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace httprtsp {

using namespace detail;

namespace {

const std::size_t upload_reserve = 16384;
// The most reserved ahead of the bytes; a larger body grows as it arrives.
const std::size_t body_reserve = 1 << 20;

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
    case leading_lf:
        if (++leading_bytes > limits.start_line) {
            result = false;
            return p + 1;
        }
        return expect('\n', message_start, p, result);
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
    case body_to_close:
        return take_to_close(p, end, result);
    case chunk_size_line:
        return take_chunk_size_line(p, end, result);
    case chunk_data:
        return take_chunk_data(p, end);
    case chunk_data_cr:
        // Chunk data ends with its line end; a bare LF is tolerated as everywhere.
        if (*p == '\n')
            return expect('\n', chunk_size_line, p, result);
        return expect('\r', chunk_data_lf, p, result);
    case chunk_data_lf:
        return expect('\n', chunk_size_line, p, result);
    case after_last_chunk:
    case trailer_text:
    case trailer_lf:
    case trailer_end_lf:
        return take_trailer(p, end, result);
    default:
        result = false;
        return p + 1;
    }
}

bool httprtsp_message_format::clip_to_text_room(const char* p, const char*& end) const {
    const std::size_t room = std::min(room_left(limits.header_block, block_length),
                                      room_left(limits.header_line, line_length));
    if (static_cast<std::size_t>(end - p) > room)
        end = p + room;
    return room != 0;
}

const char* httprtsp_message_format::take_header_text(const char* p, const char* end,
                                                      boost::tribool& result) {
    // Every byte here counts against the header block and against its own line; the byte past
    // either limit is bad. Taking a shorter run changes nothing else, so the limits hold on
    // both paths alike.
    if (!clip_to_text_room(p, end)) {
        result = false;
        return p + 1;
    }
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
    const char c = *p;
    if (c == '\r' || c == '\n') {
        // Empty lines before a message are skipped, up to the length of a start line.
        if (++leading_bytes > limits.start_line)
            result = false;
        else if (c == '\r')
            parse_state = leading_lf;
    } else if (!is_token(c) || limits.start_line == 0) {
        result = false;
    } else {
        start_line.push_back(c);
        parse_state = start_line_text;
    }
    return p + 1;
}

const char* httprtsp_message_format::take_start_line(const char* p, const char* end,
                                                     boost::tribool& result) {
    // Printable bytes up to the limit (and HT or obs-text in a reason phrase); CR (not
    // printable) ends the line.
    const std::size_t room = room_left(limits.start_line, start_line.size());
    const char* stop = static_cast<std::size_t>(end - p) > room ? p + room : end;
    const char* q = p;
    for (;;) {
        const char* r = skip_printable(q, stop);
        start_line.append(q, static_cast<std::size_t>(r - q));
        q = r;
        if (q == stop || !reason_phrase_byte(start_line, *q))
            break;
        start_line.push_back(*q++);
    }
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
    } else if (is_ows(c) && current_message && !current_message->headers().empty()) {
        // A folded line: joined to the entry before it in a reply, refused in a request, where
        // it could hide a framing header from us that another reader sees.
        if (current_is_request) {
            result = false;
        } else {
            ++header_lines;
            header_name.clear();
            header_value.clear();
            parse_state = folding_space;
        }
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
    // Optional white space before the value, any amount.
    while (p != end && is_ows(*p))
        ++p;
    if (p == end)
        return end;
    parse_state = header_value_text;
    return take_header_value(p, end, result);
}

const char* httprtsp_message_format::take_header_value(const char* p, const char* end,
                                                       boost::tribool& result) {
    const char* q = skip_field_text(p, end);
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
    while (length != 0 && is_ows(value[length - 1]))
        --length;
    end_of_header_line(value, length);
    return q + 1;
}

inline void httprtsp_message_format::end_of_header_line(const char* value, std::size_t length) {
    // Without a message (start line too short) the header goes nowhere. A continuation line
    // (no name) extends the entry before it, after one space.
    if (!header_name.empty()) {
        if (current_message)
            store_header(value, length);
        header_name.clear();
    } else if (last_value && length != 0) {
        last_value->push_back(' ');
        last_value->append(value, length);
    }
    header_value.clear();
    parse_state = header_line_lf;
}

void httprtsp_message_format::refresh_names() {
    // Header names are lower-cased through the global locale; look its facet up again only
    // when the global locale has changed.
    if (!cache_locale(names_locale, names_ctype, names_classic))
        return;
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
    lower_name(key, *names_ctype, names_classic);
}

void httprtsp_message_format::store_header(const char* value, std::size_t length) {
    // Same as message::add_header, with the facet looked up once per message. The name is
    // cleared after this, so it is lowered where it lies.
    lower_in_place(header_name);
    std::string& stored =
        detail::store_header(current_message->headers(), header_name, value, length);
    last_value = &stored;
    // Entries of one name keep their order, so the first stored is the first in the table: the
    // end of the header block needs no lookups.
    if (header_name == content_length_key) {
        if (lengths++ == 0)
            first_length = &stored;
    } else if (header_name == transfer_encoding_key) {
        if (codings++ == 0)
            first_coding = &stored;
    }
}

bool httprtsp_message_format::end_of_start_line() {
    refresh_names();
    boost::shared_ptr<message> built;
    switch (build_start_line(start_line, built)) {
    case start_line_kind::too_short:
        // No message; the end of the header block rejects it.
        return true;
    case start_line_kind::bad:
        return false;
    case start_line_kind::request:
        current_is_request = true;
        break;
    case start_line_kind::reply:
        current_is_request = false;
        break;
    }
    current_message = built;
    first_length = first_coding = nullptr;
    lengths = codings = 0;
    last_value = nullptr;
    return true;
}

bool httprtsp_message_format::is_upload() const {
    return current_is_request &&
           is_upload_request(static_cast<const request&>(*current_message), upload_uri);
}

boost::tribool httprtsp_message_format::end_of_header_block() {
    if (!current_message)
        return false;
    framing_headers seen;
    seen.first_length = first_length;
    seen.first_coding = first_coding;
    seen.lengths = lengths;
    seen.codings = codings;
    const framing body = decide_framing(*current_message, current_is_request, seen,
                                        content_length_key, transfer_encoding_key);
    chunked = body.kind == framing::chunked;
    body_streamed = is_upload();
    body_length = 0;
    switch (body.kind) {
    case framing::none:
        return true;
    case framing::bad:
        return false;
    case framing::negative:
        // No body can have a negative size; reserving for it could only fail.
        report_no_memory(body.length);
        return false;
    case framing::chunked:
        current_message->attach_body(boost::make_shared<std::vector<char>>());
        header_value.clear();
        line_cr = false;
        parse_state = chunk_size_line;
        return boost::indeterminate;
    case framing::to_close:
        current_message->attach_body(boost::make_shared<std::vector<char>>());
        parse_state = body_to_close;
        return boost::indeterminate;
    case framing::by_length:
        break;
    }
    return begin_body(body.length);
}

boost::tribool httprtsp_message_format::begin_body(std::int32_t length) {
    remaining = length;
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
    std::uint64_t value = 0;
    if (!read_chunk_size_line(header_value.data(), header_value.data() + header_value.size(),
                              static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()),
                              value))
        return false;
    const std::int32_t size = static_cast<std::int32_t>(value);
    if (size == 0) {
        // Trailers follow, bounded like a header block.
        block_length = 0;
        line_length = 0;
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
