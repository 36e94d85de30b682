// The parser's set-up and one-byte path, and the body of a message: by length, to the end of
// the connection, or in chunks with their trailers. Part of the parser in message_format.cpp,
// which keeps the hot paths of the start line and headers and writes the log lines.
#include "httprtsp/src/detail/lexer.hpp"
#include "httprtsp/src/detail/message_builder.hpp"
#include "httprtsp/src/message_format.hpp"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <typeinfo>

namespace httprtsp {

using namespace detail;

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
    leading_bytes = 0;
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
    // Everything up to the LF is the chunk-size line; a CR may only come right before the LF.
    const char* lf = find_lf(p, end);
    const char* stop = lf ? lf : end;
    for (const char* q = p; q != stop; ++q) {
        if (line_cr || (*q != '\r' && header_value.size() >= limits.header_line)) {
            result = false;
            return q + 1;
        }
        if (*q == '\r')
            line_cr = true;
        else
            header_value.push_back(*q);
    }
    if (!lf)
        return end;
    line_cr = false;
    result = read_chunk_size();
    return lf + 1;
}

const char* httprtsp_message_format::take_chunk_data(const char* p, const char* end) {
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(end - p),
                                                static_cast<std::size_t>(remaining));
    append_to_body(p, n, chunked_room());
    remaining -= static_cast<std::int32_t>(n);
    if (remaining == 0)
        parse_state = chunk_data_cr;
    return p + n;
}

const char* httprtsp_message_format::take_trailer(const char* p, const char* end,
                                                  boost::tribool& result) {
    // Trailer lines are read, bounded like header text, and dropped; the empty line ends the
    // message.
    if (!clip_to_text_room(p, end)) {
        result = false;
        return p + 1;
    }
    const char c = *p;
    const char* q = p + 1;
    if (parse_state == trailer_end_lf || (parse_state == after_last_chunk && c == '\n')) {
        result = c == '\n';
        return q;
    }
    if (parse_state == trailer_lf) {
        q = expect('\n', after_last_chunk, p, result);
    } else if (parse_state == after_last_chunk && c == '\r') {
        parse_state = trailer_end_lf;
    } else if (parse_state == after_last_chunk) {
        if (is_control(c) && c != '\t')
            result = false;
        parse_state = trailer_text;
    } else {
        q = skip_field_text(p, end);
        if (q != end) {
            if (*q == '\r')
                parse_state = trailer_lf;
            else if (*q == '\n')
                parse_state = after_last_chunk;
            else
                result = false;
            ++q;
        }
    }
    block_length += static_cast<std::size_t>(q - p);
    line_length =
        parse_state == after_last_chunk ? 0 : line_length + static_cast<std::size_t>(q - p);
    return q;
}

const char* httprtsp_message_format::take_to_close(const char* p, const char* end,
                                                   boost::tribool& result) {
    // Everything is body until end_of_input(); the byte past the body limit is bad.
    const std::uint64_t room = limits.body - std::min(limits.body, body_length);
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(end - p), room));
    append_to_body(p, n, room);
    body_length += n;
    if (p + n == end)
        return end;
    result = false;
    return p + n + 1;
}

boost::shared_ptr<message> httprtsp_message_format::end_of_input() {
    if (parse_state != body_to_close)
        return boost::shared_ptr<message>();
    boost::shared_ptr<message> done = current_message;
    reset();
    return done;
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

} // namespace httprtsp
