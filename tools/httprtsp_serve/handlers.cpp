#include "tools/httprtsp_serve/handlers.hpp"

#include "httprtsp/src/connection.hpp"
#include "tools/httprtsp_serve/sha256.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/make_shared.hpp>

#include <cstdint>

namespace httprtsp_serve {

file_upload_handler::file_upload_handler(const std::string& uri, const std::string& path,
                                         std::FILE* out, bool digest)
    : uri_(uri), path_(path), out_(out), digest_(digest) {}

void file_upload_handler::record(int percent, const std::string& text) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    events_.push_back(event{percent, text});
    if (out_) {
        if (percent >= 0)
            std::fprintf(out_, "upload progress %d %s\n", percent, text.c_str());
        else
            std::fprintf(out_, "upload failed %s\n", text.c_str());
        std::fflush(out_);
    }
}

void file_upload_handler::upload_progress(int percent, const std::string& text) {
    record(percent, text);
}

void file_upload_handler::upload_failed(int code) {
    record(-1, std::to_string(code));
}

bool file_upload_handler::slot_free() const {
    return !holder_ || holder_alive_.expired();
}

bool file_upload_handler::upload_begin(const httprtsp::connection& conn) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (!slot_free())
        return false;
    holder_ = &conn;
    holder_alive_ = conn.shared_from_this();
    holder_complete_ = false;
    return true;
}

void file_upload_handler::upload_end(const httprtsp::connection& conn, bool complete) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (holder_ != &conn)
        return;
    if (complete)
        holder_complete_ = true; // kept until the request is answered
    else
        holder_ = nullptr;
}

void file_upload_handler::release(const httprtsp::connection* conn) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (holder_ == conn) {
        holder_ = nullptr;
        holder_alive_.reset();
    }
}

std::vector<file_upload_handler::event> file_upload_handler::events() const {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return events_;
}

void file_upload_handler::clear_events() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    events_.clear();
}

void file_upload_handler::handle_request(boost::shared_ptr<httprtsp::connection> conn,
                                         boost::shared_ptr<httprtsp::request> req) {
    if (!req) {
        release(conn.get()); // a connection closed: its upload will never be answered
        return;
    }
    bool streamed = false;
    {
        // Only the upload this connection just completed may be reported, and only once.
        boost::lock_guard<boost::mutex> lock(mutex_);
        streamed = holder_ == conn.get() && holder_complete_;
    }
    boost::shared_ptr<httprtsp::reply> rep;
    if (streamed) {
        // The file is read back before the slot goes, so that no other upload can rewrite it
        // meanwhile; the slot goes before the answer, so that a peer that has read the answer
        // finds it free.
        struct releaser {
            file_upload_handler& handler;
            const httprtsp::connection* conn;
            ~releaser() { handler.release(conn); }
        } release_after{*this, conn.get()};
        rep = answer(*req, true);
    } else {
        rep = answer(*req, false);
    }
    conn->send(rep);
}

boost::shared_ptr<httprtsp::reply> file_upload_handler::answer(const httprtsp::request& req,
                                                               bool streamed) {
    boost::shared_ptr<httprtsp::reply> rep = boost::make_shared<httprtsp::reply>(req);
    // A streamed upload arrives with its body drained into the file.
    const httprtsp::message::body_ptr body = req.body();
    if (req.method() != "POST" || (body && !body->empty()) || !streamed) {
        rep->set_status(400, true);
        return rep;
    }
    std::uint64_t size = 0;
    boost::system::error_code error;
    const std::string digest = digest_ ? sha256_file(path_, &size) : std::string();
    if (!digest_)
        size = boost::filesystem::file_size(path_, error);
    if (digest_ ? digest.empty() : static_cast<bool>(error)) {
        rep->set_status(500, true);
    } else {
        rep->set_status(200, false);
        rep->set_body(std::to_string(size) + (digest_ ? " " + digest : std::string()) + "\n");
    }
    return rep;
}

void echo_handler::handle_request(boost::shared_ptr<httprtsp::connection> conn,
                                  boost::shared_ptr<httprtsp::request> req) {
    if (!req)
        return;
    boost::shared_ptr<httprtsp::reply> rep = boost::make_shared<httprtsp::reply>(*req);
    rep->set_status(200, false);
    rep->add_header("X-Echo-Method", req->method());
    rep->add_header("X-Echo-Uri", req->uri());
    const httprtsp::message::body_ptr body = req->body();
    rep->set_body(body ? boost::make_shared<std::vector<char>>(*body)
                       : boost::make_shared<std::vector<char>>());
    conn->send(rep);
}

upload_front::upload_front(boost::shared_ptr<httprtsp::request_handler> router,
                           boost::shared_ptr<httprtsp::upload_temp_file_request_handler> uploads)
    : router_(router), uploads_(uploads) {}

void upload_front::handle_request(boost::shared_ptr<httprtsp::connection> conn,
                                  boost::shared_ptr<httprtsp::request> req) {
    router_->handle_request(conn, req);
}

} // namespace httprtsp_serve
