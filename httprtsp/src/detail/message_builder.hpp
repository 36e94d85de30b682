/// \file
/// Building a parsed message: the request or reply a start line announces, its header entries,
/// and how its headers frame its body (internal to the parser).
#ifndef HTTPRTSP_DETAIL_MESSAGE_BUILDER_HPP
#define HTTPRTSP_DETAIL_MESSAGE_BUILDER_HPP

#include "httprtsp/src/detail/lexer.hpp"
#include "httprtsp/src/message.hpp"

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <cstdint>
#include <locale>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace httprtsp {
namespace detail {

/// What a start line turned out to be.
enum class start_line_kind {
    too_short, ///< five bytes or fewer: no message is made
    request,
    reply,
    bad,
};

/// Builds the message a complete start line announces into \p out. A status line is
/// "HTTP/d.d" or "RTSP/d.d", one space, a three-digit status (anything else there throws
/// boost::bad_lexical_cast, as an unconvertible status always did), then nothing or a space and
/// a reason phrase. A request line is exactly method, target and protocol ("HTTP/d.d" or
/// "RTSP/d.d") separated by single spaces; a received request keeps no Connection entry of the
/// constructor.
start_line_kind build_start_line(const std::string& line, boost::shared_ptr<message>& out);

/// Whether a byte that is neither printable nor CR may go on into the start line collected so
/// far: HT and bytes 128 to 255 in a status line's reason phrase.
bool reason_phrase_byte(const std::string& line_so_far, char c);

/// Adds an entry under \p key (already lowered) after the entries of that name, in a spare node
/// of this thread when there is one; returns the stored value.
/// (Inline: it runs for every header of every message.)
inline std::string& store_header(message::header_map& headers, const std::string& key,
                                 const char* value, std::size_t length) {
    if (message::header_map::node_type node = take_spare_header()) {
        node.key().assign(key);
        node.mapped().assign(value, length);
        return headers.insert(std::move(node))->second;
    }
    return headers
        .emplace(std::piecewise_construct, std::forward_as_tuple(key),
                 std::forward_as_tuple(value, length))
        ->second;
}

/// Room in \p body for n more bytes. Grows at least twofold, so a body arriving in many small
/// pieces is copied a bounded number of times, but not beyond `more` bytes past the present
/// size when that is all the body can still bring.
void make_room(std::vector<char>& body, std::size_t n, std::uint64_t more);

/// Caches the global locale of the moment in \p cached with its ctype facet and whether it is
/// the classic one; false when the cache already held it.
bool cache_locale(std::locale& cached, const std::ctype<char>*& facet, bool& classic);
/// Lowers a header name through \p facet, as the header table stores names.
inline void lower_name(std::string& name, const std::ctype<char>& facet, bool classic) {
    if (classic) {
        // The classic locale changes only A to Z; spare the facet's virtual call.
        lower_ascii(&name[0], name.size());
    } else {
        facet.tolower(&name[0], &name[0] + name.size());
    }
}

/// How the headers of a message frame its body.
struct framing {
    enum kind_t {
        none,      ///< no body
        by_length, ///< `length` bytes (above 0)
        chunked,   ///< chunked transfer coding
        to_close,  ///< everything up to the end of the connection (HTTP/1.x replies)
        negative,  ///< a negative Content-Length: `length` holds it
        bad,       ///< the message cannot be framed safely
    } kind = none;
    std::int32_t length = 0;
};

/// What the parser noted about the framing headers while storing them.
struct framing_headers {
    const std::string* first_length = nullptr; ///< first Content-Length value
    const std::string* first_coding = nullptr; ///< first Transfer-Encoding value
    std::size_t lengths = 0;                   ///< Content-Length entries
    std::size_t codings = 0;                   ///< Transfer-Encoding entries
};

/// The framing of \p msg: Content-Length and Transfer-Encoding together, differing lengths, and
/// a request whose codings do not end in a single chunked are bad; replies with status 1xx, 204
/// or 304 carry no body; an HTTP reply framed by neither reads to the end of the connection.
/// Throws boost::bad_lexical_cast for a Content-Length value that is not a number.
framing decide_framing(const message& msg, bool is_request, const framing_headers& seen,
                       const std::string& length_key, const std::string& coding_key);

} // namespace detail
} // namespace httprtsp

#endif
