// HTTP and RTSP messages: requests and replies with their header table, body and wire image.
#ifndef HTTPRTSP_MESSAGE_HPP
#define HTTPRTSP_MESSAGE_HPP

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace httprtsp {

// Header names and the two Connection values, exactly as the library writes them.
namespace header_names {
extern const std::string accept;
extern const std::string close;
extern const std::string connection;
extern const std::string content_length;
extern const std::string content_type;
extern const std::string keep_alive;
extern const std::string cseq;
extern const std::string public_; // "Public"; the trailing underscore avoids the keyword
extern const std::string session;
extern const std::string unicast_client_port;
extern const std::string transfer_encoding;
extern const std::string upgrade;
extern const std::string sec_websocket_accept;
extern const std::string sec_websocket_key;
extern const std::string sec_websocket_origin;
extern const std::string sec_websocket_protocol;
extern const std::string sec_websocket_version;
} // namespace header_names

namespace method_names {
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
} // namespace method_names

// Content-Type of every stock page.
extern const std::string text_html;

// Text after "<protocol> " on a reply's start line; unknown codes give the 500 line.
const std::string& status_line(int code);
// HTML page attached by set_status(code, true); unknown codes give the 500 page.
const std::string& stock_body(int code);

// Lower-cases a header name through the global locale, as the header table stores it.
std::string normalise_header_name(const std::string& name);

class message {
public:
    typedef std::multimap<std::string, std::string> header_map;
    typedef boost::shared_ptr<std::vector<char>> body_ptr;

    virtual ~message();

    // Views into this message and process-wide constants; valid while the message lives
    // and is not changed.
    virtual std::vector<boost::asio::const_buffer> to_buffers() const = 0;
    // One-line dump for logs.
    virtual std::string to_string() const = 0;
    // Whether the connection may stay open after this message has been written.
    virtual bool keep_alive() const;

    std::string& protocol() { return protocol_; }
    const std::string& protocol() const { return protocol_; }

    header_map& headers() { return headers_; }
    const header_map& headers() const { return headers_; }

    // Always adds a new entry (after existing entries of the same name); never replaces.
    void add_header(const std::string& name, const std::string& value);
    // Removes every entry of that name.
    void remove_header(const std::string& name);
    // First entry of that name, or headers().end().
    header_map::iterator find_header(const std::string& name);
    header_map::const_iterator find_header(const std::string& name) const;

    body_ptr body() const { return body_; }
    // Sets the body and replaces every Content-Length entry by the body's size.
    void set_body(body_ptr bytes);
    void set_body(const std::string& text);
    // Sets the pointer only; headers stay as they are.
    void attach_body(body_ptr bytes) { body_ = bytes; }

    // Value of the first Content-Length entry, 0 without one. Throws boost::bad_lexical_cast
    // when the value is not a decimal int.
    int content_length() const;

protected:
    message();
    explicit message(const std::string& protocol);

    // Appends the header lines, the empty line and the body view.
    void append_header_and_body_buffers(std::vector<boost::asio::const_buffer>& out) const;
    // "header: [...], body: ...]" part of the dump.
    void append_header_and_body_dump(std::string& out) const;

private:
    body_ptr body_;
    std::string protocol_;
    header_map headers_;
};

class request : public message {
public:
    // Adds "Connection: Keep-Alive" when protocol is "HTTP/1.1" or begins with "RTSP/".
    request(const std::string& method, const std::string& uri, const std::string& protocol);
    ~request() override;

    std::vector<boost::asio::const_buffer> to_buffers() const override;
    std::string to_string() const override;

    boost::asio::ip::tcp::endpoint& local_endpoint() { return local_endpoint_; }
    const boost::asio::ip::tcp::endpoint& local_endpoint() const { return local_endpoint_; }
    boost::asio::ip::tcp::endpoint& remote_endpoint() { return remote_endpoint_; }
    const boost::asio::ip::tcp::endpoint& remote_endpoint() const { return remote_endpoint_; }
    std::string& method() { return method_; }
    const std::string& method() const { return method_; }
    std::string& uri() { return uri_; }
    const std::string& uri() const { return uri_; }

private:
    boost::asio::ip::tcp::endpoint local_endpoint_;
    boost::asio::ip::tcp::endpoint remote_endpoint_;
    std::string method_;
    std::string uri_;
};

class reply : public message {
public:
    // Empty reply (the parser's form): no protocol, no headers, status 0.
    reply();
    // Takes the request's protocol; adds "Connection: Keep-Alive" when it begins with "HTTP/1.1".
    explicit reply(const request& req);
    ~reply() override;

    std::vector<boost::asio::const_buffer> to_buffers() const override;
    std::string to_string() const override;
    bool keep_alive() const override;

    std::uint32_t& status() { return status_; }
    const std::uint32_t& status() const { return status_; }

    // Sets the status; with_stock_body on an HTTP reply also adds Content-Type text/html and
    // the stock page as body.
    void set_status(unsigned code, bool with_stock_body);

private:
    std::uint32_t status_;
};

} // namespace httprtsp

#endif
