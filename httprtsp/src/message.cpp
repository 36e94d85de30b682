#include "httprtsp/src/message.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>

#include <locale>

namespace httprtsp {

namespace header_names {
const std::string accept = "Accept";
const std::string close = "close";
const std::string connection = "Connection";
const std::string content_length = "Content-Length";
const std::string content_type = "Content-Type";
const std::string keep_alive = "Keep-Alive";
const std::string cseq = "CSeq";
const std::string public_ = "Public";
const std::string session = "Session";
const std::string unicast_client_port = "Unicast_client_port";
const std::string transfer_encoding = "Transfer-Encoding";
const std::string upgrade = "Upgrade";
const std::string sec_websocket_accept = "Sec-WebSocket-Accept";
const std::string sec_websocket_key = "Sec-WebSocket-Key";
const std::string sec_websocket_origin = "Sec-WebSocket-Origin";
const std::string sec_websocket_protocol = "Sec-WebSocket-Protocol";
const std::string sec_websocket_version = "Sec-WebSocket-Version";
} // namespace header_names

namespace method_names {
const std::string announce = "ANNOUNCE";
const std::string delete_ = "DELETE";
const std::string describe = "DESCRIBE";
const std::string get = "GET";
const std::string get_parameter = "GET_PARAMETER";
const std::string head = "HEAD";
const std::string link = "LINK";
const std::string options = "OPTIONS";
const std::string pause = "PAUSE";
const std::string play = "PLAY";
const std::string post = "POST";
const std::string put = "PUT";
const std::string record = "RECORD";
const std::string redirect = "REDIRECT";
const std::string set_parameter = "SET_PARAMETER";
const std::string setup = "SETUP";
const std::string teardown = "TEARDOWN";
const std::string unlink = "UNLINK";
const std::string update = "UPDATE";
} // namespace method_names

const std::string text_html = "text/html";

namespace {

// Separators of the wire image; the views point here, so they must outlive every message.
const std::string sp = " ";
const std::string crlf = "\r\n";
const std::string colon_sp = ": ";

namespace status_strings {
const std::string switching_protocols = "101 Switching Protocols";
const std::string ok = "200 OK";
const std::string created = "201 Created";
const std::string accepted = "202 Accepted";
const std::string no_content = "204 No Content";
const std::string multiple_choices = "300 Multiple Choices";
const std::string moved_permanently = "301 Moved Permanently";
const std::string moved_temporarily = "302 Found";
const std::string see_other = "303 See Other";
const std::string not_modified = "304 Not Modified";
const std::string temporary_redirect = "307 Temporay Redirect";
const std::string bad_request = "400 Bad Request";
const std::string unauthorized = "401 Unauthorized";
const std::string forbidden = "403 Forbidden";
const std::string not_found = "404 Not Found";
const std::string content_too_large = "413 Content Too Large";
const std::string method_not_valid = "455 Method Not Valid In This State";
const std::string internal_server_error = "500 Internal Server Error";
const std::string not_implemented = "501 Not Implemented";
const std::string bad_gateway = "502 Bad Gateway";
const std::string service_unavailable = "503 Service Unavailable";
} // namespace status_strings

namespace stock_pages {
const std::string empty = "";
const std::string created =
    "<html><head><title>Created</title></head><body><h1>201 Created</h1></body></html>";
const std::string accepted =
    "<html><head><title>Accepted</title></head><body><h1>202 Accepted</h1></body></html>";
const std::string no_content =
    "<html><head><title>No Content</title></head><body><h1>204 Content</h1></body></html>";
const std::string multiple_choices =
    "<html><head><title>Multiple Choices</title></head><body><h1>300 Multiple Choices</h1></body></html>";
const std::string moved_permanently =
    "<html><head><title>Moved Permanently</title></head><body><h1>301 Moved Permanently</h1></body></html>";
const std::string moved_temporarily =
    "<html><head><title>Found</title></head><body><h1>302 Found</h1></body></html>";
const std::string see_other =
    "<html><head><title>See other</title></head><body><h1>303 See Other</h1></body></html>";
const std::string not_modified =
    "<html><head><title>Not Modified</title></head><body><h1>304 Not Modified</h1></body></html>";
const std::string temporary_redirect =
    "<html><head><title>Temporary Redirect</title></head><body><h1>307 Temporary Redirect</h1></body></html>";
const std::string bad_request =
    "<html><head><title>Bad Request</title></head><body><h1>400 Bad Request</h1></body></html>";
const std::string unauthorized =
    "<html><head><title>Unauthorized</title></head><body><h1>401 Unauthorized</h1></body></html>";
const std::string forbidden =
    "<html><head><title>Forbidden</title></head><body><h1>403 Forbidden</h1></body></html>";
const std::string not_found =
    "<html><head><title>Not Found</title></head><body><h1>404 Not Found</h1></body></html>";
const std::string content_too_large =
    "<html><head><title>Content Too Large</title></head><body><h1>413 Content Too Large</h1></body></html>";
const std::string internal_server_error =
    "<html><head><title>Internal Server Error</title></head><body><h1>500 Internal Server Error</h1></body></html>";
const std::string not_implemented =
    "<html><head><title>Not Implemented</title></head><body><h1>501 Not Implemented</h1></body></html>";
const std::string bad_gateway =
    "<html><head><title>Bad Gateway</title></head><body><h1>502 Bad Gateway</h1></body></html>";
const std::string service_unavailable =
    "<html><head><title>Service Unavailable</title></head><body><h1>503 Service Unavailable</h1></body></html>";
} // namespace stock_pages

// Case-insensitive equality through the global locale's toupper; lengths must match.
bool equals_ignoring_case(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    const std::locale loc;
    const std::ctype<char>& ct = std::use_facet<std::ctype<char>>(loc);
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ct.toupper(a[i]) != ct.toupper(b[i]))
            return false;
    return true;
}

} // namespace

const std::string& status_line(int code) {
    using namespace status_strings;
    switch (code) {
    case 101:
        return switching_protocols;
    case 200:
        return ok;
    case 201:
        return created;
    case 202:
        return accepted;
    case 204:
        return no_content;
    case 300:
        return multiple_choices;
    case 301:
        return moved_permanently;
    case 302:
        return moved_temporarily;
    case 303:
        return see_other;
    case 304:
        return not_modified;
    case 307:
        return temporary_redirect;
    case 400:
        return bad_request;
    case 401:
        return unauthorized;
    case 403:
        return forbidden;
    case 404:
        return not_found;
    case 413:
        return content_too_large;
    case 455:
        return method_not_valid;
    case 500:
        return internal_server_error;
    case 501:
        return not_implemented;
    case 502:
        return bad_gateway;
    case 503:
        return service_unavailable;
    default:
        return internal_server_error;
    }
}

const std::string& stock_body(int code) {
    using namespace stock_pages;
    switch (code) {
    case 101:
        return empty;
    case 200:
        return empty;
    case 201:
        return created;
    case 202:
        return accepted;
    case 204:
        return no_content;
    case 300:
        return multiple_choices;
    case 301:
        return moved_permanently;
    case 302:
        return moved_temporarily;
    case 303:
        return see_other;
    case 304:
        return not_modified;
    case 307:
        return temporary_redirect;
    case 400:
        return bad_request;
    case 401:
        return unauthorized;
    case 403:
        return forbidden;
    case 404:
        return not_found;
    case 413:
        return content_too_large;
    case 455:
        return internal_server_error;
    case 500:
        return internal_server_error;
    case 501:
        return not_implemented;
    case 502:
        return bad_gateway;
    case 503:
        return service_unavailable;
    default:
        return internal_server_error;
    }
}

std::string normalise_header_name(const std::string& name) {
    std::string key(name);
    const std::locale loc;
    std::use_facet<std::ctype<char>>(loc).tolower(&key[0], &key[0] + key.size());
    return key;
}

// ---- message ----

// ---- spare header entries ----

// Entries of a destroyed message's header table, kept on the destroying thread so that the
// parser's next message on that thread reuses their nodes and string storage instead of
// allocating them again. One table per thread, small enough to be worth keeping.
namespace {

const std::size_t spare_entries_limit = 64;
const std::size_t spare_bytes_limit = 16 * 1024;

#if defined(_WIN32)
// MinGW runs the destructors of thread_local objects through a winpthreads key whose deletion
// at process exit can deadlock (seen under Wine: velquin_publish hung in exit() about once in
// a hundred runs). Windows builds keep no spare entries: every header is allocated anew.
message::header_map* spare_entries() {
    return nullptr;
}
#else
struct spare_table {
    message::header_map entries;
    spare_table();
    ~spare_table();
};
// Trivially destroyed, so still readable after the table has gone with its thread (messages
// destroyed later by static destructors then simply free their entries).
thread_local message::header_map* spare = nullptr;
thread_local bool spare_gone = false;
thread_local spare_table spare_owner;

spare_table::spare_table() {
    spare = &entries;
}
spare_table::~spare_table() {
    spare = nullptr;
    spare_gone = true;
}

message::header_map* spare_entries() {
    if (!spare && !spare_gone)
        (void)&spare_owner; // first use on this thread constructs it
    return spare;
}
#endif

// Whether a table's entries are few and small enough to keep.
bool worth_keeping(const message::header_map& headers) {
    if (headers.size() > spare_entries_limit)
        return false;
    std::size_t bytes = 0;
    for (const auto& entry : headers)
        bytes += entry.first.capacity() + entry.second.capacity();
    return bytes <= spare_bytes_limit;
}

} // namespace

namespace detail {

message::header_map::node_type take_spare_header() {
    message::header_map* entries = spare_entries();
    if (!entries || entries->empty())
        return message::header_map::node_type();
    return entries->extract(entries->begin());
}

} // namespace detail

message::message() {}
message::message(const std::string& protocol) : protocol_(protocol) {}
message::~message() {
    if (headers_.empty())
        return;
    message::header_map* entries = spare_entries();
    if (entries && entries->empty() && worth_keeping(headers_))
        entries->swap(headers_);
}

bool message::keep_alive() const {
    return true;
}

void message::add_header(const std::string& name, const std::string& value) {
    // multimap::insert places the entry after existing equal keys.
    headers_.insert(header_map::value_type(normalise_header_name(name), value));
}

void message::remove_header(const std::string& name) {
    headers_.erase(normalise_header_name(name));
}

message::header_map::iterator message::find_header(const std::string& name) {
    return first_header(headers_, normalise_header_name(name));
}

message::header_map::const_iterator message::find_header(const std::string& name) const {
    return first_header(headers_, normalise_header_name(name));
}

void message::set_body(body_ptr bytes) {
    body_ = bytes;
    remove_header(header_names::content_length);
    const std::size_t size = bytes ? bytes->size() : 0;
    add_header(header_names::content_length, boost::lexical_cast<std::string>(size));
}

void message::set_body(const std::string& text) {
    set_body(boost::make_shared<std::vector<char>>(text.begin(), text.end()));
}

int message::content_length() const {
    header_map::const_iterator it = find_header(header_names::content_length);
    if (it == headers_.end())
        return 0;
    return boost::lexical_cast<int>(it->second);
}

void message::append_header_and_body_buffers(std::vector<boost::asio::const_buffer>& out) const {
    for (header_map::const_iterator it = headers_.begin(); it != headers_.end(); ++it) {
        out.push_back(boost::asio::buffer(it->first));
        out.push_back(boost::asio::buffer(colon_sp));
        out.push_back(boost::asio::buffer(it->second));
        out.push_back(boost::asio::buffer(crlf));
    }
    out.push_back(boost::asio::buffer(crlf));
    if (body_)
        out.push_back(boost::asio::const_buffer(body_->data(), body_->size()));
}

void message::append_header_and_body_dump(std::string& out) const {
    out += "header: [";
    for (header_map::const_iterator it = headers_.begin(); it != headers_.end(); ++it) {
        out += '[';
        out += it->first;
        out += ", ";
        out += it->second;
        out += ']';
    }
    out += "], body: ";
    if (body_ && !body_->empty())
        out.append(body_->data(), body_->size());
    out += ']';
}

// ---- request ----

request::request(const std::string& method, const std::string& uri, const std::string& protocol)
    : message(protocol), method_(method), uri_(uri) {
    if (protocol == "HTTP/1.1" || boost::starts_with(protocol, "RTSP/"))
        add_header(header_names::connection, header_names::keep_alive);
}

request::~request() {}

std::vector<boost::asio::const_buffer> request::to_buffers() const {
    std::vector<boost::asio::const_buffer> out;
    out.reserve(7 + 4 * headers().size() + 1);
    out.push_back(boost::asio::buffer(method_));
    out.push_back(boost::asio::buffer(sp));
    out.push_back(boost::asio::buffer(uri_));
    out.push_back(boost::asio::buffer(sp));
    out.push_back(boost::asio::buffer(protocol()));
    out.push_back(boost::asio::buffer(crlf));
    append_header_and_body_buffers(out);
    return out;
}

std::string request::to_string() const {
    std::string out = "httprtsp::request[method: " + method_ + ", uri: " + uri_ +
                      ", protocol: " + protocol() + ", ";
    append_header_and_body_dump(out);
    return out;
}

bool is_upload_request(const request& req, const std::string& upload_uri) {
    static const char multipart_prefix[] = "multipart/form-data; boundary=";
    if (upload_uri.empty() || !boost::starts_with(req.protocol(), "HTTP/") ||
        req.method() != "POST" || req.uri() != upload_uri)
        return false;
    message::header_map::const_iterator type = req.find_header(header_names::content_type);
    return type != req.headers().end() && boost::starts_with(type->second, multipart_prefix);
}

// ---- reply ----

reply::reply() : status_(0) {}

reply::reply(const request& req) : message(req.protocol()), status_(0) {
    if (boost::starts_with(protocol(), "HTTP/1.1"))
        add_header(header_names::connection, header_names::keep_alive);
}

reply::~reply() {}

std::vector<boost::asio::const_buffer> reply::to_buffers() const {
    std::vector<boost::asio::const_buffer> out;
    out.reserve(5 + 4 * headers().size() + 1);
    out.push_back(boost::asio::buffer(protocol()));
    out.push_back(boost::asio::buffer(sp));
    out.push_back(boost::asio::buffer(status_line(static_cast<int>(status_))));
    out.push_back(boost::asio::buffer(crlf));
    append_header_and_body_buffers(out);
    return out;
}

std::string reply::to_string() const {
    std::string out = "httprtsp::reply[status: " + boost::lexical_cast<std::string>(status_) +
                      ", protocol: " + protocol() + ", ";
    append_header_and_body_dump(out);
    return out;
}

bool reply::keep_alive() const {
    const std::string& proto = protocol();
    const bool by_default = proto == "HTTP/1.1";
    if (!boost::starts_with(proto, "HTTP/"))
        return boost::starts_with(proto, "RTSP/") ? true : by_default;
    const std::string key = normalise_header_name(header_names::connection);
    const auto entries = headers().equal_range(key);
    for (header_map::const_iterator it = entries.first; it != entries.second; ++it) {
        if (equals_ignoring_case(it->second, header_names::keep_alive))
            return true;
        if (equals_ignoring_case(it->second, header_names::close))
            return false;
    }
    return by_default;
}

void reply::set_status(unsigned code, bool with_stock_body) {
    status_ = code;
    if (with_stock_body && boost::starts_with(protocol(), "HTTP/")) {
        add_header(header_names::content_type, text_html);
        set_body(stock_body(static_cast<int>(code)));
    }
}

} // namespace httprtsp
