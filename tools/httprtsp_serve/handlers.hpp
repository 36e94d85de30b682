// Request handlers of httprtsp_serve: a multipart upload into a file, an echo, and the front
// that lets a connection stream uploads while a router picks the handler for each request.
#ifndef TOOLS_HTTPRTSP_SERVE_HANDLERS_HPP
#define TOOLS_HTTPRTSP_SERVE_HANDLERS_HPP

#include "httprtsp/src/request_handler.hpp"
#include "httprtsp/src/request_handler_base.hpp"

#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace httprtsp_serve {

// Streams multipart POSTs to one URI into one file (one upload at a time) and answers the
// finished request "200" with "<size> <sha256>\n" of the stored file. The upload keeps the
// file to itself until that answer is made: another upload is refused (503) meanwhile, so it
// cannot rewrite the file while it is being read back.
class file_upload_handler : public httprtsp::upload_temp_file_request_handler {
public:
    struct event {
        int percent;      // -1 for a failure report
        std::string text; // progress text, or the failure code in decimal
    };

    // Progress and failures are printed to out (when not null) as
    // "upload progress <percent> <text>" and "upload failed <code>".
    // Without digest the answer is "<size>\n" only (for measuring the transfer alone).
    file_upload_handler(const std::string& uri, const std::string& path, std::FILE* out,
                        bool digest = true);

    void handle_request(boost::shared_ptr<httprtsp::connection> conn,
                        boost::shared_ptr<httprtsp::request> req) override;
    std::string upload_uri() override { return uri_; }
    std::string temp_file_path() override { return path_; }
    void upload_progress(int percent, const std::string& text) override;
    void upload_failed(int code) override;
    // One upload at a time; the file is reported only to the connection whose upload
    // completed it.
    bool upload_begin(const httprtsp::connection& conn) override;
    void upload_end(const httprtsp::connection& conn, bool complete) override;
    std::uint64_t max_upload_size() override { return max_upload_size_.load(); }
    // Uploads beginning from now on fail with 413 past this many bytes; 0: no limit.
    void set_max_upload_size(std::uint64_t bytes) { max_upload_size_.store(bytes); }

    std::vector<event> events() const;
    void clear_events();

private:
    void record(int percent, const std::string& text);
    // The slot is free, or held by a connection that is gone (and so can never answer).
    bool slot_free() const;
    void release(const httprtsp::connection* conn);
    // 200 with the stored file's size and digest for a streamed upload; 400 otherwise.
    boost::shared_ptr<httprtsp::reply> answer(const httprtsp::request& req, bool streamed);

    const std::string uri_;
    const std::string path_;
    std::FILE* out_;
    const bool digest_;
    std::atomic<std::uint64_t> max_upload_size_{0};
    mutable boost::mutex mutex_;
    std::vector<event> events_;
    // The one upload slot: held from upload_begin() until the upload fails or its request
    // has been answered.
    const httprtsp::connection* holder_ = nullptr;
    boost::weak_ptr<const httprtsp::connection> holder_alive_;
    bool holder_complete_ = false; // the file holds the holder's whole part
};

// Answers 200 with the request's body, and its method and uri in "x-echo-method" and
// "x-echo-uri".
class echo_handler : public httprtsp::request_handler_base {
public:
    void handle_request(boost::shared_ptr<httprtsp::connection> conn,
                        boost::shared_ptr<httprtsp::request> req) override;
};

// Connections stream uploads only for an upload handler, so this front is one: it passes
// the upload calls to the upload handler and every request to the router.
class upload_front : public httprtsp::upload_temp_file_request_handler {
public:
    upload_front(boost::shared_ptr<httprtsp::request_handler> router,
                 boost::shared_ptr<httprtsp::upload_temp_file_request_handler> uploads);

    void handle_request(boost::shared_ptr<httprtsp::connection> conn,
                        boost::shared_ptr<httprtsp::request> req) override;
    std::string upload_uri() override { return uploads_->upload_uri(); }
    std::string temp_file_path() override { return uploads_->temp_file_path(); }
    void upload_progress(int percent, const std::string& text) override {
        uploads_->upload_progress(percent, text);
    }
    void upload_failed(int code) override { uploads_->upload_failed(code); }
    bool upload_begin(const httprtsp::connection& conn) override {
        return uploads_->upload_begin(conn);
    }
    void upload_end(const httprtsp::connection& conn, bool complete) override {
        uploads_->upload_end(conn, complete);
    }
    std::uint64_t max_upload_size() override { return uploads_->max_upload_size(); }

private:
    boost::shared_ptr<httprtsp::request_handler> router_;
    boost::shared_ptr<httprtsp::upload_temp_file_request_handler> uploads_;
};

} // namespace httprtsp_serve

#endif
