/// \file
/// Incremental parser and serializer for HTTP/1.x and RTSP messages sharing one byte stream.
#ifndef HTTPRTSP_MESSAGE_FORMAT_HPP
#define HTTPRTSP_MESSAGE_FORMAT_HPP

#include "httprtsp/src/message.hpp"

#include <boost/logic/tribool.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/tuple/tuple.hpp>

#include <cstdint>
#include <locale>
#include <string>
#include <type_traits>
#include <vector>

namespace httprtsp {

/// How much a message may hold before the parser calls it bad. Header text is always bounded;
/// the body held in memory only when `body` says so. Upload bodies stream to their file as they
/// arrive, so no body limit applies to them.
struct parser_limits {
    /// No limit on the body.
    static constexpr std::uint64_t unlimited = ~std::uint64_t(0);

    /// Bytes of the start line before its CR.
    std::size_t start_line = 8 * 1024;
    /// Bytes of one header line, its CR LF included; also the bytes of a chunk-size line.
    std::size_t header_line = 8 * 1024;
    /// Bytes from the first header line to the LF of the empty line.
    std::size_t header_block = 64 * 1024;
    /// Header lines, continuation lines included.
    std::size_t header_lines = 100;
    /// Body bytes of a message held in memory (by Content-Length, or all chunks together).
    std::uint64_t body = unlimited;

    /// What a server takes from its peers: the defaults and bodies up to 64 MiB.
    static parser_limits for_server_requests() {
        parser_limits limits;
        limits.body = std::uint64_t(64) << 20;
        return limits;
    }
};

/// Parser and serializer interface; one format per connection, its parser used by one thread
/// at a time (serializing may run on another thread meanwhile).
///
/// Errors: parse() and consume() let boost::bad_lexical_cast out when a status code is not a
/// decimal number or a Content-Length value cannot be converted. Treat that exactly like a
/// false result (malformed message): get_current_message() still returns the partly built
/// message (or null), then call reset(), which leaves the parser ready for a fresh message.
/// The position inside the input is lost, so the caller should answer and close as for any
/// malformed input.
class message_format {
public:
    message_format();
    virtual ~message_format();

    /// Forget the message being parsed; the next byte starts a new message.
    virtual void reset() = 0;
    /// Wire image of a message (views into it; keep it alive until written).
    virtual std::vector<boost::asio::const_buffer> to_buffers(boost::shared_ptr<message> msg) = 0;
    /// One byte: true = current message complete, false = malformed, indeterminate = need more.
    virtual boost::tribool consume(char c) = 0;

    /// Feeds bytes from begin until a message completes or turns out malformed; then returns
    /// (result, position just past that byte, the message) and resets. When the bytes run out
    /// first: (indeterminate, end, null) and the partial state is kept for the next call.
    template <typename Iterator>
    boost::tuple<boost::tribool, Iterator, boost::shared_ptr<message>> parse(Iterator begin,
                                                                             Iterator end);

    /// The message being parsed, null between messages. While an upload arrives the caller may
    /// take the bytes collected so far out of its body between parse calls (clear the vector);
    /// the parser keeps counting by the Content-Length. Its headers are the parser's until the
    /// message is handed out: leave them as they are.
    boost::shared_ptr<message> get_current_message() const { return current_message; }

    /// A multipart POST to exactly this URI is an upload: its body is drained by the connection
    /// while it arrives, so only a small buffer is reserved for it. Empty: no uploads.
    std::string upload_uri;

protected:
    /// Consumes bytes from [begin, end) like repeated consume() calls, possibly taking runs of
    /// bytes at once; stops just past the byte that gave true or false and stores that result,
    /// or returns end with result indeterminate.
    virtual const char* consume_run(const char* begin, const char* end, boost::tribool& result);

    /// The message being parsed (see get_current_message()).
    boost::shared_ptr<message> current_message;

private:
    template <typename Iterator>
    boost::tuple<boost::tribool, Iterator, boost::shared_ptr<message>> finish(boost::tribool result,
                                                                              Iterator pos) {
        boost::shared_ptr<message> done = current_message;
        reset();
        return boost::make_tuple(result, pos, done);
    }
};

template <typename Iterator>
boost::tuple<boost::tribool, Iterator, boost::shared_ptr<message>>
message_format::parse(Iterator begin, Iterator end) {
    typedef typename std::remove_cv<typename std::remove_pointer<Iterator>::type>::type pointee;
    if constexpr (std::is_pointer<Iterator>::value && sizeof(pointee) == 1 &&
                  (std::is_same<pointee, char>::value ||
                   std::is_same<pointee, unsigned char>::value ||
                   std::is_same<pointee, signed char>::value)) {
        // Contiguous bytes: let the format take runs (header text, body) at once.
        const char* b = reinterpret_cast<const char*>(begin);
        const char* e = reinterpret_cast<const char*>(end);
        boost::tribool result = boost::indeterminate;
        const char* stop = consume_run(b, e, result);
        if (!boost::indeterminate(result))
            return finish(result, begin + (stop - b));
        return boost::make_tuple(boost::tribool(boost::indeterminate), end,
                                 boost::shared_ptr<message>());
    } else {
        while (begin != end) {
            char c = *begin;
            ++begin;
            boost::tribool result = consume(c);
            if (!boost::indeterminate(result))
                return finish(result, begin);
        }
        return boost::make_tuple(boost::tribool(boost::indeterminate), end,
                                 boost::shared_ptr<message>());
    }
}

/// The HTTP/1.x and RTSP wire format: start line, headers, and a body by Content-Length or
/// chunked transfer encoding; header names are matched without regard to case.
class httprtsp_message_format : public message_format {
public:
    /// Parser states, numbered as the grammar numbers them.
    enum state : std::uint32_t {
        message_start = 0,     ///< before a message (empty lines there are skipped)
        start_line_text = 1,   ///< collecting the start line
        start_line_lf = 2,     ///< after the start line's CR
        header_line_start = 3, ///< first byte of a header line, or CR of the empty line
        folding_space = 4,     ///< leading white space of a continuation line (replies only)
        header_name_text = 5,  ///< collecting a header name
        after_colon = 6,       ///< optional white space between name and value
        header_value_text = 7, ///< collecting a header value
        header_line_lf = 8,    ///< after a header line's CR
        header_block_lf = 9,   ///< after the CR of the empty line
        body_by_length = 10,   ///< body counted down from the Content-Length
        chunk_size_line = 11,  ///< collecting a chunk-size line
        chunk_data = 12,       ///< chunk data
        after_last_chunk = 13, ///< first byte of a trailer line, or of the empty line ending them
        body_to_close = 14,    ///< a reply's body running to the end of the connection
        chunk_data_cr = 15,    ///< the CR (or bare LF) that must follow chunk data
        chunk_data_lf = 16,    ///< the LF after chunk data's CR
        trailer_text = 17,     ///< the rest of a trailer line
        trailer_lf = 18,       ///< after a trailer line's CR
        trailer_end_lf = 19,   ///< after the CR of the empty line ending the trailers
        leading_lf = 20,       ///< after the CR of an empty line before a message
    };

    httprtsp_message_format();
    ~httprtsp_message_format() override;

    void reset() override;
    std::vector<boost::asio::const_buffer> to_buffers(boost::shared_ptr<message> msg) override;
    boost::tribool consume(char c) override;

    /// Takes effect from the next byte; counts already made for the current message stay.
    /// A message past a limit is malformed (false). Default: parser_limits() (body unlimited).
    void set_limits(const parser_limits& next) { limits = next; }
    /// The limits in force.
    const parser_limits& get_limits() const { return limits; }

    /// The peer has ended the stream. A reply whose body runs to the end of the connection
    /// (HTTP, framed by neither Content-Length nor chunked coding) is complete then: it is
    /// returned and the parser reset. Otherwise null, and nothing changes.
    boost::shared_ptr<message> end_of_input();

protected:
    const char* consume_run(const char* begin, const char* end, boost::tribool& result) override;
    /// Whether runs of bytes may bypass consume(). True only for this class itself: a subclass
    /// that overrides consume() sees every byte; one that does not may return true again.
    virtual bool consumes_runs() const;

private:
    // The grammar: take bytes of [p, end) (p != end) in the current state, at least one; stop
    // past a byte that decides the message (result set), or where the state changes. Both the
    // one-byte path and the run path go through here.
    const char* take(const char* p, const char* end, boost::tribool& result);
    const char* take_first_byte(const char* p, boost::tribool& result);
    const char* take_start_line(const char* p, const char* end, boost::tribool& result);
    const char* take_header_text(const char* p, const char* end, boost::tribool& result);
    const char* take_line_start(const char* p, const char* end, boost::tribool& result);
    const char* take_folding_space(const char* p, const char* end, boost::tribool& result);
    const char* take_header_name(const char* p, const char* end, boost::tribool& result);
    const char* take_after_colon(const char* p, const char* end, boost::tribool& result);
    const char* take_header_value(const char* p, const char* end, boost::tribool& result);
    const char* take_body(const char* p, const char* end, boost::tribool& result);
    const char* take_chunk_size_line(const char* p, const char* end, boost::tribool& result);
    const char* take_chunk_data(const char* p, const char* end);
    const char* take_trailer(const char* p, const char* end, boost::tribool& result);
    const char* take_to_close(const char* p, const char* end, boost::tribool& result);
    const char* expect(char wanted, state next, const char* p, boost::tribool& result);
    // Cuts [p, end) to the header or trailer text the limits still allow (the fewer bytes
    // left of the block and of its current line); false when none is, and the byte at p is
    // one too many.
    bool clip_to_text_room(const char* p, const char*& end) const;

    // False when the line is bad; no message is made for one too short.
    bool end_of_start_line();
    boost::tribool end_of_header_block();
    boost::tribool begin_body(std::int32_t length);
    boost::tribool read_chunk_size();
    void end_of_header_line(const char* value, std::size_t length);
    bool is_upload() const;
    std::vector<char>& body_bytes();
    void append_to_body(const char* p, std::size_t n, std::uint64_t more);
    std::uint64_t chunked_room();
    void refresh_names();
    void store_header(const char* value, std::size_t length);
    void lower_in_place(std::string& key) const;

    std::uint32_t parse_state;
    std::int32_t remaining;
    bool chunked;
    std::string start_line;
    std::string header_name;
    std::string header_value;

    parser_limits limits;
    // Counted against the limits since the end of the start line (and again for the trailers).
    std::size_t block_length = 0;
    std::size_t line_length = 0;
    std::size_t header_lines = 0;
    // Bytes of empty lines skipped before the message.
    std::size_t leading_bytes = 0;
    // A CR has ended the chunk-size line being collected: only its LF may follow.
    bool line_cr = false;
    // Chunk sizes announced so far; whether the body streams to a file (an upload).
    std::uint64_t body_length = 0;
    bool body_streamed = false;

    // Values of the first Content-Length and Transfer-Encoding entries stored so far, and how
    // many of each there are.
    const std::string* first_length = nullptr;
    const std::string* first_coding = nullptr;
    std::size_t lengths = 0;
    std::size_t codings = 0;
    // The value of the entry stored last, which a continuation line (in a reply) extends.
    std::string* last_value = nullptr;

    // What the start line said the current message is.
    bool current_is_request = false;
    // The global locale's ctype facet and the header keys lowered through it.
    std::locale names_locale;
    const std::ctype<char>* names_ctype = nullptr;
    bool names_classic = false;
    std::string transfer_encoding_key;
    std::string content_length_key;
    std::string content_type_key;
};

} // namespace httprtsp

#endif
