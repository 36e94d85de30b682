/// \file
/// A multipart upload streamed into the upload handler's temporary file while it arrives.
#ifndef HTTPRTSP_UPLOAD_STREAM_HPP
#define HTTPRTSP_UPLOAD_STREAM_HPP

#include "httprtsp/src/message.hpp"
#include "httprtsp/src/request_handler_base.hpp"

#include <boost/filesystem/fstream.hpp>
#include <boost/logic/tribool.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace httprtsp {

/// What upload_stream::take() made of the bytes.
enum class upload_outcome {
    more,      ///< more to come, or nothing for this step to decide
    done,      ///< the upload is complete and the file holds exactly the part
    failed,    ///< the input counts as malformed
    refused,   ///< upload_temp_file_request_handler::upload_begin() said no
    too_large, ///< the part passed upload_temp_file_request_handler::max_upload_size()
};

/// The upload step of a connection whose handler takes uploads: moves the body of each upload
/// request into upload_temp_file_request_handler::temp_file_path() and cuts the file to the
/// part's content once the request is complete.
///
/// One per connection; the caller serialises calls. Reports go to the handler; exceptions
/// (from the file system) go to the caller, which logs them.
class upload_stream : private boost::noncopyable {
public:
    /// Body bytes collected without finding the first delimiter and the end of the part's
    /// header lines before an upload is refused.
    static const std::size_t header_limit = 16 * 1024;

    /// Reports to \p uploads, which it keeps, about uploads on \p owner.
    upload_stream(boost::shared_ptr<upload_temp_file_request_handler> uploads,
                  const connection& owner);
    ~upload_stream();

    /// What take() made of the bytes.
    typedef upload_outcome outcome;

    /// Takes the body bytes collected so far of an upload request (and clears them); result is
    /// the parser's (indeterminate: more to come). failed makes the input count as malformed;
    /// refused: the handler would not let the upload begin; too_large: the part passed the
    /// handler's size limit and its file has been removed.
    outcome take(boost::tribool result, request& req);
    /// Between the start of an upload and its end.
    bool started() const { return active || waiting; }
    /// The upload was cut off: remove what it wrote, so nothing can pass it off as complete.
    void abort();

private:
    bool open_file();
    outcome store(const char* data, std::size_t count);
    outcome finish(const std::string& delimiter);
    // Ends a begun upload with result (done, or how it failed) and returns it.
    outcome end(outcome result);

    boost::shared_ptr<upload_temp_file_request_handler> uploads_;
    const connection& owner_;
    bool active;
    // Set while the first piece of an upload waits for its delimiter and part headers.
    bool waiting;
    std::uint32_t expected_bytes;
    // 64 bits: a part may pass 4 GiB, and the size limit is compared with it.
    std::uint64_t written_bytes;
    std::uint16_t last_percent;
    // The handler's limit for this upload's part, read when it begins; 0: none.
    std::uint64_t max_bytes;
    boost::filesystem::ofstream file;
    static const std::size_t file_buffer_size = 256 * 1024;
    std::vector<char> file_buffer;
};

} // namespace httprtsp

#endif
