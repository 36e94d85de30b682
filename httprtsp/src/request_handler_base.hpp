/// \file
/// What connections hand received requests to.
#ifndef HTTPRTSP_REQUEST_HANDLER_BASE_HPP
#define HTTPRTSP_REQUEST_HANDLER_BASE_HPP

#include "httprtsp/src/message.hpp"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>

namespace httprtsp {

class connection;

/// Receives the requests a connection's peer sends; one handler serves every connection of a
/// client or server, so it must be safe to call from several threads at once.
class request_handler_base : private boost::noncopyable {
public:
    virtual ~request_handler_base() {}
    /// Called on an I/O thread for each complete request from the peer, outside the
    /// connection's lock. Answer by connection::send() of a reply (now or later, from any
    /// thread); a handler that throws makes the connection answer 500 and stay open.
    ///
    /// An empty \p req means the connection has closed with an error; that call comes under the
    /// connection's lock, so do not wait there for a thread that needs the same connection.
    virtual void handle_request(boost::shared_ptr<connection> conn,
                                boost::shared_ptr<request> req) = 0;
};

/// A handler whose multipart POSTs to upload_uri() are streamed into temp_file_path() while
/// they arrive, instead of being held in memory.
///
/// Only the handler given to the connection itself (through client or server) is asked; a
/// route of request_handler does not make a connection stream. The calls below come on I/O
/// threads. Once the body is complete the file holds exactly the part's content and the request,
/// its body emptied, reaches handle_request(). A failure makes the connection answer 400 and
/// close.
class upload_temp_file_request_handler : public request_handler_base {
public:
    /// The exact request URI whose "multipart/form-data" POSTs are streamed. Read once, when a
    /// connection is made.
    virtual std::string upload_uri() = 0;
    /// The file an upload is written to; truncated when an upload starts.
    virtual std::string temp_file_path() = 0;
    /// Progress: 0 at the start, rising percentages (when Content-Length is known) with
    /// "Upload Firmware...", 100 with "Firmware upload Done"; 0 with "Error: open failed" when
    /// the file cannot be opened.
    virtual void upload_progress(int percent, const std::string& text) = 0;
    /// The upload failed: 1 writing, 2 reading back the file's end, 3 no closing delimiter,
    /// 4 cutting the file to the part's length, 5 the part is larger than max_upload_size().
    virtual void upload_failed(int code) = 0;
    /// Asked before an upload on \p conn writes anything; false refuses it (the connection
    /// answers 503 and closes). By default every upload may begin.
    virtual bool upload_begin(const connection& conn) {
        (void)conn;
        return true;
    }
    /// Every begun upload ends here once: \p complete when the file holds exactly the part,
    /// otherwise the file has been removed. Comes before the request reaches handle_request().
    virtual void upload_end(const connection& conn, bool complete) {
        (void)conn;
        (void)complete;
    }
    /// The largest part an upload may store, in bytes; 0 (the default) for no limit. Asked when
    /// an upload begins. A larger part fails with upload_failed(5), its file is removed and the
    /// connection answers 413 and closes; writing stops soon after the part passes the limit.
    virtual std::uint64_t max_upload_size() { return 0; }
};

} // namespace httprtsp

#endif
