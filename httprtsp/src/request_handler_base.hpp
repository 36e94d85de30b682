// What connections hand received requests to.
#ifndef HTTPRTSP_REQUEST_HANDLER_BASE_HPP
#define HTTPRTSP_REQUEST_HANDLER_BASE_HPP

#include "httprtsp/src/message.hpp"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include <string>

namespace httprtsp {

class connection;

class request_handler_base : private boost::noncopyable {
public:
    virtual ~request_handler_base() {}
    // Called on an I/O thread for each complete request from the peer; an empty request means
    // the connection has closed with an error (that call comes under the connection's lock).
    virtual void handle_request(boost::shared_ptr<connection> conn,
                                boost::shared_ptr<request> req) = 0;
};

// A handler whose multipart POSTs to upload_uri() are streamed into temp_file_path().
class upload_temp_file_request_handler : public request_handler_base {
public:
    virtual std::string upload_uri() = 0;
    virtual std::string temp_file_path() = 0;
    virtual void upload_progress(int percent, const std::string& text) = 0;
    virtual void upload_failed(int code) = 0;
};

} // namespace httprtsp

#endif
