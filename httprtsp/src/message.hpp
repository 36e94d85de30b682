/// \file
/// HTTP and RTSP messages: requests and replies with their header table, body and wire image.
#ifndef HTTPRTSP_MESSAGE_HPP
#define HTTPRTSP_MESSAGE_HPP

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

/// The HTTP/RTSP library: messages, parser, connections, client, server and I/O pool.
namespace httprtsp {

/// Header names and the two Connection values, as the library spells them.
namespace header_names {
///@{
/// The spelling of this name or value (e.g. content_length is "Content-Length", keep_alive
/// "Keep-Alive").
extern const std::string accept;
extern const std::string close;
extern const std::string connection;
extern const std::string content_length;
extern const std::string content_type;
extern const std::string keep_alive;
extern const std::string cseq;
extern const std::string public_; // "Public": the underscore avoids the keyword
extern const std::string session;
extern const std::string unicast_client_port;
extern const std::string transfer_encoding;
extern const std::string upgrade;
extern const std::string sec_websocket_accept;
extern const std::string sec_websocket_key;
extern const std::string sec_websocket_origin;
extern const std::string sec_websocket_protocol;
extern const std::string sec_websocket_version;
///@}
} // namespace header_names

/// HTTP and RTSP method names.
namespace method_names {
///@{
/// The method as it appears on a start line (e.g. get_parameter is "GET_PARAMETER", delete_
/// "DELETE").
extern const std::string announce;
extern const std::string delete_; // "DELETE"
extern const std::string describe;
extern const std::string get;
extern const std::string get_parameter;
extern const std::string head;
extern const std::string link;
extern const std::string options;
extern const std::string pause;
extern const std::string play;
extern const std::string post;
extern const std::string put;
extern const std::string record;
extern const std::string redirect;
extern const std::string set_parameter;
extern const std::string setup;
extern const std::string teardown;
extern const std::string unlink;
extern const std::string update;
///@}
} // namespace method_names

/// Content-Type of every stock page ("text/html").
extern const std::string text_html;

/// Text after "<protocol> " on a reply's start line, e.g. "200 OK"; unknown codes give the
/// 500 line.
const std::string& status_line(int code);
/// HTML page attached by reply::set_status(code, true); unknown codes give the 500 page.
const std::string& stock_body(int code);

/// Lower-cases a header name through the global locale, as the header table stores it.
std::string normalise_header_name(const std::string& name);

/// The first entry stored under key (already lowered) in a header table, or its end().
template <typename Map>
auto first_header(Map& headers, const std::string& key) -> decltype(headers.begin()) {
    auto it = headers.lower_bound(key);
    return it != headers.end() && it->first == key ? it : headers.end();
}

/// What requests and replies share: protocol, header table and body.
///
/// Always held by boost::shared_ptr. Not synchronised: a message belongs to one thread at a
/// time, and must not change between handing it to a connection and the end of its write.
class message {
public:
    /// Header table keyed by the lower-cased name (normalise_header_name()); entries of one
    /// name keep their order. Names go on the wire in that lower-cased form.
    typedef std::multimap<std::string, std::string> header_map;
    /// Body bytes, shared so that a body can be attached without copying.
    typedef boost::shared_ptr<std::vector<char>> body_ptr;

    virtual ~message();

    /// The wire image as views into this message and process-wide constants; valid while the
    /// message lives and is not changed.
    virtual std::vector<boost::asio::const_buffer> to_buffers() const = 0;
    /// One-line dump for logs.
    virtual std::string to_string() const = 0;
    /// Whether the connection may stay open after this message has been written; a connection
    /// closes after writing one that answers false. Always true here.
    virtual bool keep_alive() const;

    /// "HTTP/1.1", "RTSP/1.0" and the like; empty on a reply that has none yet.
    std::string& protocol() { return protocol_; }
    /// \copydoc protocol()
    const std::string& protocol() const { return protocol_; }

    /// The header table; edit it directly or through the operations below.
    header_map& headers() { return headers_; }
    /// \copydoc headers()
    const header_map& headers() const { return headers_; }

    /// Always adds a new entry (after existing entries of the same name); never replaces.
    void add_header(const std::string& name, const std::string& value);
    /// Removes every entry of that name (any case).
    void remove_header(const std::string& name);
    /// First entry of that name (any case), or headers().end().
    header_map::iterator find_header(const std::string& name);
    /// \copydoc find_header(const std::string&)
    header_map::const_iterator find_header(const std::string& name) const;

    /// The body; may be null (no body). While an upload arrives, the connection empties it
    /// after every read.
    body_ptr body() const { return body_; }
    /// Sets the body and replaces every Content-Length entry by the body's size (0 for null).
    void set_body(body_ptr bytes);
    /// \copydoc set_body(body_ptr)
    void set_body(const std::string& text);
    /// Sets the pointer only; headers stay as they are.
    void attach_body(body_ptr bytes) { body_ = bytes; }

    /// Value of the first Content-Length entry, 0 without one. Throws boost::bad_lexical_cast
    /// when the value is not a decimal int.
    int content_length() const;

protected:
    /// Empty protocol, no headers, no body.
    message();
    /// Given protocol, no headers, no body.
    explicit message(const std::string& protocol);

    /// Appends the header lines, the empty line and the body view.
    void append_header_and_body_buffers(std::vector<boost::asio::const_buffer>& out) const;
    /// Appends the "header: [...], body: ...]" part of the dump.
    void append_header_and_body_dump(std::string& out) const;

private:
    body_ptr body_;
    std::string protocol_;
    header_map headers_;
};

/// A request: "<method> <uri> <protocol>" followed by headers and body.
class request : public message {
public:
    /// Adds "Connection: Keep-Alive" when protocol is "HTTP/1.1" or begins with "RTSP/".
    request(const std::string& method, const std::string& uri, const std::string& protocol);
    ~request() override;

    std::vector<boost::asio::const_buffer> to_buffers() const override;
    std::string to_string() const override;

    /// This side's address of the connection a received request came in on (set by the
    /// connection before the handler sees it; unset on requests built here).
    boost::asio::ip::tcp::endpoint& local_endpoint() { return local_endpoint_; }
    /// \copydoc local_endpoint()
    const boost::asio::ip::tcp::endpoint& local_endpoint() const { return local_endpoint_; }
    /// The peer's address of the connection a received request came in on.
    boost::asio::ip::tcp::endpoint& remote_endpoint() { return remote_endpoint_; }
    /// \copydoc remote_endpoint()
    const boost::asio::ip::tcp::endpoint& remote_endpoint() const { return remote_endpoint_; }
    /// The method as written, e.g. "POST" (see method_names).
    std::string& method() { return method_; }
    /// \copydoc method()
    const std::string& method() const { return method_; }
    /// The request target as written, still percent-encoded (see url_decode(), parse_uri()).
    std::string& uri() { return uri_; }
    /// \copydoc uri()
    const std::string& uri() const { return uri_; }

private:
    boost::asio::ip::tcp::endpoint local_endpoint_;
    boost::asio::ip::tcp::endpoint remote_endpoint_;
    std::string method_;
    std::string uri_;
};

/// A multipart POST over HTTP to exactly upload_uri; never one when upload_uri is empty (an
/// empty request target must not count as an upload).
bool is_upload_request(const request& req, const std::string& upload_uri);

/// A reply: "<protocol> <status line>" followed by headers and body.
class reply : public message {
public:
    /// Empty reply (the parser's form): no protocol, no headers, status 0.
    reply();
    /// The reply to \p req: takes its protocol and adds "Connection: Keep-Alive" when that
    /// begins with "HTTP/1.1".
    explicit reply(const request& req);
    ~reply() override;

    std::vector<boost::asio::const_buffer> to_buffers() const override;
    std::string to_string() const override;
    /// RTSP: always true. HTTP: the first Connection entry that says "Keep-Alive" or "close"
    /// (any case) decides; without one, true only for "HTTP/1.1". Other protocols: false.
    bool keep_alive() const override;

    /// The status code; 0 until set.
    std::uint32_t& status() { return status_; }
    /// \copydoc status()
    const std::uint32_t& status() const { return status_; }

    /// Sets the status; \p with_stock_body on an HTTP reply also adds Content-Type text/html
    /// and the stock page (stock_body()) as body.
    void set_status(unsigned code, bool with_stock_body);

private:
    std::uint32_t status_;
};

namespace detail {
// A header entry left by a message this thread destroyed (empty when there is none), for the
// parser to fill instead of allocating one.
message::header_map::node_type take_spare_header();
} // namespace detail

} // namespace httprtsp

#endif
