// Keeps one connection to a server open on demand and issues requests over it.
#ifndef HTTPRTSP_CLIENT_HPP
#define HTTPRTSP_CLIENT_HPP

#include "httprtsp/src/connection.hpp"
#include "httprtsp/src/message.hpp"
#include "httprtsp/src/request_handler_base.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include <string>

namespace httprtsp {

class client : private boost::noncopyable {
public:
    // Stores the address; connects only when a request needs it.
    client(const std::string& host, const std::string& port,
           boost::shared_ptr<request_handler_base> handler,
           boost::shared_ptr<boost::asio::io_service> io_service);
    virtual ~client();

    // Returns at once while the current connection is open; otherwise resolves, connects a
    // fresh connection to the first endpoint that accepts and starts it. Throws
    // boost::system::system_error when that fails.
    void ensure_connected();
    // Connects on demand and waits for the reply. On a resolve or connect failure prints
    // "BOOST SYSTEM ERROR : <text>" and returns an empty reply.
    boost::shared_ptr<reply> issue_request(boost::shared_ptr<request> req);
    // Closes the current connection without error (waiters get empty replies) and drops it.
    void close_connection();

protected:
    std::string host;
    std::string port;
    boost::shared_ptr<boost::asio::io_service> io_service;
    boost::shared_ptr<connection> conn;
    boost::shared_ptr<request_handler_base> handler;
};

} // namespace httprtsp

#endif
